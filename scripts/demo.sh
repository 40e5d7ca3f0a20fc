#!/usr/bin/env bash
# Shows the library at work: a host program loads it, configures a tool and
# logs to the terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/native/tools
lib=build/native/src/libTAMBRIX01.so
echo "== tambrix-flash loads $lib and asks for a flash over a serial port =="
"$bin/tambrix-flash" --library "$lib" --port /dev/ttyS0 --baud 115200 --log - --log-level 3 firmware.mocf || true
echo
echo "The library loads, takes its settings and logs. The flash sequence and"
echo "the device simulator that it will flash by default come next."
