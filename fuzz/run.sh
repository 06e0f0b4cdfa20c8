#!/usr/bin/env bash
# Builds the fuzz targets with clang and fuzzes each for a bounded time.
#
#   fuzz/run.sh [SECONDS]     default 60, shared between the targets
#
# brell_fuzz runs brell on mutated inputs and command lines, linkage_fuzz
# the study readers, brell-ibd and the writers (FUZZ_TARGETS picks some).
# Each starts from its seeds and regression inputs (fuzz/corpus and
# tests/fuzz/inputs; fuzz/linkage_corpus and tests/fuzz/linkage_inputs), in
# a scratch copy so that the committed seeds never grow; set FUZZ_CORPUS to
# a folder to keep what they learn across sessions instead (a subfolder per
# target). Anything found is saved under build-fuzz/findings/ and the script
# exits 1; the file reproduces with build-fuzz/fuzz/TARGET FILE, and belongs
# in the target's regression inputs once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${BUILD_DIR:-build-fuzz}
targets=(${FUZZ_TARGETS:-brell_fuzz linkage_fuzz})

cmake -S . -B "$build" -DBRELL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRELL_TESTS=OFF -DBRELL_TOOLS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" -j"${JOBS:-2}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/findings"

# One run takes milliseconds, the largest within the harnesses' caps about
# half a second; 30 s is a hang even on a busy machine, where the clock that
# libFuzzer watches keeps running while the fuzzer waits for a core. No
# single allocation of a run within the caps needs 64 MB.
status=0
left=$seconds
for i in "${!targets[@]}"; do
    target=${targets[$i]}
    share=$((left / (${#targets[@]} - i)))
    left=$((left - share))
    case $target in
    brell_fuzz) seeds=(fuzz/corpus tests/fuzz/inputs) dict=fuzz/brell.dict ;;
    linkage_fuzz) seeds=(fuzz/linkage_corpus tests/fuzz/linkage_inputs) dict=fuzz/linkage.dict ;;
    *) echo "fuzz/run.sh: no target $target" >&2; exit 2 ;;
    esac
    corpus=${FUZZ_CORPUS:+$FUZZ_CORPUS/$target}
    corpus=${corpus:-$scratch/$target}
    mkdir -p "$corpus"
    for s in "${seeds[@]}"; do cp -n "$s"/* "$corpus"/; done
    log=$scratch/$target.log
    found=0
    "$build/fuzz/$target" -max_total_time="$share" -max_len=16384 -timeout=30 \
        -rss_limit_mb=2048 -malloc_limit_mb=64 -dict="$dict" -print_final_stats=1 \
        -artifact_prefix="$build/findings/$target-" "$corpus" >"$log" 2>&1 || found=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -1 || true)
    if [ "$found" -ne 0 ]; then
        grep -E "^$target:|ERROR|SUMMARY|^Test unit written" "$log" | head -20 >&2 || tail -20 "$log" >&2
        echo "$target: FOUND a fault after ${runs:-?} runs in ${share} s (${cov}); see $build/findings/" >&2
        status=1
        continue
    fi
    echo "$target: ${runs:-?} runs in ${share} s, ${cov}: nothing found"
done
exit $status
