#!/usr/bin/env bash
# End to end through a private pcscd, one stack after the other in the same
# run: our IFD handler with the emulated reader's built-in card; vsmartcard's
# vpcd with vicc; our handler with the emulated reader hosting vicc. pyscard
# measures each (pcsc_client.py). Then the floor: a zero-latency handler
# (zero_handler.cpp) and ours as two readers of one pcscd, taking turns
# command by command. Needs root (a private /run/pcscd).
#   pcsc_bench.sh BUILD_DIR RAW_DIR [quick]
set -euo pipefail
build=$1
raw=$2
quick=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
note=$raw/pcsc-note.txt
count=200
[[ $quick == quick ]] && count=20

handler=$(ls "$build"/ifd/libifd-*.so 2>/dev/null | head -1 || true)
zero=$build/bench/libzero_ifd_handler.so
if [[ -z $handler ]]; then
  echo "Not measured: the build has no IFD handler (ifd/libifd-*.so)." >"$note"
  exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "Not measured: a private pcscd needs root." >"$note"
  exit 0
fi
vpcd=$(dpkg -L vsmartcard-vpcd | grep -m1 'libifdvpcd\.so' || true)
package=$(dpkg -L python3-virtualsmartcard | grep -m1 '/virtualsmartcard/__init__\.py$' || true)
cryptodome=$(/usr/bin/python3 -c 'import Cryptodome, os; print(os.path.dirname(Cryptodome.__file__))')

work=$(mktemp -d)
socket=
pcscd_pid=
vicc_pid=
# SIGINT, then a connection to its socket every 2 s: pcscd 1.9.9's main loop
# can miss the signal and then waits for the next event. SIGKILL after 20 s.
stop_pcscd() {
  local pid=$1 socket=$2 i
  kill -INT "$pid" 2>/dev/null || return 0
  for i in $(seq 200); do
    kill -0 "$pid" 2>/dev/null || break
    if ((i % 20 == 0)); then
      /usr/bin/python3 -c 'import socket, sys; s = socket.socket(socket.AF_UNIX); s.settimeout(2); s.connect(sys.argv[1])' \
        "$socket" 2>/dev/null || true
    fi
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  [[ -n $vicc_pid ]] && kill "$vicc_pid" 2>/dev/null || true
  [[ -n $pcscd_pid ]] && stop_pcscd "$pcscd_pid" "$socket"
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# vicc's package sits outside Python's path and imports Crypto, which
# Debian ships as Cryptodome.
mkdir -p "$work/shim"
ln -s "$cryptodome" "$work/shim/Crypto"
vicc_path=$(dirname "$(dirname "$package")"):$work/shim

# run STACK READER_CONF [VICC_PORT [CLIENT_ARGUMENTS...]]
run() {
  local stack=$1 conf=$2 port=${3:-}
  shift 3 2>/dev/null || shift $#
  local client=("$@")
  [[ ${#client[@]} -eq 0 ]] && client=("$stack" "$count")
  local dir=$work/$stack
  mkdir -p "$dir/run"
  printf '%s\n' "$conf" >"$dir/reader.conf"
  unshare -m sh -c "mount --bind '$dir/run' /run/pcscd && exec pcscd -f -c '$dir/reader.conf'" \
    >"$dir/pcscd.log" 2>&1 &
  pcscd_pid=$!
  socket=$dir/run/pcscd.comm
  for _ in $(seq 50); do [[ -S $dir/run/pcscd.comm ]] && break; sleep 0.1; done
  sleep 1
  if [[ -n $port ]]; then
    PYTHONPATH=$vicc_path /usr/bin/python3 /usr/bin/vicc -t iso7816 -P "$port" >"$dir/vicc.log" 2>&1 &
    vicc_pid=$!
  fi
  if ! PCSCLITE_CSOCK_NAME=$dir/run/pcscd.comm /usr/bin/python3 "$here/pcsc_client.py" "${client[@]}" \
    >>"$raw/pcsc.tsv" 2>"$dir/client.log"; then
    echo "$stack: $(tail -1 "$dir/client.log")" >>"$note"
  fi
  [[ -n $vicc_pid ]] && kill "$vicc_pid" 2>/dev/null || true
  stop_pcscd "$pcscd_pid" "$socket"
  [[ -n $vicc_pid ]] && wait "$vicc_pid" 2>/dev/null || true
  pcscd_pid=
  vicc_pid=
}

run "our handler, built-in card" "$(printf 'FRIENDLYNAME "Emulated"\nDEVICENAME emulated:card=t1\nLIBPATH %s' "$handler")"
if [[ -n $vpcd && -n $package ]]; then
  run "vpcd + vicc" "$(printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:35970\nLIBPATH %s\nCHANNELID 35970' "$vpcd")" 35970
  run "our handler + vicc" "$(printf 'FRIENDLYNAME "Emulated"\nDEVICENAME emulated:card=vicc:vicc-port=35971\nLIBPATH %s' "$handler")" 35971
else
  echo "vpcd + vicc not measured: vsmartcard-vpcd or python3-virtualsmartcard is missing." >>"$note"
fi
if [[ -f $zero ]]; then
  run "floor" "$(printf 'FRIENDLYNAME "Floor"\nDEVICENAME /dev/null\nLIBPATH %s\n\nFRIENDLYNAME "Emulated"\nDEVICENAME emulated:card=t1\nLIBPATH %s' \
    "$zero" "$handler")" "" --floor Floor Emulated $((count * 10))
else
  echo "The floor not measured: the build has no zero-latency handler (bench/libzero_ifd_handler.so)." >>"$note"
fi
cat >>"$note" <<'TXT'
Real time, one private pcscd per stack, one stack after the other, pyscard as the application. Our handler's
emulated reader and card answer at once (its default), as vpcd and vicc do: the figures compare the software
paths, not a physical reader. Both cards answer UPDATE BINARY without a selected file with 69 86 (the exchange
is complete all the same) and GET CHALLENGE with 8 bytes; both ATRs give an IFSC of 32, so a long command
travels as a chain of T=1 blocks in our reader. vicc's own time grows with the command: 4 KiB adds about 24 ms
through vpcd and through our reader alike.
TXT
