#!/usr/bin/env bash
# Installs the build into a fresh prefix, moves the tree elsewhere, and
# builds a small host against it twice: with pkg-config and with
# find_package(TAMBRIX01). Each host links the library and checks the
# version it reports.
# Usage: installed_tree.sh CMAKE BUILDDIR CONSUMERDIR VERSION LIBDIR CXX
set -u
cmake=$1 build=$2 consumer=$3 version=$4 libdir=$5 cxx=$6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$cmake" --install "$build" --prefix "$work/staged" >"$work/install.txt" || { cat "$work/install.txt"; fail "install"; }
mv "$work/staged" "$work/prefix"
prefix=$work/prefix

for file in include/tambrix01/FlashTool.h "$libdir/libTAMBRIX01.so" "$libdir/libTAMBRIX01.so.$version" \
            bin/tambrix-flash bin/tambrix-fw bin/tambrix-sim "$libdir/pkgconfig/TAMBRIX01.pc" \
            "$libdir/cmake/TAMBRIX01/TAMBRIX01Config.cmake" share/man/man1/tambrix-flash.1 \
            share/man/man1/tambrix-fw.1 share/bash-completion/completions/tambrix-flash \
            share/bash-completion/completions/tambrix-fw; do
  [ -e "$prefix/$file" ] || fail "$file is not installed"
done
soname=$(objdump -p "$prefix/$libdir/libTAMBRIX01.so.$version" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "libTAMBRIX01.so.${version%%.*}" ] || fail "SONAME is '$soname'"
[ -e "$prefix/$libdir/$soname" ] || fail "no $soname link"

# pkg-config, as a makefile would use it.
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion TAMBRIX01)" = "$version" ] || fail "pkg-config version"
# shellcheck disable=SC2046
# The README's line: the run path makes the host find the library without
# LD_LIBRARY_PATH.
"$cxx" -std=c++17 -Wall -Wextra -Werror "$consumer/installed_host.cpp" -o "$work/host_pc" \
  $(pkg-config --cflags --libs TAMBRIX01) -Wl,-rpath,"$(pkg-config --variable=libdir TAMBRIX01)" ||
  fail "build with pkg-config"
env -u LD_LIBRARY_PATH "$work/host_pc" "$version" || fail "the pkg-config host"

# find_package, asking for this exact version.
"$cmake" -S "$consumer" -B "$work/consumer" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$prefix" -DTAMBRIX01_WANTED="$version" >"$work/configure.txt" 2>&1 ||
  { cat "$work/configure.txt"; fail "configure with find_package"; }
"$cmake" --build "$work/consumer" >"$work/build.txt" 2>&1 || { cat "$work/build.txt"; fail "build with find_package"; }
"$work/consumer/installed_host" "$version" || fail "the find_package host"
# The installed flasher finds the installed library on its own: it reads a
# file's versions from the installed simulator.
fw=$prefix/bin/tambrix-fw
"$fw" build -o "$work/app.bin" --single app --app-version 3.4.5 --app-size 2000 --compat 0x41 >/dev/null &&
  "$fw" build -o "$work/boot.bin" --single boot --boot-version 2.1.0 --boot-size 3000 --compat 0x41 >/dev/null &&
  "$fw" build -o "$work/fw.mocf" --boot "$work/boot.bin" --app "$work/app.bin" --table 0x41 >/dev/null ||
  fail "tambrix-fw build"
coproc SIM { exec "$prefix/bin/tambrix-sim" --app-version 3.4.4 --timing line-speed=0 2>/dev/null; }
read -r -t 10 port <&"${SIM[0]}" || fail "the simulator gave no port"
timeout 60 "$prefix/bin/tambrix-flash" version "$work/fw.mocf" --port "$port" >"$work/version.txt" 2>&1
code=$?
kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null
[ $code -eq 0 ] && grep -q "application: 3.4.5" "$work/version.txt" ||
  { cat "$work/version.txt"; fail "the installed flasher (exit $code)"; }
# Completion scripts load in bash and offer the commands.
if [ -f /usr/share/bash-completion/bash_completion ]; then
  offered=$(bash -c 'source /usr/share/bash-completion/bash_completion
    source "$1"; COMP_WORDS=(tambrix-flash ""); COMP_CWORD=1; COMP_LINE="tambrix-flash "; COMP_POINT=14
    _tambrix_flash; echo "${COMPREPLY[*]}"' _ "$prefix/share/bash-completion/completions/tambrix-flash")
  [[ $offered == *flash*device*ports* ]] || fail "completion offers: $offered"
fi
echo "installed tree: both hosts built and ran, the installed flasher read the versions"
