#!/usr/bin/env bash
# qlfwd -m and the fair floor (bench/floor_mqtt.cpp) at the same time, each in
# a network namespace of its own with its own broker, subscriber and sender,
# the queue on a tmpfs: whatever else the machine does then falls on both
# alike, where runs one after the other drift by a third. Prints each pair's
# CPU per record (the scheduler's count) and their ratio, then the medians.
# Usage: bench/side_by_side.sh [PAIRS [COUNT [RATE]]]   (default 11 10000 5000; RATE 0: flat out)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
pairs="${1:-11}" count="${2:-10000}" rate="${3:-5000}"
"$top/scripts/install-deps.sh" bench
cmake -S "$top" -B "$top/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQLFWD_BENCH=ON >/dev/null
cmake --build "$top/build-bench" >/dev/null
build="$top/build-bench"
ns=(unshare --net --mount)
[ "$(id -u)" -eq 0 ] || ns=(unshare --user --map-root-user --net --mount)
meet="$(mktemp -d /tmp/qlfwd-side.XXXXXX)"
trap 'rm -rf "$meet"' EXIT

# One side: $1 qlfwd or floor. Writes its CPU nanoseconds to $meet/$1.
# (Each side on a processor of its own made the pairs scatter more: 0.88 to 1.40.)
side() {
    "${ns[@]}" bash -c '
        set -euo pipefail
        who="$1" build="$2" meet="$3" count="$4" rate="$5"
        ip link set lo up
        d=$(mktemp -d /tmp/qlfwd-side-run.XXXXXX)
        mount -t tmpfs -o size=512m tmpfs "$d"
        printf "listener 1883 127.0.0.1\nallow_anonymous true\nuser root\nlog_dest none\n" > "$d/broker.conf"
        /usr/sbin/mosquitto -c "$d/broker.conf" 2>/dev/null & broker=$!
        for _ in $(seq 100); do mosquitto_pub -h 127.0.0.1 -t probe -m x 2>/dev/null && break; sleep 0.05; done
        mosquitto_sub -h 127.0.0.1 -t "qlfwd/+" -q 1 > "$d/got" & sub=$!
        if [ "$who" = qlfwd ]; then
            mkdir "$d/q"; "$build/qlfwd" -m "$d/q/" > /dev/null & pid=$!
        else
            "$build/floor_mqtt" $((count + 1)) & pid=$!   # one more than comes: it stays to be measured
        fi
        # The port bound (60096 is EAC0), then both sides begin together.
        for _ in $(seq 200); do grep -q ":EAC0 " /proc/net/udp && break; sleep 0.05; done
        sleep 0.5
        touch "$meet/$who.ready"
        for _ in $(seq 3000); do [ -e "$meet/go" ] && break; sleep 0.01; done
        t="QLSEND T1,21.5,22.0,on,off,1013,45,ok"
        while [ ${#t} -lt 120 ]; do t="$t,0"; done
        "$build/qlsend" -q -s 127.0.0.42 -n "$count" -r "$rate" -t "${t:0:112}" -i > /dev/null
        # Until all have come, or none for two seconds (the kernel dropped some).
        delivered=0 still=0
        while [ "$delivered" -lt "$count" ] && [ "$still" -lt 20 ]; do
            sleep 0.1
            now=$(grep -c "^.\{100\}" "$d/got" || true)
            if [ "$now" -gt "$delivered" ]; then delivered=$now still=0; else still=$((still + 1)); fi
        done
        read -r ns_on_cpu _ < "/proc/$pid/schedstat"
        kill "$pid" "$sub"; wait "$pid" 2>/dev/null || true
        kill "$broker"; wait 2>/dev/null || true
        umount "$d"; rmdir "$d"
        [ "$delivered" -gt 0 ] || { echo "$who: nothing delivered" >&2; exit 1; }
        echo "$ns_on_cpu $delivered" > "$meet/$who"
    ' side "$1" "$build" "$meet" "$count" "$rate"
}

uname -srm
echo "$(nproc) cores, $(date -u +%Y-%m-%d), $pairs pairs of $count records at ${rate}/s (0: flat out), side by side"
echo
echo "| pair | qlfwd -m (us CPU per record delivered) | fair floor (us) | qlfwd / floor | delivered, qlfwd / floor |"
echo "|---|---|---|---|---|"
ratios=() mine=() floors=()
for i in $(seq "$pairs"); do
    rm -f "$meet"/*
    side qlfwd & a=$!
    side floor & b=$!
    for _ in $(seq 600); do [ -e "$meet/qlfwd.ready" ] && [ -e "$meet/floor.ready" ] && break; sleep 0.05; done
    touch "$meet/go"
    wait "$a"; wait "$b"
    q=$(awk '{printf "%.1f", $1 / $2 / 1000}' "$meet/qlfwd")
    f=$(awk '{printf "%.1f", $1 / $2 / 1000}' "$meet/floor")
    r=$(awk -v q="$q" -v f="$f" 'BEGIN {printf "%.3f", q / f}')
    mine+=("$q") floors+=("$f") ratios+=("$r")
    echo "| $i | $q | $f | $r | $(cut -d' ' -f2 "$meet/qlfwd") / $(cut -d' ' -f2 "$meet/floor") |"
done
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
sorted=$(printf '%s\n' "${ratios[@]}" | sort -g)
echo "| median | $(median "${mine[@]}") | $(median "${floors[@]}") | $(median "${ratios[@]}") (least $(head -1 <<< "$sorted"), most $(tail -1 <<< "$sorted")) | |"
