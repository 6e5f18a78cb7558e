#!/usr/bin/env bash
# Installs, by Debian package name, whatever the build needs and this machine
# lacks. Extra package names may be passed as arguments.
set -euo pipefail

packages=(cmake g++ make pkgconf libsqlite3-dev libgtest-dev libgmock-dev
          libbenchmark-dev nlohmann-json3-dev libvirt-dev "$@")
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "installing: ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
  --no-install-recommends "${missing[@]}"
