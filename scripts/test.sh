#!/usr/bin/env bash
# Builds and runs every suite: native (unit, flows, e2e, fuzz), the same
# suite under ASan+UBSan, the concurrency tests under TSan, and the Windows
# build under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# Most tests wait on real devices' time (ptys, Wine, umockdev) rather than
# compute, and every test has its own locks and files: two a core keep
# the CPUs busy without starving any.
test_jobs=$((jobs * 2))
status=0

# One compiler cache outside the clone serves every build directory and every
# clone: paths are taken relative to the clone, so a fresh clone on a machine
# that has built before compiles little.
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}" CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

configure() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null || return 1
}

run_suite() { # name, dir, cmake args...
  local name=$1 dir=$2 start=$SECONDS; shift 2
  echo "=== $name ==="
  if ! configure "$dir" "$@" || ! cmake --build "$dir" -j "$jobs"; then
    echo "*** $name: build failed"; status=1; return
  fi
  local built=$SECONDS
  if ! ctest --test-dir "$dir" --output-on-failure -j "${suite_jobs:-$test_jobs}"; then
    echo "*** $name: tests failed"; status=1
  fi
  echo "=== $name: built in $((built - start)) s, tested in $((SECONDS - built)) s ==="
}

run_suite native build/native
run_suite sanitizer build/asan -DTAMBRIX_SANITIZE=ON
# ThreadSanitizer does not combine with ASan: a build of its own, holding
# only the library, the simulator and the concurrency tests.
echo "=== tsan ==="
tsan_start=$SECONDS
if configure build/tsan -DTAMBRIX_TSAN=ON && cmake --build build/tsan -j "$jobs" --target concurrency_tests; then
  ctest --test-dir build/tsan --output-on-failure -L concurrency || { echo "*** tsan: tests failed"; status=1; }
else
  echo "*** tsan: build failed"; status=1
fi
echo "=== tsan: built and tested in $((SECONDS - tsan_start)) s ==="
# Fuzz runs compute for a fixed time each: one a core.
suite_jobs=$jobs run_suite fuzz build/fuzz -DTAMBRIX_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
export WINEPREFIX="$PWD/build/win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p build/win
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1 || true
# The Windows flash drives the native simulator, which the native suite built.
run_suite windows build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DTAMBRIX_NATIVE_SIM="$PWD/build/native/tools/tambrix-sim"

echo "=== all suites: $((SECONDS / 60)) min $((SECONDS % 60)) s ==="
[ $status -eq 0 ] && echo "ALL SUITES PASSED" || echo "SOME SUITES FAILED"
exit $status
