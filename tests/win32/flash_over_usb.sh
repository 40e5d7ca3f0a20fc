#!/usr/bin/env bash
# One USB flash in real time under Wine, through Wine's own HID stack: the
# native tambrix-sim serves a corded USB scanner as a hidraw device of a
# umockdev testbed, Wine started inside that testbed finds it through its
# udev/hidraw bus, and the Windows host program flashes it with
# TAMBRIX01.dll, whose USB backend runs as it does on Windows.
# Usage: flash_over_usb.sh CASE SIM PREFIX WINE HOST
#   flash     the whole flash: areas equal to the file's images afterwards
#   occupied  another holder has the bootloader's device mutex
#   vanished  the device leaves the bus in the middle of the application
#   moved     as flash, but the device comes back from each restart on
#             another USB port path and node, off the bus for a while
#   moved-noserial  the same for a device without a serial number
set -u
case=$1 sim=$2 prefix=$3 wine=$4 host=$5
wineserver=$(dirname "$wine")/wineserver
export WINEPREFIX=$prefix WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=${WINEDEBUG:--all}
app_ids=f0f0:0a01 boot_ids=f0f0:0b01   # the simulator's own
work=$(mktemp -d)
sim_pid="" testbed=""

stop_wine() {
  # Ends the wineserver of this prefix and every Wine process with it.
  UMOCKDEV_DIR=$testbed timeout 20 "$wineserver" -k 2>/dev/null
  timeout 20 "$wineserver" -w 2>/dev/null
}
stop_sim() {
  [ -n "$sim_pid" ] || return 0
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=""
}
cleanup() {
  stop_wine
  stop_sim
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL ($case): $*"
  echo "--- library log (tail) ---"; [ -f "$work/flash.log" ] && tr -d '\r' <"$work/flash.log" | tail -n 60
  echo "--- simulator (tail) ---"; tail -n 30 "$work/sim-trace.txt"
  exit 1
}
logged() { tr -d '\r' <"$work/flash.log" | grep -qF -- "$1"; }

# A prefix of its own, made once: Wine 8.0 starts its udev (hidraw) bus only
# when the SDL bus is off, and the HID devices it finds are those of the
# testbed its wineserver was started in, so no other test may share it.
if ! grep -qs '^"Enable SDL"=dword:00000000' "$prefix/system.reg"; then
  stop_wine
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || fail "cannot make the prefix $prefix"
  timeout 60 "$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD /d 0 /f \
    >/dev/null 2>&1 || fail "cannot switch the SDL bus off in $prefix"
fi
# The wineserver must start inside the testbed's environment (and writes
# the registry out when it ends).
stop_wine

options=()
# Block writes at offset 0x1000 exist in the application's image only.
[ "$case" = vanished ] && options=(--usb-vanish-at "cmd=16 00001000")
[ "$case" = moved ] && options=(--usb-move)
[ "$case" = moved-noserial ] && options=(--usb-move --usb-no-serial)
coproc SIM { exec "$sim" --usb --usb-keep-ptys --cbl 4 --timing newap2-delay=20 --timing erase=50 \
  --timing line-speed=0 --timing restart=200 --dump-dir "$work" "${options[@]}" 2>"$work/sim-trace.txt"; }
sim_pid=$SIM_PID
read -r -t 20 node <&"${SIM[0]}" && read -r -t 5 testbed <&"${SIM[0]}" || fail "no USB device from $sim"
echo "simulated scanner on $node, testbed $testbed"

host_options=()
[ "$case" = occupied ] && host_options=(--occupy "$boot_ids")
start=$SECONDS
# The host lies next to TAMBRIX01.dll, where LoadLibrary looks first. Wine's
# processes inherit the testbed from here: its preload library and directory.
(cd "$work" && UMOCKDEV_DIR=$testbed LD_PRELOAD=libumockdev-preload.so.0 \
  timeout -k 10 180 "$wine" "$host" TAMBRIX01.dll "$app_ids" "${host_options[@]}" >"$work/host.txt" 2>&1)
result=$?
cat "$work/host.txt"
echo "host ended with $result after $((SECONDS - start)) s"
stop_wine
stop_sim

case $case in
moved|moved-noserial)
  [ "$result" -eq 0 ] || fail "FlashScanner over USB with the device moving: result $result"
  nodes=$(grep -o "on the bus as .*" "$work/sim-trace.txt")
  [ "$(echo "$nodes" | wc -l)" -ge 4 ] || fail "the device did not re-enumerate three times: $nodes"
  [ "$(echo "$nodes" | uniq | wc -l)" -eq "$(echo "$nodes" | wc -l)" ] || fail "it came back on its old node: $nodes"
  serial="serial number"; [ "$case" = moved-noserial ] && serial="no serial number"
  # Wine names a HID device by its serial number (or without one by its
  # ids), not by its port: its path may outlive the move, and the library
  # then has nothing to look for again.
  echo "the library looked for the device again $(tr -d '\r' <"$work/flash.log" | grep -c "Searching again") times"
  ! logged "cannot be told from" || fail "the device was taken for another"
  cmp "$work/scanner-boot.bin" "$work/expected-boot.bin" || fail "boot area differs from the boot image"
  cmp "$work/scanner-app.bin" "$work/expected-app.bin" || fail "application area differs from the application image"
  grep -q "running its application (app E2E-APP-2" "$work/sim-trace.txt" || fail "the new application does not run"
  echo "flashed over USB through re-plugs ($serial): both areas equal the file's images";;
flash)
  [ "$result" -eq 0 ] || fail "FlashScanner over USB: result $result"
  logged "MATCH: \\\\?\\hid#vid_${boot_ids%:*}&pid_${boot_ids#*:}" || fail "the bootloader was not found by its ids"
  [ "$(grep -c "on the bus as" "$work/sim-trace.txt")" -ge 3 ] || fail "the device did not re-enumerate twice"
  cmp "$work/scanner-boot.bin" "$work/expected-boot.bin" || fail "boot area differs from the boot image"
  cmp "$work/scanner-app.bin" "$work/expected-app.bin" || fail "application area differs from the application image"
  grep -q "running its application (app E2E-APP-2" "$work/sim-trace.txt" || fail "the new application does not run"
  echo "flashed over USB: both areas equal the file's images";;
occupied)
  [ "$result" -eq 1 ] || fail "FlashScanner with the bootloader occupied: result $result, expected 1"
  grep -q "occupier: holds" "$work/host.txt" || fail "the other holder did not get the mutex"
  logged "is occupied by other mutex." || fail "the library did not see the device occupied"
  ! cmp -s "$work/scanner-app.bin" "$work/expected-app.bin" || fail "the occupied device was flashed all the same"
  echo "the occupied bootloader was left alone: result 1";;
vanished)
  [ "$result" -eq 1 ] || fail "FlashScanner with the device gone: result $result, expected 1"
  grep -q "usb: off the bus" "$work/sim-trace.txt" || fail "the device never left the bus"
  logged "ReadFile DEVICE NOT CONNECTED!" || fail "no read saw the device go"
  ! logged "ReadFile Failure!" || fail "a read failed otherwise than with the device gone"
  echo "the vanished device failed the flash: result 1";;
*)
  fail "unknown case";;
esac
