#!/usr/bin/env python3
"""Randomised differential test of brell against brell_ref.py.

    differential.py BRELL [--seed S] [--cases N] [--case N|edgeN] [--keep DIR]
                          [--ref-process] [-v]

Runs a few hand-made studies and then N generated well-formed studies,
each with every command-line shape, through brell and through the
reference, and compares standard output, exit status and brell.out byte
for byte (an earlier brell.out must survive a failed run).  The reference
runs in this process unless --ref-process is given.  A failing case is
kept on disk, with a line to reproduce it.
"""

import argparse
import difflib
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True   # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import brell_ref  # noqa: E402

STALE = b"stale results from an earlier run\n"


def fmt_num(rng, x):
    style = rng.random()
    if style < 0.5:
        return "%.6f" % x
    if style < 0.8:
        return repr(x)
    if style < 0.9:
        return "%.4g" % x
    return "%.6e" % x


def make_name(rng, used):
    while True:
        if rng.random() < 0.5:
            name = "K%d" % rng.randint(1, 99)
        else:
            alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_"
            name = "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 12)))
        if name not in used:
            return name


def gen_scores(rng, n):
    mode = rng.random()
    if mode < 0.12:
        v = rng.choice([0, 1, 2, 3.5, -1])
        return [float(v)] * n
    if mode < 0.6:
        return [float(rng.randint(0, 6)) for _ in range(n)]
    return [round(rng.uniform(-3, 10), rng.choice([0, 1, 3])) for _ in range(n)]


def gen_nullprobs(rng, n, all_zero):
    if all_zero:
        # a negligible total is left as read rather than normalised
        return [rng.choice(["0", "0", "0", "1e-9", "2e-10"]) for _ in range(n)]
    mode = rng.random()
    if mode < 0.25:
        return [str(rng.randint(0, 3)) for _ in range(n)]
    raw = [rng.random() if rng.random() > 0.15 else 0.0 for _ in range(n)]
    if sum(raw) == 0.0:
        raw[rng.randrange(n)] = 1.0
    if mode < 0.6:
        s = sum(raw)
        raw = [v / s for v in raw]
    return [fmt_num(rng, v) for v in raw]


def normalised(texts):
    """The null probabilities as the program holds them after normalising."""
    vals = [float(t) for t in texts]
    s = 0.0
    for v in vals:
        s = s + v
    if abs(s) < 1e-8:
        return vals
    return [v / s for v in vals]


def gen_probs(rng, fam, n):
    mode = rng.random()
    if mode < 0.15:
        return [repr(v) for v in normalised(fam["null"])]
    if mode < 0.2:
        return list(fam["null"])
    if mode < 0.27:
        return ["0"] * n
    if mode < 0.37:
        # all the mass on one extreme outcome
        scores = fam["scores"]
        target = max(scores) if rng.random() < 0.6 else min(scores)
        k = scores.index(target)
        return ["1" if i == k else "0" for i in range(n)]
    raw = [rng.random() ** 2 if rng.random() > 0.1 else 0.0 for _ in range(n)]
    s = sum(raw) or 1.0
    scale = 1.0 if mode < 0.8 else rng.uniform(0.3, 0.99)
    return [fmt_num(rng, v / s * scale) for v in raw]


def gen_positions(rng):
    npos = rng.randint(1, 10)
    if rng.random() < 0.3:
        pool = [0.0, 5.0, 2.5, 10.0]
        out = [rng.choice(pool)]
        while len(out) < npos:
            v = rng.choice(pool)
            if v != out[-1]:
                out.append(v)
        return ["%.1f" % v for v in out]
    start = rng.choice([0.0, -10.0, rng.uniform(-5, 50)])
    out = []
    x = start
    for _ in range(npos):
        out.append(x)
        x += rng.choice([5.0, 2.5, rng.uniform(0.1, 20)])
    fmtp = rng.choice(["%.1f", "%.4f", "%g"])
    texts = []
    for v in out:
        t = fmtp % v
        if texts and float(t) == float(texts[-1]):
            t = "%.6f" % (float(texts[-1]) + 1)
        texts.append(t)
    return texts


