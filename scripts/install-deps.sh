#!/usr/bin/env bash
# Installs from Debian's packages whatever building, running and testing qlfwd
# needs and the machine lacks, in one step up front. Prints a line per step;
# apt's own output goes to a log that is shown only when a step fails.
# Usage: install-deps.sh [run|test|bench|package|package-ARCH|cross|power-cut]   (default: test)
set -euo pipefail

# Building and running; netcat-openbsd is the nc that modes 1 and 2 run, and
# libmosquitto-dev the MQTT client library of mode 3.
run=(g++ cmake ninja-build netcat-openbsd libmosquitto-dev)
# The .deb: Debian's packaging tools (dpkg-buildpackage wants build-essential),
# and lintian to check what they make.
package=("${run[@]}" build-essential dpkg-dev debhelper file lintian)
# Every test: GoogleTest; iproute2 for the tests' network namespaces; groff and
# man-db to render the manual pages; systemd for systemd-analyze and logrotate
# for the checks of the unit and the rotation; clang and libFuzzer's runtime
# for the fuzz smoke run; e2fsprogs and mount for the floor's test on an ext4
# image, loop-mounted; the mosquitto broker (the tests start their own, never
# the system's), its clients, and openssl for the TLS tests' certificates;
# python3-jinja2, the template engine Home Assistant renders its value
# templates with, to check the discovery configs as Home Assistant reads them.
test=("${package[@]}" libgtest-dev iproute2 groff-base man-db systemd logrotate
      clang libclang-rt-dev e2fsprogs mount mosquitto mosquitto-clients openssl python3-jinja2)

# The benchmark: valgrind's callgrind and perf count instructions and system
# calls, which drift far less with the machine's load than CPU seconds do.
bench=("${test[@]}" valgrind linux-perf)

# The power-cut check: a virtual machine with busybox, an ext4 image, its
# checker and reader, and the initramfs packer; the broker and its clients
# for the records' queue delivered afterwards.
power_cut=("${run[@]}" qemu-system-x86 busybox-static e2fsprogs cpio mosquitto mosquitto-clients)

# Another architecture: Debian's cross compilers for it and, through dpkg's
# multiarch, its C and C++ libraries (for the package's dependencies); to run
# its tests, GoogleTest (arm64: Debian's library; armhf: its sources, built with the
# cross compiler) and qemu-user.
foreign=()
case "${1:-test}" in
    run) wanted=("${run[@]}") ;;
    package) wanted=("${package[@]}") ;;
    test) wanted=("${test[@]}") ;;
    bench) wanted=("${bench[@]}") ;;
    power-cut) wanted=("${power_cut[@]}") ;;
    package-arm64|package-armhf) wanted=("${package[@]}"); foreign=("${1#package-}") ;;
    # arm64 links Debian's GoogleTest library, whose time and offsets are 64-bit as ours.
    cross) wanted=("${run[@]}" iproute2 e2fsprogs mount googletest libgtest-dev:arm64 qemu-user-static binfmt-support
                   mosquitto mosquitto-clients openssl python3-jinja2); foreign=(arm64 armhf) ;;
    *) echo "usage: $0 [run|test|bench|package|package-arm64|package-armhf|cross|power-cut]" >&2; exit 2 ;;
esac
for arch in "${foreign[@]}"; do
    wanted+=("crossbuild-essential-$arch" "libc6:$arch" "libstdc++6:$arch" "libgcc-s1:$arch" "libmosquitto-dev:$arch")
done

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
for arch in "${foreign[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" ||
        step "dpkg --add-architecture $arch" "${sudo[@]}" dpkg --add-architecture "$arch"
done
# A mirror caught mid-sync fails an update now and then: tried three times.
# Where only some indexes stay unfetched, the others may hold all that is
# needed: the install that follows says whether they do.
partial=
update() {
    local try said status=1
    said="$(mktemp)"
    for try in 1 2 3; do
        "${sudo[@]}" apt-get update >"$said" 2>&1 && status=0
        cat "$said"
        [ "$status" -eq 0 ] && break
        [ "$try" -eq 3 ] || { echo "apt-get update failed, again in 20 s"; sleep 20; }
    done
    if [ "$status" -ne 0 ] && grep -q "Some index files failed to download. They have been ignored" "$said"; then
        partial=1
        status=0
        echo "apt-get update: some indexes could not be fetched; going on with the others"
    fi
    rm -f "$said"
    return "$status"
}
step "apt-get update" update
apt_install() {
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@" "${missing[@]}"
}
# A suite left unfetched for one architecture but not another (a security
# update of a library that several architectures share) leaves their versions
# out of step; the release's own versions are in step.
install_in_step() {
    apt_install && return 0
    [ -n "$partial" ] || return 1
    local codename
    codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"
    echo "apt-get install: again with the versions of $codename itself"
    apt_install -t "$codename"
}
step "apt-get install (${#missing[@]} packages)" install_in_step
# The broker is for the tests, which start their own: the package's system
# service is neither left running nor started at boot.
if printf '%s\n' "${missing[@]}" | grep -qx mosquitto; then
    step "mosquitto's system service off" "${sudo[@]}" systemctl disable mosquitto.service
    "${sudo[@]}" systemctl stop mosquitto.service >/dev/null 2>&1 || true
fi
