#!/bin/sh
# Runs inside the kernel-line guest as its first process, on the host's root
# file system (read-only over 9p). It makes the writable places a station has
# (/run, /tmp, /etc as a copy), sets the station up the way an installed one is
# (an operator in plugdev, systemd-udevd, "devcon update" with the station
# rules, the mount helper and the capability helper), runs the unchanged
# window as the operator under Xvfb and copies what it left into the results
# share. Settings come from the file named by the kernel command line word
# kline_conf (KDIR, KVER, BIN, STATION, SCALE, TIMEOUT).
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
umask 022
. "$kline_conf"

mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o mode=1777 tmpfs /var/tmp
mkdir -p /dev/shm /dev/pts && mount -t tmpfs -o mode=1777 tmpfs /dev/shm && mount -t devpts devpts /dev/pts
mkdir -p /run/results
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 results /run/results
out=/run/results
exec >"$out/guest.log" 2>&1
stamp() { echo "guest: $* at $(cut -d' ' -f1 /proc/uptime)s"; }
stamp "$(uname -r) up"

finish() {
    echo "guest: done $(cut -d' ' -f1 /proc/uptime)s"
    dmesg >"$out/dmesg.txt" 2>&1
    sync
    echo 1 >/proc/sys/kernel/sysrq
    echo o >/proc/sysrq-trigger
    sleep 10
}

# The operator, in plugdev: passwd and group as copies bound over the
# read-only ones.
mkdir -p /run/etc
cp /etc/passwd /etc/group /run/etc/
grep -q '^plugdev:' /run/etc/group || echo 'plugdev:x:46:' >>/run/etc/group
echo 'vyrop:x:4242:4242:Line operator:/run/home/vyrop:/bin/sh' >>/run/etc/passwd
echo 'vyrop:x:4242:' >>/run/etc/group
sed -i 's/^\(plugdev:[^:]*:[^:]*:\)\(.*\)$/\1\2,vyrop/; s/^\(plugdev:[^:]*:[^:]*:\),/\1/' /run/etc/group
mount --bind /run/etc/passwd /etc/passwd
mount --bind /run/etc/group /etc/group
mkdir -p /run/home/vyrop && chown vyrop:vyrop /run/home/vyrop

stamp "operator added"
for m in xhci_pci usb_storage sd_mod vfat nls_cp437 nls_ascii nls_utf8; do
    modprobe -d "$KDIR" -S "$KVER" "$m" || echo "guest: modprobe $m failed"
done

# The station's programs, installed: the build's bin directory copied (the
# capability helper needs a file system that keeps file capabilities).
stamp "modules loaded"
mkdir -p /run/pyrewick
for f in pyrewick pyrewick-rawio devcon station VyrtekusbBurningdriver kernel_bench; do
    cp -a "$BIN/$f" /run/pyrewick/
done
# The mount helper's settings, next to it: the operator owns the volumes.
echo 'PYREWICK_OPERATOR=vyrop' >/run/pyrewick/station.conf
stamp "programs copied"
mkdir -p /run/udev/rules.d
/lib/systemd/systemd-udevd --debug >"$out/udevd.log" 2>&1 &
sleep 1
DEVCON_RULES_DIR=/run/udev/rules.d DEVCON_HELPER_DIR=/run/pyrewick \
    /run/pyrewick/devcon update /run/pyrewick/VyrtekusbBurningdriver/linux/Skelmar_Device.rules \
    'USB\VID_1B8E&PID_C003' || echo "guest: devcon update failed"
udevadm trigger --action=add
udevadm settle -t 30
stamp "udev settled"
getcap /run/pyrewick/pyrewick-rawio
"$KLINE/dump-sysfs.sh" "$out/sysfs-rom.txt"
# The tree once with recovery disks in it, and when each volume got mounted.
(
    dumped=""
    while :; do
        if [ -z "$dumped" ] && grep -q ' /run/media/vyr/' /proc/self/mountinfo; then
            sleep 1
            "$KLINE/dump-sysfs.sh" "$out/sysfs-mass-storage.txt"
            dumped=1
        fi
        echo "$(cut -d' ' -f1 /proc/uptime) $(grep -c ' /run/media/vyr/' /proc/self/mountinfo)"
        sleep 2
    done >"$out/mounts.txt" 2>&1
) &
ls -l /dev/bus/usb/001 /sys/bus/usb/devices/1-1:1.0/1-1-port1/disable

# The stuck-device power cycle as the scan does it, by the operator: 1, then
# 0, written to the port's disable file; the device must come back enumerated
# anew (a new device number).
if [ -n "${CYCLE_PORT:-}" ]; then
    dev=/sys/bus/usb/devices/1-1.$CYCLE_PORT
    file=/sys/bus/usb/devices/1-1:1.0/1-1-port$CYCLE_PORT/disable
    before=$(cat "$dev/devnum" 2>/dev/null)
    ls -l "$file"
    setpriv --reuid=vyrop --regid=vyrop --init-groups sh -c "echo 1 >$file && sleep 1 && echo 0 >$file"
    echo "write status $?"
    after=""
    for _ in $(seq 60); do
        after=$(cat "$dev/devnum" 2>/dev/null)
        [ -n "$after" ] && [ "$after" != "$before" ] && break
        sleep 0.5
    done
    echo "port $CYCLE_PORT devnum before $before after $after" | tee "$out/power-cycle.txt"
    udevadm settle -t 30
fi

# The benchmark, by the operator, on a ROM-mode device the window burns later.
if [ -n "${BENCH_PORT:-}" ]; then
    setpriv --reuid=vyrop --regid=vyrop --init-groups /run/pyrewick/kernel_bench "1-1.$BENCH_PORT" \
        >"$out/bench.txt" 2>&1
    echo "bench exit $?"
fi

cp -a "$STATION" /run/station && chown -R vyrop:vyrop /run/station
cd /run/station || { finish; exit 1; }
echo "guest: window starts $(cut -d' ' -f1 /proc/uptime)s"
setpriv --reuid=vyrop --regid=vyrop --init-groups \
    env -i HOME=/run/home/vyrop USER=vyrop LOGNAME=vyrop PATH=/usr/bin:/bin \
    PYREWICK_TIME_SCALE="$SCALE" \
    PYREWICK_DEMO_PACKAGE=/run/station/fw_demo.zip PYREWICK_DEMO_MEDIA=/run/station/media \
    PYREWICK_DEMO_AUTOSTART=1 PYREWICK_DEMO_SCREENSHOT=/run/station/kernel-line.png \
    PYREWICK_NONINTERACTIVE=1 PYREWICK_DEMO_TIMEOUT="$TIMEOUT" \
    xvfb-run -a -s "-screen 0 1280x800x24" /run/pyrewick/pyrewick >"$out/pyrewick.log" 2>&1
echo "guest: window exit $? at $(cut -d' ' -f1 /proc/uptime)s"
id vyrop
grep -E ' /run/media' /proc/self/mountinfo
for d in /sys/class/block/sd*; do
    [ -e "$d" ] && udevadm info "/dev/${d##*/}"
done
cp -a /run/station/log "$out/" 2>/dev/null
cp /run/station/kernel-line.png "$out/" 2>/dev/null
finish