def join_lines(rng, lines, blank_ok, blanks_only_ok):
    """Join rows, sometimes with empty lines between them."""
    out = []
    for i, ln in enumerate(lines):
        out.append(ln)
        if blank_ok and i + 1 < len(lines) and rng.random() < 0.08:
            out.append("")
            if rng.random() < 0.5:
                out.append("")
        if blanks_only_ok and i + 1 < len(lines) and rng.random() < 0.04:
            out.append("   ")
    text = "\n".join(out)
    if rng.random() < 0.9:
        text += "\n"
    return text


def gen_study(rng):
    nfam = rng.randint(1, 6)
    fams = []
    used = []
    zero_fam = rng.randrange(nfam) if rng.random() < 0.15 else -1
    for i in range(nfam):
        if i >= 2 and rng.random() < 0.1 and fams[i - 2]["name"] != fams[i - 1]["name"]:
            name = fams[i - 2]["name"]      # a second block with an earlier name
        else:
            name = make_name(rng, used)
        used.append(name)
        n = rng.randint(1, 8) if rng.random() < 0.8 else rng.randint(1, 3)
        if rng.random() < 0.05:
            n = rng.randint(9, 19)  # the exponential's vector loops and their tails
        fam = {"name": name, "n": n, "scores": gen_scores(rng, n)}
        fam["null"] = gen_nullprobs(rng, n, i == zero_fam)
        if n >= 2 and i != zero_fam and rng.random() < 0.12:
            # an outcome impossible under the null, far from the others:
            # drives the exponential model steeply towards an end
            k = rng.randrange(n)
            rest = [s for j, s in enumerate(fam["scores"]) if j != k]
            gap = rng.uniform(15, 60)
            fam["scores"][k] = round(max(rest) + gap if rng.random() < 0.7 else min(rest) - gap, 1)
            fam["null"][k] = "0"
            if all(float(v) == 0.0 for v in fam["null"]):
                fam["null"][(k + 1) % n] = "1"
        fams.append(fam)
    positions = gen_positions(rng)
    spacing = rng.choice([" ", "\t", "  "])
    crlf = rng.random() < 0.05
    blank_ok = not crlf

    rows = []
    for fam in fams:
        for k in range(fam["n"]):
            rows.append(spacing.join([fam["name"], fam["null"][k], "%g" % fam["scores"][k]]))
    nullprobs = join_lines(rng, rows, blank_ok, False)

    rows = []
    for fam in fams:
        for pos in positions:
            probs = gen_probs(rng, fam, fam["n"])
            for k in range(fam["n"]):
                third = str(k) if rng.random() < 0.7 else "%g" % fam["scores"][k]
                rows.append(spacing.join([fam["name"], pos, third, probs[k]]))
    probs = join_lines(rng, rows, blank_ok, blank_ok)

    weights = None
    if rng.random() < 0.45:
        lines = []
        for _ in range(rng.randint(1, nfam + 2)):
            r = rng.random()
            if r < 0.75:
                name = rng.choice(fams)["name"]
            elif r < 0.85:
                name = rng.choice(fams)["name"].swapcase()
            else:
                name = make_name(rng, used)
            w = rng.choice(["1", "2.5", "0", "-1", "0.5", "3", "4", "1e0",
                            "%.3f" % rng.uniform(-2, 4), "%.3f" % rng.uniform(-2, 4),
                            rng.choice(["10", "100", "1e3", "-20", "1.3"])])
            line = "%s %s" % (name, w)
            if rng.random() < 0.1:
                line += " extra words"
            lines.append(line)
        if rng.random() < 0.04:
            lines.insert(rng.randrange(len(lines) + 1),
                         rng.choice(["%s abc" % fams[0]["name"], fams[0]["name"], "   "]))
        weights = join_lines(rng, lines, blank_ok, False)

    files = {"nullprobs.dat": nullprobs, "probs.dat": probs}
    if weights is not None:
        files["weights.dat"] = weights
    if crlf:
        files = {k: v.replace("\n", "\r\n") for k, v in files.items()}
    if rng.random() < 0.02:
        del files[rng.choice(["nullprobs.dat", "probs.dat"])]
    return files


