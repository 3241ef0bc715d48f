#!/usr/bin/env bash
# The service tried live: the .deb installed in a fresh minimal Debian 12 root
# with systemd, booted with systemd-nspawn (private network: only lo, and a
# veth pair the test adds), and checked from inside:
#   socket and service active and enabled once installed; the README's qlsend examples
#   recorded; numbered datagrams across two restarts all recorded once, in
#   order; the status line's counts; the exposure figure; logrotate; modes 1
#   and 2 and own-address detection through the sandbox; the delivery queue
#   while the command server is away, across a restart; mode 3 to a broker
#   with the password from LoadCredential=, and its queue while the broker is
#   away; stop with status 0; an upgrade under traffic that loses nothing.
# Where the host cannot boot a container it says so and exits 77 (a skip).
# Needs root. Usage: tests/live_service_test.sh QLFWD_DEB
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
deb="$(realpath "$1")"
[ "$(id -u)" -eq 0 ] || { echo "skipped: the live service test needs root"; exit 77; }
. "$top/scripts/fresh-root.sh"

failures=0
t0=$SECONDS
say() { printf '   [%3ds] %s\n' $((SECONDS - t0)) "$*"; }
check() {  # check DESCRIPTION COMMAND...
    local what="$1"; shift
    if "$@"; then say "ok: $what"; else say "FAILED: $what"; failures=$((failures + 1)); fi
}

fresh_host_tool systemd-nspawn systemd-container || { echo "skipped: systemd-nspawn cannot be installed"; exit 77; }
fresh_host_tool pgrep procps
pristine=$(root_pristine minbase "systemd,systemd-sysv,dbus,netcat-openbsd,logrotate,iproute2,procps,net-tools,libmosquitto1,mosquitto,mosquitto-clients")
work=$(mktemp -d /var/tmp/qlfwd-live.XXXXXX)
root="$work/root"
nspawn=
cleanup() {
    if [ -n "$nspawn" ] && kill -TERM "$nspawn" 2>/dev/null; then
        for _ in $(seq 50); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$nspawn" 2>/dev/null || true
    fi
    root_release "$root"
    rm -rf "$work"
}
trap cleanup EXIT
root_copy "$pristine" "$root"
cp "$deb" "$root/root/qlfwd.deb"
# The upgrade: the same build under a higher version, as a rebuilt package is.
dpkg-deb -R "$deb" "$work/upgrade"
sed -i 's/^Version: .*/&+upgrade1/' "$work/upgrade/DEBIAN/control"
dpkg-deb -b "$work/upgrade" "$root/root/qlfwd-upgrade.deb" >/dev/null

# The stand-in command server: records each session, with the address it was
# reached at, and closes it at "quit".
cat > "$root/root/standin-server" <<'EOF'
#!/usr/bin/perl
use IO::Socket::INET;
my $s = IO::Socket::INET->new(LocalAddr => "0.0.0.0", LocalPort => 7072, Listen => 5, ReuseAddr => 1) or die "$!";
while (my $c = $s->accept) {
    my $got = "session to " . $c->sockhost . "\n";
    while (defined(my $line = <$c>)) { $got .= $line; last if $line eq "quit\n"; }
    close $c;
    open my $f, ">>", "/root/sessions" or die; print $f $got; close $f;
}
EOF
chmod 755 "$root/root/standin-server"
# A listing in the old "inet addr:" form, for the address pipeline; it reads
# /proc/net as the real one does, so a sandbox that hides it shows here.
cat > "$root/root/old-ifconfig" <<'EOF'
#!/bin/sh
cat /proc/net/dev >/dev/null || exit 1
echo "q0        Link encap:Ethernet"
echo "          inet addr:10.99.0.2  Bcast:10.99.0.255  Mask:255.255.255.0"
echo "lo        Link encap:Local Loopback"
echo "          inet addr:127.0.0.1  Mask:255.0.0.0"
EOF
chmod 755 "$root/root/old-ifconfig"

say "booting the container"
systemd-nspawn -D "$root" --boot --register=no --keep-unit --private-network --console=passive \
    >"$work/nspawn.log" 2>&1 &
nspawn=$!
leader=
inside() {  # inside COMMAND: a root shell in the container, clean environment
    # shellcheck disable=SC2046
    nsenter -t "$leader" -a /usr/bin/env -i $(clean_environment) /bin/bash -c "$1"
}
state=
for _ in $(seq 120); do
    # The container's init: the child of nspawn that runs systemd.
    leader=$(pgrep -P "$nspawn" -x systemd | head -n 1 || true)
    [ -n "$leader" ] && state=$(inside "systemctl is-system-running" 2>/dev/null || true)
    case "$state" in running|degraded) break ;; esac
    sleep 0.5
