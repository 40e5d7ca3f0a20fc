#!/usr/bin/env bash
# A flash recorded with tambrix-flash --record against the simulator's pty
# replays with tambrix-sim --replay: a second flash of the same file gives
# the same result, another file is refused with the divergence named, and a
# recording cut short is reported as ending first. Replayed in real time,
# the host's own timing decides how often it polls: the replay follows it.
# A host killed while its device restarts leaves every event up to then in
# the file, in whole lines, and that replays up to there.
# Usage: replay_flash.sh TAMBRIX-SIM TAMBRIX-FLASH DIR-WITH-THE-FILES
set -u
sim=$1 flash=$2 files=$3
dir=$(mktemp -d)
simpid= flashpid=
trap '[ -n "$simpid" ] && kill "$simpid" 2>/dev/null; [ -n "$flashpid" ] && kill -9 "$flashpid" 2>/dev/null; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; echo "--- sim trace"; tail -20 "$dir/sim.err"; echo "--- flasher"; tail -5 "$dir/flash.out"; exit 1; }

# Starts the simulator with the given options; PORT is its pty.
start_sim() {
  # The shell truncates sim.out in the child, maybe after the first look
  # below: without this, that look could read the last simulator's port.
  rm -f "$dir/sim.out"
  "$sim" "$@" > "$dir/sim.out" 2> "$dir/sim.err" &
  simpid=$!
  # A loaded machine can take a while to start it: up to 30 s.
  for _ in $(seq 300); do
    PORT=$(head -1 "$dir/sim.out" 2>/dev/null)
    [ -n "$PORT" ] && return 0
    sleep 0.1
  done
  fail "the simulator printed no port"
}

# Stops the simulator (when it still runs); SIMRC is its exit code.
stop_sim() {
  kill "$simpid" 2>/dev/null
  wait "$simpid"; SIMRC=$?
  simpid=
}

run_flash() { # file, more options...
  local file=$1; shift
  "$flash" flash "$file" --port "$PORT" "$@" > "$dir/flash.out" 2>&1
  FLASHRC=$?
}

start_sim --timing newap2-delay=20 --timing erase=50 --timing line-speed=0 --timing restart=200
run_flash "$files/small-scanner.mocf" --record "$dir/flash.jsonl"
stop_sim
[ "$FLASHRC" = 0 ] || fail "the recorded flash gave $FLASHRC"
head -1 "$dir/flash.jsonl" | grep -q '"format":"tambrix01-recording"' || fail "no recording header"

start_sim --replay "$dir/flash.jsonl" --fast
run_flash "$files/small-scanner.mocf"
stop_sim
[ "$FLASHRC" = 0 ] || fail "the replayed flash gave $FLASHRC"
[ "$SIMRC" = 0 ] || fail "the replay ended with $SIMRC"
grep -q "every write of the recording was played" "$dir/sim.err" || fail "the replay did not play every write"

start_sim --replay "$dir/flash.jsonl" --fast
run_flash "$files/small-scanner-other-app.mocf"
stop_sim
[ "$FLASHRC" != 0 ] || fail "another file flashed against the recording"
[ "$SIMRC" = 1 ] || fail "the replay of another file ended with $SIMRC"
grep -q "step: block 1 of the application image" "$dir/sim.err" || fail "the divergence is not named"

head -c $(( $(wc -c < "$dir/flash.jsonl") / 2 )) "$dir/flash.jsonl" > "$dir/cut.jsonl"
start_sim --replay "$dir/cut.jsonl" --fast
run_flash "$files/small-scanner.mocf"
stop_sim
[ "$FLASHRC" != 0 ] || fail "a flash against half a recording succeeded"
[ "$SIMRC" = 1 ] || fail "the cut replay ended with $SIMRC"
grep -q "the recording ends before the host does" "$dir/sim.err" || fail "the early end is not reported"
# In real time: polls and tries go by the host's clock, not the recording's.
start_sim --replay "$dir/flash.jsonl"
run_flash "$files/small-scanner.mocf"
stop_sim
[ "$FLASHRC" = 0 ] || fail "the flash replayed in real time gave $FLASHRC"
[ "$SIMRC" = 0 ] || fail "the replay in real time ended with $SIMRC"

start_sim --timing newap2-delay=20 --timing erase=50 --timing line-speed=0 --timing restart=6000
"$flash" flash "$files/small-scanner.mocf" --port "$PORT" --record "$dir/killed.jsonl" > "$dir/flash.out" 2>&1 &
flashpid=$!
# The first P_INFO after the boot entry is asked of a device that restarts:
# the host waits for an answer, and the file has the question already.
waiting_line() { sed -n '/"hex":"16590d4e45574150322e"/,$p' "$dir/killed.jsonl" 2>/dev/null | grep -c '"hex":"164d0d505f494e464f2e"'; }
for _ in $(seq 100); do
  [ "$(waiting_line)" -ge 1 ] && break
  sleep 0.1
done
[ "$(waiting_line)" -ge 1 ] || fail "the host's question to the restarting device is not in the file"
kill -9 "$flashpid"
wait "$flashpid" 2>/dev/null
flashpid=
stop_sim
[ "$(tail -c 1 "$dir/killed.jsonl" | od -An -tx1 | tr -d ' ')" = 0a ] || fail "the killed host's recording ends mid-line"
start_sim --replay "$dir/killed.jsonl" --fast
run_flash "$files/small-scanner.mocf"
stop_sim
[ "$FLASHRC" != 0 ] || fail "a flash against a killed host's recording succeeded"
grep -q "before its operation ended: its host stopped there" "$dir/sim.err" ||
  grep -q "the recording ends before the host does" "$dir/sim.err" || fail "the replay does not say where the recording ends"
echo "replay_flash: all passed"
