#!/usr/bin/env python3
"""Benchmark brell-ibd on three study shapes, and brell-scan's replicates.

Builds Release, makes each study (brell-sim for the sibships and the SNP
study, a hand-built pedigree of 20 bits here), then times brell-ibd and its
floor, brell-ibd-read (reading the files and counting allele frequencies
only). Prints the median wall time of several runs, the peak resident
memory, and the ratio of brell-ibd to its floor. The replicates: 1,000 null
replicates of the example study made by brell-sim --drop, then brell-scan
with both models over the study and all of them (the floor there: scanning
the study alone). The LD study (--study ld): 500 sibships, parents untyped,
10,000 SNPs in LD blocks of 4, without clusters (its floor here), with the
blocks as a cluster file and with --ld-r2 0.1, the ratio to the run without
clusters in wall and in CPU seconds.
"""
import argparse
import os
import random
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SIM = {
    # 2,000 sibships of 2 to 6 affected sibs, parents genotyped in every
    # other family, 400 markers of 8 alleles 1 cM apart.
    "sibships": ["--kindreds", "2000", "--sibs", "2-6", "--parents", "mixed", "--markers", "8",
                 "--length", "399", "--spacing", "1", "--seed", "7"],
    # 500 families at 10,000 SNPs, read from .bed.
    "snps": ["--kindreds", "500", "--sibs", "2-4", "--parents", "mixed", "--freqs", "snp", "--plink",
             "--length", "4999.5", "--spacing", "0.5", "--seed", "8"],
    # The same families with parents untyped, 10,000 SNPs 0.25 cM apart in
    # blocks of 4 (0.75 cM) with 5 haplotypes each.
    "ld": ["--kindreds", "500", "--sibs", "2-4", "--parents", "missing", "--freqs", "snp", "--ld", "4:5",
           "--length", "2499.75", "--spacing", "0.25", "--seed", "8"],
}


# Grandchildren per child of the grandparents: 2 (grandchildren + 4) - 6 bits.
KIDS = {20: [3, 2, 2, 2], 22: [3, 3, 2, 2], 24: [3, 3, 3, 2], 26: [3, 3, 3, 3]}


def pedigree20(folder, markers=200, seed=9, bits=20):
    """Grandparents, their four children with spouses, nine affected
    grandchildren: 13 non-founders and 6 founders with children, 20 bits
    (more grandchildren for more bits)."""
    rnd = random.Random(seed)
    os.makedirs(folder, exist_ok=True)
    people = [("G1", "0", "0", 1, 0), ("G2", "0", "0", 2, 0)]
    kids = KIDS[bits]
    for i, n in enumerate(kids, 1):
        people.append((f"P{i}", "G1", "G2", 1, 0))
        people.append((f"S{i}", "0", "0", 2, 0))
        for j in range(1, n + 1):
            people.append((f"C{i}{j}", f"P{i}", f"S{i}", 1 + j % 2, 2))
    alleles = {}
    for p, fa, mo, _, _ in people:
        g = []
        for m in range(markers):
            if fa == "0":
                g.append((rnd.randint(1, 8), rnd.randint(1, 8)))
            else:
                g.append((rnd.choice(alleles[fa][m]), rnd.choice(alleles[mo][m])))
        alleles[p] = g
    with open(os.path.join(folder, "study.ped"), "w") as f:
        for p, fa, mo, sex, aff in people:
            geno = " ".join(f"{a} {b}" for a, b in alleles[p]) if not p.startswith("G") else " ".join(["0 0"] * markers)
            f.write(f"PED1 {p} {fa} {mo} {sex} {aff} {geno}\n")
    with open(os.path.join(folder, "study.dat"), "w") as f:
        f.write("A disease\n" + "".join(f"M M{m + 1}\n" for m in range(markers)) + "E\n")
    with open(os.path.join(folder, "study.map"), "w") as f:
        f.write("CHR MARKER CM\n" + "".join(f"1 M{m + 1} {m}\n" for m in range(markers)))


