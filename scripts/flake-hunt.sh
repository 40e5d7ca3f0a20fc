#!/usr/bin/env bash
# Runs chosen CTest tests of a build directory N times each and reports every
# failure with its output, so a test that fails one run in twenty is found
# before CI meets it.
# Usage: scripts/flake-hunt.sh [-n N] [-j J] BUILD_DIR REGEX...
#   -n N   runs of each test (default 20)
#   -j J   tests of one round run side by side, as make test runs them
#          (default: the number of CPUs)
# Each REGEX is a CTest -R pattern; the logs of failed runs are kept under
# BUILD_DIR/flake-hunt/. Exit 0 when no run failed, 1 otherwise.
set -uo pipefail
runs=20 jobs=$(nproc)
while getopts "n:j:" opt; do
  case $opt in
    n) runs=$OPTARG;;
    j) jobs=$OPTARG;;
    *) sed -n 5,11p "$0"; exit 2;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 2 ] || { sed -n 5,11p "$0"; exit 2; }
dir=$1; shift
pattern=$(IFS='|'; echo "$*")
out="$dir/flake-hunt"
mkdir -p "$out"

tests=$(ctest --test-dir "$dir" -N -R "$pattern" | sed -n 's/^ *Test *#[0-9]*: //p')
[ -n "$tests" ] || { echo "no test of $dir matches $pattern"; exit 2; }
echo "flake hunt: $runs runs of $(echo "$tests" | wc -l) tests in $dir, $jobs side by side"

declare -A failed=()
start=$SECONDS
for ((run = 1; run <= runs; run++)); do
  log="$out/run-$run.log"
  ctest --test-dir "$dir" -R "$pattern" -j "$jobs" --output-on-failure >"$log" 2>&1
  bad=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' "$log")
  for t in $bad; do
    failed[$t]=$(( ${failed[$t]:-0} + 1 ))
    echo "run $run: $t FAILED (output in $log)"
  done
  [ -n "$bad" ] || rm -f "$log"
  echo "run $run of $runs done at $((SECONDS - start)) s"
done

echo "=== flake hunt: $runs runs in $((SECONDS - start)) s ==="
if [ ${#failed[@]} -eq 0 ]; then
  echo "no failure"
  exit 0
fi
for t in "${!failed[@]}"; do
  echo "$t: failed ${failed[$t]} of $runs runs"
done
exit 1
