#!/usr/bin/env bash
# workflow/Snakefile against brell-scan --replicates: twenty replicates of the
# example study made, scanned and gathered as separate jobs must give the
# bytes of one batch run on the same seed.
# Usage: workflow_test.sh BRELL_SIM BRELL_SCAN SOURCE_DIR
set -euo pipefail
sim=$1 scan=$2 src=$3
seed=987654321 n=20

if ! snakemake=$(command -v snakemake); then
    echo "snakemake is not installed (Debian package snakemake): workflow test skipped"
    exit 77
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export XDG_CACHE_HOME=$tmp/cache  # snakemake's source cache
study=(-p "$src/examples/ibd/study.ped" -d "$src/examples/ibd/study.dat" -m "$src/examples/ibd/study.map")

cat >"$tmp/config.yaml" <<YAML
study:
  ped: $src/examples/ibd/study.ped
  dat: $src/examples/ibd/study.dat
  map: $src/examples/ibd/study.map
models: both
replicates: $n
seed: $seed
out: scan
repdir: replicates
threads: 2
brell_sim: $sim
brell_scan: $scan
YAML
mkdir "$tmp/wf"
run_workflow() {
    "$snakemake" --snakefile "$src/workflow/Snakefile" --configfile "$tmp/config.yaml" \
        --directory "$tmp/wf" "$@" >"$tmp/snakemake.log" 2>&1
}
fail() {
    echo "FAIL: $*"
    cat "$tmp/snakemake.log"
    exit 1
}

run_workflow --cores 2 || fail "the workflow did not run"

"$sim" --drop "${study[@]}" --replicates "$n" --seed "$seed" --out "$tmp/batch/replicates" >/dev/null
mkdir -p "$tmp/batch/scan"
"$scan" "${study[@]}" -o "$tmp/batch/scan" --model both --replicates "$tmp/batch/replicates" \
    >"$tmp/batch/scan/summary.txt"

for f in significance.tsv scan.tsv scan.svg summary.txt; do
    cmp "$tmp/batch/scan/$f" "$tmp/wf/scan/$f" || fail "scan/$f differs from the batch run's"
done
[ "$(ls "$tmp/batch/replicates")" = "$(ls "$tmp/wf/replicates")" ] || fail "not the batch run's replicate folders"
for r in "$tmp"/batch/replicates/rep*; do
    for f in ped dat map freq; do
        cmp "$r/study.$f" "$tmp/wf/replicates/${r##*/}/study.$f" || fail "${r##*/}/study.$f differs"
    done
done

# A replicate left from a larger run would join the gathering unseen.
stray=$tmp/wf/replicates/rep$(printf %06d $((n + 1)))
mkdir "$stray"
if run_workflow --cores 2 --forcerun gather; then
    fail "the gathering took a stray replicate folder"
fi
grep -q "holds replicates this run did not make" "$tmp/snakemake.log" || fail "no word of the stray replicate"
rmdir "$stray"

# The Slurm profile must at least be one Snakemake accepts; sbatch itself
# cannot be tried here.
run_workflow --profile "$src/workflow/profiles/slurm" --dry-run || fail "the Slurm profile is not accepted"
echo "workflow: $n replicates, byte-identical to the batch run"