def replicates(build, sim, folder, runs):
    example = [os.path.join(ROOT, "examples", "ibd", "study." + e) for e in ("ped", "dat", "map")]
    study = ["-p", example[0], "-d", example[1], "-m", example[2]]
    scan = os.path.join(build, "tools", "scan", "brell-scan")
    reps = os.path.join(folder, "reps")
    made, _ = run([sim, "--drop", *study, "--replicates", "1000", "--seed", "1", "--out", reps])
    floors = [run([scan, *study, "--model", "both", "-o", os.path.join(folder, "scan"), "--quiet"])[0]
              for _ in range(runs)]
    times, rss = [], 0
    for _ in range(runs):
        t, r = run([scan, *study, "--model", "both", "--replicates", reps, "-o", os.path.join(folder, "scan"),
                    "--quiet"])
        times.append(t)
        rss = max(rss, r)
    f, t = statistics.median(floors), statistics.median(times)
    print(f"{'replicates':<11} {f:8.3f} {t:12.3f} {t / f:7.1f} {rss / 1024:8.1f}"
          f"   (1000 made by brell-sim --drop in {made:.3f} s; scanned with both models)", flush=True)


def ld(ibd, sim, folder, runs):
    subprocess.run([sim, *SIM["ld"], "--out", folder], check=True, stdout=subprocess.DEVNULL)
    blocks = os.path.join(folder, "blocks.txt")
    with open(blocks, "w") as f:
        for b in range(0, 10000, 4):
            f.write("CLUSTER " + " ".join(f"M{m + 1}" for m in range(b, b + 4)) + "\n")
    study = []
    for flag, ext in (("-p", "ped"), ("-d", "dat"), ("-m", "map"), ("-f", "freq")):
        study += [flag, os.path.join(folder, "study." + ext)]
    # Recombinations inside a block show as inconsistencies in sibships of
    # three or more: every run sets them aside alike.
    base = [ibd, *study, "-o", os.path.join(folder, "ibd"), "--quiet", "--drop-inconsistent"]
    ways = [("no clusters", []), ("blocks file", ["--clusters", blocks]), ("--ld-r2 0.1", ["--ld-r2", "0.1"])]
    # Round by round, each way once a round, so that a slow spell of a shared
    # machine falls on all of them alike.
    wall = {w: [] for w, _ in ways}
    cpu = {w: [] for w, _ in ways}
    rss = {w: 0 for w, _ in ways}
    for _ in range(runs):
        for w, extra in ways:
            t, r, c = run([*base, *extra], cpu=True)
            wall[w].append(t)
            cpu[w].append(c)
            rss[w] = max(rss[w], r)
    w0, c0 = statistics.median(wall["no clusters"]), statistics.median(cpu["no clusters"])
    print(f"{'ld':<11} {'way':<12} {'wall s':>8} {'CPU s':>8} {'x wall':>7} {'x CPU':>7} {'peak MB':>8}")
    for w, _ in ways:
        t, c = statistics.median(wall[w]), statistics.median(cpu[w])
        print(f"{'':<11} {w:<12} {t:8.2f} {c:8.2f} {t / w0:7.2f} {c / c0:7.2f} {rss[w] / 1024:8.1f}", flush=True)


def run(cmd, cwd=None, cpu=False, err=None):
    """Wall seconds and peak resident KiB of one run of cmd (and its CPU
    seconds); its standard error into the file err, if given."""
    start = time.perf_counter()
    with open(err or os.devnull, "w") as e:
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=e)
        _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"bench: {' '.join(cmd)} failed")
    if cpu:
        return wall, usage.ru_maxrss, usage.ru_utime + usage.ru_stime
    return wall, usage.ru_maxrss


