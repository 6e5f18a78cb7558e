#!/usr/bin/env bash
# Builds and runs every test twice: once optimised with warnings as errors,
# once under AddressSanitizer and UndefinedBehaviorSanitizer; then the suites
# that run threads under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZCC_WERROR=ON
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs"

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQZCC_WERROR=ON \
  -DQZCC_SANITIZE=address,undefined -DQZCC_BENCH=OFF
cmake --build build/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j"$jobs"

# The suites that run threads, once more under ThreadSanitizer.
cmake -S . -B build/thread -DCMAKE_BUILD_TYPE=Debug -DQZCC_WERROR=ON \
  -DQZCC_SANITIZE=thread -DQZCC_BENCH=OFF -DQZCC_EXAMPLES=OFF
cmake --build build/thread -j"$jobs" --target vm_test facility_test
TSAN_OPTIONS=halt_on_error=1 \
  ctest --test-dir build/thread --output-on-failure -j"$jobs" \
  -R '^(GetVMToClientMapTest|MessageFacilityTest)\.'

# The fuzz targets, when clang is here: each runs a fixed number of inputs
# grown from a scratch copy of its seed corpus, and any crash, leak or
# sanitizer report fails the run. Nothing is written into the tree.
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
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
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
    tail -n 1 "$scratch/$target.log"
  done
fi
