#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for SECONDS (default 60), two at a
# time, from the seed corpora. Prints each target's executions; fails on a finding.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
probe='extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }'
if ! command -v clang++ >/dev/null ||
   ! echo "$probe" | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null; then
    "$top/scripts/install-deps.sh" test
fi
cmake -S "$top" -B "$top/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DQLFWD_FUZZ=ON >/dev/null
cmake --build "$top/build-fuzz" --target datagram_fuzz commands_fuzz arguments_fuzz queue_fuzz \
      mqtt_record_fuzz broker_address_fuzz >/dev/null

work=$(mktemp -d /tmp/qlfwd-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
run() {
    local target="$1"
    mkdir -p "$work/$target"
    # New inputs go to the scratch corpus; the seeds stay as committed.
    if "$top/build-fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
           -artifact_prefix="$work/$target-" "$work/$target" "$top/fuzz/corpus/$target" >"$work/$target.log" 2>&1; then
        echo "$target: $(grep -o 'stat::number_of_executed_units: [0-9]*' "$work/$target.log" | grep -o '[0-9]*$') executions in ${seconds} s, no finding"
    else
        echo "$target: FINDING"; tail -40 "$work/$target.log"
        ls "$work/$target-"* 2>/dev/null && cp "$work/$target-"* "$top/build-fuzz/" || true
        return 1
    fi
}
status=0
run datagram_fuzz & a=$!
run commands_fuzz & b=$!
wait $a || status=1
wait $b || status=1
run arguments_fuzz & a=$!
run queue_fuzz & b=$!
wait $a || status=1
wait $b || status=1
run mqtt_record_fuzz & a=$!
run broker_address_fuzz & b=$!
wait $a || status=1
wait $b || status=1
exit $status
