#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev googletest
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine
          libudev-dev umockdev libumockdev-dev pkgconf lld llvm
          libcli11-dev nlohmann-json3-dev help2man bash-completion
          python3 python3-venv python3-pytest python3-wheel-whl
          ccache libsqlite3-dev zlib1g-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
