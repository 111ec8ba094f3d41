#!/usr/bin/env bash
# The station's udev rules and mount helper against an operator in plugdev:
#   - hub ports: udev's own evaluation of the rules (udevadm test) over a model
#     sysfs tree with a root hub, a keyboard on one of its ports, a hub on
#     another and 1B8E devices behind that hub; the RUN programs it names are
#     run as udev would, then a plugdev member tries every port's disable
#     file: only the port of the 1B8E device may be written;
#   - "ports" with a path that leaves /sys/devices, or whose disable file is a
#     link to a root-only file: nothing outside sysfs changes;
#   - "add" and "remove" with a mount base or target that is a link or has a
#     component writable by others: nothing is mounted or unmounted.
# Everything happens in a private mount namespace (tmpfs over /sys, /run and
# /dev), so this machine's own trees are untouched.
#
#   tests/station/station_test.sh TOOLS_STATION_DIR
set -euo pipefail
station=$(cd "$1" && pwd)
if [[ $(id -u) -ne 0 ]]; then
  echo "station test: needs root (scripts/test runs as root)"
  exit 77
fi
if [[ ${2:-} != inside ]]; then
  exec unshare -m "$0" "$1" inside
fi

operator=4243 group=4244
work=$(mktemp -d /tmp/station-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
mount --make-rprivate /
mount -t tmpfs -o mode=755 model /sys
mount -t tmpfs -o mode=755 run /run
[[ -d /etc/pyrewick ]] && mount -t tmpfs -o mode=755 conf /etc/pyrewick

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# The helper as installed, its settings beside it; mount and umount only say
# what they were asked.
helper=/run/helper
mkdir -p "$helper" "$work/bin"
cp "$station/pyrewick-mount" "$helper/"
for tool in mount umount; do
  printf '#!/bin/sh\necho "%s $*" >>%s/calls\n' "$tool" "$work" >"$work/bin/$tool"
  chmod 755 "$work/bin/$tool"
done
# The group by number for the ports; the volumes' group must have a name.
settings() { printf 'PYREWICK_GROUP=%s\nPYREWICK_MOUNT_WITH=mount\nPYREWICK_MOUNT_BASE=%s\n' \
  "${2:-$group}" "${1:-/run/media/vyr}" >"$helper/station.conf"; }
settings
run_helper() { env -i PATH="$work/bin:/usr/sbin:/usr/bin:/sbin:/bin" "$helper/pyrewick-mount" "$@" 2>>"$work/helper.log" || true; }

# --- the model sysfs tree --------------------------------------------------
mkdir -p /sys/bus/usb/drivers/hub /sys/bus/usb/drivers/usb
usbdev() { # PATH VENDOR
  mkdir -p "$1"
  echo "$2" >"$1/idVendor"
  printf 'DEVTYPE=usb_device\nPRODUCT=%s/1/100\n' "$2" >"$1/uevent"
  ln -s /sys/bus/usb "$1/subsystem"
}
hubif() { # PATH HUBNAME PORTS
  mkdir -p "$1"
  printf 'DEVTYPE=usb_interface\nDRIVER=hub\nINTERFACE=9/0/0\n' >"$1/uevent"
  ln -s /sys/bus/usb "$1/subsystem"
  ln -s /sys/bus/usb/drivers/hub "$1/driver"
  for n in $(seq "$3"); do
    mkdir -p "$1/$2-port$n"
    echo 0 >"$1/$2-port$n/disable"
    chmod 644 "$1/$2-port$n/disable"
  done
}
usb1=/sys/devices/pci0000:00/0000:00:14.0/usb1
usbdev "$usb1" 1d6b
hubif "$usb1/1-0:1.0" usb1 2
usbdev "$usb1/1-1" 046d # the keyboard, on usb1-port1
usbdev "$usb1/1-2" 05e3 # a hub, on usb1-port2
hubif "$usb1/1-2/1-2:1.0" 1-2 4
usbdev "$usb1/1-2/1-2.3" 1b8e # a device of ours, on 1-2-port3
usbdev "$usb1/1-2/1-2.4" 1b8e # another, whose port's disable file is a link
echo secret >"$work/victim"
chmod 600 "$work/victim"
rm "$usb1/1-2/1-2:1.0/1-2-port4/disable"
ln -s "$work/victim" "$usb1/1-2/1-2:1.0/1-2-port4/disable"

# --- udev's evaluation of the station rules over the tree -----------------
rules=/run/rules
mkdir -p "$rules" /run/udev
sed "s|@HELPER_DIR@|$helper|g" "$station/70-pyrewick-station.rules" >"$rules/70-pyrewick-station.rules"
for d in /etc/udev/rules.d /usr/lib/udev/rules.d /lib/udev/rules.d; do
  [[ -d $d ]] && mount --bind "$rules" "$d"
done
events=(add:"$usb1" add:"$usb1/1-0:1.0" bind:"$usb1/1-0:1.0" add:"$usb1/1-1" add:"$usb1/1-2"
  add:"$usb1/1-2/1-2:1.0" bind:"$usb1/1-2/1-2:1.0" add:"$usb1/1-2/1-2.3" add:"$usb1/1-2/1-2.4")
: >"$work/runs"
for e in "${events[@]}"; do
  SYSTEMD_DEVICE_VERIFY_SYSFS=0 udevadm test --action="${e%%:*}" "${e#*:}" 2>&1 |
    sed -n "s/^run: '\(.*\)'\$/\1/p" >>"$work/runs"
done
grep -q . "$work/runs" || fail "udev named no program to run for the tree"
while read -r line; do
  echo "udev runs: $line"
  # shellcheck disable=SC2086
  run_helper ${line#"$helper/pyrewick-mount "}
done <"$work/runs"

may_write() { # FILE: whether a plugdev member can write it
  setpriv --reuid=$operator --regid=$operator --groups=$group sh -c "echo 1 >'$1'" 2>/dev/null
}
for port in "$usb1/1-0:1.0/usb1-port1" "$usb1/1-0:1.0/usb1-port2" "$usb1/1-2/1-2:1.0/1-2-port1" \
  "$usb1/1-2/1-2:1.0/1-2-port2" "$usb1/1-2/1-2:1.0/1-2-port4"; do
  if may_write "$port/disable"; then fail "plugdev can power off ${port##*/}"; else pass "${port##*/} stays root's"; fi
done
if may_write "$usb1/1-2/1-2:1.0/1-2-port3/disable"; then pass "plugdev may power-cycle the 1B8E device's port"
else fail "plugdev cannot power-cycle the 1B8E device's port 1-2-port3"; fi

# --- ports: paths leaving /sys/devices, linked disable files --------------
mkdir -p "$work/outside/1-1-port1" "$work/outside/1-1.1"
echo 1b8e >"$work/outside/1-1.1/idVendor"
echo 0 >"$work/outside/1-1-port1/disable"
chmod 644 "$work/outside/1-1-port1/disable"
for path in "/sys/devices/../..$work/outside" "/sys/devices/../..$work/outside/1-1.1" \
  "$usb1/1-2/1-2:1.0" "$usb1/1-2/1-2.4"; do
  run_helper ports "$path"
done
if [[ $(stat -c '%g %a' "$work/outside/1-1-port1/disable") == "0 644" ]]; then
  pass "a path outside /sys/devices is refused"
else fail "ports changed $work/outside/1-1-port1/disable: $(stat -c '%G %A' "$work/outside/1-1-port1/disable")"; fi
if [[ $(stat -c '%g %a' "$work/victim") == "0 600" ]]; then pass "a linked disable file is refused"
else fail "ports changed the linked file's target: $(stat -c '%G %A' "$work/victim")"; fi

# --- add and remove: links and others-writable components -----------------
mknod /dev/sdz b 8 240 2>/dev/null || mount -t tmpfs -o mode=755 dev /dev
[[ -b /dev/sdz ]] || mknod /dev/sdz b 8 240
[[ -e /dev/null ]] || mknod -m 666 /dev/null c 1 3
mkdir -p /run/elsewhere /run/media/vyr /run/open/vyr /run/good/vyr
ln -s /run/elsewhere /run/linkbase
ln -s /run/elsewhere /run/media/vyr/sdz
chmod 777 /run/open
for base in /run/linkbase /run/media/vyr /run/open/vyr; do
  : >"$work/calls"
  settings "$base" root
  run_helper add sdz
  run_helper remove sdz
  if grep -q . "$work/calls"; then fail "base $base: $(tr '\n' ';' <"$work/calls")"
  else pass "base $base: neither mounted nor unmounted"; fi
done
: >"$work/calls"
settings /run/good/vyr root
run_helper add sdz
run_helper remove sdz
if grep -q "^mount .* /dev/sdz /run/good/vyr/sdz\$" "$work/calls" &&
  grep -q "^umount -l /run/good/vyr/sdz\$" "$work/calls"; then
  pass "a sound base mounts and unmounts"
else fail "a sound base: $(tr '\n' ';' <"$work/calls")"; fi

echo "helper said:"
sed 's/^/  /' "$work/helper.log"
if ((failures > 0)); then
  echo "station test: $failures failures"
  exit 1
fi
echo "station test passed"
