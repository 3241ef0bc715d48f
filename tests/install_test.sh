#!/usr/bin/env bash
# Installation checks. "files": cmake --install into a DESTDIR, the manual
# pages render without warnings, the unit verifies. "package": the Debian
# package (scripts/package.sh) holds the right files and lintian finds no error
# or warning. "apt": installs the package with apt and removes it again, only
# with CI=true and as root (it changes the machine); elsewhere it reports a skip.
# A check that cannot run here makes the test a skip (status 77), never a pass.
# Usage: install_test.sh BUILD_DIR [files|package|apt]
set -euo pipefail
build="$1"
part="${2:-files}"
scratch=$(mktemp -d /tmp/qlfwd-install.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
skips=0
skip() { echo "skipped: $1"; skips=$((skips + 1)); }
finish() {
    [ "$failures" -eq 0 ] || exit 1
    [ "$skips" -eq 0 ] || exit 77
    exit 0
}
check() {  # check DESCRIPTION COMMAND...
    local what="$1"; shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

top="$(cd "$(dirname "$0")/.." && pwd)"
# Said before the package is built: building it for a skip costs a minute.
if [ "$part" = apt ] && { [ "${CI:-}" != true ] || [ "$(id -u)" -ne 0 ]; }; then
    skip "apt install and remove of the package changes the machine: only with CI=true, as root"
    finish
fi
deb=
if [ "$part" != files ]; then
    deb=$("$top/scripts/package.sh" 2>"$scratch/package.log") || { cat "$scratch/package.log"; exit 1; }
fi

if [ "$part" = apt ]; then
    export DEBIAN_FRONTEND=noninteractive
    check "apt installs the package" sh -c 'apt-get install -y -qq "$1" >/dev/null' _ "$deb"
    check "installed /usr/bin/qlfwd" test -x /usr/bin/qlfwd
    check "service user exists" sh -c 'getent passwd qlfwd >/dev/null'
    check "installed unit verifies" systemd-analyze verify /lib/systemd/system/qlfwd.service
    check "apt removes the package" sh -c 'apt-get remove -y -qq --purge qlfwd >/dev/null'
    check "nothing left in /usr/bin" test ! -e /usr/bin/qlfwd
    check "no unit left" test ! -e /lib/systemd/system/qlfwd.service
    finish
fi

dest="$scratch/root"
DESTDIR="$dest" cmake --install "$build" --prefix /usr/local >/dev/null
for f in bin/qlfwd bin/qlsend share/man/man1/qlfwd.1 share/man/man1/qlsend.1 \
         lib/systemd/system/qlfwd.service lib/systemd/system/qlfwd.socket lib/sysusers.d/qlfwd.conf \
         share/doc/qlfwd/allow-site.conf; do
    check "installed $f" test -e "$dest/usr/local/$f"
done
check "installed /etc/logrotate.d/qlfwd" test -e "$dest/etc/logrotate.d/qlfwd"
unit="$dest/usr/local/lib/systemd/system/qlfwd.service"
check "unit runs the installed binary" grep -qx 'ExecStart=/usr/local/bin/qlfwd $QLFWD_OPTIONS' "$unit"
check "unit runs qlfwd -d -a /var/lib/qlfwd/ by default" grep -qx 'Environment="QLFWD_OPTIONS=-d -a /var/lib/qlfwd/"' "$unit"

for page in qlfwd qlsend; do
    src="$dest/usr/local/share/man/man1/$page.1"
    check "$page.1 passes groff -ww" test -z "$(groff -man -ww -z "$src" 2>&1)"
    check "$page.1 renders with man -l without warnings" \
        test -z "$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$src" 2>&1 >/dev/null)"
done

if command -v systemd-analyze >/dev/null; then
    # The copy names the binary where this test installed it.
    sed "s|^ExecStart=/usr/local/bin/|ExecStart=$dest/usr/local/bin/|" "$unit" > "$scratch/qlfwd.service"
    cp "$dest/usr/local/lib/systemd/system/qlfwd.socket" "$scratch/"
    check "systemd-analyze verify" env MANPATH="$dest/usr/local/share/man" \
        systemd-analyze verify "$scratch/qlfwd.service" "$scratch/qlfwd.socket"
    exposure=$(systemd-analyze security --offline=yes "$scratch/qlfwd.service" 2>/dev/null |
               sed -n 's/.*Overall exposure level for qlfwd.service: \([0-9.]*\).*/\1/p')
    echo "exposure: $exposure"
    check "exposure 1.5 or below" awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 1.5) }'

else
    skip "systemd-analyze not installed (package systemd)"
fi

if [ "$part" = package ]; then
    listing=$(dpkg-deb -c "$deb")
    for f in ./usr/bin/qlfwd ./usr/bin/qlsend ./lib/systemd/system/qlfwd.service ./lib/systemd/system/qlfwd.socket \
             ./usr/lib/sysusers.d/qlfwd.conf ./usr/share/man/man1/qlfwd.1.gz ./etc/logrotate.d/qlfwd \
             ./usr/share/doc/qlfwd/copyright ./usr/share/doc/qlfwd/changelog.gz; do
        check "package holds $f" grep -q " $f\$" <<<"$listing"
    done
    check "the logrotate file is a conffile" \
        sh -c 'dpkg-deb --ctrl-tarfile "$1" | tar -xO ./conffiles | grep -qx /etc/logrotate.d/qlfwd' _ "$deb"
    check "package recommends logrotate and nc" \
        sh -c 'dpkg-deb -f "$1" Recommends | grep -q "logrotate, netcat-openbsd"' _ "$deb"
    check "package depends on the C++ library (shlibs)" sh -c 'dpkg-deb -f "$1" Depends | grep -q libstdc++6' _ "$deb"
    check "a -dbgsym package beside it" test -e "${deb%/*}/qlfwd-dbgsym_${deb#*/qlfwd_}"
    check "the binaries are stripped" \
        sh -c 'dpkg-deb --fsys-tarfile "$1" | tar -xO ./usr/bin/qlfwd > "$2/qlfwd" && ! file "$2/qlfwd" | grep -q "not stripped"' _ "$deb" "$scratch"
    check "packaged unit runs /usr/bin/qlfwd" \
        grep -qx 'ExecStart=/usr/bin/qlfwd $QLFWD_OPTIONS' <(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./lib/systemd/system/qlfwd.service)
    changes="${deb%.deb}.changes"
    lintian_status=0
    lintian --fail-on error,warning "$deb" "$changes" >"$scratch/lintian" 2>&1 || lintian_status=$?
    cat "$scratch/lintian"
    check "lintian: no error, no warning" test "$lintian_status" -eq 0
    finish
fi

finish
