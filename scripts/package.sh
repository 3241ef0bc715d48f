#!/usr/bin/env bash
# Builds the Debian package with Debian's own tools (dpkg-buildpackage, binary
# only, unsigned), for this machine or, cross-compiled, for another
# architecture: arm64 or armhf (a Raspberry Pi), say. The .deb, its -dbgsym
# package and the .changes go to build-pkg/; the last line names the .deb.
# Usage: scripts/package.sh [ARCH]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
arch="${1:-$(dpkg --print-architecture)}"
native=$(dpkg --print-architecture)
if [ "$arch" = "$native" ]; then
    "$top/scripts/install-deps.sh" package >&2
    cross=()
else
    "$top/scripts/install-deps.sh" "package-$arch" >&2
    cross=(-a "$arch")
fi
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
# dpkg-buildpackage writes its results beside the tree: build a copy in a
# scratch folder, so that nothing lands outside this tree.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qlfwd-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/qlfwd-$version"
tar -C "$top" --exclude='./build*' --exclude=./.git --exclude='./obj-*' -cf - . | tar -C "$scratch/qlfwd-$version" -xf -
log="$scratch/build.log"
echo "Building qlfwd $version for $arch with dpkg-buildpackage ..." >&2
if ! (cd "$scratch/qlfwd-$version" && dpkg-buildpackage -us -uc -b "${cross[@]}") >"$log" 2>&1; then
    tail -40 "$log" >&2
    echo "dpkg-buildpackage failed" >&2
    exit 1
fi
mkdir -p "$top/build-pkg"
for f in "$scratch"/qlfwd*_"${version}"_"$arch".*; do
    mv -f "$f" "$top/build-pkg/"
done
echo "The package for $arch: build-pkg/qlfwd_${version}_$arch.deb" >&2
echo "$top/build-pkg/qlfwd_${version}_$arch.deb"
