#!/usr/bin/env bash
# 200 devices through one station, in batches of simulated scanners on ptys
# plugged into a watched directory and pulled once flashed. After each batch
# it prints the station's heap (the [heap] and anonymous mappings' resident
# size, from smaps_rollup's Anonymous), its resident set and its open files;
# it fails when the open files grow, the heap grows by more than 4 MiB after
# the first batch, a device is not flashed, or the ledger lacks a row.
# Run by hand (cmake --build build/native --target station-soak); it takes
# a few minutes of real time and is not part of make test.
set -uo pipefail
sim=$1 flash=$2 fw=$3 devices=${4:-200} batch=${5:-20}
dir=$(mktemp -d)
trap 'kill $station_pid 2>/dev/null; kill ${sims[@]:-} 2>/dev/null; rm -rf "$dir"' EXIT
mkdir -p "$dir/ports"
"$flash" station "$fw" --port "$dir/ports/tty*" --ledger "$dir/ledger.db" --probe-every 0.5 --json \
  --max-parallel "$batch" > "$dir/events" 2> "$dir/errors" &
station_pid=$!

rows() { "$flash" ledger "$dir/ledger.db" --outcome flashed --json 2>/dev/null | wc -l; }
measure() {
  local heap rss fds
  heap=$(awk '/^Anonymous:/ {print $2}' /proc/$station_pid/smaps_rollup)
  rss=$(awk '/^VmRSS:/ {print $2}' /proc/$station_pid/status)
  fds=$(ls /proc/$station_pid/fd | wc -l)
  echo "$heap $rss $fds"
}

done_count=0 n=0 first_heap= first_fds= status=0
while [ $done_count -lt $devices ]; do
  sims=()
  for ((i = 0; i < batch && n < devices; ++i, ++n)); do
    "$sim" --timing restart=200 --timing erase=50 --timing line-speed=0 --timing newap2-delay=20 --quiet \
      > "$dir/sim-$n.out" 2>/dev/null &
    sims+=($!)
  done
  for ((i = 0; i < ${#sims[@]}; ++i)); do
    k=$((n - ${#sims[@]} + i))
    for _ in $(seq 100); do [ -s "$dir/sim-$k.out" ] && break; sleep 0.05; done
    ln -s "$(head -1 "$dir/sim-$k.out")" "$dir/ports/tty$i"
  done
  want=$((done_count + ${#sims[@]}))
  # A generous bound: on a loaded machine a batch takes minutes.
  for _ in $(seq 6000); do
    [ "$(grep -c '"event":"result"' "$dir/events")" -ge "$want" ] && break
    kill -0 $station_pid 2>/dev/null || { echo "station ended early"; tail "$dir/errors"; exit 1; }
    sleep 0.1
  done
  done_count=$want
  rm -f "$dir"/ports/tty*
  kill "${sims[@]}" 2>/dev/null; wait "${sims[@]}" 2>/dev/null
  sims=()
  # Measured once the workers of the pulled ports have ended (only the
  # main thread left), so that a probe under way does not count.
  for _ in $(seq 300); do [ "$(ls /proc/$station_pid/task | wc -l)" -le 1 ] && break; sleep 0.1; done
  read -r heap rss fds < <(measure)
  echo "devices $done_count: heap ${heap} KiB, resident ${rss} KiB, open files $fds"
  if [ -z "$first_heap" ]; then first_heap=$heap first_fds=$fds; fi
done
kill -INT $station_pid; wait $station_pid; code=$?
flashed=$(rows)
results=$(grep -c '"outcome":"flashed"' "$dir/events")
echo "station exit $code; results flashed: $results; ledger rows flashed: $flashed"
[ "$code" -eq 0 ] || status=1
[ "$results" -eq "$devices" ] && [ "$flashed" -eq "$devices" ] || status=1
[ "$fds" -le "$first_fds" ] || { echo "open files grew: $first_fds -> $fds"; status=1; }
[ $((heap - first_heap)) -le 4096 ] || { echo "heap grew: $first_heap -> $heap KiB"; status=1; }
[ $status -eq 0 ] && echo "SOAK PASSED" || { echo "SOAK FAILED"; tail "$dir/errors"; }
exit $status
