#!/bin/sh
# Runs inside the kernel-line guest as its first process, on a writable root:
# an overlay of the host's root (read-only over 9p) under a tmpfs. It sets the
# station up the way a factory does, from the Debian package: an operator in
# plugdev, systemd-udevd with the devices plugged, then "dpkg -i" of the
# pyrewick package (its postinst gives the capability helper cap_sys_rawio and
# the devices already plugged their access) and /etc/pyrewick/station.conf.
# Then it runs the installed window (/usr/bin/pyrewick, its pictures and
# translation from /usr/share/pyrewick) as the operator under Xvfb and copies
# what it left into the results share. Settings come from the file named by
# the kernel command line word kline_conf (KDIR, KVER, BIN, LIB, DEB, STATION,
# KLINE, SCALE, TIMEOUT, CYCLE_PORT, BENCH_PORT, CHANGES_PORT); every path in
# it is a guest path under /kline, the build and work folders' own shares
# (scripts/kernel-line-shares.sh), which the fresh /tmp, /run and /var/tmp
# below cannot hide. What the operator runs from the build is copied first
# into /run/pyrewick: the operator may not be able to enter the build folder.
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
grep ' / ' /proc/self/mountinfo

finish() {
    echo "guest: done $(cut -d' ' -f1 /proc/uptime)s"
    dmesg >"$out/dmesg.txt" 2>&1
    sync
    echo 1 >/proc/sys/kernel/sysrq
    echo o >/proc/sysrq-trigger
    sleep 10
}

# The operator, in plugdev.
groupadd -f -r plugdev
useradd --create-home --uid 4242 --user-group --groups plugdev --shell /bin/sh \
    --comment 'Line operator' vyrop || echo "guest: useradd vyrop failed"
home=/home/vyrop

stamp "operator added"
# The test programs and the build's libraries they load, where the operator
# may run them.
mkdir -p /run/pyrewick/lib
cp "$BIN/kernel_changes" "$BIN/kernel_bench" /run/pyrewick/
cp -a "$LIB"/lib*.so* /run/pyrewick/lib/
chmod -R a+rX /run/pyrewick
for m in xhci_pci usb_storage sd_mod vfat nls_cp437 nls_ascii nls_utf8; do
    modprobe -d "$KDIR" -S "$KVER" "$m" || echo "guest: modprobe $m failed"
done
stamp "modules loaded"

# A station without a udev daemon: the window's device change source, made
# before udevd starts, must hear a device leave and come back straight from
# the kernel. kernel_changes (built with the tests) makes one as the window
# does, as the operator, and power-cycles a hub port through its disable file,
# handed to the operator's group by hand here as the station rules do later.
if [ -n "${CHANGES_PORT:-}" ]; then
    port=/sys/bus/usb/devices/1-1:1.0/1-1-port$CHANGES_PORT/disable
    for _ in $(seq 60); do
        [ -e "/sys/bus/usb/devices/1-1.$CHANGES_PORT" ] && break
        sleep 0.5
    done
    [ -e /run/udev/control ] && echo "guest: udevd runs already"
    chgrp plugdev "$port" && chmod g+w "$port"
    setpriv --reuid=vyrop --regid=vyrop --init-groups env -i PATH=/usr/bin:/bin \
        LD_LIBRARY_PATH=/run/pyrewick/lib \
        /run/pyrewick/kernel_changes "1-1.$CHANGES_PORT" >"$out/kernel-changes.txt" 2>&1
    echo "kernel changes exit $?"
    cat "$out/kernel-changes.txt"
    chgrp root "$port" && chmod g-w "$port"
    stamp "kernel changes heard"
fi

# udevd with the devices plugged, as on a running station before the package
# comes: the system's own rules only.
/lib/systemd/systemd-udevd --debug >"$out/udevd.log" 2>&1 &
sleep 1
udevadm trigger --action=add
udevadm settle -t 30
stamp "udev settled"
# Who may use the devices: the ROM-mode devices' usbfs nodes and the hub
# ports' disable files (shell built-ins and one stat: forks are slow here).
access() {
    files=""
    for d in /sys/bus/usb/devices/1-1.[1-8]; do
        read -r v <"$d/idVendor" && [ "$v" = 1b8e ] || continue
        read -r b <"$d/busnum" && read -r n <"$d/devnum" || continue
        b=$((1000 + b)) n=$((1000 + n))
        files="$files /dev/bus/usb/${b#1}/${n#1}"
    done
    # shellcheck disable=SC2086
    stat -c "$1 %n %A %U %G" $files /sys/bus/usb/devices/1-1:1.0/1-1-port*/disable
}
access before >"$out/access.txt"

