#!/usr/bin/env bash
# Shows the library at work without hardware: a firmware file is built, a
# simulated scanner is started on a pseudo-terminal, the command-line flasher
# (a host program that loads libTAMBRIX01.so) flashes the file into it, and
# what the scanner holds afterwards is compared with the file's images.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/native/tools
lib=build/native/src/libTAMBRIX01.so
work=$(mktemp -d)
sim_pid=""
stop_sim() {
  [ -n "$sim_pid" ] || return 0
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}
cleanup() {
  stop_sim
  rm -rf "$work"
}
trap cleanup EXIT

echo "== 1. tambrix-fw builds the two images and a firmware file for compat id 0x41 =="
stamp=(--date "Dec 09 2026" --time 12:00:00 --compat 0x41)
"$bin/tambrix-fw" build -o "$work/boot.bin" --single boot --boot-version 2.1.0 --boot-size 3000 "${stamp[@]}"
"$bin/tambrix-fw" build -o "$work/app.bin" --single app --app-version 3.4.5 --app-size 16000 "${stamp[@]}"
"$bin/tambrix-fw" build -o "$work/firmware.mocf" --boot "$work/boot.bin" --app "$work/app.bin" --table 0x41
"$bin/tambrix-fw" info "$work/firmware.mocf"
echo

echo "== 2. tambrix-sim serves a corded scanner running application 3.4.4 on a pseudo-terminal =="
# The device restarts and erases quickly and the line costs no byte time;
# the flash sequence keeps its own pauses.
mkdir "$work/dump"
coproc SIM { exec "$bin/tambrix-sim" --app-version 3.4.4 --timing restart=200 --timing erase=50 \
  --timing line-speed=0 --dump-dir "$work/dump" 2>"$work/sim-trace.txt"; }
sim_pid=$SIM_PID
read -r -t 10 port <&"${SIM[0]}"
echo "simulated scanner on $port"
echo

flash=("$bin/tambrix-flash" --library "$lib" --port "$port" --baud 115200)
echo "== 3. tambrix-flash asks which firmware of the file suits the device =="
"${flash[@]}" --log "$work/version.log" --version-only "$work/firmware.mocf" 2>&1
echo

echo "== 4. tambrix-flash flashes the file over that port (about 20 s of real pauses) =="
start=$SECONDS
result=0
"${flash[@]}" --log "$work/flash.log" --log-level 1 "$work/firmware.mocf" 2>&1 || result=$?
echo "flash took $((SECONDS - start)) s; the library's summary:"
sed 's/^/  | /' "$work/flash.log" | grep -E "FLASH file|Device:|Result:" || true
echo "what the scanner did:"
grep -E "restarting|running its|area ended|VISMN4" "$work/sim-trace.txt" | sed 's/^/  | /'
echo

echo "== 5. the scanner now runs the new application and its areas equal the file =="
grep "running its application" "$work/sim-trace.txt" | tail -1 | sed 's/.*(app \([^,]*\),.*/application version on the device: \1/'
stop_sim
# The bootloader is written without its 256-byte header.
tail -c +257 "$work/boot.bin" >"$work/boot-body.bin"
same=0
cmp "$work/dump/scanner-boot.bin" "$work/boot-body.bin" && echo "boot area        = boot image from byte 256 on ($(stat -c %s "$work/boot-body.bin") bytes)" || same=1
cmp "$work/dump/scanner-app.bin" "$work/app.bin" && echo "application area = application image ($(stat -c %s "$work/app.bin") bytes)" || same=1
[ "$result" -eq 0 ] && [ "$same" -eq 0 ] && echo "DEMO OK: the simulated scanner was flashed" && exit 0
echo "DEMO FAILED: flash result $result; the library's log follows"
cat "$work/flash.log"
exit 1
