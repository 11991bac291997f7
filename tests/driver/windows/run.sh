#!/usr/bin/env bash
# The kernel images, from scratch: Kt2210p.sys (x86-64) and Lm5520p.sys
# (32-bit x86) built with MinGW-w64 against its DDK, which also holds the
# DDK's records to the sizes the stand-ins claim (platform/*/layout.h); each
# image checked by check_image.py; the x86-64 one loaded and unloaded under
# Wine (wine_service.sh). One line per check, then the counts.
#   tests/driver/windows/run.sh [BUILD_ROOT]      (build/ by default)
set -uo pipefail
cd "$(dirname "$0")/../../.."
out=${1:-build}/windows
mkdir -p "$out"
log=$out/checks.log
: >"$log"

# check LABEL COMMAND...: runs a check script and keeps its ok, FAIL and
# skip lines, labelled; a script that ends in failure without saying why
# counts as one failure more.
check() {
  local label=$1 output status
  shift
  output=$("$@" 2>&1)
  status=$?
  output=$(sed -E "s/^(ok  |FAIL|skip) /\1 $label: /" <<<"$output")
  [[ $status -eq 0 || $status -eq 77 ]] || grep -q '^FAIL ' <<<"$output" ||
    output+=$'\n'"FAIL $label: ended with status $status"
  printf '%s\n' "$output" | tee -a "$log"
}

# build DIR PROCESSOR: the image, its INF and, for x86-64, the stand-in SMCLIB.SYS.
build() {
  cmake -S tests/driver/windows -B "$1" --toolchain "$PWD/driver/windows/mingw-$2.cmake" >"$1.log" 2>&1 &&
    cmake --build "$1" -j2 >>"$1.log" 2>&1 &&
    echo "ok   the image and its INF build; the DDK's records have the stand-ins' sizes" && return
  tail -30 "$1.log"
  echo "FAIL the image does not build"
  return 1
}

for target in x86_64:Kt2210p i686:Lm5520p; do
  processor=${target%%:*} image=${target##*:}
  dir=$out/${image,,}
  rm -rf "$dir"
  check "$image" build "$dir" "$processor"
  [[ -f $dir/image/$image.sys ]] || continue
  check "$image.sys" python3 tests/driver/windows/check_image.py "$processor-w64-mingw32" "$dir/image/$image.sys" \
    driver/windows/smclib.def
done
[[ -f $out/kt2210p/SMCLIB.SYS ]] && check "Wine" timeout 600 tests/driver/windows/wine_service.sh "$out/kt2210p"

count() { grep -c "^$1 " "$log"; }
echo "windows images: $(count ok) passed, $(count FAIL) failed, $(count skip) skipped"
[[ $(count FAIL) -eq 0 ]]
