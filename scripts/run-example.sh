#!/usr/bin/env bash
# Builds the library and the example host programs, then runs them against
# the simulated installation: named and agentless clients, then the sample
# inventory of discovered machines, mapped both ways. Arguments, when given,
# go to create_clients alone.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)" --target create_clients map_vms
examples=build/release/examples

if (($#)); then
  exec "$examples/create_clients" "$@"
fi
echo "== named and agentless clients"
"$examples/create_clients"
echo
echo "== discovered machines, through GetVMToClientMap"
"$examples/map_vms" examples/inventory.json
echo
echo "== discovered machines, through the machine-list request"
"$examples/map_vms" --machine-list --group lab --packages examples/inventory.json
