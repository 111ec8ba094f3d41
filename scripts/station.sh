# Station preparation shared by scripts/demo and the benchmarks that burn on
# the virtual line. Source it, then call
#
#   prepare_station STATION BUILD [UIMAGE_BYTES]
#
# It empties STATION and fills it: the upgrade package fw_demo.zip (burn plan,
# loaders and images, the update file and a file for the prepare step), the
# media directory, the files the program reads from its working directory
# (from BUILD/bin; none when BUILD is empty) and eight.ini, the line of "vyrsim --eight" written out so
# that each device answers a status request only with a command's result.
# UIMAGE_BYTES is the size of the plan's "load uimage" image (default 300000).
prepare_station() {
  local station=$1 build=$2 uimage_bytes=${3:-300000}
  rm -rf "$station"
  mkdir -p "$station/package" "$station/media/clips" "$station/root"

  # The upgrade package: the burn plan with its loaders and images, the update
  # file copied onto each device's volume and a file for the prepare step.
  local pkg=$station/package
  head -c 4096 /dev/urandom >"$pkg/spl.bin"
  head -c 150000 /dev/urandom >"$pkg/uboot.bin"
  head -c "$uimage_bytes" /dev/urandom >"$pkg/uImage"
  head -c 70000 /dev/urandom >"$pkg/upgrade.img"
  head -c 5000 /dev/urandom >"$pkg/patch.img"
  head -c 20000 /dev/urandom >"$pkg/update.zip"
  head -c 3000 /dev/urandom >"$pkg/extra.bin"
  cat >"$pkg/config_progress.xml" <<'PLAN'
<?xml version="1.0"?>
<progress>
<command sn="0" path="spl.bin" address="80000000" run="true">load spl</command>
<command sn="1">crc 80000000 size value</command>
<command sn="2" path="uboot.bin" address="81000000" run="true" count="20">load uboot</command>
<command sn="3">crc 81000000 size value</command>
<command sn="4" path="uImage" address="82000000">load uimage</command>
<command sn="5">crc 82000000 size value</command>
<command sn="6" path="upgrade.img" address="83000000">load to ram</command>
<command sn="7" path="patch.img" address="84000000">load to ram</command>
<command sn="8" address="8f000000" cmd="upgrade:0# patch:0#">load addr</command>
<command sn="9">setenv bootargs console=ttyS0</command>
<command sn="10" count="30">bootm</command>
<command sn="11" count="30">update:update.zip</command>
<command sn="12">copy_media</command>
<command sn="13" cmd="final">format_data(prepare:extra.bin)</command>
</progress>
PLAN
  (cd "$pkg" && 7z a -tzip -bso0 -bsp0 "$station/fw_demo.zip" .)
  head -c 8000 /dev/urandom >"$station/media/intro.mp4"
  head -c 1000 /dev/urandom >"$station/media/clips/a.mp4"

  # What the program reads from its working directory (an installed program
  # has its own copies: BUILD empty).
  if [[ -n $build ]]; then
    cp "$build/bin/ok.png" "$build/bin/no.png" "$build/bin/pyrewick_zh.qm" "$station/"
  fi
  printf '[General]\nlanuage=en\n' >"$station/configure.ini"

  # The line of "vyrsim --eight" (an 8-port hub on root port 1, devices plugged
  # 300 ms apart), written out so that each device answers a status request
  # only with a command's result: its boot loader takes no "running" time per
  # command.
  local n
  {
    printf '[line]\nroothub = 4 xHCI Host Controller\nhub = 1-1 8\n'
    for n in 1 2 3 4 5 6 7 8; do
      printf '\n[device.%d]\nport = 1-1.%d\nplug = %d\nrun-delay = 200\nboot = 2000\n' \
        "$n" "$n" $(((n - 1) * 300))
      printf 'recovery-boot = 1000\nrecovery-update = 3000\nrecovery-command = 500\n'
    done
  } >"$station/eight.ini"
}
