#!/usr/bin/env bash
# A USB flash recorded with tambrix-flash --record against the simulator on
# an emulated hidraw node replays with tambrix-sim --replay --usb: the
# recorded device goes off the bus and comes back with the ids its host
# found it by (the bootloader's after the boot entry, the application's
# after its restart), the same file flashes with the recorded result, and
# another one is refused at its first differing block.
# Usage: replay_usb.sh TAMBRIX-SIM TAMBRIX-FLASH DIR-WITH-THE-FILES [PRELOAD]
set -u
sim=$1 flash=$2 files=$3 preload=${4:-libumockdev-preload.so.0}
dir=$(mktemp -d); [ -n "${KEEP:-}" ] && echo "kept in $dir"
simpid=
trap '[ -n "$simpid" ] && kill "$simpid" 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; echo "--- sim (exit ${SIMRC:-running})"; tail -25 "$dir/sim.err"; echo "--- flasher (exit ${FLASHRC:-none})"; tail -8 "$dir/flash.out"; exit 1; }

# Starts the simulator on a node; NODE and TESTBED are what it names.
start_sim() {
  LD_PRELOAD=$preload "$sim" --usb "$@" > "$dir/sim.out" 2> "$dir/sim.err" &
  simpid=$!
  # A loaded machine can take a while to start it: up to 30 s.
  for _ in $(seq 300); do
    [ "$(wc -l < "$dir/sim.out")" -ge 2 ] && break
    kill -0 "$simpid" 2>/dev/null || break
    sleep 0.1
  done
  NODE=$(sed -n 1p "$dir/sim.out") TESTBED=$(sed -n 2p "$dir/sim.out")
  case "$NODE" in
    /dev/hidraw*) ;;
    *) echo "SKIP: no umockdev testbed: $(tail -3 "$dir/sim.err")"; exit 77 ;;
  esac
}

stop_sim() {
  kill "$simpid" 2>/dev/null
  wait "$simpid"; SIMRC=$?
  simpid=
}

run_flash() { # file, more options...
  local file=$1; shift
  UMOCKDEV_DIR=$TESTBED LD_PRELOAD=$preload "$flash" flash "$file" --usb --port "$NODE" "$@" > "$dir/flash.out" 2>&1
  FLASHRC=$?
}

start_sim --cbl 4 --timing newap2-delay=20 --timing erase=50 --timing restart=2500
run_flash "$files/small-scanner.mocf" --record "$dir/usb.jsonl"
stop_sim
[ "$FLASHRC" = 0 ] || fail "the recorded flash gave $FLASHRC"
grep -q '"ev":"search"' "$dir/usb.jsonl" || fail "the recording has no USB search"

# In real time, as recorded: every re-enumeration served on the node.
start_sim --replay "$dir/usb.jsonl"
run_flash "$files/small-scanner.mocf"
stop_sim
[ "$FLASHRC" = 0 ] || fail "the replayed flash gave $FLASHRC"
[ "$SIMRC" = 0 ] || fail "the replay ended with $SIMRC"
grep -q "every write of the recording was played" "$dir/sim.err" || fail "the replay did not play every write"
grep -q "back on the bus, as recorded" "$dir/sim.err" || fail "the replayed device never re-enumerated"

start_sim --replay "$dir/usb.jsonl"
run_flash "$files/small-scanner-other-app.mocf"
stop_sim
[ "$FLASHRC" != 0 ] || fail "another file flashed against the recording"
[ "$SIMRC" = 1 ] || fail "the replay of another file ended with $SIMRC"
grep -q "step: block 1 of the application image" "$dir/sim.err" || fail "the divergence is not named"
echo "replay_usb: all passed"
