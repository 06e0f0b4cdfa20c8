# Sourced by the workflow tests: the batch run that a workflow's outputs must
# match byte for byte. Needs $sim, $scan, $src, $seed, $n and $tmp.
study=(-p "$src/examples/ibd/study.ped" -d "$src/examples/ibd/study.dat" -m "$src/examples/ibd/study.map")
# A cluster file, which brell-sim and brell-scan must both be given: a
# cluster of one marker is a model of its own, though the marker alone.
clusters=$tmp/clusters.txt
echo "CLUSTER M1" >"$clusters"

write_config() {  # FILE BRELL_SIM
    cat >"$1" <<YAML
study:
  ped: $src/examples/ibd/study.ped
  dat: $src/examples/ibd/study.dat
  map: $src/examples/ibd/study.map
ibd:
  clusters: $clusters
models: both
replicates: $n
seed: $seed
out: scan
repdir: replicates
threads: 2
brell_sim: $2
brell_scan: $scan
YAML
}

batch_run() {
    "$sim" --drop "${study[@]}" --clusters "$clusters" --replicates "$n" --seed "$seed" \
        --out "$tmp/batch/replicates" >/dev/null
    mkdir -p "$tmp/batch/scan"
    "$scan" "${study[@]}" --clusters "$clusters" -o "$tmp/batch/scan" --model both \
        --replicates "$tmp/batch/replicates" >"$tmp/batch/scan/summary.txt"
}

# Prints what differs between DIR (a workflow's folder) and the batch run.
differences() {
    local dir=$1 f r
    for f in significance.tsv scan.tsv scan.svg summary.txt; do
        cmp -s "$tmp/batch/scan/$f" "$dir/scan/$f" || echo "scan/$f differs from the batch run's"
    done
    [ "$(ls "$tmp/batch/replicates")" = "$(ls "$dir/replicates")" ] || echo "not the batch run's replicate folders"
    for r in "$tmp"/batch/replicates/rep*; do
        for f in ped dat map freq; do
            cmp -s "$r/study.$f" "$dir/replicates/${r##*/}/study.$f" || echo "${r##*/}/study.$f differs"
        done
    done
}
