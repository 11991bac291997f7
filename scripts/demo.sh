#!/usr/bin/env bash
# The main job on the built-in emulated reader. Until the host side lands it
# builds Kt2210p and runs the platform's own self-check.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=${BUILD_ROOT:-build}/demo
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDELIVERABLE=Kt2210p >/dev/null
cmake --build "$dir" -j2 --target kernel_tests >/dev/null
"$dir/tests/kernel/kernel_tests" --gtest_brief=1
