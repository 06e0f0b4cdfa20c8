#!/usr/bin/env bash
# Builds and runs every test in a release build, then again under
# AddressSanitizer and UndefinedBehaviorSanitizer (all but the statistical
# ones: thousands of simulated studies, the same code the other tests run);
# then fuzzes for a minute: brell's readers and command line, and the study
# readers, brell-ibd and the writers, half a minute each.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRELL_SANITIZE=ON
cmake --build build-sanitize -j"$jobs"
ctest --test-dir build-sanitize -j"$jobs" --output-on-failure -LE statistical

fuzz/run.sh "${FUZZ_SECONDS:-60}"
