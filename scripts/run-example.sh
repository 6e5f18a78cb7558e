#!/usr/bin/env bash
# The main job: builds the library, the stand-ins and the qzclients host
# program, then runs qzclients twice against a fresh catalogue file: named and
# agentless clients, the sample inventory of discovered machines, and the
# domains of libvirt's in-process test driver. The second run finds every
# client known and gets the same ids back; the catalogue is listed after each.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! cmake --build build/release -j"$(nproc)" --target qzclients \
    >build/release/build.log 2>&1; then
  cat build/release/build.log
  exit 1
fi

state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
qzclients() {
  build/release/tools/qzclients --catalogue "$state/catalogue.db" "$@"
}
# Exit code 1 means some clients failed, which the sample inventory's
# machine without a name is there to show.
some_may_fail() {
  "$@" || { status=$?; [[ $status -eq 1 ]] || exit "$status"; }
}

for run in first second; do
  echo "=== $run run"
  echo "--- named clients in a group"
  qzclients create --family windows --group lab web01 db01
  echo "--- agentless clients"
  qzclients create --agentless --family unix camera01 printer01
  echo "--- the sample inventory (examples/inventory.json)"
  some_may_fail qzclients map-vms --inventory examples/inventory.json
  echo "--- libvirt's test driver (examples/libvirt-domains.xml)"
  qzclients map-vms --libvirt "test://$PWD/examples/libvirt-domains.xml"
  echo "--- the catalogue"
  qzclients list
  echo
done
