# Sourced by the scripts that drive the native simulator from a Windows
# program under Wine: the simulator serves a quick corded scanner on a pty,
# and a free COM number of the prefix is linked to that pty.
# The caller defines fail(); start_sim_on_com sets sim_pid, link and com.
sim_pid="" link="" com=""

stop_sim() {
  [ -n "$sim_pid" ] || return 0
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=""
}

unlink_com() {
  [ -n "$link" ] && rm -f "$link"
  link=""
}

# start_sim_on_com SIM DOSDEVICES WINE TRACE [SIMULATOR OPTIONS...]
start_sim_on_com() {
  local sim=$1 dosdevices=$2 wine=$3 trace=$4 pty number
  shift 4
  # A fresh prefix gets its dosdevices directory from wineboot.
  [ -d "$dosdevices" ] || "$wine" wineboot -i >/dev/null 2>&1
  coproc SIM { exec "$sim" --timing newap2-delay=20 --timing erase=50 --timing line-speed=0 \
    --timing restart=200 "$@" 2>"$trace"; }
  sim_pid=$SIM_PID
  read -r -t 10 pty <&"${SIM[0]}" || fail "no pty from $sim"
  # A COM number nobody else uses: ln -s fails when the name exists.
  for number in $(seq 100 239); do
    if ln -s "$pty" "$dosdevices/com$number" 2>/dev/null; then
      link="$dosdevices/com$number" com=$number
      return 0
    fi
  done
  fail "no free COM number in $dosdevices"
}
