#!/usr/bin/env python3
"""Second, independent implementation of brell's numerical pipeline.

Used as a test oracle: run in a directory holding nullprobs.dat, probs.dat
and optionally weights.dat, with brell's own command line, it prints what
brell prints and writes brell.out, byte for byte.  Only well-formed input
files are supported (three fields per nullprobs row, four per probs row,
rows in the expected order).

Every sum, product and comparison is evaluated in the same order as in
brell, and log/exp/sqrt come from the C library through ctypes, so that
infinities, not-a-numbers and their sign bits come out as they do in C.
"""

import ctypes
import ctypes.util
import math
import os
import re
import struct
import sys

_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
for _name in ("log", "exp", "sqrt"):
    _fn = getattr(_libm, _name)
    _fn.restype = ctypes.c_double
    _fn.argtypes = [ctypes.c_double]
c_log = _libm.log
c_exp = _libm.exp
c_sqrt = _libm.sqrt

DBL_MAX = 1.7976931348623157e308
TOL = 1e-8
# x86's default NaN (0.0/0.0 at run time) has its sign bit set.
DEFAULT_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]

MODEL_LIN, MODEL_EXP = 1, 2
SEARCH_GRID, SEARCH_GSS = 1, 2

WS = b" \t\n\r\v\f"


class Exit(Exception):
    def __init__(self, status):
        super().__init__(status)
        self.status = status


def c_div(a, b):
    """IEEE division; Python raises where C yields inf or NaN."""
    if b != 0.0:
        return a / b
    if math.isnan(a):
        return a
    if a == 0.0:
        return DEFAULT_NAN
    return math.copysign(1.0, a) * math.copysign(1.0, b) * math.inf


def fmt(x):
    """C's "%12.5le"."""
    if math.isnan(x):
        s = "-nan" if math.copysign(1.0, x) < 0 else "nan"
        return "%12s" % s
    return "%12.5e" % x


# --- scanf emulation for the command-line words and weights ---------------

_RE_SPECIAL = re.compile(rb"[+-]?(?:inf|nan(?:\([0-9A-Za-z_]*\)?)?)", re.I)
_RE_HEX = re.compile(
    rb"[+-]?0[xX](?:[0-9a-fA-F]+\.?[0-9a-fA-F]*|\.[0-9a-fA-F]*)(?:[pP][+-]?[0-9]+)?")
