#!/usr/bin/env bash
# tambrix-flash.exe station --usb under Wine: the native tambrix-sim serves
# a corded USB scanner as a hidraw device of a umockdev testbed, Wine's HID
# bus (started inside that testbed) hands it to Windows programs, and the
# station finds it by its application ids with its SetupDi look, flashes it
# through the bootloader's re-enumeration.
# Usage: station_over_usb.sh CASE SIM PREFIX WINE FLASH FILES
#   count      --count 1: the station ends by itself after that device
#   interrupt  the device stays after its flash and is not taken again;
#              Ctrl-C (SIGINT, which Wine turns into the console's Ctrl-C)
#              ends the station with its summary
#   FLASH  tambrix-flash.exe, beside TAMBRIX01.dll
#   FILES  write_flash_files.exe: the firmware file and the areas it leaves
set -u
case=$1 sim=$2 prefix=$3 wine=$4 flash=$5 files=$6
wineserver=$(dirname "$wine")/wineserver
export WINEPREFIX=$prefix WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=${WINEDEBUG:--all}
app_ids=f0f0:0a01   # the simulator's own
work=$(mktemp -d)
sim_pid="" testbed=""

stop_wine() {
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
  echo "--- station's output (tail) ---"; tr -d '\r' <"$work/station.out" 2>/dev/null | tail -n 20
  echo "--- station's errors (tail) ---"; tr -d '\r' <"$work/station.err" 2>/dev/null | tail -n 30
  echo "--- simulator (tail) ---"; tail -n 30 "$work/sim-trace.txt"
  exit 1
}
in_testbed() { # runs a Windows program in the testbed, from $work
  (cd "$work" && UMOCKDEV_DIR=$testbed LD_PRELOAD=libumockdev-preload.so.0 "$@")
}

# The Wine process of tambrix-flash.exe among the descendants of a pid.
station_program() {
  local p
  for p in $(pgrep -P "$1"); do
    if tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null | grep -q "tambrix-flash.exe station"; then
      echo "$p"; return
    fi
    station_program "$p"
  done
}

# The prefix of the USB flashes (flash_over_usb.sh): its HID bus is Wine's
# udev one, with the SDL bus off.
if ! grep -qs '^"Enable SDL"=dword:00000000' "$prefix/system.reg"; then
  stop_wine
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || fail "cannot make the prefix $prefix"
  timeout 60 "$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD /d 0 /f \
    >/dev/null 2>&1 || fail "cannot switch the SDL bus off in $prefix"
fi
stop_wine

coproc SIM { exec "$sim" --usb --usb-keep-ptys --cbl 4 --timing newap2-delay=20 --timing erase=50 \
  --timing line-speed=0 --timing restart=200 --dump-dir "$work" 2>"$work/sim-trace.txt"; }
sim_pid=$SIM_PID
read -r -t 20 node <&"${SIM[0]}" && read -r -t 5 testbed <&"${SIM[0]}" || fail "no USB device from $sim"
echo "simulated scanner on $node, testbed $testbed"

in_testbed timeout -k 10 120 "$wine" "$files" >"$work/files.txt" 2>&1 || fail "no firmware file: $(cat "$work/files.txt")"
start=$SECONDS
options=(--count 1)
[ "$case" = interrupt ] && options=()
# The station looks for the device until it comes (Wine's HID bus adds it a
# few seconds after its first program starts); the bound only ends a hang.
in_testbed timeout -k 10 180 "$wine" "$flash" station firmware.mocf --usb --usb-id "$app_ids" --json \
  --probe-every 0.3 --log logs "${options[@]}" >"$work/station.out" 2>"$work/station.err" &
station=$!
if [ "$case" = interrupt ]; then
  for ((i = 0; i < 900; i++)); do
    grep -q '"event":"result"' "$work/station.out" && break
    kill -0 "$station" 2>/dev/null || break
    sleep 0.2
  done
  # Several probes of the flashed device, back in its application.
  sleep 3
  program=$(station_program "$station")
  [ -n "$program" ] || fail "the station's process is gone"
  kill -INT "$program"
fi
wait "$station"
result=$?
echo "station ended with $result after $((SECONDS - start)) s"
stop_wine
stop_sim

[ "$result" -eq 0 ] || fail "station: exit $result, expected 0"
out=$(tr -d '\r' <"$work/station.out")
events() { grep -c "\"event\":\"$1\"" <<<"$out"; }
[ "$(events device-arrived)" -eq 1 ] || fail "$(events device-arrived) arrivals, expected 1"
[ "$(events result)" -eq 1 ] || fail "$(events result) results, expected 1"
result_line=$(grep '"event":"result"' <<<"$out")
grep -q '"outcome":"flashed"' <<<"$result_line" || fail "the device was not flashed: $result_line"
grep -q '"result":0' <<<"$result_line" || fail "the library's result is not 0: $result_line"
# The port is the HID interface path with the application's ids.
grep -qi "\"port\":\"[^\"]*hid#vid_${app_ids%:*}&pid_${app_ids#*:}" <<<"$result_line" ||
  fail "the port is not the application's HID path: $result_line"
summary=$(tail -n 1 <<<"$out")
grep -q '"event":"summary"' <<<"$summary" && grep -q '"flashed":1' <<<"$summary" ||
  fail "the last line is no summary with one flashed device: $summary"
if [ "$case" = interrupt ]; then
  grep -q "stopping: no new device is taken" "$work/station.err" || fail "Ctrl-C did not reach the station"
fi
# The log's name is made from the interface path ('#', '&' and '?' are no
# file name's).
logs=("$work"/logs/hid_vid_f0f0_pid_0a01*.log)
[ "${#logs[@]}" -eq 1 ] && [ -s "${logs[0]}" ] || fail "no log of the flash: $(ls "$work/logs" 2>&1)"
[ "$(grep -c "on the bus as" "$work/sim-trace.txt")" -ge 3 ] || fail "the device did not re-enumerate twice"
cmp "$work/scanner-boot.bin" "$work/expected-boot.bin" || fail "boot area differs from the boot image"
cmp "$work/scanner-app.bin" "$work/expected-app.bin" || fail "application area differs from the application image"
echo "the station flashed the USB scanner once: both areas equal the file's images"
