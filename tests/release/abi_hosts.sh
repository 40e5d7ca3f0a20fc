#!/usr/bin/env bash
# Runs the MinGW host and the MSVC-ABI host of abi_host.cpp under Wine, each
# in a directory of its own, and compares their transcripts. Given the
# native simulator, both hosts also query a simulated scanner behind a COM
# port of the prefix for the versions of a firmware file made by
# tambrix-fw.exe, and flash the file into it.
# Usage: abi_hosts.sh WINE BINDIR VERSION [SIM DOSDEVICES]
set -u
wine=$1 bin=$2 version=$3 sim=${4:-} dosdevices=${5:-}
work=$(mktemp -d)
. "$(dirname "$0")/../win32/sim_over_com.sh"
cleanup() {
  stop_sim
  unlink_com
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for log in "$work"/*/abi-host-device.log; do
    [ -f "$log" ] && { echo "--- $log (tail) ---"; tr -d '\r' <"$log" | tail -n 60; }
  done
  [ -f "$work/sim-trace.txt" ] && { echo "--- simulator (tail) ---"; tail -n 40 "$work/sim-trace.txt"; }
  exit 1
}

device=()
if [ -n "$sim" ]; then
  (cd "$work" && "$wine" "$bin/tambrix-fw.exe" build -o firmware.mocf --compat 0x41 --boot-version 2.1.0 \
    --app-version 3.4.5 --date "Dec 09 2026" --time 12:34:56 >fw-build.txt 2>&1) || fail "tambrix-fw.exe build"
  start_sim_on_com "$sim" "$dosdevices" "$wine" "$work/sim-trace.txt"
  device=(env "TAMBRIX_ABI_PORT=\\\\.\\COM$com")
fi

for host in mingw msvc; do
  mkdir "$work/$host"
  [ -n "$sim" ] && cp "$work/firmware.mocf" "$work/$host/"
  # Output to files: the wineserver may write to what it inherited when the
  # simulator's pty hangs up.
  (cd "$work/$host" && "${device[@]}" "$wine" "$bin/abi_host_$host.exe" >transcript.txt 2>stderr.txt)
  result=$?
  if [ "$result" -ne 0 ]; then
    cat "$work/$host/transcript.txt" "$work/$host/stderr.txt"
    fail "the $host host ended with $result"
  fi
  # The log file's wide name came through the record.
  grep -q "Get and SetSetting: set port name" "$work/$host/abi-host é.log" ||
    fail "the $host host's log file is missing or empty"
done
stop_sim

cat "$work/mingw/transcript.txt"
diff -u "$work/mingw/transcript.txt" "$work/msvc/transcript.txt" ||
  fail "the MSVC-ABI host got other answers than the MinGW host"

# Both got the same, and that is the library's answer, not a common fault.
expected=("entry points: bound alike" "  text 1.20 | $version | " "FixedValueA: result 13"
          "FixedValueB: result 4" "get CFS_CANCELIO: result 0" "  value 0xfedcba9876543210"
          "set CFS_INTERFACE size 2^32+8: result 1" "  text COM7 \\u00e9\\u20ac\\u4e2d" "done")
[ -n "$sim" ] && expected+=("GetFileVersion from the device: result 0"
                            "  application \"3.4.5\" built 56 34 12 9 12 126 0 0 -1"
                            "  boot \"2.1.0\" built 56 34 12 9 12 126 0 0 -1"
                            "FlashScanner into the device: result 0" "  progress reported"
                            "  other host contexts 0, non-zero second arguments 0"
                            "  port name asked for after restarts, other assist arguments 0")
for line in "${expected[@]}"; do
  grep -qF -- "$line" "$work/mingw/transcript.txt" || fail "the transcript lacks \"$line\""
done
echo "the MSVC-ABI host and the MinGW host got the same answers"
