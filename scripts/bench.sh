#!/usr/bin/env bash
# Builds the benchmarks optimised, with the protobuf baseline, and runs them:
# the request's steps beside protobuf (a table of project / protobuf ratios
# closes that part), GetVMToClientMap against an echo service, warm and in a
# fresh process, and the embedded server's clients per second. Arguments go
# to every benchmark program, e.g. --benchmark_filter=build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh libprotobuf-dev protobuf-compiler

cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DQZCC_TEST=OFF \
  -DQZCC_EXAMPLES=OFF -DQZCC_BENCH=ON
cmake --build build/bench -j"$(nproc)" \
  --target request_bench vm_map_bench server_bench

for bench in request_bench vm_map_bench server_bench; do
  echo "== $bench"
  "build/bench/bench/$bench" --benchmark_counters_tabular=true "$@"
done
