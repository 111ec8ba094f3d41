#!/bin/sh
# Writes the part of the guest's USB sysfs tree that the device scan reads,
# one line per attribute file: its path below the USB bus's devices directory
# (the root hub usb1 and everything under it, as nested directories), a
# space, its value. Port "disable" files are listed with their value.
#   dump-sysfs.sh OUTPUT
cd "$(readlink -f /sys/bus/usb/devices/usb1)/.." || exit 1
find usb1 -type f \( -name bDeviceClass -o -name idVendor -o -name idProduct -o -name product \
    -o -name maxchild -o -name busnum -o -name devnum -o -name bInterfaceClass -o -name removable \
    -o -name dev -o -name partition -o -name disable \) -not -path '*/power/*' |
    sort | while read -r f; do
    printf '%s %s\n' "$f" "$(cat "$f" 2>/dev/null)"
done >"$1"
