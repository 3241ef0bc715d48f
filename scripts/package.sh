#!/usr/bin/env bash
# Builds the release .deb: build-pkg/qlfwd_<version>_<arch>.deb
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh" package
cmake -S "$top" -B "$top/build-pkg" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build-pkg"
(cd "$top/build-pkg" && cpack -G DEB)
