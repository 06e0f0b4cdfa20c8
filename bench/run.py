#!/usr/bin/env python3
"""Benchmark brell on a simulated genome-scale study.

Builds Release, makes the study with brell-sim, then times `brell LIN`,
`brell EXP`, `brell EXP GRID -1 2 100` and the floor (brell-floor: one
single-threaded pass over probs.dat that only splits fields and converts
numbers). With --distinct no two kindreds of the study are alike
(brell-distinct: each its own 16 outcomes, scores and null probabilities), as
in real studies that mix many pedigree shapes. Prints the median wall time of
several runs, the MB/s of probs.dat, the peak resident memory, and each time
as a ratio to the floor. With --baseline another brell (an earlier build) is
timed on the same study, round by round with this one.
"""
import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

STUDIES = {
    # 300 affected sibships of 2 to 6, 4001 positions 0.05 cM apart.
    "full": ["--kindreds", "300", "--sibs", "2-6", "--length", "200", "--spacing", "0.05"],
    "small": ["--kindreds", "60", "--sibs", "2-6", "--length", "100", "--spacing", "0.1"],
    # The same sibships at 16001 positions: a probs.dat of about 470 MB.
    "large": ["--kindreds", "300", "--sibs", "2-6", "--length", "200", "--spacing", "0.0125"],
}
# The all-different study of each size: kindreds, outcomes each, positions.
DISTINCT = {"full": ["300", "16", "4000"], "small": ["60", "16", "1000"], "large": ["300", "16", "16000"]}
COMMON = ["--locus", "87.3", "--model", "exp", "--delta", "0.3", "--informativeness", "0.8", "--seed", "42"]


def run(cmd, cwd, env=None):
    """Wall seconds, peak resident KiB and CPU seconds of one run of cmd."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"bench: {' '.join(cmd)} failed")
    return wall, usage.ru_maxrss, usage.ru_utime + usage.ru_stime


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", choices=sorted(STUDIES), default="full", help="study size (default full)")
    ap.add_argument("--runs", type=int, default=5, help="runs of each command (default 5)")
    ap.add_argument("--dir", default="/tmp/brell-bench", help="folder for the build and the study")
    ap.add_argument("--distinct", action="store_true",
                    help="every kindred with its own null distribution (brell-distinct) instead of sibships")
    ap.add_argument("--threads", help="BRELL_THREADS for brell (default: every core)")
    ap.add_argument("--baseline", metavar="BRELL",
                    help="another brell binary (an earlier build, say) to time round by round beside this one")
    args = ap.parse_args()

    build = os.path.join(args.dir, "build")
    shape = "distinct" if args.distinct else "sibships"
    study = os.path.join(args.dir, f"study-{shape}-{args.size}")
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBRELL_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "brell", "brell-sim", "brell-floor",
                    "brell-distinct"],
                   check=True, stdout=subprocess.DEVNULL)
    brell = os.path.join(build, "brell")
    sim = os.path.join(build, "tools", "sim", "brell-sim")
    floor = os.path.join(build, "bench", "brell-floor")
    if args.distinct:
        # Half a gigabyte takes a while to write: a study made with the same
        # arguments by the same generator is kept.
        make = [os.path.join(build, "bench", "brell-distinct"), *DISTINCT[args.size], study]
        stamp = os.path.join(study, "made-by")
        with open(os.path.join(ROOT, "bench", "distinct.cpp"), "rb") as f:
            recipe = " ".join(make[1:]) + "\n" + hashlib.sha256(f.read()).hexdigest() + "\n"
        if not os.path.exists(stamp) or open(stamp).read() != recipe:
            os.makedirs(study, exist_ok=True)
            if os.path.exists(stamp):
                os.remove(stamp)
            subprocess.run(make, check=True)
            with open(stamp, "w") as f:
                f.write(recipe)
    else:
        subprocess.run([sim, *STUDIES[args.size], *COMMON, "--out", study], check=True, stdout=subprocess.DEVNULL)

    probs = os.path.join(study, "probs.dat")
    size_mb = os.path.getsize(probs) / 1e6
    with open(probs, "rb") as f:
        rows = sum(1 for line in f if line.strip())
    env = dict(os.environ)
    if args.threads:
        env["BRELL_THREADS"] = args.threads
    commands = [
        ("floor", [floor, probs]),
        ("brell LIN", [brell, "LIN"]),
        ("brell EXP", [brell, "EXP"]),
        ("brell EXP GRID -1 2 100", [brell, "EXP", "GRID", "-1", "2", "100"]),
    ]
    if args.baseline:
        baseline = os.path.abspath(args.baseline)
        commands += [("baseline " + name[len("brell "):], [baseline, *cmd[1:]]) for name, cmd in commands[1:]]
    print(f"study: {shape} {args.size}, probs.dat {size_mb:.1f} MB, {rows} rows; {os.cpu_count()} cores; "
          f"median of {args.runs} runs")
    # Round by round, every command once a round, so that a slow spell of a
    # shared machine falls on all of them alike.
    runs = {name: [] for name, _ in commands}
    for _ in range(args.runs):
        for name, cmd in commands:
            runs[name].append(run(cmd, study, env))
    results = {}
    for name, _ in commands:
        got = runs[name]
        results[name] = (statistics.median(w for w, _, _ in got), max(r for _, r, _ in got),
                         statistics.median(c for _, _, c in got))
    floor_s = results["floor"][0]
    # CPU seconds too: on a busy machine they say more than the wall time of
    # a program that wants both cores.
    print(f"{'command':<26}{'wall s':>8}{'MB/s':>8}{'peak RSS MB':>13}{'x floor':>9}{'CPU s':>8}")
    for name, (wall, rss, cpu) in results.items():
        print(f"{name:<26}{wall:>8.3f}{size_mb / wall:>8.0f}{rss / 1024:>13.1f}{wall / floor_s:>9.2f}{cpu:>8.3f}")
    print(f"load average {os.getloadavg()[0]:.2f} at the end")
    lin, exp, grid = (results[n][0] for n in ("brell LIN", "brell EXP", "brell EXP GRID -1 2 100"))
    budget = (1.25 * 8 * rows + 64 * 2**20) / 2**20
    print(f"brell LIN peak RSS {results['brell LIN'][1] / 1024:.1f} MB against a budget of {budget:.1f} MB; "
          f"EXP GRID / LIN = {grid / lin:.2f}")


if __name__ == "__main__":
    main()
