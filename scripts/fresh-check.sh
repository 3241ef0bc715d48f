#!/usr/bin/env bash
# Proves the README's quick start on a fresh minimal Debian 12, as a new user
# meets it: debootstrap makes the root (kept pristine in a cache, worked on as a
# copy; the packages its apt downloads are kept there too, never what it
# installs), a clean clone of this tree goes into it, and inside it (chroot, as
# root, clean environment) the README's two commands run as they stand:
#   - the test command must pass;
#   - the run command must take the README's qlsend examples into the record
#     files they promise, and end with status 0 on SIGTERM.
# Then the packages for amd64, arm64 and armhf are built there (scripts/package.sh)
# and lintian must find no error and no warning in any of them. Then the
# service is tried live: the amd64 .deb built in that root is installed in a
# booted container (tests/live_service_test.sh), unless --no-live is given.
# Prints the time of each step, unmounts everything also on failure, and exits
# non-zero when anything falls short. Needs root.
# Usage: scripts/fresh-check.sh [--no-live]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
live=yes
[ "${1:-}" = --no-live ] && live=no
[ "$(id -u)" -eq 0 ] || { echo "fresh-check: needs root (debootstrap, chroot, mounts)" >&2; exit 2; }

. "$top/scripts/fresh-root.sh"

start=$SECONDS
step_start=$SECONDS
step() { step_start=$SECONDS; echo "== $* ($(elapsed))"; }
elapsed() { printf '%d:%02d' $(((SECONDS - start) / 60)) $(((SECONDS - start) % 60)); }
took() { echo "   took $((SECONDS - step_start)) s"; }
fail() { echo "FRESH CHECK FAILED: $*"; exit 1; }

fresh_host_tool git git
fresh_host_tool ip iproute2
work=$(mktemp -d /var/tmp/qlfwd-fresh.XXXXXX)
root="$work/root"
ns="qlfwd-fresh-$$"
receiver=
cleanup() {
    [ -n "$receiver" ] && kill -KILL "$receiver" 2>/dev/null
    root_release "$root"
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The README's commands, exactly as written: its quick start block holds the
# test command, then the run command.
mapfile -t quick < <(awk '/^## /{ inside = ($0 == "## Quick start") } inside && /^    [^ ]/ { print substr($0, 5) }' \
                         "$top/README.md")
[ ${#quick[@]} -eq 2 ] || fail "the README's quick start should hold two commands, it holds ${#quick[@]}"
test_command="${quick[0]}"
run_command="${quick[1]}"
# The qlsend examples that promise a record: "# ...: /tmp/Qln....txt".
mapfile -t examples < <(grep -E '^    build/qlsend .*# [a-z ]+: /tmp/Qln[^ ]+\.txt$' "$top/README.md" | sed 's/^    //')
[ ${#examples[@]} -gt 0 ] || fail "no qlsend example in the README promises a record"

[ -z "$(git -C "$top" status --porcelain)" ] || echo "note: uncommitted changes are not in the clone; HEAD is checked"

step "fresh Debian 12 root (debootstrap --variant=minbase, cached pristine)"
pristine=$(root_pristine minbase "")
root_copy "$pristine" "$root"
git clone -q --no-hardlinks "$top" "$root/root/qlfwd"
root_enter "$root"
# The packages apt downloads are kept for the next run; what is installed is
# not, so the root is as fresh as before and fetches only what is new. dpkg
# leaves out its syncs, as in Debian's container images: this root outlives
# no crash.
mkdir -p "$fresh_cache/archives/partial"
mount --bind "$fresh_cache/archives" "$root/var/cache/apt/archives"
echo force-unsafe-io > "$root/etc/dpkg/dpkg.cfg.d/qlfwd-fresh-check"
took

step "test command: $test_command"
status=0
in_root "$root" /root/qlfwd "$test_command" 2>&1 | tee "$work/test.log" || status=$?
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+|^Total Test time' "$work/test.log" || true)
took
[ "$status" -eq 0 ] || fail "the test command ended with status $status"

step "run command: $run_command"
ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
# In a network namespace of its own: the examples never leave it.
ip netns exec "$ns" chroot "$root" /usr/bin/env -i $(clean_environment) /bin/bash -c \
    "cd /root/qlfwd && exec $run_command" >"$work/run.out" 2>&1 &
receiver=$!
bound=no
for _ in $(seq 600); do
    if ip netns exec "$ns" cat /proc/net/udp | grep -q ':EAC0 '; then bound=yes; break; fi
    kill -0 "$receiver" 2>/dev/null || break
    sleep 0.5
done
[ "$bound" = yes ] || { cat "$work/run.out"; fail "the receiver did not come up"; }
for example in "${examples[@]}"; do
    record="${example##*: }"
    echo "   $example"
    ip netns exec "$ns" chroot "$root" /usr/bin/env -i $(clean_environment) /bin/bash -c \
        "cd /root/qlfwd && $example" | sed 's/^/     /'
    for _ in $(seq 50); do [ -s "$root$record" ] && break; sleep 0.1; done
    grep -q ',Quenlink,' "$root$record" 2>/dev/null || { cat "$work/run.out"; fail "no record in $record"; }
    echo "     $record: $(tail -n 1 "$root$record")"
done
kill -TERM "$receiver"
run_status=0
wait "$receiver" || run_status=$?
receiver=
echo "   its output:"
sed 's/^/     /' "$work/run.out"
[ "$run_status" -eq 0 ] || fail "the receiver ended with status $run_status after SIGTERM"
took

native=$(dpkg --print-architecture)
for arch in "$native" arm64 armhf; do
    [ "$arch" = "$native" ] && [ "$arch" != amd64 ] && continue
    # The test command's package test built this machine's package from the same
    # clone: that one is checked again rather than built again.
    if [ "$arch" = "$native" ] && ls "$root"/root/qlfwd/build-pkg/qlfwd_*_"$arch".deb >/dev/null 2>&1; then
        step "the $arch package (built by the test command's package test), lintian"
    else
        step "the $arch package (scripts/package.sh $arch), lintian"
        in_root "$root" /root/qlfwd "scripts/package.sh $arch >/dev/null" || fail "scripts/package.sh $arch"
    fi
    lintian_status=0
    in_root "$root" /root/qlfwd "lintian --fail-on error,warning build-pkg/qlfwd_*_$arch.deb build-pkg/qlfwd_*_$arch.changes" \
        >"$work/lintian.log" 2>&1 || lintian_status=$?
    grep -v 'running with root privileges' "$work/lintian.log" | sed 's/^/   /' || true
    [ "$lintian_status" -eq 0 ] || fail "lintian found errors or warnings in the $arch package"
    echo "   lintian: no error, no warning"
    took
done

# The kept downloads: only what the suite's indexes still name stays.
in_root "$root" /root/qlfwd "apt-get autoclean -qq" >/dev/null 2>&1 || true

if [ "$live" = yes ]; then
    step "the service, live in a booted container"
    deb=$(ls "$root"/root/qlfwd/build-pkg/qlfwd_*_"$native".deb)
    root_release "$root"
    live_status=0
    "$top/tests/live_service_test.sh" "$deb" || live_status=$?
    case $live_status in
        0) ;;
        77) echo "   the live service test was SKIPPED: this host cannot run it (see above)" ;;
        *) fail "the live service test" ;;
    esac
    took
fi

echo "== fresh check passed ($(elapsed))"
echo "$summary"
