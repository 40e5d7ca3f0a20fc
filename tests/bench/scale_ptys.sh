#!/bin/sh
# Scale in real time: N simulated corded scanners, each a tambrix-sim on a
# pty of its own, flashed at once by one `tambrix-flash flash --port ...`,
# with the long-standing pauses and with --fast. Prints per run the wall
# time, the flasher's CPU time and peak memory, and the same per device.
# A benchmark run by hand (at nice 10, it is real time), never a test.
#
#   tests/bench/scale_ptys.sh BUILD_DIR [APP_BYTES [N ...]]
#   e.g. tests/bench/scale_ptys.sh build/native 262144 1 4 16
set -u
build=${1:?build directory}
bytes=${2:-262144}
shift 2 2>/dev/null || shift $#
counts=${*:-1 4 16}
sim="$build/tools/tambrix-sim"
flash="$build/tools/tambrix-flash"
fw="$build/tools/tambrix-fw"
work=$(mktemp -d)
trap 'kill $(cat "$work"/*.pid 2>/dev/null) 2>/dev/null; rm -rf "$work"' EXIT INT TERM

"$fw" build -o "$work/fw.mocf" --no-boot --app-size "$bytes" --compat 0x41 >/dev/null || exit 1

run() { # count, extra flash option
  n=$1
  rm -f "$work"/*.pid "$work"/port.*
  ports=""
  i=0
  while [ "$i" -lt "$n" ]; do
    nice -n 10 "$sim" >"$work/port.$i" 2>/dev/null &
    echo $! >"$work/sim.$i.pid"
    i=$((i + 1))
  done
  i=0
  while [ "$i" -lt "$n" ]; do
    tries=0
    until [ -s "$work/port.$i" ] || [ "$tries" -ge 100 ]; do sleep 0.1; tries=$((tries + 1)); done
    ports="$ports --port $(head -n 1 "$work/port.$i")"
    i=$((i + 1))
  done
  # shellcheck disable=SC2086
  nice -n 10 /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$flash" flash "$work/fw.mocf" $ports $2 -q \
    >"$work/out" 2>"$work/err"
  code=$?
  kill $(cat "$work"/sim.*.pid) 2>/dev/null
  wait 2>/dev/null
  read -r wall user sys rss <<EOF
$(tail -n 1 "$work/time")
EOF
  awk -v n="$n" -v p="${2:-text}" -v c="$code" -v w="$wall" -v u="$user" -v s="$sys" -v m="$rss" 'BEGIN {
    printf "| %2d | %-6s | %3d | %7.1f | %6.2f | %6.3f | %7.0f | %6.0f |\n", n, p, c, w, u + s, (u + s) / n, m, m / n }'
  [ "$code" -eq 0 ] || sed 's/^/    /' "$work/err" | tail -n 5
}

echo "application: $bytes bytes"
echo "| devices | pauses | exit | wall s | CPU s | CPU s/device | peak KiB | KiB/device |"
echo "|---|---|---|---|---|---|---|---|"
for n in $counts; do
  run "$n" ""
  run "$n" --fast
done
