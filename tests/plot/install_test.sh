#!/bin/sh
# Installs the build into a fresh prefix and runs the installed programs.
# Arguments: cmake build-dir bindir mandir have-sim(0/1) groff
set -u
cmake=$1 build=$2 bindir=$3 mandir=$4 have_sim=$5 groff=$6

prefix=$(mktemp -d) || exit 1
trap 'rm -rf "$prefix"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

"$cmake" --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1 ||
    { cat "$prefix/install.log" >&2; fail "cmake --install"; }

bin=$prefix/$bindir
programs="brell brell-plot brell-ibd brell-scan"
[ "$have_sim" = 1 ] && programs="$programs brell-sim"
for p in $programs; do
    [ -x "$bin/$p" ] || fail "$bin/$p is not installed"
done

# brell with no arguments: the usage text on standard output, status 1.
cd "$prefix" || exit 1
"$bin/brell" >out.txt 2>err.txt
status=$?
[ "$status" = 1 ] || fail "brell without arguments exited $status, not 1"
[ "$(head -n 1 out.txt)" = "Usage: $bin/brell LIN" ] || fail "brell usage: $(cat out.txt)"
[ -s err.txt ] && fail "brell wrote to standard error: $(cat err.txt)"

"$bin/brell-plot" --help >out.txt 2>&1 || fail "brell-plot --help exited $?"
grep -q '^Usage: brell-plot ' out.txt || fail "brell-plot --help: $(cat out.txt)"

printf ' 0.00000e+00   1.00000e+00   1.00000e+00   2.00000e+00   1.00000e-01\n' >brell.out
printf ' 5.00000e+00   2.00000e+00   4.00000e+00   3.50000e+00   2.00000e-01\n' >>brell.out
"$bin/brell-plot" brell.out >out.txt 2>err.txt || fail "installed brell-plot failed: $(cat err.txt)"
grep -q 'peak: position 5 cM, LOD 3.5' out.txt || fail "brell-plot summary: $(cat out.txt)"
grep -q '</svg>' brell.svg || fail "brell-plot wrote no figure"

printf 'chromosome\tposition\tmarker\tinformation\tlin_npl_z\tlin_zlr\tlin_lod\tlin_delta\n' >scan.tsv
printf '1\t0\tD1S1\t0.9\t1\t2\t0.87\t0.1\n1\t5\t\tNaN\t2\t4\t3.5\t0.2\n' >>scan.tsv
"$bin/brell-plot" --genome scan.tsv >out.txt 2>err.txt || fail "installed brell-plot --genome failed: $(cat err.txt)"
grep -q '^LIN best peak: chromosome 1 at 5 cM, LOD 3.50$' out.txt || fail "brell-plot --genome summary: $(cat out.txt)"
grep -q '</svg>' scan.svg || fail "brell-plot --genome wrote no figure"

if [ "$have_sim" = 1 ]; then
    "$bin/brell-sim" --help >out.txt 2>&1 || fail "brell-sim --help exited $?"
fi

page=$prefix/$mandir/man1/brell.1
[ -f "$page" ] || fail "$page is not installed"
case $groff in
*NOTFOUND* | "") fail "groff is needed to check the man page (Debian package groff-base)" ;;
esac
"$groff" -man -Tutf8 -ww -P-cbou "$page" >page.txt 2>warnings.txt || fail "groff could not format brell.1"
[ -s warnings.txt ] && fail "brell.1 formats with warnings: $(cat warnings.txt)"
for section in NAME SYNOPSIS DESCRIPTION FILES DIAGNOSTICS "EXIT STATUS" EXAMPLES; do
    grep -q "^$section" page.txt || fail "brell.1 has no $section section"
done
# Every program has its page, and every page's SEE ALSO names every other.
for name in $programs; do
    page=$prefix/$mandir/man1/$name.1
    [ -f "$page" ] || fail "$page is not installed"
    "$groff" -man -Tutf8 -ww -P-cbou "$page" >page.txt 2>warnings.txt || fail "groff could not format $name.1"
    [ -s warnings.txt ] && fail "$name.1 formats with warnings: $(cat warnings.txt)"
    sed -n '/^SEE ALSO/,/^[A-Z]/p' page.txt | tr -d '\n' >see.txt
    for other in $programs; do
        [ "$other" = "$name" ] || grep -q "$other(1)" see.txt || fail "$name(1): SEE ALSO does not name $other(1)"
    done
done
for p in $programs; do
    [ "$p" = brell ] && continue
    case $("$bin/$p" --version) in
    "$p "[0-9]*) ;;
    *) fail "$p --version: $("$bin/$p" --version 2>&1)" ;;
    esac
done
"$bin/brell-ibd" --help >out.txt 2>&1 || fail "brell-ibd --help exited $?"
grep -q '^Usage: brell-ibd ' out.txt || fail "brell-ibd --help: $(cat out.txt)"
echo "installed and ran: $programs; man pages format cleanly"
