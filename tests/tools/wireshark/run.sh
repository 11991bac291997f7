#!/usr/bin/env bash
# Captures decoded by tshark with tools/wireshark/reader.lua: readerctl's
# demo in simulated time in both frame generations, a T=0 script, and the
# USB port test's capture (a reply with a wrong check byte, a reply split
# over two reads, the reader's error reply). Each check lists decoded lines (summary|INS|SW1|SW2)
# that must appear in this order.
#   tests/tools/wireshark/run.sh BUILD_DIR
# Prints one line a check and a last line "wireshark captures: N passed, N failed".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
readerctl=$build/tools/readerctl/readerctl
passed=0
failed=0
work=$(mktemp -d /tmp/wireshark-e2e.XXXXXX)

pass() { echo "ok $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
verdict() { if (($2 == 0)); then pass "$1"; else fail "$1"; fi; }
finish() {
  echo "wireshark captures: $passed passed, $failed failed"
  if ((failed == 0)); then rm -rf "$work"; else echo "(captures kept in $work)"; fi
}
trap finish EXIT

# decode FILE [FILTER]: one line a reader frame.
decode() {
  tshark -X lua_script:"$root/tools/wireshark/reader.lua" -r "$1" -Y "${2:-rdr}" -T fields -E separator='|' \
    -e rdr.summary -e iso7816.apdu.ins -e iso7816.apdu.sw1 -e iso7816.apdu.sw2 2>"$work/tshark.err" </dev/null
}
# expect NAME FILE: the lines on standard input appear in FILE's decoding, in order.
expect() {
  local decoded=$work/check$((passed + failed)).decoded
  decode "$2" >"$decoded"
  awk 'BEGIN { n = i = 0 } NR == FNR { want[n++] = $0; next } i < n && $0 == want[i] { i++ }
    END { if (i < n) { print "  missing: " want[i]; exit 1 } }' - "$decoded"
  verdict "$1" $?
}

command -v tshark >/dev/null || { fail "tshark installed"; exit 1; }
[[ -x $readerctl ]] || { fail "readerctl built ($readerctl)"; exit 1; }

"$readerctl" --time simulated --pcap "$work/demo.pcapng" demo >/dev/null
expect "demo: reader commands, the ATR, T=1 blocks and their APDUs" "$work/demo.pcapng" <<'LINES'
OUT reader command 0xC0 firmware version, control 00|||
IN  reply to 0xC0 firmware version, "ZUNTA R2.27", status bytes 9000, control 00|||
OUT reader command 0xD1 card reset, parameters 00, control 40|||
IN  reply to 0x35 get ATR, ATR 3B84811120454D553158, status bytes 9000, control 00|||
OUT T=1 I-block N(S)=0, 7 bytes|0xa4||
IN  T=1 I-block N(S)=0, 2 bytes||0x90|0x00
OUT T=1 I-block N(S)=0, more data, 32 bytes|||
IN  T=1 R-block N(R)=1, error-free|||
IN  T=1 I-block N(S)=1, more data, 32 bytes|||
OUT T=1 R-block N(R)=0, error-free|||
IN  reply to 0x39 eject, status bytes 9000, control 40|||
LINES
# The 1 KiB echo travels as a chain of blocks: one APDU each way, put together.
[[ $(decode "$work/demo.pcapng" 'rdr.apdu_length > 1024' | wc -l) == 2 ]]
verdict "demo: the chained 1 KiB command and its response each decode as one APDU" $?

"$readerctl" --time simulated --firmware 1.50 --pcap "$work/old.pcapng" demo >/dev/null
expect "old generation: commands, card frames and a transfer result read in five pieces" "$work/old.pcapng" <<'LINES'
OUT reader command 0x31 status, old generation|||
OUT card frame for T=1, 7 command bytes, old generation|0xa4||
IN  reply to 0xD2 transfer status, transfer state 2, status bytes 9000, old generation|||
IN  transfer result, the card's answer of 2 bytes, old generation||0x90|0x00
IN  transfer result, the card's answer of 1026 bytes, old generation||0x90|0x00
LINES

"$readerctl" --time simulated --pcap "$work/t0.pcapng" run "$here/t0.script" >/dev/null
expect "T=0: command frames and responses" "$work/t0.pcapng" <<'LINES'
OUT T=0 command 00A4040007, 7 data bytes|0xa4||
IN  T=0 response, 0 data bytes, SW 6A82||0x6a|0x82
OUT T=0 command 0084000008|0x84||
IN  T=0 response, 8 data bytes, SW 9000||0x90|0x00
LINES

READER_CAPTURE=$work/port.pcapng "$build/tests/platform/usb/usb_tests" --gtest_filter='*Capture*' >"$work/port.log" 2>&1
verdict "the port test wrote its capture" $?
expect "port: a wrong check byte flagged, a split reply put together, the error reply" "$work/port.pcapng" <<'LINES'
IN  reply to 0x31 status, status byte 00, status bytes 9000, control 00, wrong check byte|||
IN  reply to 0x31 status, status byte 00, status bytes 9000, control 40|||
IN  error reply to 0x31 status, bad check byte, control 00|||
LINES
[[ $(decode "$work/port.pcapng" rdr.check.bad | wc -l) == 1 && $(decode "$work/port.pcapng" 'rdr.check.valid == 0' | wc -l) == 1 ]]
verdict "port: exactly one frame carries the wrong-check-byte flag" $?

# cmake --install puts the dissector where Wireshark loads Lua plugins: here
# under DESTDIR, found as a personal plugin folder through HOME.
DESTDIR=$work/dest cmake --install "$build" >/dev/null &&
  mkdir -p "$work/home/.local/lib/wireshark" &&
  ln -s "$work/dest$(sed -n 's/^WIRESHARK_LUA_PLUGIN_DIR:PATH=//p' "$build/CMakeCache.txt")" "$work/home/.local/lib/wireshark/plugins" &&
  HOME=$work/home tshark -r "$work/t0.pcapng" -Y rdr.t0.header 2>/dev/null </dev/null | grep -q "T=0 command 0084000008"
verdict "cmake --install: Wireshark loads the installed dissector" $?
