#!/usr/bin/env bash
# The main job on the built-in emulated reader: builds Kt2210p's tree and runs
# a session with the emulated reader and a T=1 card through the emulated USB
# port, printing every transfer. Arguments go to the tool (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=${BUILD_ROOT:-build}/demo
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDELIVERABLE=Kt2210p >/dev/null
cmake --build "$dir" -j2 --target usbsession >/dev/null
"$dir/tools/usbsession" "$@"