def num_word(rng, x):
    t = rng.choice(["%g", "%.3f", "%.2e"]) % x
    if rng.random() < 0.05:
        t += "x"
    return t


def gen_commands(rng):
    lin = rng.choice(["LIN", "LIN", "lin", "Lin", "Linear", "LINEAR"])
    exp = rng.choice(["EXP", "EXP", "exp", "Exp", "expo", "Exponential"])
    cmds = [[lin], [exp]]
    for model in (lin, exp):
        for _ in range(rng.choice([1, 1, 2])):
            dmin = rng.choice([0.0, 0.0, rng.uniform(-2, 1), -1.0, rng.uniform(-6, 0)])
            dmax = dmin + rng.choice([rng.uniform(0.05, 2), rng.uniform(1, 8), 1.0])
            dmin_w, dmax_w = num_word(rng, dmin), num_word(rng, dmax)
            if dmin == 0.0 and rng.random() < 0.3:
                dmin_w = "-0"
            n = rng.choice([1, 2, 4, 10, rng.randint(1, 40)])
            n_w = str(n) if rng.random() > 0.05 else "%d.7" % n
            cmds.append([model, rng.choice(["GRID", "GRID", "grid", "Grid"]), dmin_w, dmax_w, n_w])
    if rng.random() < 0.1:
        cmds.append(rng.choice([
            [], ["LI"], ["lIN"], ["eXp"], ["LIN", "GRID", "0", "1", "10", "extra"],
            ["LIN", "GRID", "0", "1"], ["LIN", "Grid", "1", "1", "5"],
            ["EXP", "GRID", "-1", "1", "0"], ["LIN", "grid", "0", "x", "5"],
            ["LIN", "0.5"], ["EXP", "GRID", "2", "1", "5"], ["EXP", "GRIDS", "0", "1", "5"],
            ["LIN", "GRID", "0", "1", "-3"], ["LIN", "GRID", "0x", "1", "3"],
            ["EXP", "GRID", "-1e", "1", "3"], ["EXP", "GRID", "0", "infinit", "3"],
            ["LIN", "GRID", "-0.5", "0.5", "abc"], ["EXP", "GRID", "-.5", ".5", "+4"]]))
    return cmds


INPUTS = ("nullprobs.dat", "weights.dat", "probs.dat")


def write_files(d, files):
    for name in INPUTS:
        path = os.path.join(d, name)
        if name in files:
            with open(path, "w", newline="") as fh:
                fh.write(files[name])
        elif os.path.exists(path):
            os.remove(path)
    write_stale(d)


def write_stale(d):
    # A run that fails must leave an earlier results file alone.
    with open(os.path.join(d, "brell.out"), "wb") as fh:
        fh.write(STALE)


def run_brell(brell, d, args):
    p = subprocess.run([brell] + args, cwd=d, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=60)
    with open(os.path.join(d, "brell.out"), "rb") as fh:
        out = fh.read()
    return p.returncode, p.stdout, p.stderr, out


