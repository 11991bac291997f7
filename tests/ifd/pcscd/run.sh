#!/usr/bin/env bash
# End to end with a real pcscd: the IFD handler of BUILD_DIR loaded by a
# pcscd of the test's own (private mount namespace, /run/pcscd bound to a
# temporary directory, reader.conf.d of its own), driven by pcsc_session.py
# (pyscard) and pcsc_scan. Needs root (unshare, mount).
#   tests/ifd/pcscd/run.sh BUILD_DIR
# Prints one line a check and a last line "pcscd end to end: N passed, N failed";
# exits 1 on any failure. Every wait is bounded and pcscd is always stopped.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
lib=$build/ifd/libifd-kt2210p.so
python=/usr/bin/python3  # Debian's, with python3-pyscard
passed=0
failed=0
pcscd_pid=
work=$(mktemp -d /tmp/pcscd-e2e.XXXXXX)

pass() { echo "ok $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
# verdict NAME STATUS: the check NAME passed when STATUS is 0.
verdict() { if (($2 == 0)); then pass "$1"; else fail "$1"; fi; }

finish() {
  stop_pcscd
  echo "pcscd end to end: $passed passed, $failed failed"
  if ((failed == 0)); then rm -rf "$work"; else echo "(pcscd logs kept in $work)"; fi
}
trap finish EXIT

# A reader.conf.d entry: friendly name, DEVICENAME.
entry() {
  printf 'FRIENDLYNAME "%s"\nDEVICENAME   %s\nLIBPATH      %s\n' "$1" "$2" "$lib"
}

# start_pcscd NAME: pcscd on $work/NAME.d, logging to $work/NAME.log; with
# $extra_mount done in its namespace and under $pcscd_wrap.
start_pcscd() {
  local name=$1
  mkdir -p "$work/run-$name" "$work/$name.d"
  export PCSCLITE_CSOCK_NAME=$work/run-$name/pcscd.comm
  pcscd_log=$work/$name.log
  unshare -m sh -c "mkdir -p /run/pcscd && mount --bind '$work/run-$name' /run/pcscd && ${extra_mount:-} exec ${pcscd_wrap:-} pcscd -f -d -c '$work/$name.d'" \
    >"$pcscd_log" 2>&1 </dev/null &
  pcscd_pid=$!
  for _ in $(seq 150); do
    [[ -S $PCSCLITE_CSOCK_NAME ]] && grep -q "daemon ready" "$pcscd_log" && return 0
    kill -0 "$pcscd_pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "pcscd ($name) started"
  tail -20 "$pcscd_log"
  return 1
}

# SIGINT: pcscd closes every channel (SIGTERM would not); then the handler's
# last-close line (logged for entries with verbose=1) must say the driver
# left nothing behind. pcscd 1.9.9's main loop can miss the signal: its
# select() may return before the signal thread has recorded it, and then it
# waits for the next event. A connection to its socket is such an event.
stop_pcscd() {
  [[ -n $pcscd_pid ]] || return 0
  local pid=$pcscd_pid i
  pcscd_pid=
  kill -INT "$pid" 2>/dev/null
  for i in $(seq 150); do
    kill -0 "$pid" 2>/dev/null || break
    ((i % 20)) || "$python" -c 'import socket, sys; s = socket.socket(socket.AF_UNIX); s.settimeout(2); s.connect(sys.argv[1])' \
      "$PCSCLITE_CSOCK_NAME" 2>/dev/null
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    fail "pcscd stopped by SIGINT within 15 s"
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
  if grep -qs "^DEVICENAME.*verbose=1" "${pcscd_log%.log}.d"/*; then
    grep -q "last channel closed: .*: clean" "$pcscd_log"
    verdict "handler clean at pcscd exit ($(basename "$pcscd_log"))" $?
  fi
  ! grep -q "ifd Kt2210p error" "$pcscd_log" || fail "handler logged errors: $(grep "ifd Kt2210p error" "$pcscd_log" | head -3)"
}

# session MODE: pcsc_session.py's ok/FAIL lines join the counts; a run that
# dies or hangs counts as a failure.
session() {
  local out status line
  out=$(CONTROL_A=$work/control-a timeout 180 "$python" "$here/pcsc_session.py" "$1" 2>&1)
  status=$?
  while IFS= read -r line; do
    case $line in
      "ok "*) pass "${line#ok }" ;;
      "FAIL "*) fail "${line#FAIL }" ;;
      *) echo "  $line" ;;
    esac
  done <<<"$out"
  if ((status != 0)) && ! grep -q "^FAIL " <<<"$out"; then fail "pcsc_session.py $1 ended with status $status"; fi
}

# Debian 12's vicc needs two workarounds, made here without touching the
# system: its Python package sits outside Python's path, and it imports
# Crypto where python3-pycryptodome ships Cryptodome (a link of ours).
vicc_pythonpath() {
  local module cryptodome
  module=$(dpkg -L python3-virtualsmartcard 2>/dev/null | grep '/virtualsmartcard/VirtualSmartcard.py$') || return 1
  cryptodome=$(dpkg -L python3-pycryptodome 2>/dev/null | grep '/dist-packages/Cryptodome$') || return 1
  mkdir -p "$work/pylinks"
  ln -sfn "$cryptodome" "$work/pylinks/Crypto"
  echo "$(dirname "$(dirname "$module")"):$work/pylinks"
}

if [[ $(id -u) -ne 0 ]]; then fail "run as root (unshare and mount)"; exit 1; fi
command -v pcscd >/dev/null && command -v pcsc_scan >/dev/null || { fail "pcscd and pcsc_scan installed"; exit 1; }
"$python" -c "import smartcard" 2>/dev/null || { fail "python3-pyscard installed"; exit 1; }
[[ -f $lib ]] || { fail "handler built ($lib)"; exit 1; }
mkdir -p "$work/builtin.d" "$work/badentry.d" "$work/run-badentry" "$work/readme.d" "$work/vicc.d"

# Two readers from two entries, each with its own card; A's card is driven
# through a control FIFO. Both write a capture of their USB requests, which
# tshark decodes afterwards with the project's dissector (when installed).
entry "KT2210USB A" "emulated:card=t1:verbose=1:control=$work/control-a:pcap=$work/reader-a.pcapng" >"$work/builtin.d/reader-a"
entry "KT2210USB B" "emulated:firmware=2.27:card=t0:faults=reader.split.3-2/reader.delay.20.at=2:pcap=$work/reader-b.pcapng" >"$work/builtin.d/reader-b"
start_pcscd builtin && session builtin
stop_pcscd
if command -v tshark >/dev/null; then
  decode() {
    tshark -X lua_script:"$root/tools/wireshark/reader.lua" -r "$1" -Y "$2" -T fields -e rdr.summary 2>/dev/null </dev/null | wc -l
  }
  (($(decode "$work/reader-a.pcapng" 'rdr.apdu_length == 65542') == 1 && $(decode "$work/reader-a.pcapng" 'rdr.apdu_length == 65538') == 1 &&
    $(decode "$work/reader-b.pcapng" 'rdr && iso7816.apdu.ins == 0x84') >= 1 && $(decode "$work/reader-b.pcapng" 'rdr.check.valid == 0') == 0))
  verdict "captures (pcap=) decode: reader A's 64 KiB command and response as one APDU each, reader B's T=0 frames" $?
  echo "  reader A's capture: $(stat -c %s "$work/reader-a.pcapng") bytes"
else
  echo "skipped: decoding the captures (needs tshark)"
fi

# A malformed entry beside a good one: pcscd starts the good reader, then
# ends with exit() on the bad one. The handler must not abort it, and
# removes its reader cleanly on the way out.
entry "KT2210USB A" "emulated:card=t1:verbose=1" >"$work/badentry.d/reader-a"
entry "KT2210USB Z" "emulated:card=t1,x" >"$work/badentry.d/reader-z"
timeout 30 unshare -m sh -c "mkdir -p /run/pcscd && mount --bind '$work/run-badentry' /run/pcscd &&
  exec pcscd -f -d -c '$work/badentry.d'" >"$work/badentry.log" 2>&1 </dev/null
status=$?
((status == 1)) && grep -q "last channel closed: .*: clean" "$work/badentry.log"
verdict "pcscd stopped by a bad entry after a good one: exit status $status (1 expected), the reader removed cleanly" $?

# The README's "Trying it with the system pcscd" lines, run as written but
# for what keeps the machine's own pcscd and files alone: the build tree is
# BUILD_DIR, the install goes under a temporary root (DESTDIR), the entry is
# copied into a reader.conf.d of the script's own, and the third line's
# pcsc_scan runs against a private pcscd, which finds the installed handler
# at the documented path through a mount in its own namespace.
dest=$work/installed
readme=$(awk '/^### Trying it with the system pcscd/ {s = 1} s && /^```sh/ {c = 1; next} c && /^```/ {exit}
  c && ++n <= 2 {printf "%s%s", (n > 1 ? " && " : ""), $0}' "$root/README.md" | sed -e 's/sudo //g' -e "s#build/ifd#$build#g" \
  -e "s#cmake --install#DESTDIR='$dest' cmake --install#" -e "s# /usr/local/# '$dest'/usr/local/#" -e "s# /etc/reader.conf.d/# '$work'/readme.d/#")
(cd "$root" && eval "$readme") >"$work/readme.log" 2>&1
verdict "README: the handler and its example entry build and install as documented (log in $work/readme.log)" $?
extra_mount="mount --bind '$dest/usr/lib/pcsc/drivers' /usr/lib/pcsc/drivers &&"
if start_pcscd readme; then
  grep -q "Reader .: Kt2210p emulated" <<<"$(timeout 30 pcsc_scan -t 3 -n 2>&1)"
  verdict "README: pcsc_scan shows the reader of the example entry with its card" $?
  stop_pcscd
fi

# pcscd's own USB hot-plug, with no USB in the machine: serve_reader puts
# the emulated reader on the USB bus of a umockdev testbed, pcscd runs under
# umockdev-wrapper with the hot-plug bundle the README's install put under
# $dest, and loads the handler for the device it finds, which reaches the
# device through libusb. Skipped (said so) without umockdev or the tool.
serve=$build/tests/platform/usb/umockdev/serve_reader
if [[ ! -x $serve ]] || ! command -v umockdev-wrapper >/dev/null; then
  echo "skipped: pcscd USB hot-plug (needs umockdev-wrapper and $serve)"
else
  mkfifo "$work/serve.in"
  umockdev-wrapper "$serve" <"$work/serve.in" >"$work/serve.out" 2>"$work/serve.err" &
  serve_pid=$!
  exec {serve_fd}>"$work/serve.in"
  for _ in $(seq 100); do
    testbed=$(head -1 "$work/serve.out" 2>/dev/null)
    [[ -n $testbed ]] && break
    sleep 0.1
  done
  pcscd_wrap="env UMOCKDEV_DIR='$testbed' umockdev-wrapper"
  if [[ -z $testbed ]]; then
    fail "serve_reader put the reader on a umockdev testbed ($(cat "$work/serve.err"))"
  elif start_pcscd hotplug; then
    SERVE_INPUT=$work/serve.in session hotplug
    stop_pcscd
  fi
  pcscd_wrap=
  exec {serve_fd}>&-
  wait "$serve_pid"
fi
extra_mount=

# Without pcsc-lite's headers the configure step says what is missing.
grep -q "libpcsclite-dev" <<<"$(cmake -S "$root" -B "$work/no-pcsc" -DPCSC_INCLUDE_DIR=/nonexistent 2>&1)"
verdict "configure without PCSC/ifdhandler.h names libpcsclite-dev" $?
rm -rf "$work/no-pcsc"

# vicc as the card of a third reader: started and stopped by pcsc_session.py.
if command -v vicc >/dev/null && viccpath=$(vicc_pythonpath); then
  port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  entry "KT2210USB V" "emulated:card=vicc:vicc-port=$port" >"$work/vicc.d/reader-v"
  start_pcscd vicc && VICC_PORT=$port VICC_LOG=$work/vicc-card.log PYTHONPATH=$viccpath session vicc
  stop_pcscd
else
  fail "vicc installed (vsmartcard-vpicc, python3-virtualsmartcard, python3-pycryptodome)"
fi
