#!/usr/bin/env bash
# Builds the library and the example host program, then runs the example
# against the simulated installation. Arguments go to the example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)" --target create_clients
build/release/examples/create_clients "$@"
