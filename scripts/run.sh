#!/usr/bin/env bash
# Builds qlfwd and qlsend (release) and runs qlfwd in the foreground with the given options.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build" --target qlfwd qlsend
exec "$top/build/qlfwd" "$@"
