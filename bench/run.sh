#!/usr/bin/env bash
# Builds qlfwd, qlsend and the floor programs (release) and runs the benchmark
# in a private network namespace, with the output on a tmpfs. Prints the table;
# arguments pick sections (mode0, allocations, forwarding, burst, restart, outage,
# hung, overwrite, readers, stamps, floor, upkeep, mqtt, mqtt-cpu,
# mqtt-instructions, discovery), default all.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh" bench
cmake -S "$top" -B "$top/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQLFWD_BENCH=ON >/dev/null
cmake --build "$top/build-bench" >/dev/null

ns=(unshare --net --mount)
[ "$(id -u)" -eq 0 ] || ns=(unshare --user --map-root-user --net --mount)
uname -srm
echo "$(nproc) cores, $(date -u +%Y-%m-%d)"
exec "${ns[@]}" sh -c '
    set -e
    ip link set lo up
    out=$(mktemp -d /tmp/qlfwd-bench.XXXXXX)
    mount -t tmpfs -o size=1g tmpfs "$out"
    build="$1"; shift
    "$build/bench" "$build" "$out" "$@"
' bench "$top/build-bench" "$@"
