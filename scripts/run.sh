#!/usr/bin/env bash
# Builds qlfwd (release) and runs it in the foreground with the given options.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build" --target qlfwd
exec "$top/build/qlfwd" "$@"
