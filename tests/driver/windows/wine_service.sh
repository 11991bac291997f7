#!/usr/bin/env bash
# Kt2210p.sys under Wine's kernel: installed as a kernel service beside the
# stand-in SMCLIB.SYS, started (DriverEntry succeeds and fills the dispatch
# table, the service runs) and stopped (the unload routine runs and the
# driver object goes), in a Wine prefix of its own that is removed after.
# Every Wine command has a time limit and the prefix's processes are killed
# at the end, so a hanging Wine cannot hang the run.
#   tests/driver/windows/wine_service.sh BUILD_DIR   (tests/driver/windows built for x86-64)
# Exit status 0 when every check passed, 77 when Wine is not installed, 1 otherwise.
set -uo pipefail
build=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
[[ -x $wine ]] || { echo "skip Wine is not installed (Debian's wine64): the x86-64 image is not loaded"; exit 77; }
wineserver=$(dirname "$wine")/wineserver64
[[ -x $wineserver ]] || wineserver=$(command -v wineserver)

export WINEPREFIX
WINEPREFIX=$(mktemp -d)
log=$WINEPREFIX.log
# No Mono or Gecko installers; the trace shows where the driver was loaded and
# what its DriverEntry left in the driver object.
export WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
trap 'timeout 30 "$wineserver" -k >/dev/null 2>&1; rm -rf "$WINEPREFIX" "$log"' EXIT

step() { timeout "$1" "$wine" "${@:2}" >>"$log" 2>&1; }  # step LIMIT ARGS...
state() { timeout 30 "$wine" sc query Kt2210p 2>/dev/null | grep -oE 'STATE +: [0-9]+ +[A-Z_]+|EXIT_CODE +: [0-9]+' | tr -s ' ' | paste -sd ' '; }

failed=0
expect() {
  if [[ $2 == "$3" ]]; then echo "ok   $1"; else echo "FAIL $1: $2"; failed=1; fi
}

# The prefix is made, then its server is let go, so that every later command
# meets one server and one service manager that see the same registry.
if ! step 300 wineboot -i || ! timeout 60 "$wineserver" -w; then
  echo "FAIL Wine could not make a prefix"
  tail -20 "$log"
  exit 1
fi
cp "$build/image/Kt2210p.sys" "$build/SMCLIB.SYS" "$WINEPREFIX/drive_c/windows/system32/drivers/"
WINEDEBUG=+ntoskrnl,+loaddll step 60 sc create Kt2210p type= kernel binpath= 'C:\windows\system32\drivers\Kt2210p.sys'
expect "service created" "$(state)" "STATE : 1 STOPPED EXIT_CODE : 1077 EXIT_CODE : 0"
step 60 sc start Kt2210p
expect "service started and running" "$(state)" "STATE : 4 RUNNING EXIT_CODE : 0 EXIT_CODE : 0"
step 60 sc stop Kt2210p
expect "service stopped" "$(state)" "STATE : 1 STOPPED EXIT_CODE : 0 EXIT_CODE : 0"
timeout 30 "$wineserver" -k >/dev/null 2>&1
python3 "$here/check_image.py" x86_64-w64-mingw32 "$build/image/Kt2210p.sys" --wine-log "$log" || failed=1
exit $failed
