#!/usr/bin/env bash
# One flash in real time under Wine: the native tambrix-sim serves a corded
# scanner on a pty, a free COM number of the Wine prefix is linked to that
# pty, the Windows host program flashes through it with TAMBRIX01.dll, and
# the areas the simulator dumps on exit must equal the images the host
# program wrote next to the file.
# Usage: flash_over_com.sh SIM DOSDEVICES WINE HOST
set -u
sim=$1 dosdevices=$2 wine=$3 host=$4
work=$(mktemp -d)
link=""
sim_pid=""
stop_sim() {
  [ -n "$sim_pid" ] || return 0
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=""
}
cleanup() {
  stop_sim
  [ -n "$link" ] && rm -f "$link"
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  echo "--- library log (tail) ---"; [ -f "$work/flash.log" ] && tr -d '\r' <"$work/flash.log" | tail -n 80
  echo "--- simulator (tail) ---"; tail -n 40 "$work/sim-trace.txt"
  exit 1
}

# A fresh prefix gets its dosdevices directory from wineboot.
[ -d "$dosdevices" ] || "$wine" wineboot -i >/dev/null 2>&1

# The same quick device as the native pty flash.
coproc SIM { exec "$sim" --timing newap2-delay=20 --timing erase=50 --timing line-speed=0 \
  --timing restart=200 --dump-dir "$work" 2>"$work/sim-trace.txt"; }
sim_pid=$SIM_PID
read -r -t 10 pty <&"${SIM[0]}" || fail "no pty from $sim"

# A COM number nobody else uses: ln -s fails when the name exists.
for number in $(seq 100 239); do
  if ln -s "$pty" "$dosdevices/com$number" 2>/dev/null; then
    link="$dosdevices/com$number"
    break
  fi
done
[ -n "$link" ] || fail "no free COM number in $dosdevices"

# The host program lies next to TAMBRIX01.dll, where LoadLibrary looks first.
# The wineserver opens the pty as its controlling terminal, so the hang-up
# when the simulator closes it makes the server dump its objects to the
# output it inherited: that output is a file, read before the hang-up.
(cd "$work" && "$wine" "$host" TAMBRIX01.dll "\\\\.\\COM$number" >"$work/host.txt" 2>&1)
result=$?
cat "$work/host.txt"
stop_sim
rm -f "$link"; link=""

[ "$result" -eq 0 ] || fail "FlashScanner through COM$number: result $result"
cmp "$work/scanner-boot.bin" "$work/expected-boot.bin" || fail "boot area differs from the boot image"
cmp "$work/scanner-app.bin" "$work/expected-app.bin" || fail "application area differs from the application image"
grep -q "running its application (app E2E-APP-2" "$work/sim-trace.txt" || fail "the new application does not run"
echo "flashed through COM$number: both areas equal the file's images"