def large(build, root, runs):
    """Three-generation pedigrees of 20 to 26 bits with 8-allele markers,
    beside a floor: brell-ibd-bench stream, which only streams vectors of the
    family's size as many times as the forward-backward pass must (the passes
    that the run reported)."""
    ibd = os.path.join(build, "tools", "ibd", "brell-ibd")
    bench = os.path.join(build, "bench", "brell-ibd-bench")
    print(f"{'bits':>4} {'used':>4} {'markers':>7} {'wall s':>8} {'CPU s':>8} {'peak MB':>8} {'floor s':>8}"
          f" {'ratio':>6}")
    for bits, markers, extra in [(20, 200, []), (24, 50, []), (26, 50, ["--max-bits", "26"])]:
        folder = os.path.join(root, f"pedigree{bits}x{markers}")
        pedigree20(folder, markers=markers, bits=bits)
        study = ["-p", os.path.join(folder, "study.ped"), "-d", os.path.join(folder, "study.dat"),
                 "-m", os.path.join(folder, "study.map"), "-o", os.path.join(folder, "ibd"), "--quiet", *extra]
        times, cpus, rss = [], [], 0
        summary = os.path.join(folder, "summary.txt")
        for i in range(runs):
            # The first run's summary: the bits the family is computed with
            # (fewer where a founder couple is reduced), the floor's size.
            t, r, c = run([ibd, *study[:-1 - len(extra)], *extra] if i == 0 else [ibd, *study], cpu=True,
                          err=summary if i == 0 else None)
            times.append(t)
            cpus.append(c)
            rss = max(rss, r)
        with open(summary) as f:
            used = int(re.search(r"largest family \S+: (\d+) bits", f.read()).group(1))
        out = subprocess.run([bench, "stream", str(used), str(markers)], check=True, capture_output=True, text=True)
        floor = float(out.stdout.split()[-2])
        t = statistics.median(times)
        print(f"{bits:>4} {used:>4} {markers:>7} {t:8.2f} {statistics.median(cpus):8.2f} {rss / 1024:8.1f}"
              f" {floor:8.2f} {t / floor:6.1f}", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--study", choices=["sibships", "snps", "pedigree20", "replicates", "ld", "all", "large"],
                    default="all")
    ap.add_argument("--runs", type=int, default=3, help="runs of each command (default 3)")
    ap.add_argument("--dir", default="/tmp/brell-ibd-bench", help="folder for the build and the studies")
    args = ap.parse_args()

    build = os.path.join(args.dir, "build")
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBRELL_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "brell-ibd", "brell-sim", "brell-ibd-read",
                    "brell-scan", "brell-ibd-bench"],
                   check=True, stdout=subprocess.DEVNULL)
    ibd = os.path.join(build, "tools", "ibd", "brell-ibd")
    floor = os.path.join(build, "bench", "brell-ibd-read")
    sim = os.path.join(build, "tools", "sim", "brell-sim")

    if args.study == "large":
        large(build, args.dir, args.runs)
        return
    names = ["sibships", "snps", "pedigree20", "replicates", "ld"] if args.study == "all" else [args.study]
    print(f"{'study':<11} {'floor s':>8} {'brell-ibd s':>12} {'ratio':>7} {'peak MB':>8}")
    for name in names:
        folder = os.path.join(args.dir, name)
        if name == "replicates":
            replicates(build, sim, folder, args.runs)
            continue
        if name == "ld":
            ld(ibd, sim, folder, args.runs)
            continue
        if name == "pedigree20":
            pedigree20(folder)
        else:
            subprocess.run([sim, *SIM[name], "--out", folder], check=True, stdout=subprocess.DEVNULL)
        study = (["--bfile", os.path.join(folder, "study")] if name == "snps" else
                 ["-p", os.path.join(folder, "study.ped"), "-d", os.path.join(folder, "study.dat"),
                  "-m", os.path.join(folder, "study.map")])
        out = ["-o", os.path.join(folder, "ibd")]
        floors = [run([floor, *study, *out])[0] for _ in range(args.runs)]
        times, rss = [], 0
        for _ in range(args.runs):
            t, r = run([ibd, *study, *out, "--quiet"])
            times.append(t)
            rss = max(rss, r)
        f, t = statistics.median(floors), statistics.median(times)
        print(f"{name:<11} {f:8.3f} {t:12.3f} {t / f:7.1f} {rss / 1024:8.1f}", flush=True)


if __name__ == "__main__":
    main()