done
case "$state" in
    running|degraded) say "booted ($state)" ;;
    *) cat "$work/nspawn.log"; echo "skipped: this host cannot boot a systemd container (state: '${state:-none}')"; exit 77 ;;
esac

lines() { inside "wc -l < $1 2>/dev/null || echo 0"; }
# Every number 1..N once, in order, at the ends of the lines of a record file.
numbered_once_in_order() {  # numbered_once_in_order FILE N
    inside "awk -v n=$2 '{ if (substr(\$0, length(\$0) - 7) + 0 != NR) exit 1 } END { exit NR != n }' $1"
}
wait_lines() {  # wait_lines FILE N
    for _ in $(seq 300); do [ "$(lines "$1")" -ge "$2" ] && return 0; sleep 0.1; done
    return 1
}
status_text() { inside "systemctl show -p StatusText --value qlfwd.service"; }
wait_status() {  # wait_status TEXT
    for _ in $(seq 50); do [ "$(status_text)" = "$1" ] && return 0; sleep 0.1; done
    say "status is: $(status_text)"
    return 1
}

say "install: the package enables and starts both units itself"
check "dpkg installs the package" inside "dpkg -i /root/qlfwd.deb >/dev/null"
check "qlfwd.socket active" inside "systemctl is-active -q qlfwd.socket"
check "qlfwd.service active" inside "systemctl is-active -q qlfwd.service"
check "the service has the socket's descriptor" \
    inside "ls -l /proc/\$(systemctl show -p MainPID --value qlfwd)/fd/3 | grep -q socket:"
check "both start at boot" inside "systemctl is-enabled -q qlfwd.service && systemctl is-enabled -q qlfwd.socket"

say "the README's examples"
inside "qlsend -s 127.0.0.42 -t 'hello,world,42' >/dev/null && qlsend -s 127.0.0.42 -l __Pumpe1 -t ,21.5,on >/dev/null"
sleep 0.5
check "short example recorded" inside "grep -q ',Quenlink,Qln042,hello,world,42\$' /var/lib/qlfwd/Qln042.txt"
check "long example recorded" inside "grep -q ',Quenlink,Qln042__Pumpe1,QLSEND __Pumpe1,21.5,on' /var/lib/qlfwd/Qln042__Pumpe1.txt"
check "record files have mode 0666" inside "[ \$(stat -c %a /var/lib/qlfwd/Qln042.txt) = 666 ]"
check "the journal shows the diagnostics" inside "journalctl -u qlfwd --no-pager | grep -q '> Oeffne socket'"

say "3000 numbered datagrams at 1000/s across two restarts"
inside "qlsend -q -s 127.0.0.43 -n 3000 -r 1000 -i -t live,restart, >/dev/null" &
sender=$!
sleep 0.8; inside "systemctl restart qlfwd"
sleep 0.8; inside "systemctl restart qlfwd"
wait "$sender"
wait_lines /var/lib/qlfwd/Qln043.txt 3000 || true
restart_recorded=$(lines /var/lib/qlfwd/Qln043.txt)
say "recorded $restart_recorded of 3000"
check "all 3000 recorded once, in order" numbered_once_in_order /var/lib/qlfwd/Qln043.txt 3000
check "no drops on the socket" inside "! grep -q 'Pakete verloren' <(journalctl -u qlfwd --no-pager)"

say "the status line"
inside "systemctl restart qlfwd"
check "counts start at zero" wait_status "0 empfangen, 0 weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler"
inside "qlsend -q -s 127.0.0.44 -n 5 -t 'five,valid,records' >/dev/null
        qlsend -q -s 127.0.0.44 -n 2 -t 'too,short' >/dev/null 2>&1
        qlsend -q -s 127.0.0.44 -l __Pumpe1 -w -t ,1 >/dev/null
        qlsend -q -s 127.0.0.44 -t 'QLSEND _____qL=ack' >/dev/null 2>&1"
check "counts: 9 received, 5 handed on, 4 dropped" \
    wait_status "9 empfangen, 5 weitergegeben, 4 verworfen, 0 verloren, 0 Ausgabefehler"
inside "SYSTEMD_COLORS=0 systemctl status qlfwd --no-pager --lines=0" | sed 's/^/     /' || true

