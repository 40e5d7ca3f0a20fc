#!/usr/bin/env bash
# tambrix-fw end to end: what build writes, info reads back as valid, and a
# changed byte makes info refuse the file with one line naming it.
set -u
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# Every call leaves its command, exit code and error lines for fail() to
# show, also from inside $(...).
fw() {
  local rc
  "$tool" "$@" 2>"$dir/err"
  rc=$?
  echo "tambrix-fw $*: exit $rc" >"$dir/last"
  return $rc
}
fail() {
  echo "FAIL: $*"
  [ -f "$dir/last" ] && { echo "--- last call: $(cat "$dir/last"); its stderr:"; tail -n 20 "$dir/err"; }
  exit 1
}

flip() { # file offset
  local v
  v=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "\\$(printf %03o $((v ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

fw build -o "$dir/fw.mocf" --compat 3,0x04 --boot-version 1.1 --app-version 2.0.1 \
  --date "Aug 22 2016" --time 13:45:07 --app-size 5001 >"$dir/said" || fail "build"
# It says what it wrote, ids in hex as a user types them.
grep -q "^tambrix-fw: wrote $dir/fw.mocf: MOCF container of [0-9]* bytes: bootloader 1.1 (1024 bytes), application 2.0.1 (5001 bytes); compat 0x03,0x04; object table 0x03,0x04; digest SHA-1" "$dir/said" ||
  fail "build's report: $(cat "$dir/said")"
json=$(fw info --json "$dir/fw.mocf") || fail "info of the built file: $json"
for part in '"kind": "container"' '"valid": true' '"digest": "valid"' '"table": [3, 4]' \
            '"type": "B", "sw_rev": "1.1"' '"type": "A", "sw_rev": "2.0.1"' '"length": 4993' \
            '"cc_date": "Aug 22 2016", "cc_time": "13:45:07"' '"compat": [3, 4], "incompat": []'; do
  [[ $json == *"$part"* ]] || fail "info lacks $part: $json"
done
fw info "$dir/fw.mocf" | grep -q "digest: valid" || fail "text info"
fw info "$dir/fw.mocf" | grep -q "compat 0x03,0x04, incompat -" || fail "ids in hex"
[[ $json == '{"event": "info", '* ]] || fail "info's object has no event: $json"

# Images from files: a single image made first, then put into a container.
fw build -o "$dir/app.bin" --single app --app-version 3.0 --compat 7 || fail "single build"
json=$(fw info --json "$dir/app.bin") || fail "info of the single image"
[[ $json == *'"kind": "single"'*'"digest": "absent"'*'"table": null'*'"sw_rev": "3.0"'* ]] || fail "single: $json"
fw build -o "$dir/fw2.mocf" --app "$dir/app.bin" --no-boot --table 7 2>"$dir/err" ||
  fail "build from file: exit $?: $(cat "$dir/err")"
json=$(fw info --json "$dir/fw2.mocf") || fail "info of fw2"
[[ $json == *'"table": [7]'*'"sw_rev": "3.0"'* ]] || fail "fw2: $json"
fw build -o "$dir/fw3.mocf" --app "$dir/fw.mocf" 2>"$dir/err"
[ $? -eq 1 ] && grep -q "not a single-image file" "$dir/err" || fail "a container taken as an image"

# One changed byte anywhere: tag, length, header, digest, table, images, last byte.
size=$(stat -c %s "$dir/fw.mocf")
for at in 0 5 9 16 30 47 50 60 70 300 $((size / 2)) $((size - 1)); do
  cp "$dir/fw.mocf" "$dir/bad.mocf"
  flip "$dir/bad.mocf" "$at"
  fw info "$dir/bad.mocf" >/dev/null 2>"$dir/err"
  rc=$?
  [ $rc -eq 1 ] || fail "byte $at changed: exit $rc"
  [ "$(wc -l <"$dir/err")" -eq 1 ] && grep -q "bad.mocf" "$dir/err" || fail "byte $at: stderr: $(cat "$dir/err")"
  fw info --json "$dir/bad.mocf" 2>/dev/null | grep -q '"valid": false' || fail "byte $at: json"
done

# Help on every command, and the version.
for cmd in "" info build; do
  fw $cmd --help >"$dir/help" || fail "$cmd --help exits $?"
  grep -q "Usage:" "$dir/help" && grep -q "Exit codes" "$dir/help" || fail "$cmd --help: $(cat "$dir/help")"
done
fw --version | grep -q "^library: .*TAMBRIX01" || fail "--version"

# Exit codes for scripts.
fw info "$dir/none.mocf" 2>/dev/null; [ $? -eq 66 ] || fail "missing file"
fw info 2>/dev/null; [ $? -eq 64 ] || fail "usage"
fw build -o "$dir/x" --compat 300 2>/dev/null; [ $? -eq 64 ] || fail "bad compat id"
fw build -o "$dir/nodir/x.mocf" 2>/dev/null; [ $? -eq 73 ] || fail "unwritable output"
echo "tambrix-fw: all checks passed"
