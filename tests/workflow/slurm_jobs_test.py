#!/usr/bin/env python3
"""workflow/profiles/slurm/slurm-jobs.py against stand-ins for squeue, sacct,
scontrol and sbatch: how each way a job can end reads to Snakemake (sacct
cannot be had without a Slurm database), and what a job is named and asks for.

Usage: slurm_jobs_test.py SOURCE_DIR
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(sys.argv.pop(1), "workflow/profiles/slurm/slurm-jobs.py")

# Each stand-in prints $FAKE/NAME.out to stdout, $FAKE/NAME.err to stderr and
# exits with $FAKE/NAME.rc (0 if absent), after noting its arguments.
STAND_IN = """#!/bin/sh
d=$FAKE; n=$(basename "$0")
echo "$n $*" >>"$d/calls"
[ -f "$d/$n.out" ] && cat "$d/$n.out"
[ -f "$d/$n.err" ] && cat "$d/$n.err" >&2
exit $(cat "$d/$n.rc" 2>/dev/null || echo 0)
"""

UNREACHABLE = (1, "", "slurm_load_jobs error: Unable to contact slurm controller")
INVALID = (1, "", "slurm_load_jobs error: Invalid job id specified")
NO_ACCOUNTING = (1, "", "Slurm accounting storage is disabled")
UNLISTED = (0, "41 RUNNING\n", "")


def listed(state):
    return (0, f"41 RUNNING\n42 {state}\n", "")


def sacct(text):
    return (0, text, "")


def scontrol(state):
    return (0, f"JobId=42 JobName=brell-rep000001 JobState={state} Reason=None\n", "")


class SlurmJobs(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.fake = os.path.join(self.dir.name, "fake")
        os.mkdir(self.fake)
        for name in ("squeue", "sacct", "scontrol", "sbatch"):
            path = os.path.join(self.fake, name)
            with open(path, "w") as f:
                f.write(STAND_IN)
            os.chmod(path, 0o755)
        self.env = dict(os.environ, FAKE=self.fake, PATH=self.fake + os.pathsep + os.environ["PATH"])

    def tearDown(self):
        self.dir.cleanup()

    def answers(self, **commands):
        for name, (rc, out, err) in commands.items():
            for ext, text in (("rc", str(rc)), ("out", out), ("err", err)):
                with open(os.path.join(self.fake, f"{name}.{ext}"), "w") as f:
                    f.write(text)

    def run_script(self, *args):
        return subprocess.run([sys.executable, SCRIPT, *args], cwd=self.dir.name, env=self.env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)

    def calls(self):
        with open(os.path.join(self.fake, "calls")) as f:
            return f.read().splitlines()

    def test_status(self):
        # (case, squeue, sacct, scontrol, outputs left of [a, b], answer)
        cases = [
            ("listed running", listed("RUNNING"), None, None, None, "running"),
            ("listed completing", listed("COMPLETING"), None, None, None, "running"),
            ("listed completed", listed("COMPLETED"), None, None, None, "success"),
            ("listed cancelled", listed("CANCELLED"), None, None, None, "failed"),
            ("sacct cancelled by", UNLISTED, sacct("CANCELLED by 1000\n"), None, None, "failed"),
            ("sacct out of memory", UNLISTED, sacct("OUT_OF_MEMORY\n"), None, None, "failed"),
            ("sacct requeued, latest last", UNLISTED, sacct("NODE_FAIL\nPENDING\n"), None, None, "running"),
            ("no accounting, timeout", UNLISTED, NO_ACCOUNTING, scontrol("TIMEOUT"), None, "failed"),
            ("sacct empty, pending", UNLISTED, sacct(""), scontrol("PENDING"), None, "running"),
            ("squeue down, sacct", UNREACHABLE, sacct("COMPLETED\n"), None, None, "success"),
            ("forgotten, left both", UNLISTED, sacct(""), INVALID, ["a", "b"], "success"),
            ("forgotten, left one", UNLISTED, sacct(""), INVALID, ["a"], "failed"),
            ("forgotten, no note", UNLISTED, NO_ACCOUNTING, INVALID, None, "failed"),
            ("controller down", UNREACHABLE, UNREACHABLE, UNREACHABLE, None, "running"),
        ]
        for case, squeue_, sacct_, scontrol_, left, answer in cases:
            with self.subTest(case):
                self.tearDown()
                self.setUp()
                self.answers(squeue=squeue_, sacct=sacct_ or NO_ACCOUNTING, scontrol=scontrol_ or INVALID)
                notes = os.path.join(self.dir.name, "slurm-logs", ".jobs")
                if left is not None:
                    os.makedirs(notes)
                    with open(os.path.join(notes, "42"), "w") as f:
                        json.dump({"log": "slurm-logs/x-42.out", "output": ["a", "b"]}, f)
                    for p in left:
                        open(os.path.join(self.dir.name, p), "w").close()
                run = self.run_script("status", "42")
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stdout, answer + "\n")
                self.assertEqual(answer == "failed", "Slurm job 42" in run.stderr, run.stderr)
                # A job's note goes once Snakemake has its answer.
                self.assertEqual(os.path.exists(os.path.join(notes, "42")), answer == "running" and left is not None)

    def test_one_listing_serves_the_checks_of_a_few_seconds(self):
        self.answers(squeue=(0, "7 RUNNING\n8 PENDING\n9 COMPLETED\n", ""))
        for jobid, answer in (("7", "running"), ("8", "running"), ("9", "success")):
            self.assertEqual(self.run_script("status", jobid).stdout, answer + "\n")
        self.assertEqual([c.split()[0] for c in self.calls()], ["squeue"])

    def test_submit(self):
        # (case, properties, sbatch prints, job name, further sbatch options)
        group = {"type": "group", "groupid": "replicate", "threads": 1,
                 "resources": {"mem_mb": 500, "runtime": 5}}

        def replicates(*rs):
            return dict(group, output=[f"reps/rep{r:06d}/scan-result.tsv" for r in rs])

        cases = [
            ("gather", {"type": "single", "rule": "gather", "wildcards": {}, "threads": 2,
                        "output": ["scan/scan.tsv"], "resources": {"mem_mb": 2000, "runtime": 30}},
             "42\n", "brell-gather", ["--cpus-per-task=2", "--mem=2000", "--time=30"]),
            ("one replicate, site options",
             dict(replicates(17), resources={"mem_mb": 500, "runtime": 5, "slurm_partition": "short",
                                             "slurm_account": "lab", "slurm_extra": "--qos=fast -C 'a&b'"}),
             "42;cluster\n", "brell-rep000017",
             ["--cpus-per-task=1", "--mem=500", "--time=5", "--partition=short", "--account=lab",
              "--qos=fast", "-C", "a&b"]),
            ("a bundle in a row", replicates(3, 1, 2), "42\n", "brell-rep000001-000003",
             ["--cpus-per-task=1", "--mem=500", "--time=5"]),
            ("a bundle with gaps", replicates(9, 3, 5), "42\n", "brell-rep000003+2",
             ["--cpus-per-task=1", "--mem=500", "--time=5"]),
            ("a rule outside its group",
             {"type": "single", "rule": "scan", "wildcards": {"r": "000005"}, "threads": 1,
              "output": ["reps/rep000005/scan-result.tsv"], "resources": {}},
             "42\n", "brell-scan-rep000005", ["--cpus-per-task=1"]),
        ]
        for case, props, printed, name, options in cases:
            with self.subTest(case):
                self.tearDown()
                self.setUp()
                self.answers(sbatch=(0, printed, ""))
                script = os.path.join(self.dir.name, "job.sh")
                with open(script, "w") as f:
                    f.write(f"#!/bin/sh\n# properties = {json.dumps(props)}\nsnakemake ...\n")
                run = self.run_script("submit", script)
                self.assertEqual((run.returncode, run.stdout), (0, "42\n"), run.stderr)
                log = f"slurm-logs/{name}-%j.out"
                self.assertEqual(self.calls(), [" ".join(["sbatch", "--parsable", "--job-name=" + name,
                                                          "--output=" + log, *options, script])])
                with open(os.path.join(self.dir.name, "slurm-logs", ".jobs", "42")) as f:
                    self.assertEqual(json.load(f), {"log": log.replace("%j", "42"), "output": props["output"]})

    def test_a_refused_submission_fails(self):
        self.answers(sbatch=(1, "", "sbatch: error: invalid partition specified: nope"))
        script = os.path.join(self.dir.name, "job.sh")
        with open(script, "w") as f:
            f.write('# properties = {"type": "single", "rule": "gather", "output": [], "resources": {}}\n')
        run = self.run_script("submit", script)
        self.assertNotEqual(run.returncode, 0)
        self.assertEqual(run.stdout, "")
        self.assertFalse(os.path.exists(os.path.join(self.dir.name, "slurm-logs", ".jobs", "42")))


if __name__ == "__main__":
    unittest.main()
