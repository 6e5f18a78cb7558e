#!/usr/bin/env bash
# Builds every test with coverage instrumentation, runs them all, and prints
# the line and branch coverage of src/, platform/ and tools/, each with the
# lines left uncovered. Branches that exist only for thrown exceptions, and
# those the compiler made unreachable, are not counted.
#
#   scripts/coverage.sh [BUILD_DIR]     (default build/coverage)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/coverage}
jobs=$(nproc)

banner() { printf '\n==== %s\n' "$*"; }

banner "dependencies"
scripts/install-deps.sh gcovr

banner "configure $build"
# Atomic counters: suites that run threads would otherwise tear them.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_CXX_FLAGS="--coverage -O0 -fprofile-update=atomic" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  -DCMAKE_SHARED_LINKER_FLAGS=--coverage -DQZCC_TEST=ON -DQZCC_BENCH=OFF \
  -DQZCC_EXAMPLES=OFF

# From scratch: notes left by sources that have since moved to another
# target would be read as stale, and counts from earlier runs would add up.
banner "build"
find "$build" \( -name '*.gcda' -o -name '*.gcno' \) -delete
cmake --build "$build" -j"$jobs" --clean-first

banner "test"
find "$build" -name '*.gcda' -delete  # test discovery ran the programs
ctest --test-dir "$build" --output-on-failure -j"$jobs"

# One pass over the counts, one gcov at a time (gcovr's parallel workers
# stall when a gcov fails); each folder's report is then read from it.
banner "collect"
trace="$build/coverage.json"
# Only this build's counts: other build folders under build/ hold their own.
gcovr --root . --object-directory "$build" "$build" \
  --filter 'src/' --filter 'platform/' --filter 'tools/' \
  --exclude 'tests/' --exclude 'bench/' --exclude 'examples/' \
  --exclude 'build/' --exclude-directories "$build/CMakeFiles/[0-9.]+" \
  --exclude-throw-branches --exclude-unreachable-branches --json "$trace"

for folder in src platform tools; do
  banner "$folder/: lines per file, Missing the uncovered ones; then totals"
  gcovr --root . --add-tracefile "$trace" --filter "$folder/" --txt \
    --print-summary
done
