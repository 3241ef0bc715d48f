#!/bin/busybox sh
# Runs inside the virtual machine of scripts/power-cut-check.sh, as its init:
# qlfwd receives numbered datagrams from 20 devices on the ext4 disk until the
# host cuts the power (kills the machine). It says on the console when sending
# began and, every 0.2 s, the time, so that the host knows the moment of the cut.
export PATH=/bin TZ=UTC0
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev 2>/dev/null
ip link set lo up
case_name=$(sed -n 's/.*qlfwd_case=\([a-z]*\).*/\1/p' /proc/cmdline)
mkdir -p /data/out
cd /data
case "$case_name" in
    append|disk) qlfwd -a /data/out/ & ;;
    overwrite) qlfwd /data/out/ & ;;
    queue) qlfwd -T127.0.0.1 /data/out/ & ;;
    mqtt) qlfwd -m127.0.0.1:1999 /data/out/ & ;;  # no broker: every record waits in the queue
esac
if [ "$case_name" = disk ]; then
    # What the disk is asked to do at a site's pace: 10 datagrams/s from 20
    # devices for 30 s (writes and sectors written, flushes), then off.
    sleep 2
    before=$(grep ' vda ' /proc/diskstats)
    qlsend -q -s 127.0.1.1 -c 20 -n 300 -r 10 -i -t power,cut, > /dev/null
    sleep 1
    after=$(grep ' vda ' /proc/diskstats)
    echo "QLFWD DISK $before | $after" > /dev/console
    poweroff -f
fi
sleep 1
echo "QLFWD SENDING $(date +%s)" > /dev/console
qlsend -q -s 127.0.1.1 -c 20 -n 100000 -r 200 -i -t power,cut, > /dev/null &
while :; do
    echo "QLFWD T $(date +%s)" > /dev/console
    sleep 0.2
done
