#!/usr/bin/env bash
# Builds brell_fuzz with clang and fuzzes for a bounded time.
#
#   fuzz/run.sh [SECONDS]     default 60
#
# The fuzzer starts from fuzz/corpus and tests/fuzz/inputs, in a scratch
# copy so that the committed seeds never grow; set FUZZ_CORPUS to a folder
# to keep what it learns across sessions instead. Anything it finds is saved
# under build-fuzz/findings/ and the script exits 1; the file reproduces
# with build-fuzz/fuzz/brell_fuzz FILE, and belongs in tests/fuzz/inputs/
# once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${BUILD_DIR:-build-fuzz}

cmake -S . -B "$build" -DBRELL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRELL_TESTS=OFF -DBRELL_TOOLS=OFF >/dev/null
cmake --build "$build" --target brell_fuzz -j"${JOBS:-2}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
corpus=${FUZZ_CORPUS:-$scratch/corpus}
mkdir -p "$corpus" "$build/findings"
cp -n fuzz/corpus/* tests/fuzz/inputs/* "$corpus"/

# One run takes milliseconds, the largest within the caps about half a
# second; 30 s is a hang even on a busy machine, where the clock that libFuzzer
# watches keeps running while the fuzzer waits for a core. No single
# allocation of a run within the harness's caps needs 64 MB.
status=0
"$build/fuzz/brell_fuzz" -max_total_time="$seconds" -max_len=16384 -timeout=30 \
    -rss_limit_mb=2048 -malloc_limit_mb=64 -dict=fuzz/brell.dict -print_final_stats=1 \
    -artifact_prefix="$build/findings/" "$corpus" >"$scratch/log" 2>&1 || status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/log")
cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$scratch/log" | tail -1 || true)
if [ "$status" -ne 0 ]; then
    grep -E '^brell_fuzz:|ERROR|SUMMARY|^Test unit written' "$scratch/log" | head -20 >&2 || tail -20 "$scratch/log" >&2
    echo "brell_fuzz: FOUND a fault after ${runs:-?} runs in ${seconds} s (${cov}); see $build/findings/" >&2
    exit 1
fi
echo "brell_fuzz: ${runs:-?} runs in ${seconds} s, ${cov}: nothing found"
