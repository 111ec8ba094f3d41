# What the kernel line's guest sees of this machine, sourced by
# scripts/kernel-line and by its path test (tests/kernel/kernel_line_paths.sh).
#
# The guest's root is this machine's root (read-only over 9p, under an
# overlay), but the guest mounts fresh file systems on /tmp, /run and /var/tmp,
# and its operator is an ordinary user who may not enter a home folder such as
# /root. A build folder seen through the guest's root would vanish under those
# mounts or be out of the operator's reach. So the two folders the guest needs
# -- the build folder (packages, the kernel, the test programs and their
# libraries) and the kernel line's work folder (guest script, settings,
# station folders) -- are shared with it as 9p exports of their own, which the
# initrd mounts at fixed guest paths before anything else runs. No host path
# ever reaches the guest: its settings name guest paths only, wherever the
# checkout is (spaces, commas and long paths included), and whatever the guest
# runs as the operator it first copies into a folder of its own.

KLINE_GUEST_BUILD=/kline/build
KLINE_GUEST_WORK=/kline/work

# A value inside a qemu option list: a comma is written twice.
kline_qemu_value() {
  printf '%s' "${1//,/,,}"
}

# kline_guest_path BUILD WORK HOSTPATH: the guest path of HOSTPATH, which must
# lie inside the work folder or the build folder (the work folder is the
# narrower share when it lies inside the build folder). Fails otherwise.
kline_guest_path() {
  local build=$1 work=$2 path=$3
  if [[ $path == "$work" || $path == "$work"/* ]]; then
    printf '%s' "$KLINE_GUEST_WORK${path#"$work"}"
  elif [[ $path == "$build" || $path == "$build"/* ]]; then
    printf '%s' "$KLINE_GUEST_BUILD${path#"$build"}"
  else
    echo "kernel line: $path is in neither the build folder nor the work folder, so the guest cannot see it" >&2
    return 1
  fi
}

# kline_share_args BUILD WORK: sets the array kline_shares to qemu's -virtfs
# arguments for the two folders (read-only; the initrd mounts the tags
# kline-build and kline-work at the fixed guest paths above).
kline_share_args() {
  local build=$1 work=$2
  kline_shares=(
    -virtfs "local,path=$(kline_qemu_value "$build"),mount_tag=kline-build,security_model=none,readonly=on,multidevs=remap"
    -virtfs "local,path=$(kline_qemu_value "$work"),mount_tag=kline-work,security_model=none,readonly=on,multidevs=remap"
  )
}

# kline_guest_conf BUILD WORK KDIR DEB DIR: the paths of a scenario's guest
# settings (sourced by tests/kernel/guest.sh), as guest paths: the unpacked
# kernel, the build's programs and libraries, the package, the scenario's
# station folder and the work folder (guest script and its helpers).
kline_guest_conf() {
  local build=$1 work=$2 kdir=$3 deb=$4 dir=$5 p
  p=$(kline_guest_path "$build" "$work" "$kdir") && echo "KDIR=$p" &&
    p=$(kline_guest_path "$build" "$work" "$build/bin") && echo "BIN=$p" &&
    p=$(kline_guest_path "$build" "$work" "$build/lib") && echo "LIB=$p" &&
    p=$(kline_guest_path "$build" "$work" "$deb") && echo "DEB=$p" &&
    p=$(kline_guest_path "$build" "$work" "$dir/station") && echo "STATION=$p" &&
    p=$(kline_guest_path "$build" "$work" "$work") && echo "KLINE=$p"
}

# kline_preflight BUILD WORK: what the kernel line cannot live with, found
# before any long work starts; prints one line saying what and why and fails.
# (No /dev/kvm is fine: the guest runs under TCG.)
kline_preflight() {
  local build=$1 work=$2 f
  for f in "$build" "$work"; do
    if [[ $f == *$'\n'* ]]; then
      echo "kernel line: the folder '${f//$'\n'/\\n}' has a line break in its path, which qemu's share options cannot carry" >&2
      return 1
    fi
    if [[ $f != /* ]]; then
      echo "kernel line: the folder '$f' is not an absolute path" >&2
      return 1
    fi
  done
  local sockets=${TMPDIR:-/tmp}
  if [[ ! -d $sockets || ! -w $sockets ]]; then
    echo "kernel line: the devices' sockets go into $sockets, which is not a writable folder (set TMPDIR)" >&2
    return 1
  fi
  # A Unix socket's path holds at most 107 bytes: the longest one is
  # SOCKETS/kline.XXXXXX/1-1.8.sock.
  if ((${#sockets} + 24 > 107)); then
    echo "kernel line: the socket folder $sockets is too long for the devices' Unix sockets (at most 83 characters; set TMPDIR)" >&2
    return 1
  fi
  if ! command -v apt-cache >/dev/null || [[ -z $(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ {print $2; exit}') ]]; then
    echo "kernel line: apt knows no Debian kernel package (linux-image-amd64), which the guest boots" >&2
    return 1
  fi
}