# The package, installed as a factory sets a station up. dpkg's triggers
# (library cache, icons, udev) run as part of it, except man-db's: it indexes
# every manual page of the host's root, which over 9p under emulation takes
# minutes (not done after four), so the guest turns its auto-update off as
# Debian's man-db/auto-update setting does.
rm -f /var/lib/man-db/auto-update
stamp "install starts"
if dpkg -i "$DEB" >"$out/dpkg.log" 2>&1; then
    stamp "install done"
else
    echo "guest: dpkg -i $DEB failed (exit $?)"
fi
mkdir -p /etc/pyrewick
echo 'PYREWICK_OPERATOR=vyrop' >/etc/pyrewick/station.conf
{
    dpkg-query -W -f='status ${Package} ${Version} ${Status}\n' pyrewick
    echo "capability $(getcap /usr/libexec/pyrewick/pyrewick-rawio)"
} >"$out/install.txt" 2>&1
cat "$out/install.txt"
udevadm settle -t 30
access after >>"$out/access.txt"
cat "$out/access.txt"
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
    # The benchmark is no part of the package: the build's, with its libraries.
    setpriv --reuid=vyrop --regid=vyrop --init-groups env LD_LIBRARY_PATH=/run/pyrewick/lib \
        /run/pyrewick/kernel_bench "1-1.$BENCH_PORT" \
        >"$out/bench.txt" 2>&1
    echo "bench exit $?"
fi

cp -a "$STATION" /run/station && chown -R vyrop:vyrop /run/station
cd /run/station || { finish; exit 1; }
# shellcheck disable=SC2046
echo "station folder:" $(ls -A)
echo "guest: window starts $(cut -d' ' -f1 /proc/uptime)s"
setpriv --reuid=vyrop --regid=vyrop --init-groups \
    env -i HOME=$home USER=vyrop LOGNAME=vyrop PATH=/usr/bin:/bin \
    PYREWICK_TIME_SCALE="$SCALE" \
    PYREWICK_DEMO_PACKAGE=/run/station/fw_demo.zip PYREWICK_DEMO_MEDIA=/run/station/media \
    PYREWICK_DEMO_AUTOSTART=1 PYREWICK_DEMO_SCREENSHOT=/run/station/kernel-line.png \
    PYREWICK_NONINTERACTIVE=1 PYREWICK_DEMO_TIMEOUT="$TIMEOUT" \
    xvfb-run -a -s "-screen 0 1280x800x24" pyrewick >"$out/pyrewick.log" 2>&1 &
window=$!
# Which program ran, with which libraries and translation: read from the
# running window once it has loaded them.
(
    for _ in $(seq 240); do
        for p in /proc/[0-9]*; do
            [ "$(cat "$p/comm" 2>/dev/null)" = pyrewick ] || continue
            for _ in $(seq 60); do
                grep -q '\.qm$' "$p/maps" 2>/dev/null && break
                sleep 1
            done
            echo "exe $(readlink "$p/exe")"
            grep -oE '/[^ ]*/lib(tracemoor|pipewell|romvane|hubsift)\.so[^ ]*' "$p/maps" | sort -u | sed 's/^/library /'
            grep -oE '/[^ ]*\.qm$' "$p/maps" | sort -u | sed 's/^/translation /'
            exit 0
        done
        sleep 0.5
    done
    echo "exe none"
) >"$out/window.txt" 2>&1
cat "$out/window.txt"
wait $window
echo "guest: window exit $? at $(cut -d' ' -f1 /proc/uptime)s"
id vyrop
grep -E ' /run/media' /proc/self/mountinfo
for d in /sys/class/block/sd*; do
    [ -e "$d" ] && udevadm info "/dev/${d##*/}"
done
cp -a /run/station/log "$out/" 2>/dev/null
cp /run/station/kernel-line.png "$out/" 2>/dev/null
finish