say "the sandbox"
exposure=$(inside "systemd-analyze security qlfwd.service 2>/dev/null" |
           sed -n 's/.*Overall exposure level for qlfwd.service: \([0-9.]*\).*/\1/p')
say "exposure: $exposure"
check "exposure 1.5 or below" awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 1.5) }'

say "logrotate"
inside "qlsend -q -s 127.0.0.45 -n 7000 -l __Rotate -t ,grow >/dev/null"
wait_lines /var/lib/qlfwd/Qln045__Rotate.txt 7000 || true
check "a record file past 1 MiB" inside "[ \$(stat -c %s /var/lib/qlfwd/Qln045__Rotate.txt) -gt 1048576 ]"
check "a plain logrotate run" inside "logrotate /etc/logrotate.conf"
check "the grown file is rotated" \
    inside "[ ! -e /var/lib/qlfwd/Qln045__Rotate.txt ] && [ \$(wc -l < /var/lib/qlfwd/Qln045__Rotate.txt.1) = 7000 ]"
check "a one-record file is not" inside "[ -e /var/lib/qlfwd/Qln042.txt ] && [ ! -e /var/lib/qlfwd/Qln042.txt.1 ]"
inside "qlsend -q -s 127.0.0.45 -l __Rotate -t ,again >/dev/null"
sleep 0.5
check "the next datagram makes the file again, mode 0666" \
    inside "grep -q ',again' /var/lib/qlfwd/Qln045__Rotate.txt && [ \$(stat -c %a /var/lib/qlfwd/Qln045__Rotate.txt) = 666 ]"

say "modes 1 and 2 through the service"
# An interface with two addresses: veth, as the kernel may lack the dummy type.
inside "ip link add q0 type veth peer name q1 && ip addr add 10.99.0.1/24 dev q0 && ip addr add 10.99.0.2/24 dev q0 &&
        ip link set q1 up && ip link set q0 up && systemd-run -q --unit=standin /root/standin-server"
sleep 0.5
mode() {  # mode OPTIONS SOURCE: run the service with these options, send one datagram
    inside "mkdir -p /etc/systemd/system/qlfwd.service.d &&
            printf '[Service]\nEnvironment=\"QLFWD_OPTIONS=%s /var/lib/qlfwd/\"\n' '$1' > /etc/systemd/system/qlfwd.service.d/mode.conf &&
            systemctl daemon-reload && systemctl restart qlfwd && rm -f /root/sessions &&
            qlsend -q -s $2 -t 'to,the,command,server' >/dev/null"
    for _ in $(seq 50); do inside "grep -q '^quit\$' /root/sessions 2>/dev/null" && return 0; sleep 0.1; done
    return 1
}
check "mode 1 (-t127.0.0.1) reaches the server" mode "-d -t127.0.0.1" 127.0.0.46
check "  with the reading commands" inside "grep -q '^setreading _03 state to' /root/sessions && grep -q '^session to 127.0.0.1' /root/sessions"
check "mode 2 (-T127.0.0.1) reaches the server" mode "-d -T127.0.0.1" 127.0.0.47
check "  with the call expression" inside "grep -q '^{ Qln047(\"' /root/sessions"
check "detection through the interfaces (-t, real ifconfig)" mode "-d -t" 127.0.0.48
check "  found 10.99.0.1" inside "grep -q '^session to 10.99.0.1' /root/sessions"
inside "cp /root/old-ifconfig /usr/local/sbin/ifconfig"
check "detection through the shell pipeline (-t, old ifconfig)" mode "-d -t" 127.0.0.49
check "  found 10.99.0.2" inside "grep -q '^session to 10.99.0.2' /root/sessions"
inside "rm -f /usr/local/sbin/ifconfig"

say "the delivery queue while the command server is away"
inside "systemctl stop standin && rm -f /root/sessions &&
        printf '[Service]\nEnvironment=\"QLFWD_OPTIONS=-d -t127.0.0.1 /var/lib/qlfwd/\"\n' > /etc/systemd/system/qlfwd.service.d/mode.conf &&
        systemctl daemon-reload && systemctl restart qlfwd &&
        qlsend -q -s 127.0.0.51 -n 5 -r 50 -i -t while,away, >/dev/null"
check "five texts wait" wait_status "5 empfangen, 0 weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler, 5 in Warteschlange"
check "  in the hidden queue file, mode 0600, the service's own" \
    inside "[ \"\$(stat -c '%a %U' /var/lib/qlfwd/.qlfwd-queue)\" = '600 qlfwd' ]"
