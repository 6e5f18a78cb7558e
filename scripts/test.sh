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
