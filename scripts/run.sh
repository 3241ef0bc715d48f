#!/usr/bin/env bash
# Builds qlfwd and qlsend (release) and runs qlfwd in the foreground with the
# given options, until SIGTERM (or Ctrl-C).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh" run
echo "Building qlfwd and qlsend (release) in build/ ..."
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build" --target qlfwd qlsend >/dev/null
echo "Starting build/qlfwd $*"
exec "$top/build/qlfwd" "$@"
