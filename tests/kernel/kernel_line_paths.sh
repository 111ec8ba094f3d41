#!/usr/bin/env bash
# The kernel line's guest must find what it needs wherever the checkout is.
# A build folder under /tmp (hidden in the guest by its fresh /tmp), with a
# space and a comma in its path and a long path, is mapped by the kernel
# line's own functions (scripts/kernel-line-shares.sh); then a root like the
# guest's -- the system's programs, empty /tmp, /run and /var/tmp, and only
# the two shares at the paths the initrd mounts them on -- is entered in a
# private mount namespace, and every path of the guest settings must be there,
# as must the guest script the kernel command line names. The qemu share
# options must carry the folders' paths intact, and the preflight must refuse,
# in one line, what the kernel line cannot live with.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/kernel-line-shares.sh"

fails=0
fail() {
  echo "FAIL: $*" >&2
  fails=$((fails + 1))
}

top=$(mktemp -d /tmp/kline-paths.XXXXXX)
trap 'rm -rf "$top"' EXIT
long=$(printf 'a-rather-long-folder-name-%d/' 1 2 3 4 5 6)
build="$top/check out, here/$long/build"
work=$build/kline
kdir=$build/kernel-cache/linux-image-6.1.0-test-amd64
deb=$build/packages/pyrewick_1.0_amd64.deb
dir=$work/eight
mkdir -p "$build/bin" "$build/lib" "$build/packages" "$kdir/lib/modules/6.1.0-test" "$dir/station"
touch "$build/bin/kernel_changes" "$build/bin/kernel_bench" "$build/lib/libpipewell.so.1" "$deb" \
  "$kdir/lib/modules/6.1.0-test/modules.dep" "$work/guest.sh" "$work/dump-sysfs.sh" "$dir/station/eight.ini"

# The settings: guest paths only, none of the host's.
kline_guest_conf "$build" "$work" "$kdir" "$deb" "$dir" >"$dir/guest.conf"
grep -qF "$top" "$dir/guest.conf" && fail "the guest settings name host paths: $(cat "$dir/guest.conf")"
script=$(kline_guest_path "$build" "$work" "$work/guest.sh")
conf=$(kline_guest_path "$build" "$work" "$dir/guest.conf")
[[ $script == /kline/* && $conf == /kline/* ]] || fail "the kernel command line names $script and $conf"

# A path outside both folders has no guest path.
kline_guest_path "$build" "$work" /etc/hostname >/dev/null 2>&1 && fail "a path outside the shares got a guest path"

# The qemu options: split on single commas (a doubled one is a comma of the
# value), the path must be the folder's own.
kline_share_args "$build" "$work"
shared=()
for ((i = 1; i < ${#kline_shares[@]}; i += 2)); do
  opt=${kline_shares[i]//,,/$'\x01'}
  IFS=, read -ra parts <<<"$opt"
  for p in "${parts[@]}"; do
    [[ $p == path=* ]] && shared+=("${p#path=}")
  done
done
shared=("${shared[@]//$'\x01'/,}")
[[ ${#shared[@]} == 2 && ${shared[0]} == "$build" && ${shared[1]} == "$work" ]] ||
  fail "the qemu shares carry ${shared[*]}"

# The guest's view, entered as root in a private mount namespace (or as a
# user who maps to root in a user namespace of their own).
unshare_args=(--mount --propagation private)
((EUID == 0)) || unshare_args+=(--map-root-user)
seen=$(unshare "${unshare_args[@]}" bash -s -- "$build" "$work" "$script" "$conf" <<'GUEST' 2>&1
set -eu
build=$1 work=$2 script=$3 conf=$4
r=$(mktemp -d)
mount -t tmpfs tmpfs "$r"
mkdir -p "$r/usr" "$r/kline/build" "$r/kline/work" "$r/tmp" "$r/run" "$r/var/tmp" "$r/proc"
mount --rbind /usr "$r/usr"
for d in bin sbin lib lib64; do
  if [[ -L /$d ]]; then ln -s "$(readlink /$d)" "$r/$d"
  elif [[ -d /$d ]]; then mkdir "$r/$d" && mount --rbind "/$d" "$r/$d"; fi
done
mount --bind "$build" "$r/kline/build"
mount --bind "$work" "$r/kline/work"
chroot "$r" /bin/sh -c '
  [ -f "$1" ] || echo "missing script $1"
  [ -f "$2" ] || { echo "missing settings $2"; exit 0; }
  . "$2"
  for f in "$DEB" "$BIN/kernel_changes" "$BIN/kernel_bench" "$LIB/libpipewell.so.1" \
    "$KDIR/lib/modules" "$STATION/eight.ini" "$KLINE/dump-sysfs.sh"; do
    [ -e "$f" ] || echo "missing $f"
  done
  echo checked' sh "$script" "$conf"
GUEST
) || fail "could not enter the guest's view: $seen"
[[ $seen == checked ]] || fail "in the guest's view: $seen"

# The preflight: one line, before any work, for what cannot work.
mkdir -p "$top/$long$long"
out=$(TMPDIR="$top/$long$long" kline_preflight "$build" "$work" 2>&1) &&
  fail "a socket folder too long for Unix sockets passed the preflight"
[[ $(wc -l <<<"$out") == 1 && $out == "kernel line: "*"too long"* ]] || fail "preflight said: $out"
out=$(kline_preflight "$build"$'\n'x "$work" 2>&1) && fail "a path with a line break passed the preflight"
[[ $(wc -l <<<"$out") == 1 && $out == "kernel line: "*"line break"* ]] || fail "preflight said: $out"

((fails == 0)) || exit 1
echo "kernel line paths: ok"
