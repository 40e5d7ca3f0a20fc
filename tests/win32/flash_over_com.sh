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
. "$(dirname "$0")/sim_over_com.sh"
cleanup() {
  stop_sim
  unlink_com
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  echo "--- library log (tail) ---"; [ -f "$work/flash.log" ] && tr -d '\r' <"$work/flash.log" | tail -n 80
  echo "--- simulator (tail) ---"; tail -n 40 "$work/sim-trace.txt"
  exit 1
}

# The same quick device as the native pty flash.
start_sim_on_com "$sim" "$dosdevices" "$wine" "$work/sim-trace.txt" --dump-dir "$work"

# The host program lies next to TAMBRIX01.dll, where LoadLibrary looks first.
# The wineserver opens the pty as its controlling terminal, so the hang-up
# when the simulator closes it makes the server dump its objects to the
# output it inherited: that output is a file, read before the hang-up.
(cd "$work" && "$wine" "$host" TAMBRIX01.dll "\\\\.\\COM$com" >"$work/host.txt" 2>&1)
result=$?
cat "$work/host.txt"
stop_sim
unlink_com

[ "$result" -eq 0 ] || fail "FlashScanner through COM$com: result $result"
cmp "$work/scanner-boot.bin" "$work/expected-boot.bin" || fail "boot area differs from the boot image"
cmp "$work/scanner-app.bin" "$work/expected-app.bin" || fail "application area differs from the application image"
grep -q "running its application (app E2E-APP-2" "$work/sim-trace.txt" || fail "the new application does not run"
echo "flashed through COM$com: both areas equal the file's images"
