#!/usr/bin/env bash
# Power cuts of our own: qlfwd runs in a virtual machine (qemu-system-x86_64,
# Debian's kernel, an ext4 disk made by mkfs.ext4 -d) while numbered datagrams
# arrive from 20 devices, and the machine is killed at several moments after
# sending began, before ext4's first 5 s commit and after it: whatever the
# guest had not written to its disk is lost, as in a power cut. The disk is
# then checked with e2fsck -fy and read with debugfs:
#   -a: every record file whole (no empty or partial one), no record missing
#       but those of the last second before the cut;
#   overwrite: every file one whole record, none older than the last second;
#   -T with the command server away: the queue, read as qlfwd takes it over,
#       holds every text but those of the last second, in order;
#   -m with the broker away: the same of its queue of records, which qlfwd
#       then delivers, in order, to a real broker on this host.
# Usage: scripts/power-cut-check.sh [append|overwrite|queue|mqtt]...  (default all);
# QLFWD_BASELINE=<an earlier qlfwd binary> puts that one on trial instead.
# "disk" alone prints what the disk is asked to do at a site's pace instead.
# Exit 77 where qemu or the kernel cannot be had here (said as a skip).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(append overwrite queue mqtt)
cuts=(3.5 6.5)

skip() { echo "skipped: power-cut check: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root (apt, e2fsck and debugfs on the image)"
"$top/scripts/install-deps.sh" power-cut || skip "its packages cannot be installed here"
command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64"

echo "Building qlfwd, qlsend and the queue reader (release) in build-vm/ ..."
cmake -S "$top" -B "$top/build-vm" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build-vm" --target qlfwd qlsend queue_texts >/dev/null

# Debian's kernel, unpacked once into a cache (not installed on this host).
cache=${QLFWD_VM_CACHE:-/var/cache/qlfwd-vm}
mkdir -p "$cache"
if ! ls "$cache"/kernel/boot/vmlinuz-* >/dev/null 2>&1; then
    (cd "$cache" && rm -f ./*.deb &&
     apt-get download -q linux-image-amd64 >/dev/null &&
     apt-get download -q "$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')" >/dev/null) ||
        skip "Debian's kernel package cannot be fetched"
    rm -rf "$cache/kernel"
    dpkg-deb -x "$(ls "$cache"/linux-image-[0-9]*.deb | head -1)" "$cache/kernel"
fi
vmlinuz=$(ls "$cache"/kernel/boot/vmlinuz-* | head -1)
modules=$(ls -d "$cache"/kernel/lib/modules/*/kernel)

work=$(mktemp -d /var/tmp/qlfwd-power-cut.XXXXXX)
cleanup() {
    local f
    for f in "$work"/qemu.pid.*; do [ -e "$f" ] && kill -9 "$(cat "$f")" 2>/dev/null; done
    wait
    rm -rf "$work"
}
trap cleanup EXIT

# The initramfs: busybox and the modules for a virtio disk with ext4; it
# mounts the disk and hands over to the guest script there.
initrd="$work/initrd.gz"
(
    mkdir -p "$work/initramfs/bin" "$work/initramfs/m"
    cp /bin/busybox "$work/initramfs/bin/"
    for m in drivers/virtio/virtio.ko drivers/virtio/virtio_ring.ko drivers/virtio/virtio_pci_legacy_dev.ko \
             drivers/virtio/virtio_pci_modern_dev.ko drivers/virtio/virtio_pci.ko drivers/block/virtio_blk.ko \
             lib/crc16.ko fs/mbcache.ko fs/jbd2/jbd2.ko crypto/crc32c_generic.ko lib/libcrc32c.ko fs/ext4/ext4.ko; do
        cp "$modules/$m" "$work/initramfs/m/"
    done
    cat > "$work/initramfs/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox mkdir -p /dev /newroot
/bin/busybox mount -t devtmpfs dev /dev
for m in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_blk \
         crc16 mbcache jbd2 crc32c_generic libcrc32c ext4; do
    /bin/busybox insmod /m/$m.ko || echo "insmod $m failed"
done
for i in 1 2 3 4 5 6 7 8 9 10; do [ -b /dev/vda ] && break; /bin/busybox sleep 0.5; done
/bin/busybox mount -t ext4 /dev/vda /newroot || { echo "QLFWD NO DISK"; /bin/busybox poweroff -f; }
/bin/busybox umount /dev
exec /bin/busybox switch_root /newroot /bin/power_cut_guest.sh
INIT
    chmod +x "$work/initramfs/init"
    cd "$work/initramfs" && find . | cpio -o -H newc --quiet | gzip -1 > "$initrd"
)

# The disk's files: busybox, qlfwd and qlsend with their Debian libraries.
root="$work/root"
mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/data"
cp /bin/busybox "$root/bin/"
for applet in sh mount ip sed sleep date echo mkdir cat; do ln -s busybox "$root/bin/$applet"; done
# QLFWD_BASELINE=<an earlier qlfwd> runs that one instead, for comparison.
qlfwd_binary=${QLFWD_BASELINE:-$top/build-vm/qlfwd}
cp "$qlfwd_binary" "$root/bin/qlfwd"
cp "$top/build-vm/qlsend" "$top/tests/power_cut_guest.sh" "$root/bin/"
for lib in $( (ldd "$qlfwd_binary"; ldd "$top/build-vm/qlsend") | grep -o '/[^ ]*' | sort -u); do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
done

failures=0
fail() { echo "  FAILED: $*"; failures=$((failures + 1)); }

epoch() { date -u -d "$(echo "$1" | sed 's/^\(....\)\.\(..\)\.\(..\)_/\1-\2-\3 /')" +%s; }

# Checks the record files (append or overwrite) against the cut's second.
check_records() {
    local kind=$1 dir=$2 cut_at=$3 files=0 records=0 oldest_last=
    for f in "$dir"/Qln*.txt; do
        [ -e "$f" ] || continue
        files=$((files + 1))
        [ -s "$f" ] || { fail "$(basename "$f") is empty"; continue; }
        if [ "$kind" = append ]; then
            [ "$(tail -c 1 "$f" | od -An -c | tr -d ' ')" = '\n' ] || fail "$(basename "$f") ends in a partial record"
            bad=$(grep -cvE '^[0-9]{4}\.[0-9]{2}\.[0-9]{2}_[0-9:]{8},Quenlink,Qln[0-9]{3},power,cut,[0-9]{8}$' "$f" || true)
            [ "$bad" -eq 0 ] || fail "$(basename "$f"): $bad lines not whole records"
            # Each device has every 20th number: none may be missing in between.
            gaps=$(awk -F, '{ n = $NF + 0; if (NR > 1 && n != last + 20) g++; last = n } END { print g + 0 }' "$f")
            [ "$gaps" -eq 0 ] || fail "$(basename "$f"): $gaps records missing in between"
            records=$((records + $(wc -l < "$f")))
        else
            printf '%s' "$(cat "$f")" | grep -qxE '[0-9]{4}\.[0-9]{2}\.[0-9]{2}_[0-9:]{8},Quenlink,Qln[0-9]{3},power,cut,[0-9]{8}' ||
                fail "$(basename "$f") is not one whole record"
            records=$((records + 1))
        fi
        last=$(epoch "$(tail -n 1 "$f" | cut -c1-19)")
        [ -z "$oldest_last" ] || [ "$last" -ge "$oldest_last" ] || oldest_last=$last
        [ -n "$oldest_last" ] || oldest_last=$last
    done
    [ "$files" -eq 20 ] || fail "$files record files, not 20"
    # Stamps have whole seconds, and the cut fell within the second after the last one seen.
    [ -n "$oldest_last" ] && [ "$oldest_last" -ge $((cut_at - 2)) ] ||
        fail "a device's newest record is from $oldest_last, more than a second before the cut ($cut_at)"
    echo "  $files files, $records records kept; newest of the oldest file $((cut_at - ${oldest_last:-0})) s before the cut's second"
}

check_queue() {
    local dir=$1 cut_at=$2
    [ -e "$dir/.qlfwd-queue" ] || { fail "no queue file"; return; }
    "$top/build-vm/queue_texts" "$dir/.qlfwd-queue" > "$work/texts" || { fail "queue not readable"; return; }
    read -r _ pending _ damaged < "$work/texts"
    [ "$pending" -gt 0 ] || { fail "no text kept in the queue"; return; }
    [ "$damaged" -le 1 ] || fail "$damaged damaged places (at most the text being written at the cut)"
    gaps=$(awk -F, 'NR > 1 { n = substr($6, 1, 8) + 0; if (n != NR - 1) g++ } END { print g + 0 }' "$work/texts")
    [ "$gaps" -eq 0 ] || fail "$gaps texts missing or out of order"
    newest=$(tail -n 1 "$work/texts" | sed 's/^{ Qln[0-9]*("\([^,]*\),.*/\1/')
    last=$(epoch "$newest")
    [ "$last" -ge $((cut_at - 2)) ] || fail "the newest queued text is from $last, more than a second before the cut ($cut_at)"
    echo "  $pending texts kept in order, $damaged damaged place; newest $((cut_at - last)) s before the cut's second"
}

# The records' queue: every record but those of the last second, in order;
# then delivered from it by qlfwd to a broker, in a network namespace of its own.
check_mqtt_queue() {
    local dir=$1 cut_at=$2
    [ -e "$dir/.qlfwd-mqtt-queue" ] || { fail "no queue file"; return; }
    # Reading the queue takes it over and marks what it reads: deliver a copy.
    mkdir -p "$work/deliver"
    rm -f "$work/deliver"/.qlfwd-mqtt-queue* "$work/got"
    cp "$dir/.qlfwd-mqtt-queue" "$work/deliver/"
    "$top/build-vm/queue_texts" "$dir/.qlfwd-mqtt-queue" > "$work/texts" || { fail "queue not readable"; return; }
    read -r _ pending _ damaged < "$work/texts"
    [ "$pending" -gt 0 ] || { fail "no record kept in the queue"; return; }
    [ "$damaged" -le 1 ] || fail "$damaged damaged places (at most the record being written at the cut)"
    sed -n 's/.*"record":"\([^"]*\)".*/\1/p' "$work/texts" > "$work/records"
    [ "$(wc -l < "$work/records")" -eq "$pending" ] || fail "a queued text is no record"
    gaps=$(awk -F, '{ if ($6 + 0 != NR) g++ } END { print g + 0 }' "$work/records")
    [ "$gaps" -eq 0 ] || fail "$gaps records missing or out of order"
    last=$(epoch "$(tail -n 1 "$work/records" | cut -c1-19)")
    [ "$last" -ge $((cut_at - 2)) ] || fail "the newest queued record is from $last, more than a second before the cut ($cut_at)"
    echo "  $pending records kept in order, $damaged damaged place; newest $((cut_at - last)) s before the cut's second"
    unshare -n bash -c "
        ip link set lo up
        mosquitto -p 1883 >/dev/null 2>&1 & broker=\$!
        for _ in \$(seq 100); do mosquitto_pub -p 1883 -t probe -r -m subscribed 2>/dev/null && break; sleep 0.1; done
        timeout 60 mosquitto_sub -p 1883 -t probe -t 'qlfwd/+' -C $((pending + 2)) > '$work/got' & sub=\$!
        # The retained probe comes first: then the subscription stands; qlfwd/status is the other one.
        for _ in \$(seq 100); do grep -q subscribed '$work/got' 2>/dev/null && break; sleep 0.1; done
        '$top/build-vm/qlfwd' -d -m '$work/deliver/' > '$work/deliver.out' 2>&1 & receiver=\$!
        wait \$sub
        kill -TERM \$receiver; wait \$receiver
        kill \$broker" || true
    sed -n 's/.*"record":"\([^"]*\)".*/\1/p' "$work/got" > "$work/delivered"
    cmp -s "$work/records" "$work/delivered" || { fail "not every queued record was delivered in order"; cat "$work/deliver.out"; }
    echo "  delivered from the queue: $(wc -l < "$work/delivered") records, in order"
}

# Writes, sectors and flushes of the disk per second at a site's pace.
disk_figures() {
    image="$work/disk.img"
    # Inode tables and journal zeroed now, not by ext4 in the background meanwhile.
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 -d "$root" "$image" 256M >/dev/null
    console="$work/console"
    : > "$console"
    timeout 300 qemu-system-x86_64 -nodefaults -no-user-config -display none -m 512 -smp 1 \
        -kernel "$vmlinuz" -initrd "$initrd" -append "console=ttyS0 panic=-1 quiet qlfwd_case=disk" \
        -drive "file=$image,format=raw,if=virtio" -serial "file:$console" -net none -no-reboot || true
    grep -a "QLFWD DISK" "$console" | tr -d '\r' | awk -F'|' '{
        split($1, b, " "); split($2, a, " ")
        # /proc/diskstats numbers writes 8, sectors written 10, flushes 19; "QLFWD DISK" adds two words before
        printf "  over 31 s: %.2f writes/s, %.0f bytes written/s, %.2f flushes/s\n",
               (a[8] - b[10]) / 31, (a[10] - b[12]) * 512 / 31, (a[19] - b[21]) / 31 }'
}

