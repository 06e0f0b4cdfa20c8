#!/usr/bin/env bash
# Builds and runs every test in a release build; then all but the
# statistical ones (thousands of simulated studies through the same code the
# other tests run) again under AddressSanitizer and UndefinedBehaviorSanitizer;
# then fuzzes for a minute: brell's readers and command line, and the study
# readers, brell-ibd and the writers, half a minute each. About 15 minutes on
# two cores.
#
# Tests are switched on explicitly: a build folder configured without them
# (as the quick start does) would otherwise run nothing and pass.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
start=$SECONDS

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBRELL_TESTS=ON -DBRELL_TOOLS=ON
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure --no-tests=error

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRELL_SANITIZE=ON -DBRELL_TESTS=ON -DBRELL_TOOLS=ON
cmake --build build-sanitize -j"$jobs"
ctest --test-dir build-sanitize -j"$jobs" --output-on-failure --no-tests=error -LE statistical

fuzz/run.sh "${FUZZ_SECONDS:-60}"
echo "scripts/test.sh: every stage passed in $(( (SECONDS - start) / 60 )) min $(( (SECONDS - start) % 60 )) s"