def run_ref_process(brell, d, args):
    env = dict(os.environ, BRELL_REF_ARGV0=brell)
    p = subprocess.run([sys.executable, brell_ref.__file__] + args, cwd=d, env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    with open(os.path.join(d, "brell.out"), "rb") as fh:
        out = fh.read()
    return p.returncode, p.stdout, p.stderr, out


def run_ref(brell, d, args):
    try:
        status, text = brell_ref.run([os.fsencode(brell)] + [a.encode() for a in args], d)
    except Exception:  # a fault of the reference must not pass as agreement
        import traceback
        status, text = -1000, "reference failed:\n" + traceback.format_exc()
    with open(os.path.join(d, "brell.out"), "rb") as fh:
        out = fh.read()
    return status, text.encode("utf-8", "surrogateescape"), b"", out


def show_diff(label, want, got):
    lines = difflib.unified_diff(
        want.decode(errors="replace").splitlines(True),
        got.decode(errors="replace").splitlines(True),
        "reference " + label, "brell " + label)
    sys.stdout.write("".join(lines))


MARKERS = {
    "gss [min]": b"Golden-section search maximizes on [min]",
    "gss [max]": b"Golden-section search maximizes on [max]",
    "gss 50 iterations": b"terminated at 50 iterations",
    "grid [min]": b"Grid search maximizes on [min]",
    "grid [max]": b"Grid search maximizes on [max]",
    "dmax warning": b"User-supplied dmax",
    "dmin warning": b"User-supplied dmin",
    "weight warning": b"no weight assigned",
    "weights format error": b"improperly formatted",
    "usage": b"Usage: ",
}
OUT_MARKERS = {"nan in brell.out": b"nan", "-0 in brell.out": b"-0.00000e+00",
               "inf in brell.out": b"inf"}


def study(null_rows, prob_rows, weights=None):
    files = {"nullprobs.dat": "".join(r + "\n" for r in null_rows),
             "probs.dat": "".join(r + "\n" for r in prob_rows)}
    if weights is not None:
        files["weights.dat"] = "".join(r + "\n" for r in weights)
    return files


def probs_rows(fams, positions):
    """fams: (name, [[prob per row] per position])"""
    rows = []
    for name, per_pos in fams:
        for pos, probs in zip(positions, per_pos):
            rows += ["%s %s %d %s" % (name, pos, k, v) for k, v in enumerate(probs)]
    return rows


ASP = ["A 0.25 0", "A 0.5 1", "A 0.25 2"]
ASP_B = [r.replace("A", "B", 1) for r in ASP]
ALL_SHAPES = [["LIN"], ["EXP"], ["LIN", "GRID", "0", "1", "4"], ["EXP", "GRID", "-1", "1", "1"],
              ["LIN", "GRID", "-0.5", "3", "7"]]

# Hand-made studies for the corners that random studies reach rarely.
EDGE_STUDIES = [
    ("null probabilities 1 2 1, unnormalised",
     study(["A 1 0", "A 2 1", "A 1 2"],
           probs_rows([("A", [[0.1, 0.3, 0.6], [0.25, 0.5, 0.25]])], ["0", "5"])), ALL_SHAPES),
    ("single-row kindred",
     study(["A 0.3 2"] + ASP_B,
           probs_rows([("A", [[1], [0.5]]), ("B", [[0, 0.2, 0.8], [0.3, 0.3, 0.4]])], ["1", "2"])),
     ALL_SHAPES),
    ("repeated blocks A B A, weight goes to the first A",
     study(ASP + ASP_B + ASP,
           probs_rows([("A", [[0.1, 0.2, 0.7]]), ("B", [[0.3, 0.3, 0.4]]),
                       ("A", [[0.0, 0.5, 0.5]])], ["3"]),
           ["A 2", "B 0.5"]), ALL_SHAPES),
    ("weights 3 and 4",
     study(ASP + ASP_B, probs_rows([("A", [[0.1, 0.2, 0.7]]), ("B", [[0.2, 0.3, 0.5]])], ["0"]),
           ["B 4", "A 3 trailing words"]), ALL_SHAPES),
    ("all weights zero",
     study(ASP + ASP_B, probs_rows([("A", [[0.1, 0.2, 0.7]]), ("B", [[0.2, 0.3, 0.5]])], ["0"]),
           ["A 0", "B 0"]), ALL_SHAPES),
    ("negative weight: linear range runs downwards",
     study(ASP + ASP_B, probs_rows([("A", [[0.1, 0.2, 0.7], [0.5, 0.4, 0.1]]),
                                    ("B", [[0.2, 0.3, 0.5], [0.6, 0.3, 0.1]])], ["0", "1"]),
           ["A -1"]), ALL_SHAPES),
    ("linear bound 0.5 from two kindreds",
     # (sd, mean - smin, weight) = (1, 2, 1) and (1, 1, 2)
     study(["A 0.5 1", "A 0.5 3", "B 0.5 0", "B 0.5 2"],
           probs_rows([("A", [[0.2, 0.8], [0.9, 0.1]]), ("B", [[0.3, 0.7], [0.5, 0.5]])],
                      ["0", "1"]), ["B 2"]),
     ALL_SHAPES + [["LIN", "GRID", "0", "0.5", "4"], ["LIN", "GRID", "0", "0.75", "3"]]),
    ("positions equal to the null: objective zero everywhere",
     study(ASP + ASP_B, probs_rows([("A", [[0.25, 0.5, 0.25]] * 2),
                                    ("B", [[0.25, 0.5, 0.25]] * 2)], ["0", "7.5"])),
     ALL_SHAPES + [["EXP", "GRID", "-0", "1", "3"]]),
    ("probabilities all zero and summing below one",
     study(ASP + ASP_B, probs_rows([("A", [[0, 0, 0], [0.1, 0.1, 0.1]]),
                                    ("B", [[0.2, 0.2, 0.2], [0, 0, 0]])], ["0", "1"])), ALL_SHAPES),
    ("kindred with all-zero and one with negligible null probabilities",
     study(["A 0 0", "A 0 1", "B 1e-9 0", "B 2e-9 3"] + ["C 0.5 0", "C 0.5 1"],
           probs_rows([("A", [[0.5, 0.5]]), ("B", [[0.2, 0.8]]), ("C", [[0.1, 0.9]])], ["0"])),
     ALL_SHAPES),
    ("no variation under the null",
     study(["A 0.5 2", "A 0.5 2", "B 1 0", "B 0 4"],
           probs_rows([("A", [[0.5, 0.5], [1, 0]]), ("B", [[0.9, 0.1], [1, 0]])], ["0", "1"])),
     ALL_SHAPES),
    ("steep exponential model: 49 narrowing steps",
     study(["A 0.5 0", "A 0.5 1", "A 0 50"],
           probs_rows([("A", [[0.4, 0.4, 0.2], [0.2, 0.4, 0.4]])], ["0", "1"]), ["A 1.3"]),
     ALL_SHAPES + [["EXP", "GRID", "-5", "5", "10"]]),
    ("positions returning after a change, empty and blank lines",
     {"nullprobs.dat": "A 0.25 0\n\nA 0.5 1\nA 0.25 2\n\n\nB 0.5 0\nB 0.5 1",
      "probs.dat": "A 0 0 0.1\nA 0 1 0.2\n   \nA 0 2 0.7\nA 5 0 0.3\n\nA 5 1 0.3\nA 5 2 0.4\n"
                   "A 0 0 0.6\nA 0 1 0.3\nA 0 2 0.1\n\nB 0 0 0.4\nB 0 1 0.6\nB 5 0 0.5\n"
                   "B 5 1 0.5\nB 0 0 0.1\nB 0 1 0.9\n"}, ALL_SHAPES),
    ("weights: unknown and case-differing names, duplicates, empty lines",
     {"nullprobs.dat": "\n".join(ASP + ASP_B) + "\n",
      "probs.dat": "\n".join(probs_rows([("A", [[0.1, 0.2, 0.7]]), ("B", [[0.2, 0.3, 0.5]])],
                                        ["0"])) + "\n",
      "weights.dat": "a 2\nA 2\n\nZ 1\nA 0.5\nB 1e0\n"}, ALL_SHAPES),
    ("weights: a value that is not a number",
     study(ASP, probs_rows([("A", [[0.1, 0.2, 0.7]])], ["0"]), ["A abc"]), [["LIN"]]),
    ("weights: a name without a value",
     study(ASP, probs_rows([("A", [[0.1, 0.2, 0.7]])], ["0"]), ["A 2", "A"]), [["EXP"]]),
    ("weights: a line of blanks",
     study(ASP, probs_rows([("A", [[0.1, 0.2, 0.7]])], ["0"]), ["A 2", "   "]), [["EXP"]]),
    ("missing probs.dat",
     {"nullprobs.dat": "\n".join(ASP) + "\n"}, [["LIN"], ["EXP"]]),
    ("missing nullprobs.dat",
     {"probs.dat": "\n".join(probs_rows([("A", [[0.1, 0.2, 0.7]])], ["0"])) + "\n"}, [["LIN"]]),
    ("command lines",
     study(ASP, probs_rows([("A", [[0.1, 0.2, 0.7]])], ["0"])),
     [[], ["Lin"], ["exponential"], ["LI"], ["lIN"], ["LIN", "GRID", "0", "1", "10", "extra"],
      ["LIN", "GRID", "0", "1"], ["LIN", "Grid", "1", "1", "5"], ["EXP", "GRID", "-1", "1", "0"],
      ["LIN", "grid", "0", "x", "5"], ["LIN", "0.5"], ["LIN", "GRID", "2.5x", "3", "3.7"],
      ["EXP", "GRID", "1e", "2", "2"], ["EXP", "GRID", "0x", "1", "2"],
      ["EXP", "GRID", "0", "infinit", "2"]]),
]


def all_cases(opts):
    """(label, files, command lines) for every case to run."""
    if opts.case is not None:
        if opts.case.startswith("edge"):
            n = int(opts.case[4:])
            yield opts.case, EDGE_STUDIES[n][1], EDGE_STUDIES[n][2]
            return
        numbers = [int(opts.case)]
    else:
        for n, (_, files, cmds) in enumerate(EDGE_STUDIES):
            yield "edge%d" % n, files, cmds
        numbers = range(opts.cases)
    for case in numbers:
        rng = random.Random("%d/%d" % (opts.seed, case))
        files = gen_study(rng)
        yield str(case), files, gen_commands(rng)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("brell")
    ap.add_argument("--seed", type=int, default=20240611)
    ap.add_argument("--cases", type=int, default=300)
    ap.add_argument("--case", help="run only this case: a number, or edgeN for a hand-made one")
    ap.add_argument("--keep", help="directory for failing cases (default: a new temp dir)")
    ap.add_argument("--ref-process", action="store_true",
                    help="run brell_ref.py as its own process (slower)")
    ap.add_argument("-v", "--verbose", action="store_true")
    opts = ap.parse_args()
    brell = os.path.abspath(opts.brell)

    keep = opts.keep or tempfile.mkdtemp(prefix="brell-differential-")
    os.makedirs(keep, exist_ok=True)
    shm = "/dev/shm"
    fast = shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else None
    work = tempfile.mkdtemp(prefix="brell-diff-work-", dir=fast)
    da = os.path.join(work, "brell")
    db = os.path.join(work, "ref")
    os.makedirs(da)
    os.makedirs(db)
    passed = failed = 0
    shown = False
    coverage = dict.fromkeys(list(MARKERS) + list(OUT_MARKERS), 0)
    try:
        for case, files, commands in all_cases(opts):
            write_files(da, files)
            write_files(db, files)
            for args in commands:
                write_stale(da)
                write_stale(db)
                got = run_brell(brell, da, args)
                want = (run_ref_process if opts.ref_process else run_ref)(brell, db, args)
                for key, m in MARKERS.items():
                    coverage[key] += m in want[1]
                for key, m in OUT_MARKERS.items():
                    coverage[key] += m in want[3]
                same = got[0] == want[0] and got[1] == want[1] and got[3] == want[3] \
                    and got[2] == b"" and want[2] == b""
                if opts.verbose:
                    print("case %s %s: %s" % (case, " ".join(args), "ok" if same else "MISMATCH"))
                if same:
                    passed += 1
                    continue
                failed += 1
                cdir = os.path.join(keep, "case" + case)
                shutil.rmtree(cdir, ignore_errors=True)
                os.makedirs(cdir)
                write_files(cdir, files)
                os.remove(os.path.join(cdir, "brell.out"))
                print("MISMATCH case %s: brell %s" % (case, " ".join(args)))
                print("  inputs kept in %s" % cdir)
                print("  reproduce: %s %s %s --seed %d --case %s" % (
                    sys.executable, os.path.abspath(__file__), opts.brell, opts.seed, case))
                if not shown:
                    shown = True
                    if got[0] != want[0]:
                        print("exit status: reference %d, brell %d" % (want[0], got[0]))
                    if got[2]:
                        print("brell wrote to standard error:")
                        show_diff("stderr", b"", got[2])
                    show_diff("stdout", want[1], got[1])
                    show_diff("brell.out", want[3], got[3])
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if failed == 0 and not opts.keep:
            shutil.rmtree(keep, ignore_errors=True)
    print("coverage: " + ", ".join("%s %d" % kv for kv in coverage.items()))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
