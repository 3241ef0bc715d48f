#!/usr/bin/env bash
# The small hosts the sites use: builds qlfwd, qlsend and the tests for arm64
# and 32-bit armhf (Raspberry Pi) with Debian's cross compilers, and runs the
# unit and end-to-end tests there under qemu-user through binfmt_misc, so the
# tests start the cross-built qlfwd and qlsend as a Pi would. Where
# binfmt_misc cannot be used, it says so and exits 77 (a skip), never 0.
# Needs root (binfmt_misc, and the tests' network namespaces). With
# --build-only it builds and stops there; a later run finds the builds done.
# Usage: scripts/cross-check.sh [--build-only] [ARCH...]   (default: arm64 armhf)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build_only=no
[ "${1:-}" = --build-only ] && { build_only=yes; shift; }
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(arm64 armhf)
[ "$(id -u)" -eq 0 ] || { echo "skipped: the cross check needs root (binfmt_misc, network namespaces)"; exit 77; }
"$top/scripts/install-deps.sh" cross

skip() { echo "skipped: $*"; exit 77; }
if [ "$build_only" = no ] && [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
        skip "binfmt_misc is not mounted and cannot be mounted here"
fi

start=$SECONDS
status=0
for arch in "${arches[@]}"; do
    case "$arch" in
        arm64) triplet=aarch64-linux-gnu processor=aarch64 handler=qemu-aarch64 ;;
        armhf) triplet=arm-linux-gnueabihf processor=arm handler=qemu-arm ;;
        *) echo "cross-check: no such architecture: $arch (arm64, armhf)" >&2; exit 2 ;;
    esac
    if [ "$build_only" = no ]; then
        update-binfmts --enable "$handler" >/dev/null 2>&1 || true
        [ "$(cat "/proc/sys/fs/binfmt_misc/$handler" 2>/dev/null | head -n 1)" = enabled ] ||
            skip "binfmt_misc has no enabled $handler handler here"
    fi
    step=$SECONDS
    build="$top/build-$arch"
    echo "== $arch: cross build ($triplet)"
    # The code -O2 as the package is built, without debug information: it would
    # cost a third of the build. The test programs themselves at -O1: -O2 took
    # a quarter of the build more, -O0 made the stand-in servers and the
    # models so slow under qemu that the tests took as much longer.
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DQLFWD_TESTS=ON -DQLFWD_TEST_FLAGS=-O1 \
        -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$processor" \
        -DCMAKE_CXX_COMPILER="$triplet-g++" -DCMAKE_C_COMPILER="$triplet-gcc" >/dev/null
    if ! cmake --build "$build" >"$build/build.log" 2>&1; then
        tail -40 "$build/build.log"
        echo "== $arch: the build FAILED"
        status=1
        continue
    fi
    file "$build/qlfwd" | sed 's/^/   /'
    echo "   built in $((SECONDS - step)) s"
    [ "$build_only" = yes ] && continue
    step=$SECONDS
    echo "== $arch: unit and end-to-end tests under qemu-user"
    # The tests mostly wait, under qemu too: twice as many at once as cores.
    if ! ctest --test-dir "$build" --output-on-failure -j "$(($(nproc) * 2))" -E '^(install|package|install_apt|fuzz_smoke)$'; then
        echo "== $arch: tests FAILED"
        status=1
    fi
    echo "   tested in $((SECONDS - step)) s"
done
what="cross check"
[ "$build_only" = yes ] && what="cross builds"
echo "== $what $([ $status -eq 0 ] && echo passed || echo FAILED) ($((SECONDS - start)) s)"
exit $status
