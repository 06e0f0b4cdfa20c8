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
. "$src/tests/workflow/batch.sh"
write_config "$tmp/config.yaml" "$sim"
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

batch_run
diff=$(differences "$tmp/wf")
[ -z "$diff" ] || fail "$diff"

# A replicate left from a larger run would join the gathering unseen.
stray=$tmp/wf/replicates/rep$(printf %06d $((n + 1)))
mkdir "$stray"
if run_workflow --cores 2 --forcerun gather; then
    fail "the gathering took a stray replicate folder"
fi
grep -q "holds replicates this run did not make" "$tmp/snakemake.log" || fail "no word of the stray replicate"
rmdir "$stray"

# The Slurm profile must be one Snakemake accepts (slurm_test.sh submits
# through it where Slurm can be started).
run_workflow --profile "$src/workflow/profiles/slurm" --dry-run || fail "the Slurm profile is not accepted"
echo "workflow: $n replicates, byte-identical to the batch run"
