#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian 12, as
# root). Further package names on the command line join the list.
set -euo pipefail

packages=(cmake make g++ g++-multilib googletest libgtest-dev libgmock-dev clang libclang-rt-14-dev
  # the IFD handler and its end-to-end tests with a real pcscd; vicc
  pcscd libpcsclite-dev pcsc-tools python3-pyscard
  vsmartcard-vpicc python3-virtualsmartcard python3-pycryptodome
  # the Windows kernel images: MinGW-w64's cross compilers with their DDK headers
  g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
  # the libusb port for physical readers, and its tests under umockdev
  libusb-1.0-0-dev umockdev libumockdev-dev
  # decoding the reader's USB captures with the project's dissector
  tshark
  "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
