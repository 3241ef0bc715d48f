#!/usr/bin/env bash
# Installs from Debian's packages whatever building, running and testing qlfwd
# needs and the machine lacks, in one step up front. Prints a line per step;
# apt's own output goes to a log that is shown only when a step fails.
# Usage: install-deps.sh [run|test|package]   (default: test, which is everything)
set -euo pipefail

# Building and running; netcat-openbsd is the nc that modes 1 and 2 run.
run=(g++ cmake ninja-build netcat-openbsd)
# The .deb: dpkg-dev and file for the package's library dependencies.
package=("${run[@]}" dpkg-dev file)
# Every test: GoogleTest; iproute2 for the tests' network namespaces; groff and
# man-db to render the manual pages; systemd for systemd-analyze and logrotate
# for the checks of the unit and the rotation; clang and libFuzzer's runtime
# for the fuzz smoke run.
test=("${package[@]}" libgtest-dev libgmock-dev iproute2 groff-base man-db systemd logrotate
      clang libclang-rt-dev)

case "${1:-test}" in
    run) wanted=("${run[@]}") ;;
    package) wanted=("${package[@]}") ;;
    test) wanted=("${test[@]}") ;;
    *) echo "usage: $0 [run|test|package]" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
log="${TMPDIR:-/tmp}/qlfwd-install-deps.log"
: > "$log"
step() {  # step TEXT COMMAND...
    local text="$1"; shift
    local start=$SECONDS
    printf '%s ... ' "$text"
    if "$@" >>"$log" 2>&1; then
        echo "done ($((SECONDS - start)) s)"
    else
        echo "FAILED; the log ($log) says:"
        tail -40 "$log"
        exit 1
    fi
}
export DEBIAN_FRONTEND=noninteractive
echo "Installing from Debian's packages: ${missing[*]}"
step "apt-get update" "${sudo[@]}" apt-get update
step "apt-get install (${#missing[@]} packages)" \
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