check "  the journal says why" inside "journalctl -u qlfwd --no-pager | grep -q 'nc 127.0.0.1 7072 fehlgeschlagen (Status 1)'"
inside "systemctl restart qlfwd"
check "a restart takes them over" wait_status "0 empfangen, 0 weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler, 5 in Warteschlange"
inside "systemd-run -q --unit=standin2 /root/standin-server"
queue_delivered() {
    for _ in $(seq 400); do [ "$(inside "grep -c '^quit\$' /root/sessions 2>/dev/null || echo 0")" -ge 5 ] && return 0; sleep 0.1; done
    return 1
}
check "the server back: all five delivered" queue_delivered
check "  once each, in order" inside "grep -o 'state 0000000[1-5]' /root/sessions | tr -d '\n' | grep -qx 'state 00000001state 00000002state 00000003state 00000004state 00000005'"
check "  the counts" wait_status "0 empfangen, 5 weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler, 0 in Warteschlange"
inside "rm -f /etc/systemd/system/qlfwd.service.d/mode.conf && systemctl daemon-reload && systemctl restart qlfwd"

say "mode 3: an MQTT broker, the password from LoadCredential="
# The test's own broker as a transient unit; the package's system service stays off.
# Its files where its own user (mosquitto) can read them.
inside "systemctl disable -q --now mosquitto.service 2>/dev/null || true
        mkdir -p /etc/qlfwd-test-broker &&
        printf 'listener 1884 127.0.0.1\npassword_file /etc/qlfwd-test-broker/passwords\nallow_anonymous false\n' > /etc/qlfwd-test-broker/mosquitto.conf &&
        mosquitto_passwd -c -b /etc/qlfwd-test-broker/passwords site s3cret-live &&
        chown -R mosquitto /etc/qlfwd-test-broker &&
        mkdir -p /etc/qlfwd && printf 's3cret-live\n' > /etc/qlfwd/mqtt-password && chmod 600 /etc/qlfwd/mqtt-password &&
        systemd-run -q --unit=broker mosquitto -c /etc/qlfwd-test-broker/mosquitto.conf &&
        for _ in \$(seq 50); do ss -Hltn 'sport = 1884' | grep -q . && break; sleep 0.1; done &&
        systemd-run -q --unit=subscriber /bin/sh -c 'mosquitto_sub -h 127.0.0.1 -p 1884 -u site -P s3cret-live -q 1 -v -t qlfwd/# > /root/mqtt'"
check "the test's broker and subscriber run" \
    inside "sleep 0.3; systemctl is-active -q broker subscriber || { journalctl -u broker -u subscriber --no-pager | tail -5; false; }"
inside "printf '[Service]\nLoadCredential=mqtt-password:/etc/qlfwd/mqtt-password\nEnvironment=\"QLFWD_OPTIONS=-d -msite@127.0.0.1:1884 -H /var/lib/qlfwd/\"\n' > /etc/systemd/system/qlfwd.service.d/mode.conf &&
        systemctl daemon-reload && systemctl restart qlfwd && sleep 0.5 &&
        qlsend -q -s 127.0.0.52 -t 'to,the,broker,live' >/dev/null"
mqtt_has() {  # mqtt_has PATTERN
    for _ in $(seq 50); do inside "grep -q '$1' /root/mqtt 2>/dev/null" && return 0; sleep 0.1; done
    return 1
}
check "the record reaches the broker as JSON" mqtt_has '^qlfwd/Qln052 {"time":"[-0-9T:+]*","device":"Qln052","fields":\["to","the","broker","live"\]'
check "  with qlfwd/status online" mqtt_has '^qlfwd/status online$'
check "  counted when acknowledged" wait_status "1 empfangen, 1 weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler, 0 in Warteschlange"
check "  the journal says it connected" inside "journalctl -u qlfwd --no-pager | grep -q '> MQTT 127.0.0.1:1884 verbunden, 0 Datensaetze warten'"
check "  the password is not on qlfwd's command line" \
    inside "! grep -q 's3cret-liv[e]' /proc/\$(systemctl show -p MainPID --value qlfwd)/cmdline"
