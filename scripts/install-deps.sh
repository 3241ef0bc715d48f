#!/usr/bin/env bash
# Installs from Debian's packages whatever building, running and testing qlfwd
# needs and the machine lacks. Does nothing when all of it is there.
set -euo pipefail

# Building and the tests; netcat-openbsd is the nc that modes 1 and 2 run;
# the rest serves the installation checks (dpkg-dev for the package's dependencies).
packages=(g++ cmake ninja-build libgtest-dev libgmock-dev netcat-openbsd iproute2 dpkg-dev groff-base man-db)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# With --fuzz: clang and libFuzzer's runtime for the fuzz targets.
if [ "${1:-}" = --fuzz ]; then
    for p in clang libclang-rt-dev; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
fi
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
