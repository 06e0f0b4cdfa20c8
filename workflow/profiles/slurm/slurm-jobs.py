#!/usr/bin/env python3
"""Snakemake's go-between with Slurm.

    slurm-jobs.py submit JOBSCRIPT   submits it with sbatch, prints the job id
    slurm-jobs.py status JOBID       prints running, success or failed

A job is named after what it computes (brell-rep000017; a bundle of
replicates brell-rep000001-000050, or brell-rep000003+49 where they are not
consecutive; brell-gather), logs to slurm-logs/NAME-JOBID.out and asks for
the cores, memory, time, partition, account and extra sbatch options of its
resources (the `slurm` section of the workflow's config).

A job Slurm ended (cancelled, out of time or memory, its node failed) never
reaches the end of its script, so Snakemake learns of it only from the
status. It comes from one `squeue` listing of the user's jobs, shared by the
checks of the next few seconds; a job no longer listed is looked up with
`sacct`, or `scontrol show job` where accounting is off. A job Slurm has
forgotten counts as done if it left every output (noted at submission in
slurm-logs/.jobs/) and as failed otherwise. Where Slurm cannot be reached a
job counts as running, so that a busy controller does not fail the workflow.
"""

import json
import os
import pwd
import re
import shlex
import subprocess
import sys
import time

LOGS = "slurm-logs"
NOTES = os.path.join(LOGS, ".jobs")
LISTING = os.path.join(NOTES, "squeue.json")
LISTING_LIFE = 5  # seconds: Snakemake asks about its jobs one by one

SUCCESS = {"COMPLETED"}
FAILED = {"BOOT_FAIL", "CANCELLED", "DEADLINE", "FAILED", "NODE_FAIL", "OUT_OF_MEMORY",
          "PREEMPTED", "REVOKED", "TIMEOUT"}


def job_properties(jobscript):
    with open(jobscript) as f:
        for line in f:
            if line.startswith("# properties = "):
                return json.loads(line[len("# properties = "):])
    raise SystemExit(f"slurm-jobs.py: {jobscript}: no job properties in it")


def replicate_numbers(props):
    """Replicates a job works on, from its wildcards or, for a group, its outputs."""
    r = (props.get("wildcards") or {}).get("r")
    if r is not None:
        return [r]
    found = set()
    for path in props.get("output") or []:
        found.update(re.findall(r"(?:^|/)rep(\d{6,})(?=/|$)", path))
    return sorted(found, key=int)


def job_name(props):
    reps = replicate_numbers(props)
    single = props.get("type") != "group"
    if not reps:
        return "brell-" + str(props.get("rule") if single else props.get("groupid"))
    first, last = int(reps[0]), int(reps[-1])
    if len(reps) == 1:
        label = reps[0]
    elif last - first == len(reps) - 1:
        label = f"{reps[0]}-{reps[-1]}"
    else:  # the log lists them all
        label = f"{reps[0]}+{len(reps) - 1}"
    # A rule run outside its group says which rule it is.
    return "brell-" + (props["rule"] + "-" if single else "") + "rep" + label


def log_file(name):
    return f"{LOGS}/{name}-%j.out"


def sbatch_command(props, name, jobscript):
    res = props.get("resources") or {}
    cmd = ["sbatch", "--parsable", "--job-name=" + name, "--output=" + log_file(name),
           f"--cpus-per-task={props.get('threads') or 1}"]
    if res.get("mem_mb"):
        cmd.append(f"--mem={res['mem_mb']}")
    if res.get("runtime"):
        cmd.append(f"--time={res['runtime']}")
    for key, flag in (("slurm_partition", "--partition"), ("slurm_account", "--account")):
        if res.get(key):
            cmd.append(f"{flag}={res[key]}")
    if res.get("slurm_extra"):
        cmd += shlex.split(str(res["slurm_extra"]))
    return cmd + [jobscript]


