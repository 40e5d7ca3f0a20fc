#!/usr/bin/env bash
# Runs the MinGW host and the MSVC-ABI host of abi_host.cpp under Wine, each
# in a directory of its own, and compares their transcripts.
# Usage: abi_hosts.sh WINE BINDIR VERSION
set -u
wine=$1 bin=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

for host in mingw msvc; do
  mkdir "$work/$host"
  (cd "$work/$host" && "$wine" "$bin/abi_host_$host.exe" >transcript.txt 2>stderr.txt)
  result=$?
  if [ "$result" -ne 0 ]; then
    cat "$work/$host/transcript.txt" "$work/$host/stderr.txt"
    fail "the $host host ended with $result"
  fi
  # The log file's wide name came through the record.
  grep -q "Get and SetSetting: set port name" "$work/$host/abi-host é.log" ||
    fail "the $host host's log file is missing or empty"
done

cat "$work/mingw/transcript.txt"
diff -u "$work/mingw/transcript.txt" "$work/msvc/transcript.txt" ||
  fail "the MSVC-ABI host got other answers than the MinGW host"

# Both got the same, and that is the library's answer, not a common fault.
for line in "entry points: bound alike" "  text 1.20 | $version | " "FixedValueA: result 13" \
            "FixedValueB: result 4" "get CFS_CANCELIO: result 0" "  value 0xfedcba9876543210" \
            "set CFS_INTERFACE size 2^32+8: result 1" "  text COM7 \\u00e9\\u20ac\\u4e2d" "done"; do
  grep -qF -- "$line" "$work/mingw/transcript.txt" || fail "the transcript lacks \"$line\""
done
echo "the MSVC-ABI host and the MinGW host got the same answers"
