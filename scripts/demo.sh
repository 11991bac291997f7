#!/usr/bin/env bash
# The main job on the built-in emulated reader: builds Kt2210p and runs
# `readerctl demo`, a narrated session of the driver from device start to
# removal. Arguments go to readerctl (try --help; e.g. --trace, --time real).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=${BUILD_ROOT:-build}/demo
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDELIVERABLE=Kt2210p >/dev/null
cmake --build "$dir" -j2 --target readerctl >/dev/null
"$dir/tools/readerctl/readerctl" demo "$@"