def submit(jobscript):
    props = job_properties(jobscript)
    name = job_name(props)
    cmd = sbatch_command(props, name, jobscript)
    os.makedirs(NOTES, exist_ok=True)
    run = subprocess.run(cmd, stdout=subprocess.PIPE, universal_newlines=True)
    if run.returncode != 0:
        raise SystemExit(f"slurm-jobs.py: {shlex.join(cmd)}: exit status {run.returncode}")
    jobid = run.stdout.strip().split(";")[0]  # --parsable: "id" or "id;cluster"
    if not jobid.isdigit():
        raise SystemExit(f"slurm-jobs.py: sbatch printed {run.stdout.strip()!r}, not a job id")
    with open(os.path.join(NOTES, jobid), "w") as f:
        json.dump({"log": log_file(name).replace("%j", jobid),
                   "output": props.get("output") or []}, f)
    return jobid


class Unreachable(Exception):
    pass


def slurm(*cmd):
    try:
        run = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise Unreachable(f"{cmd[0]}: {e}")
    return run.returncode, run.stdout, run.stderr.strip()


def listing():
    """State of each of the user's jobs that the controller still holds."""
    try:
        with open(LISTING) as f:
            cached = json.load(f)
        if 0 <= time.time() - cached["time"] < LISTING_LIFE:
            return cached["states"]
    except (OSError, ValueError, KeyError, TypeError):
        pass
    user = pwd.getpwuid(os.getuid()).pw_name
    rc, out, _ = slurm("squeue", "--noheader", "--states=all", "--user=" + user, "--format=%i %T")
    if rc != 0:
        return {}
    states = dict(line.split()[:2] for line in out.splitlines() if len(line.split()) >= 2)
    os.makedirs(NOTES, exist_ok=True)
    tmp = f"{LISTING}.{os.getpid()}"
    with open(tmp, "w") as f:
        json.dump({"time": time.time(), "states": states}, f)
    os.replace(tmp, LISTING)
    return states


def lookup(jobid):
    """The job's state, or None where Slurm no longer knows it."""
    state = listing().get(jobid)
    if state:
        return state
    rc, out, _ = slurm("sacct", "--noheader", "--parsable2", "--allocations",
                       "--format=State", "--jobs=" + jobid)
    lines = [line for line in out.splitlines() if line.strip()]
    if rc == 0 and lines:
        # "CANCELLED by 1234"; a requeued job's last line is its latest run
        return lines[-1].split()[0]
    rc, out, err = slurm("scontrol", "--oneliner", "show", "job", jobid)
    if rc == 0:
        for field in out.split():
            if field.startswith("JobState="):
                return field[len("JobState="):]
    if "Invalid job id" in err:
        return None
    raise Unreachable(err or f"scontrol show job {jobid}: exit status {rc}")


def submission_note(jobid):
    try:
        with open(os.path.join(NOTES, jobid)) as f:
            note = json.load(f)
        return str(note["log"]), list(note["output"])
    except (OSError, ValueError, KeyError, TypeError):
        return None, []


def status(jobid):
    try:
        state = lookup(jobid)
    except Unreachable as e:
        print(f"slurm-jobs.py: job {jobid}: Slurm did not answer ({e}); counted as running",
              file=sys.stderr)
        return "running"
    if state in SUCCESS:
        return "success"
    if state is not None and state not in FAILED:
        return "running"  # pending, running, completing, suspended, requeued...
    log, outputs = submission_note(jobid)
    if state is None:
        if outputs and all(os.path.exists(p) for p in outputs):
            return "success"
        state = "unknown to Slurm, without its results"
    # Snakemake says only that the job failed; this says how.
    print(f"slurm-jobs.py: Slurm job {jobid}: {state}" + (f", see {log}" if log else ""),
          file=sys.stderr)
    return "failed"


def main(argv):
    if len(argv) == 3 and argv[1] == "submit":
        print(submit(argv[2]))
    elif len(argv) == 3 and argv[1] == "status" and argv[2].isdigit():
        answer = status(argv[2])
        if answer != "running":
            try:
                os.remove(os.path.join(NOTES, argv[2]))
            except OSError:
                pass
        print(answer)
    else:
        raise SystemExit("usage: slurm-jobs.py submit JOBSCRIPT | slurm-jobs.py status JOBID")


if __name__ == "__main__":
    main(sys.argv)
