#!/usr/bin/env bash
# The main job: builds the library, the stand-ins and the qzclients host
# program, then runs qzclients twice against a fresh catalogue file: named and
# agentless clients, the sample inventory of discovered machines, and the
# domains of libvirt's in-process test driver. The second run finds every
# client known and gets the same ids back; the catalogue is listed after each.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/release
catalogue=build/example/catalogue.db
phase() { printf '\n=== %s\n' "$*"; }

phase "1/3 dependencies (Debian packages)"
scripts/install-deps.sh
echo "all present"

phase "2/3 building qzclients in $build (about 2 minutes on 2 cores)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# One line per finished target; the whole log only when the build fails.
if ! cmake --build "$build" -j"$(nproc)" --target qzclients 2>&1 |
    tee "$build/build.log" | grep --line-buffered 'Built target'; then
  cat "$build/build.log"
  exit 1
fi

phase "3/3 running qzclients twice against $catalogue"
mkdir -p "$(dirname "$catalogue")"
rm -f "$catalogue" "$catalogue-journal"
qzclients() {
  "$build/tools/qzclients" --catalogue "$catalogue" "$@"
}
# Exit code 1 means some clients are not done, which the sample inventory's
# machine without a name is there to show.
some_may_fail() {
  "$@" || { status=$?; [[ $status -eq 1 ]] || exit "$status"; }
}

for run in first second; do
  echo "--- $run run: named clients in a group"
  qzclients create --family windows --group lab web01 db01
  echo "--- $run run: agentless clients"
  qzclients create --agentless --family unix camera01 printer01
  echo "--- $run run: the sample inventory (examples/inventory.json)"
  some_may_fail qzclients map-vms --inventory examples/inventory.json
  echo "--- $run run: libvirt's test driver (examples/libvirt-domains.xml)"
  qzclients map-vms --libvirt "test://$PWD/examples/libvirt-domains.xml"
  echo "--- $run run: the catalogue"
  qzclients list
done

phase "done"
echo "ran:       qzclients create, map-vms (inventory and libvirt) and list, twice"
echo "binary:    $build/tools/qzclients (try: $build/tools/qzclients --help)"
echo "catalogue: $catalogue ($build/tools/qzclients --catalogue $catalogue list)"