if [ "${cases[0]}" = disk ]; then
    echo "The disk at 10 datagrams/s from 20 devices, -a ($(basename "$qlfwd_binary")${QLFWD_BASELINE:+, baseline}):"
    disk_figures
    exit 0
fi

# Boots the machine on its new disk for case $1, cuts its power $2 s after
# sending began; the disk and the console are named by $3. Writes "began" to
# $3.began where the run began.
cut_power() {
    local c=$1 cut=$2 name=$3 pid began=
    : > "$name.console"
    qemu-system-x86_64 -nodefaults -no-user-config -display none -m 512 -smp 1 \
        -kernel "$vmlinuz" -initrd "$initrd" -append "console=ttyS0 panic=-1 quiet qlfwd_case=$c" \
        -drive "file=$name.img,format=raw,if=virtio" -serial "file:$name.console" -net none &
    pid=$!
    echo "$pid" > "$work/qemu.pid.${name##*/}"
    for _ in $(seq 1200); do
        grep -q "QLFWD SENDING" "$name.console" && { began=1; break; }
        grep -q "QLFWD NO DISK" "$name.console" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -z "$began" ] || { sleep "$cut"; echo began > "$name.began"; }
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -f "$work/qemu.pid.${name##*/}"
}

# The cuts of a case side by side: each machine has one processor, and the
# host two or more. Then each disk is checked as the cut left it.
for c in "${cases[@]}"; do
    i=0
    for cut in "${cuts[@]}"; do
        mkfs.ext4 -q -F -d "$root" "$work/cut$i.img" 256M >/dev/null
        cut_power "$c" "$cut" "$work/cut$i" &
        i=$((i + 1))
    done
    wait
    i=0
    for cut in "${cuts[@]}"; do
        echo "Power cut $cut s after sending began, $c:"
        image="$work/cut$i.img"
        console="$work/cut$i.console"
        if [ ! -e "$work/cut$i.began" ]; then
            tail -20 "$console"
            skip "the virtual machine did not start its run"
        fi
        cut_at=$(grep -a "QLFWD T " "$console" | tail -n 1 | tr -d '\r' | awk '{ print $3 }')
        status=0
        e2fsck -fy "$image" >/dev/null 2>&1 || status=$?
        [ "$status" -le 1 ] || fail "e2fsck -fy ended with $status"
        rm -rf "$work/out"
        debugfs -R "rdump /data/out $work" "$image" >/dev/null 2>&1 || fail "debugfs could not read /data/out"
        case "$c" in
            append) check_records append "$work/out" "$cut_at" ;;
            overwrite) check_records overwrite "$work/out" "$cut_at" ;;
            queue) check_queue "$work/out" "$cut_at" ;;
            mqtt) check_mqtt_queue "$work/out" "$cut_at" ;;
        esac
        rm -f "$image" "$work/cut$i.began"
        i=$((i + 1))
    done
done
[ "$failures" -eq 0 ] || { echo "power-cut check: $failures checks FAILED"; exit 1; }
echo "power-cut check passed"
