#!/usr/bin/env bash
# workflow/profiles/slurm against a real Slurm: a one-node cluster of its own
# (munged, slurmctld, slurmd) in a scratch folder. Twenty replicates submitted
# through the profile must give the bytes of one batch run; a replicate job
# cancelled while it runs must be noticed and run again, and the workflow
# still finish with the same bytes.
# Usage: slurm_test.sh BRELL_SIM BRELL_SCAN SOURCE_DIR
set -euo pipefail
sim=$(realpath "$1") scan=$(realpath "$2") src=$(realpath "$3")
seed=24681357 n=20
export PATH=$PATH:/usr/sbin

skip() {
    echo "$*: Slurm test skipped"
    exit 77
}
for c in snakemake munged slurmctld slurmd sinfo sbatch squeue scancel scontrol; do
    command -v "$c" >/dev/null ||
        skip "$c not found (Debian packages snakemake munge slurmctld slurmd slurm-client)"
done

tmp=$(mktemp -d)
pids=()
up=
snakemake_pid=
cleanup() {
    [ -z "$snakemake_pid" ] || kill -KILL "$snakemake_pid" 2>/dev/null || true
    # No job may outlive its slurmd; and only this cluster's jobs go.
    if [ -n "$up" ]; then
        SLURM_CONF=$tmp/slurm/slurm.conf timeout 20 scancel --user="$(id -un)" 2>/dev/null || true
        for _ in $(seq 30); do
            [ -z "$(SLURM_CONF=$tmp/slurm/slurm.conf timeout 10 squeue --noheader 2>/dev/null)" ] && break
            sleep 1
        done
    fi
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT
export XDG_CACHE_HOME=$tmp/cache  # snakemake's source cache
# Snakemake waits 1 s instead of 10 s between rounds of status checks on CI.
export CI=true

# --- a cluster of one node -------------------------------------------------
mkdir -p "$tmp/slurm/state" "$tmp/slurm/spool" "$tmp/munge"
chmod 700 "$tmp/munge"
head -c 1024 /dev/urandom >"$tmp/munge/key"
chmod 400 "$tmp/munge/key"
munged --foreground --force --socket="$tmp/munge/socket" --key-file="$tmp/munge/key" \
    --pid-file="$tmp/munge/pid" --seed-file="$tmp/munge/seed" >"$tmp/munge/log" 2>&1 &
pids+=($!)

read -r ctld_port slurmd_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
host=$(hostname -s)
node=$(slurmd -C 2>/dev/null | head -n 1)  # this machine's CPUs and memory
cpus=$(sed -n 's/.* CPUs=\([0-9]*\).*/\1/p' <<<"$node")
user=$(id -un)
export SLURM_CONF=$tmp/slurm/slurm.conf
cat >"$SLURM_CONF" <<EOF
ClusterName=brelltest
SlurmctldHost=$host(127.0.0.1)
SlurmUser=$user
SlurmdUser=$user
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$tmp/munge/socket
StateSaveLocation=$tmp/slurm/state
SlurmdSpoolDir=$tmp/slurm/spool
SlurmctldPidFile=$tmp/slurm/slurmctld.pid
SlurmdPidFile=$tmp/slurm/slurmd.pid
SlurmctldLogFile=$tmp/slurm/slurmctld.log
SlurmdLogFile=$tmp/slurm/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
MpiDefault=none
ReturnToService=2
KillWait=5
${node/NodeName=$host/NodeName=$host NodeAddr=127.0.0.1} State=UNKNOWN
PartitionName=test Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
for _ in $(seq 20); do
    [ -S "$tmp/munge/socket" ] && break
    sleep 0.5
done
slurmctld -D -i >"$tmp/slurm/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -N "$host" >"$tmp/slurm/slurmd.out" 2>&1 &
pids+=($!)
deadline=$((SECONDS + 60))
until [ "$(timeout 10 sinfo --noheader --format=%t 2>/dev/null)" = idle ]; do
    for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null || deadline=0; done
    if [ "$SECONDS" -ge "$deadline" ]; then
        tail -n 5 "$tmp/munge/log" "$tmp/slurm/"*.log "$tmp/slurm/"*.out 2>/dev/null || true
        skip "the one-node Slurm did not come up (sinfo: $(timeout 10 sinfo --noheader 2>&1 | head -n 1))"
    fi
    sleep 1
done
up=1

# --- the workflow through the profile ---------------------------------------
. "$src/tests/workflow/batch.sh"
batch_run
log=$tmp/snakemake.log
fail() {
    echo "FAIL: $*"
    cat "$log"
    local f
    for f in $(grep -l -i error "$tmp"/*/slurm-logs/*.out 2>/dev/null | head -n 2); do
        echo "--- $f"
        tail -n 20 "$f"
    done
    exit 1
}
start_workflow() {  # DIR BRELL_SIM
    mkdir "$tmp/$1"
    write_config "$tmp/$1.yaml" "$2"
    snakemake --snakefile "$src/workflow/Snakefile" --configfile "$tmp/$1.yaml" \
        --directory "$tmp/$1" --profile "$src/workflow/profiles/slurm" --cores "$cpus" >"$log" 2>&1 &
    snakemake_pid=$!
}
# A workflow blind to a job's end waits for it for ever, and a SIGTERM
# waits with it.
finish_workflow() {
    local status=0
    for _ in $(seq 240); do
        kill -0 "$snakemake_pid" 2>/dev/null || break
        sleep 1
    done
    if kill -0 "$snakemake_pid" 2>/dev/null; then
        kill -KILL "$snakemake_pid"
        fail "the workflow did not end within 4 minutes"
    fi
    wait "$snakemake_pid" || status=$?
    snakemake_pid=
    [ "$status" -eq 0 ] || fail "the workflow ended with status $status"
}

start_workflow plain "$sim"
finish_workflow
diff=$(differences "$tmp/plain")
[ -z "$diff" ] || fail "$diff"
logs=$(cd "$tmp/plain/slurm-logs" && ls)
for name in brell-rep000001 brell-rep000017 brell-gather; do
    grep -q "^$name-[0-9]*\.out$" <<<"$logs" || fail "no log of $name in slurm-logs: $logs"
done

# Replicate 7 sleeps in its first attempt, long enough to be cancelled.
cat >"$tmp/slow-sim" <<EOF
#!/bin/sh
case " \$* " in
*" --first 7 "*) if mkdir "$tmp/slowed" 2>/dev/null; then touch "$tmp/slowed/running"; sleep 200; fi ;;
esac
exec "$sim" "\$@"
EOF
chmod +x "$tmp/slow-sim"
start_workflow cancelled "$tmp/slow-sim"
for _ in $(seq 120); do
    [ -e "$tmp/slowed/running" ] && break
    sleep 1
done
job=$(squeue --noheader --name=brell-rep000007 --format=%i)
[ -n "$job" ] || fail "replicate 7's job is not in the queue: $(squeue 2>&1)"
scancel "$job"
finish_workflow
grep -q "Slurm job $job: CANCELLED" "$log" || fail "the workflow did not say that job $job was cancelled"
[ "$(ls "$tmp/cancelled/slurm-logs" | grep -c '^brell-rep000007-')" -eq 2 ] ||
    fail "replicate 7 was not submitted again"
diff=$(differences "$tmp/cancelled")
[ -z "$diff" ] || fail "after a cancelled job: $diff"
echo "slurm: $n replicates through sbatch, byte-identical to the batch run, a cancelled job run again"
