#!/usr/bin/env bash
# The whole test suite, from scratch: both deliverables built with gcc and
# tested (Kt2210p for x86-64, Lm5520p for 32-bit x86), then Kt2210p once more
# with clang, AddressSanitizer and UndefinedBehaviorSanitizer, the concurrent
# suites of Kt2210p under ThreadSanitizer (any report fails), then the fuzz
# targets for a short time each (scripts/fuzz.sh). The x86-64 gcc build's IFD
# handler also runs end to end in a pcscd of its own, its USB captures are
# decoded by tshark (tests/tools/wireshark/run.sh), and the driver is built
# as the two Windows kernel images and checked (tests/driver/windows/run.sh).
#   scripts/test.sh            everything
#   scripts/test.sh quick      only the x86-64 gcc build (and pcscd end to end, the captures)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=2
out=${BUILD_ROOT:-build}
passed=0
failed=0
summary=()

run_suite() {
  local name=$1 dir=$2
  shift 2
  echo "=== $name: configure and build in $dir"
  rm -rf "$dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  echo "=== $name: test"
  local log="$dir/ctest.log"
  set +e
  ${CTEST_WRAP:-} ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 120 2>&1 | tee "$log" | grep -vE "^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|^ +Start +[0-9]+: "
  set -e
  local line p f t
  line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" | tail -1 || true)
  if [[ -z $line ]]; then
    echo "$name: ctest did not finish" >&2
    failed=$((failed + 1))
    summary+=("$name: did not finish")
    return
  fi
  t=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  f=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  p=$((t - f))
  passed=$((passed + p))
  failed=$((failed + f))
  summary+=("$name: $p passed, $f failed")
}

# count_result NAME LOG TAG: adds the counts of the last "TAG: N passed, M
# failed[, S skipped]" line of LOG to the totals; no such line is a failure.
count_result() {
  local name=$1 log=$2 tag=$3 line p f s
  line=$(grep -E "^$tag: [0-9]+ passed, [0-9]+ failed" "$log" | tail -1 || true)
  if [[ -z $line ]]; then
    echo "$name: did not finish" >&2
    failed=$((failed + 1))
    summary+=("$name: did not finish")
    return
  fi
  p=$(sed -E 's/.*: ([0-9]+) passed.*/\1/' <<<"$line")
  f=$(sed -E 's/.*passed, ([0-9]+) failed.*/\1/' <<<"$line")
  s=$(sed -nE 's/.*failed, ([0-9]+) skipped.*/, \1 skipped/p' <<<"$line")
  passed=$((passed + p))
  failed=$((failed + f))
  summary+=("$name: $p passed, $f failed$s")
}

# The fuzz targets, each for FUZZ_SECONDS (15 by default): one passed or
# failed count per target.
run_fuzz() {
  rm -rf "$out/fuzz"
  set +e
  BUILD_ROOT="$out" scripts/fuzz.sh "${FUZZ_SECONDS:-15}" 2>&1 | tee "$out/fuzz.log"
  set -e
  count_result "fuzz (libFuzzer, ASan+UBSan)" "$out/fuzz.log" fuzz
}

# run_checks NAME LOG LABEL COMMAND...: a check script's run, its "ok" lines
# kept in the log only, and its "LABEL: N passed, M failed" line counted.
run_checks() {
  local name=$1 log=$out/$2 label=$3
  shift 3
  set +e
  "$@" 2>&1 | tee "$log" | grep -vE "^ok "
  set -e
  count_result "$name" "$log" "$label"
}

# End to end with a real pcscd, on the IFD handler of the x86-64 gcc build.
run_pcscd() {
  local name="pcscd end to end (Kt2210p IFD handler)"
  echo "=== $name"
  run_checks "$name" pcscd-e2e.log "pcscd end to end" tests/ifd/pcscd/run.sh "$out/kt2210p"
}

# USB captures of the x86-64 gcc build decoded by tshark with the project's dissector.
run_wireshark() {
  local name="Wireshark captures (tshark)"
  echo "=== $name"
  run_checks "$name" wireshark.log "wireshark captures" tests/tools/wireshark/run.sh "$out/kt2210p"
}

# The kernel images, built with MinGW-w64 and checked; Wine loads the x86-64
# one. Wine is installed here, time-boxed: without it that check is skipped.
run_windows() {
  local name="Windows kernel images (MinGW-w64, Wine)"
  echo "=== $name"
  timeout 900 scripts/install-deps.sh wine64 || echo "=== Wine could not be installed: its check is skipped"
  run_checks "$name" windows.log "windows images" tests/driver/windows/run.sh "$out"
}

# 32-bit x86 programs run natively where the kernel runs them (IA-32
# emulation); on a kernel without it, under qemu-user.
i386_emulator=()
probe=$(mktemp -d)
printf 'int main(void) { return 0; }\n' >"$probe/probe.c"
if gcc -m32 "$probe/probe.c" -o "$probe/probe" 2>/dev/null && ! "$probe/probe" 2>/dev/null; then
  scripts/install-deps.sh qemu-user
  i386_emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386)
  echo "=== this kernel does not run 32-bit x86 programs: the 32-bit suites run under qemu-i386"
fi
rm -rf "$probe"

run_suite "Kt2210p (x86-64, gcc)" "$out/kt2210p" -DDELIVERABLE=Kt2210p
run_pcscd
run_wireshark
if [[ ${1:-} != quick ]]; then
  run_windows
  run_suite "Lm5520p (32-bit x86, gcc)" "$out/lm5520p" -DDELIVERABLE=Lm5520p \
    -DCMAKE_TOOLCHAIN_FILE=scripts/cmake/toolchain-i686.cmake "${i386_emulator[@]}"
  CC=clang CXX=clang++ run_suite "Kt2210p (x86-64, clang, ASan+UBSan)" "$out/kt2210p-asan" -DDELIVERABLE=Kt2210p \
    -DREADER_SANITIZE=address,undefined
  # ThreadSanitizer has no 32-bit x86 support; it needs the address space
  # unrandomized ("unexpected memory mapping" otherwise). The concurrent
  # suites: the platform, the port, the reader, tracking, dispatch, the host,
  # fault injection and the stress test.
  CC=clang CXX=clang++ TSAN_OPTIONS="halt_on_error=1 exitcode=66" CTEST_WRAP="setarch $(uname -m) -R" \
    run_suite "Kt2210p (x86-64, clang, TSan, concurrent suites)" "$out/kt2210p-tsan" -DDELIVERABLE=Kt2210p \
    -DREADER_SANITIZE=thread "-DREADER_TEST_DIRS=platform/kernel;platform/usb;driver/reader;driver/tracking;driver/dispatch;host;driver/faults;driver/stress"
  run_fuzz
fi

echo
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