check "  no record files" inside "[ ! -e /var/lib/qlfwd/Qln052.txt ]"
inside "systemctl stop broker && qlsend -q -s 127.0.0.53 -n 3 -r 50 -i -t broker,away, >/dev/null"
check "the broker away: three records wait" wait_status "4 empfangen, 1 weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler, 3 in Warteschlange"
check "  in their own queue file, mode 0600" inside "[ \"\$(stat -c '%a %U' /var/lib/qlfwd/.qlfwd-mqtt-queue)\" = '600 qlfwd' ]"
inside "systemctl restart qlfwd && systemd-run -q --unit=broker2 mosquitto -c /etc/qlfwd-test-broker/mosquitto.conf"
check "the broker back after a restart of qlfwd: all three delivered" \
    wait_status "0 empfangen, 3 weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler, 0 in Warteschlange"
inside "rm -f /etc/systemd/system/qlfwd.service.d/mode.conf && systemctl daemon-reload && systemctl restart qlfwd"

say "mode 3 at a site: the README's steps as written, against Debian's mosquitto service"
site_failures=$failures
# The steps' commands, each block as the README shows it; the two password
# prompts answered on standard input.
awk '/^### Mode 3 at a site/ { on = 1; next } on && /^#/ { exit } on && /^        / { print substr($0, 9) }' \
    "$top/README.md" > "$root/root/site-steps.sh"
check "  the README has the steps" grep -q 'mosquitto_passwd' "$root/root/site-steps.sh"
check "  the steps run through" \
    inside "printf 'the password\nthe password\n' | bash -e /root/site-steps.sh > /root/site-steps.out 2>&1"
site_has() {  # site_has PATTERN: in what the README's mosquitto_sub printed
    for _ in $(seq 50); do grep -q "$1" "$root/root/site-steps.out" && return 0; sleep 0.1; done
    return 1
}
check "  the journal says it connected to 127.0.0.1:1883" \
    inside "for _ in \$(seq 50); do journalctl -u qlfwd --no-pager | grep -q '> MQTT 127.0.0.1:1883 verbunden, 0 Datensaetze warten' && exit 0; sleep 0.1; done; exit 1"
check "  the subscriber, as the user site, sees the record" \
    site_has '^qlfwd/Qln042 {"time":"[-0-9T:+]*","device":"Qln042","fields":\["hello","world","21.5","42"\].*$'
check "  and the device's one config" site_has '^homeassistant/device/qlfwd_Qln042/config {.*"cmps":{"f00":'
check "  and the status" site_has '^qlfwd/status online$'
check "  the broker refuses anyone without the password" \
    inside "! timeout 5 mosquitto_sub -h 127.0.0.1 -t 'qlfwd/#' -C 1 -W 2 2>/dev/null"
[ "$failures" -eq "$site_failures" ] || { say "what the steps printed:"; sed 's/^/      /' "$root/root/site-steps.out"; }
inside "pkill -x mosquitto_sub; rm -f /etc/systemd/system/qlfwd.service.d/mqtt.conf /etc/mosquitto/conf.d/site.conf &&
        systemctl daemon-reload && systemctl restart qlfwd && systemctl stop mosquitto"

say "stop"
check "systemctl stop" inside "systemctl stop qlfwd.service"
check "  Result=success" inside "[ \$(systemctl show -p Result --value qlfwd) = success ]"
check "  exit status 0" inside "[ \$(systemctl show -p ExecMainCode --value qlfwd) = 1 ] && [ \$(systemctl show -p ExecMainStatus --value qlfwd) = 0 ]"
check "the socket stays" inside "systemctl is-active -q qlfwd.socket"
inside "systemctl start qlfwd"

say "upgrade under traffic"
old_pid=$(inside "systemctl show -p MainPID --value qlfwd")
inside "qlsend -q -s 127.0.0.50 -n 3000 -r 1000 -i -t live,upgrade, >/dev/null" &
sender=$!
sleep 1
check "dpkg installs the upgrade" inside "dpkg -i /root/qlfwd-upgrade.deb >/dev/null 2>&1"
wait "$sender"
wait_lines /var/lib/qlfwd/Qln050.txt 3000 || true
upgrade_recorded=$(lines /var/lib/qlfwd/Qln050.txt)
say "recorded $upgrade_recorded of 3000"
check "the receiver was restarted" inside "[ \$(systemctl show -p MainPID --value qlfwd) != $old_pid ]"
check "all 3000 recorded once, in order" numbered_once_in_order /var/lib/qlfwd/Qln050.txt 3000

echo "live figures: exposure $exposure; restarts: $restart_recorded of 3000 recorded; upgrade: $upgrade_recorded of 3000 recorded"
[ "$failures" -eq 0 ] || { echo "live service test: $failures checks FAILED"; inside "journalctl -u qlfwd --no-pager | tail -30"; exit 1; }
echo "live service test passed"