_RE_DEC = re.compile(rb"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_RE_INT = re.compile(rb"[+-]?[0-9]+")


def scan_le(s):
    """glibc's %le on the start of s: the value, or None when nothing converts.

    Like glibc, a word that runs into an incomplete "infinity" or a bare "0x"
    fails, since scanf cannot take back the characters it has consumed."""
    s = s.lstrip(WS)
    m = _RE_SPECIAL.match(s)
    if m:
        tok = m.group(0)
        neg = tok[:1] == b"-"
        if tok.lstrip(b"+-").lower().startswith(b"nan"):
            v = math.nan
        else:
            rest = s[m.end():m.end() + 5].lower()
            if rest[:1] == b"i":
                if rest != b"inity":
                    return None
            v = math.inf
        return -v if neg else v
    m = _RE_HEX.match(s)
    if m:
        tok = m.group(0).decode()
        neg = tok.startswith("-")
        tok = tok.lstrip("+-")
        mant, _, expo = tok[2:].lower().partition("p")
        if mant in ("", "."):
            v = 0.0
        else:
            v = float.fromhex("0x" + mant + "p" + (expo or "0"))
        return -v if neg else v
    if re.match(rb"[+-]?0[xX]", s):
        return None
    m = _RE_DEC.match(s)
    if m:
        return float(m.group(0))
    return None


def scan_d(s):
    s = s.lstrip(WS)
    m = _RE_INT.match(s)
    if not m:
        return None
    v = int(m.group(0))
    # scanf leaves an out-of-range count undefined; refuse it
    return v if -2**31 <= v < 2**31 else None


# --- the run ---------------------------------------------------------------

class Fam:
    def __init__(self, name):
        self.name = name
        self.nscores = 0
        self.score = []
        self.nullprob = []
        self.mean = 0.0
        self.sd = 0.0
        self.weight = 1.0
        self.zscore = []
        self.prob = []
        self.npl = []
        self.wnpl = []


class Run:
    def __init__(self, argv, workdir, out):
        self.argv = argv          # list of bytes
        self.dir = workdir
        self.out = out            # list of str pieces for stdout
        self.search = -1
        self.dmin = 0.0
        self.dmax = 0.0
        self.numintervals = 0
        self.fam = []
        self.pos = []
        self.delta = []
        self.lod = []
        self.zlr = []
        self.npl_z = []
        self.ln10 = c_log(10.0)
        self.r = (3.0 - c_sqrt(5.0)) * 0.5

    def say(self, s):
        self.out.append(s)

    def path(self, name):
        return os.path.join(self.dir, name)

    # -- command line --

    @staticmethod
    def get_model(word):
        w = word[:3]
        if w in (b"LIN", b"lin", b"Lin"):
            return MODEL_LIN
        if w in (b"EXP", b"exp", b"Exp"):
            return MODEL_EXP
        return -1

    def check_main_args(self):
        argv = self.argv
        argc = len(argv)
        if argc <= 1:
            return 1
        if self.get_model(argv[1]) == -1:
            return 1
        if argc <= 2:
            return 0
        if argv[2] not in (b"GRID", b"grid", b"Grid"):
            return 1
        if argc != 6:
            return 1
        dmin = scan_le(argv[3])
        if dmin is None:
            return 1
        dmax = scan_le(argv[4])
        if dmax is None:
            return 1
        n = scan_d(argv[5])
        if n is None:
            return 1
        if dmin >= dmax:
            self.say("Error: dmin must be less than dmax\n")
            return 1
        if n <= 0:
            self.say("Error: numintervals must be a positive integer\n")
            return 1
        return 0

    def print_usage(self):
        name = self.argv[0].decode("utf-8", "surrogateescape") if self.argv else ""
        self.say("Usage: %s LIN\n" % name)
        self.say("       %s LIN GRID dmin dmax numintervals\n" % name)
        self.say("       %s EXP\n" % name)
        self.say("       %s EXP GRID dmin dmax numintervals\n" % name)

    def get_search(self):
        argc = len(self.argv)
        if argc == 2:
            self.search = SEARCH_GSS
        elif argc == 6:
            self.search = SEARCH_GRID
            self.dmin = scan_le(self.argv[3])
            self.dmax = scan_le(self.argv[4])
            self.numintervals = scan_d(self.argv[5])
        else:
            self.search = -1

    def open_read(self, name):
        try:
            with open(self.path(name), "rb") as fh:
                return fh.read()
        except OSError:
            self.say("Run-time error:  file (%s) could not be opened\n" % name)
            raise Exit(1)

    # -- input files --

    @staticmethod
    def lines(data):
        # The line primitive: runs of newlines are passed over.
        return [ln for ln in data.split(b"\n") if ln != b""]

    def process_nullprobs(self):
        data = self.open_read("nullprobs.dat")
        prev = None
        for ln in self.lines(data):
            toks = ln.split()
            ident = toks[0] if toks else b""
            if ident != prev:
                prev = ident
                self.fam.append(Fam(ident))
            self.fam[-1].nscores += 1
        toks = data.split()
        t = 0
        for f in self.fam:
            f.nullprob = [0.0] * f.nscores
            f.score = [0.0] * f.nscores
            for k in range(f.nscores):
                f.nullprob[k] = float(toks[t + 1])
                f.score[k] = float(toks[t + 2])
                t += 3
        for f in self.fam:
            s = 0.0
            for p in f.nullprob:
                s = s + p
            if abs(s) < TOL:
                f.mean = 0.0
                f.sd = TOL
                continue
            mean = 0.0
            for k in range(f.nscores):
                f.nullprob[k] = c_div(f.nullprob[k], s)
                mean = f.nullprob[k] * f.score[k] + mean
            f.mean = mean
            var = 0.0
            for k in range(f.nscores):
                d = f.score[k] - mean
                var = (d * f.nullprob[k]) * d + var
            f.sd = c_sqrt(var)
            if abs(f.sd) < TOL:
                f.sd = TOL

    def weights(self):
        for f in self.fam:
            f.weight = 1.0
        try:
            with open(self.path("weights.dat"), "rb") as fh:
                data = fh.read()
        except OSError:
            return
        for ln in self.lines(data):
            toks = ln.split(None, 1)
            w = scan_le(toks[1]) if len(toks) == 2 else None
            if w is None:
                self.say("Run-time error: 'weights.dat' improperly formatted\n")
                raise Exit(1)
            ident = toks[0]
            for f in self.fam:
                if f.name == ident:
                    f.weight = w
                    break
            else:
                self.say("Warning: kindred (%s) not found, no weight assigned\n"
                         % ident.decode("utf-8", "surrogateescape"))

    def process_probs(self):
        data = self.open_read("probs.dat")
        lines = [ln for ln in self.lines(data)]
        first = lines[0].split()
        self.pos = [float(first[1])]
        prev = self.pos[0]
        for ln in lines[1:]:
            toks = ln.split()
            if not toks:
                continue        # blank line
            if toks[0] != self.fam[0].name:
                break
            x = float(toks[1])
            if x != prev:
                self.pos.append(x)
                prev = x
        npos = len(self.pos)
        toks = data.split()
        t = 0
        for f in self.fam:
            f.prob = [[0.0] * f.nscores for _ in range(npos)]
            for p in range(npos):
                row = f.prob[p]
                for k in range(f.nscores):
                    row[k] = float(toks[t + 3])
                    t += 4

    # -- kindred statistics --

    def compute_scores(self):
        npos = len(self.pos)
        for f in self.fam:
            f.zscore = [c_div(s - f.mean, f.sd) for s in f.score]
        for f in self.fam:
            f.npl = [0.0] * npos
            for p in range(npos):
                e = 0.0
                for k in range(f.nscores):
                    e = e + f.score[k] * f.prob[p][k]
                f.npl[p] = c_div(e - f.mean, f.sd)
        for f in self.fam:
            f.wnpl = [f.weight * v for v in f.npl]

    # -- models --

    def f1_linear(self, p, x):
        # Within [0, bound] a term a hair below 0 is a likelihood of zero.
        in_range = 0.0 <= x <= self.bound
        f = 0.0
        for fam in self.fam:
            t = x * fam.wnpl[p] + 1.0
            if t < 0.0 and t >= -TOL and in_range:
                t = 0.0
            f = f - c_log(t)
        return f

    def f1_exponential(self, p, x):
        f = 0.0
        s = 0.0
        for fam in self.fam:
            d = 0.0
            n = 0.0
            xw = x * fam.weight
            prob = fam.prob[p]
            for k in range(fam.nscores):
                e = c_exp(xw * fam.zscore[k])
                d = d + e * fam.nullprob[k]
                n = n + e * prob[k]
            f = c_log(n) + f
            s = s + c_log(d)
        f = s - f
        if abs(f) < TOL:
            f = 0.0
        return f

    def linear_bound(self):
        bound = DBL_MAX
        for f in self.fam:
            smin = DBL_MAX
            for s in f.score:
                if s < smin:
                    smin = s
            b = c_div(f.sd, (f.mean - smin) * f.weight)
            if b < bound:
                bound = b
        return bound

    def dmin_warning(self):
        self.say("Warning: User-supplied dmin (%s) is smaller than 0\n" % fmt(self.dmin))
        self.say("         Negative delta's model deficit sharing and should be")
        self.say(" used with caution\n")

    def allocate_results(self):
        self.delta = [0.0] * len(self.pos)
        self.lod = [0.0] * len(self.pos)

    def linear(self):
        self.allocate_results()
        bound = self.linear_bound()
        self.bound = bound
        if self.search == SEARCH_GRID:
            if bound < self.dmax:
                self.say("Warning: User-supplied dmax (%s) exceeds " % fmt(self.dmax))
                self.say("theoretical bound (%s)\n" % fmt(bound))
            if self.dmin < 0:
                self.dmin_warning()
            for p in range(len(self.pos)):
                self.grid(p, self.f1_linear)
        elif self.search == SEARCH_GSS:
            for p in range(len(self.pos)):
                self.dmin = 0.0
                self.dmax = bound
                self.gss(p, self.f1_linear)

    def exponential(self):
        self.allocate_results()
        if self.search == SEARCH_GRID and self.dmin < 0:
            self.dmin_warning()
        if self.search == SEARCH_GRID:
            for p in range(len(self.pos)):
                self.grid(p, self.f1_exponential)
        elif self.search == SEARCH_GSS:
            self.say("NOTICE:  If the golden-section search maximizes on the boundary,\n")
            self.say("         consider using a GRID search\n")
            self.dmin = -5.0
            self.dmax = 5.0
            for p in range(len(self.pos)):
                self.gss(p, self.f1_exponential)

    # -- searches --

    def gss(self, p, obj):
        r = self.r
        a = self.dmin
        b = self.dmax
        fa = obj(p, a)
        fb = obj(p, b)
        d = r * (b - a)
        x1 = a + d
        f1 = obj(p, x1)
        x2 = b - d
        f2 = obj(p, x2)
        count = 1
        while abs(f1 - f2) > TOL:
            if count > 49:
                break
            if f1 > f2:
                a = x1
                x1, f1 = x2, f2
                x2 = b - r * (b - a)
                f2 = obj(p, x2)
            else:
                b = x2
                x2, f2 = x1, f1
                x1 = a + r * (b - a)
                f1 = obj(p, x1)
            count += 1
        if count == 50:
            self.say("Warning: golden-section search terminated at %d iterations\n" % count)
        if f1 <= f2 and f1 <= fa and f1 <= fb:
            self.delta[p] = x1
            self.lod[p] = -f1 / self.ln10
        elif f2 <= f1 and f2 <= fa and f2 <= fb:
            self.delta[p] = x2
            self.lod[p] = -f2 / self.ln10
        elif fa <= f1 and fa <= f2 and fa <= fb:
            self.delta[p] = self.dmin
            self.lod[p] = -fa / self.ln10
            self.say("Golden-section search maximizes on [min] boundary for pos = %s\n"
                     % fmt(self.pos[p]))
        else:
            self.delta[p] = self.dmax
            self.lod[p] = -fb / self.ln10
            self.say("Golden-section search maximizes on [max] boundary for pos = %s\n"
                     % fmt(self.pos[p]))

    def grid(self, p, obj):
        step = (self.dmax - self.dmin) / float(self.numintervals)
        best = DBL_MAX
        bx = self.dmin
        for i in range(self.numintervals):
            x = float(i) * step + self.dmin
            f = obj(p, x)
            if f < best:
                best = f
                bx = x
        f = obj(p, self.dmax)
        if f < best:
            best = f
            bx = self.dmax
        self.delta[p] = bx
        lod = -best / self.ln10
        if abs(lod) < TOL:
            lod = 0.0
        self.lod[p] = lod
        if bx == self.dmin:
            self.say("Grid search maximizes on [min] boundary for pos = %s\n" % fmt(self.pos[p]))
        if bx == self.dmax:
            self.say("Grid search maximizes on [max] boundary for pos = %s\n" % fmt(self.pos[p]))

    # -- results --

    def compute_final_stats(self):
        npos = len(self.pos)
        w2 = 0.0
        for f in self.fam:
            w2 = w2 + f.weight * f.weight
        big_w = c_sqrt(w2)
        self.npl_z = [0.0] * npos
        for p in range(npos):
            s = 0.0
            for f in self.fam:
                s = s + f.wnpl[p]
            self.npl_z[p] = c_div(s, big_w)
        self.zlr = [0.0] * npos
        l2 = c_log(10.0) + c_log(10.0)
        for p in range(npos):
            if self.delta[p] < 0:
                self.zlr[p] = -c_sqrt(l2 * self.lod[p])
            else:
                self.zlr[p] = c_sqrt(l2 * self.lod[p])

    def report(self):
        rows = []
        for p in range(len(self.pos)):
            rows.append("%s  %s  %s  %s  %s\n" % (
                fmt(self.pos[p]), fmt(self.npl_z[p]), fmt(self.zlr[p]),
                fmt(self.lod[p]), fmt(self.delta[p])))
        try:
            with open(self.path("brell.out"), "w") as fh:
                fh.write("".join(rows))
        except OSError:
            self.say("Run-time error:  file (%s) could not be opened\n" % "brell.out")
            raise Exit(1)

    def main(self):
        if self.check_main_args() != 0:
            self.print_usage()
            raise Exit(1)
        self.process_nullprobs()
        self.weights()
        self.process_probs()
        self.compute_scores()
        self.get_search()
        model = self.get_model(self.argv[1])
        if model == MODEL_LIN:
            self.linear()
        elif model == MODEL_EXP:
            self.exponential()
        else:
            self.print_usage()
            raise Exit(1)
        self.compute_final_stats()
        self.report()
        return 0


def run(argv, workdir="."):
    """Run in workdir with argv (list of bytes, word 0 included).

    Returns (exit status, stdout text)."""
    out = []
    try:
        status = Run(argv, workdir, out).main()
    except Exit as e:
        status = e.status
    return status, "".join(out)


def main():
    argv = [os.fsencode(a) for a in sys.argv]
    # lets a test driver have the usage text name the program it compares with
    if os.environ.get("BRELL_REF_ARGV0"):
        argv[0] = os.fsencode(os.environ["BRELL_REF_ARGV0"])
    status, text = run(argv, ".")
    sys.stdout.buffer.write(text.encode("utf-8", "surrogateescape"))
    sys.stdout.flush()
    return status


if __name__ == "__main__":
    sys.exit(main())
