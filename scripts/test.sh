#!/usr/bin/env bash
# Builds and runs every test twice: once optimised with warnings as errors,
# once under AddressSanitizer and UndefinedBehaviorSanitizer; then the suites
# that run threads under ThreadSanitizer; then, when clang is here, a short
# run of every fuzz target. Ends with each phase's totals.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
summary=()
started=$SECONDS

phase() { printf '\n=== %s (%d min in)\n' "$*" $(((SECONDS - started) / 60)); }

# Runs ctest, keeping its last line of totals for the summary.
tests() {
  local name=$1
  shift
  ctest --output-on-failure -j"$jobs" "$@" | tee "$scratch/ctest.log"
  summary+=("$name: $(grep -E 'tests passed' "$scratch/ctest.log" | tail -n 1)")
}

phase "1/5 dependencies (Debian packages)"
scripts/install-deps.sh

phase "2/5 optimised build with warnings as errors (build/release)"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZCC_WERROR=ON
cmake --build build/release -j"$jobs"
tests "optimised" --test-dir build/release

phase "3/5 AddressSanitizer and UndefinedBehaviorSanitizer (build/sanitize)"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQZCC_WERROR=ON \
  -DQZCC_SANITIZE=address,undefined -DQZCC_BENCH=OFF
cmake --build build/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  tests "ASan+UBSan" --test-dir build/sanitize

phase "4/5 the threaded suites under ThreadSanitizer (build/thread)"
cmake -S . -B build/thread -DCMAKE_BUILD_TYPE=Debug -DQZCC_WERROR=ON \
  -DQZCC_SANITIZE=thread -DQZCC_BENCH=OFF -DQZCC_EXAMPLES=OFF
cmake --build build/thread -j"$jobs" --target vm_test facility_test
TSAN_OPTIONS=halt_on_error=1 \
  tests "TSan" --test-dir build/thread \
  -R '^(GetVMToClientMapTest|MessageFacilityTest)\.'

# Each fuzz target runs a fixed number of inputs grown from a scratch copy of
# its seed corpus, and any crash, leak or sanitizer report fails the run.
# Nothing is written into the tree.
phase "5/5 fuzz targets (build/fuzz)"
if command -v clang++ >/dev/null; then
  clang_major=$(clang++ -dumpversion | cut -d. -f1)
  scripts/install-deps.sh "libclang-rt-$clang_major-dev"
  CC=clang CXX=clang++ cmake -S . -B build/fuzz \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZCC_WERROR=ON \
    -DQZCC_SANITIZE=address,undefined -DQZCC_FUZZ=ON -DQZCC_BENCH=OFF \
    -DQZCC_EXAMPLES=OFF
  # Inputs per target: some 20 seconds each on two shared cores, with a
  # time limit as a guard on a slower machine.
  declare -A runs=([xml_codec_fuzz]=300000 [response_fuzz]=6000
                   [inventory_fuzz]=100000 [cli_fuzz]=200000)
  cmake --build build/fuzz -j"$jobs" --target "${!runs[@]}"
  for target in "${!runs[@]}"; do
    cp -r "tests/fuzz/seeds/$target" "$scratch/$target"
    dict=()
    if [[ -f tests/fuzz/$target.dict ]]; then
      dict=(-dict="tests/fuzz/$target.dict")
    fi
    echo "fuzzing $target"
    if ! ASAN_OPTIONS=detect_leaks=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "build/fuzz/tests/fuzz/$target" -seed=1 -runs="${runs[$target]}" \
        -max_total_time=30 -artifact_prefix="$scratch/" "${dict[@]}" \
        "$scratch/$target" 2>"$scratch/$target.log"; then
      tail -n 60 "$scratch/$target.log"
      exit 1
    fi
    summary+=("fuzz $target: $(tail -n 1 "$scratch/$target.log"), no crash")
  done
else
  summary+=("fuzz: skipped, clang++ is not installed")
fi

phase "done: every phase passed"
printf '  %s\n' "${summary[@]}"
