#!/usr/bin/env bash
# "devcon update" run by root installs what udev then runs as root, so it must
# take only files nobody but root can change. An operator (an ordinary user)
# plants a rules file in their station folder, links one to a root-only file,
# and owns a station helper shipped beside devcon: each is refused with the
# reason and nothing of it is installed or readable afterwards. A devcon
# shipped with root-only files installs all of them and lists each for the
# package's removal. Runs in a private mount namespace (a tmpfs over /run
# holds everything), with udevadm and setcap's effects kept there.
#
#   tests/devcon/devcon_test.sh TOOLS_DIR
set -euo pipefail
tools=$(cd "$1" && pwd)
if [[ $(id -u) -ne 0 ]]; then
  echo "devcon test: needs root (scripts/test runs as root)"
  exit 77
fi
if [[ ${2:-} != inside ]]; then
  exec unshare -m "$0" "$1" inside
fi
mount --make-rprivate /
mount -t tmpfs -o mode=755 run /run
operator=4242
t=/run/devcon-test
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# devcon as shipped in a program directory, with the station files.
mkdir -p $t/bin/station $t/bin/VyrtekusbBurningdriver/linux $t/fakebin /run/udev
cp "$tools/devcon" $t/bin/
cp "$tools/station/70-pyrewick-station.rules" "$tools/station/pyrewick-mount" $t/bin/station/
cp "$tools/VyrtekusbBurningdriver/linux/Skelmar_Device.rules" $t/bin/VyrtekusbBurningdriver/linux/
cp /bin/true $t/bin/pyrewick-rawio
printf '#!/bin/sh\nexit 0\n' >$t/fakebin/udevadm # no daemon to reload here
chmod 755 $t/fakebin/udevadm
fresh() { rm -rf $t/rules $t/helper $t/state && mkdir -p $t/rules; }
devcon() {
  env -i PATH=$t/fakebin:/usr/sbin:/usr/bin:/sbin:/bin DEVCON_RULES_DIR=$t/rules \
    DEVCON_HELPER_DIR=$t/helper DEVCON_STATE_DIR=$t/state $t/bin/devcon update "$1" 'USB\VID_1B8E&PID_C003' \
    >$t/out 2>&1 && echo 0 || echo $?
}
nothing_installed() { [[ -z $(ls -A $t/rules) && ! -e $t/helper/pyrewick-mount && ! -e $t/helper/pyrewick-rawio ]]; }

# The operator's station folder, and what they plant there (as themselves).
mkdir -p $t/home/op
chown $operator:$operator $t/home/op
echo "root's secret" >$t/secret
chmod 600 $t/secret
setpriv --reuid=$operator --regid=$operator --clear-groups sh -c "
  mkdir -p $t/home/op/station/VyrtekusbBurningdriver/linux &&
  echo 'RUN+=\"/bin/sh -c \\\"id >/run/planted-ran\\\"\"' >$t/home/op/station/VyrtekusbBurningdriver/linux/Skelmar_Device.rules &&
  ln -s $t/secret $t/home/op/station/secret.rules"

fresh
rc=$(devcon $t/home/op/station/VyrtekusbBurningdriver/linux/Skelmar_Device.rules)
if [[ $rc == 2 ]] && nothing_installed && grep -q "not root's alone" $t/out; then
  pass "a planted rules file is refused: $(cat $t/out)"
else fail "planted rules file: exit $rc, installed: $(ls $t/rules) $(cat $t/out)"; fi

fresh
rc=$(devcon $t/home/op/station/secret.rules)
if [[ $rc == 2 ]] && nothing_installed && grep -q "symbolic link" $t/out; then
  pass "a linked rules file is refused: $(cat $t/out)"
else fail "linked rules file: exit $rc, $(cat $t/rules/* 2>/dev/null) $(cat $t/out)"; fi

# A root-owned file in the operator's folder (they may swap it), a link in a
# root-only folder, a group-writable file: refused too.
cp $t/bin/VyrtekusbBurningdriver/linux/Skelmar_Device.rules $t/home/op/station/root.rules
ln -s $t/secret $t/bin/secret.rules
cp $t/bin/VyrtekusbBurningdriver/linux/Skelmar_Device.rules $t/bin/open.rules
chmod 664 $t/bin/open.rules
for rules in $t/home/op/station/root.rules $t/bin/secret.rules $t/bin/open.rules; do
  fresh
  rc=$(devcon "$rules")
  if [[ $rc == 2 ]] && nothing_installed; then pass "refused $(cat $t/out)"
  else fail "$rules: exit $rc, installed $(ls $t/rules)"; fi
done

# A helper shipped beside devcon that the operator owns: refused, not given
# to udev or a capability.
chown $operator $t/bin/station/pyrewick-mount
fresh
rc=$(devcon $t/bin/VyrtekusbBurningdriver/linux/Skelmar_Device.rules)
if [[ $rc == 2 ]] && nothing_installed; then
  pass "a helper not root's is refused: $(cat $t/out)"
else fail "helper not root's: exit $rc, helper dir: $(ls $t/helper 2>/dev/null) $(cat $t/out)"; fi
chown 0 $t/bin/station/pyrewick-mount

# Everything root's: installed, and listed for the package's removal.
fresh
rc=$(devcon $t/bin/VyrtekusbBurningdriver/linux/Skelmar_Device.rules)
expected="$t/rules/Skelmar_Device.rules
$t/helper
$t/helper/pyrewick-mount
$t/rules/70-pyrewick-station.rules
$t/helper/pyrewick-rawio"
if [[ $rc == 0 && -f $t/rules/Skelmar_Device.rules && -f $t/rules/70-pyrewick-station.rules &&
  -x $t/helper/pyrewick-mount && $(cat $t/state/devcon-installed 2>/dev/null) == "$expected" ]]; then
  pass "root's files install and are listed"
else fail "root's files: exit $rc, $(cat $t/out), listed: $(cat $t/state/devcon-installed 2>/dev/null)"; fi
if getcap $t/helper/pyrewick-rawio | grep -q cap_sys_rawio; then pass "the SCSI helper got its capability"
else fail "no capability on $t/helper/pyrewick-rawio"; fi

if ((failures > 0)); then
  echo "devcon test: $failures failures"
  exit 1
fi
echo "devcon test passed"
