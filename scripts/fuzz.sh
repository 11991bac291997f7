#!/usr/bin/env bash
# The fuzz targets (fuzz/): builds them with clang, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer, then runs each for SECONDS (30 by default)
# on a copy of its seed corpus. A finding (crash, sanitizer report, broken
# invariant, hang, leak) fails the run; its input is kept under
# BUILD/fuzz-findings/. Then the leak check: FUZZ_REPLAY inputs of the corpus
# (20 by default) run one after the other in one process, then each alone in
# a fresh one; an input whose outcome differs is a finding too.
#   scripts/fuzz.sh [SECONDS]
#   FUZZ_TARGETS="atr hostile_card" scripts/fuzz.sh 600     some targets, longer
# BUILD_ROOT puts the build somewhere other than build/ (as scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
out=${BUILD_ROOT:-build}
dir="$out/fuzz"
findings_dir="$dir/fuzz-findings"

echo "=== fuzz: configure and build in $dir"
if [[ ! -f $dir/CMakeCache.txt ]]; then
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDELIVERABLE=Kt2210p \
    -DREADER_FUZZ=ON -DREADER_SANITIZE=address,undefined -DREADER_TEST_DIRS=fixture >/dev/null
fi
# The IFD handler's target exists when its library is built (pcsc-lite's headers).
default_targets="hostile_reader hostile_card atr hostile_application"
if [[ $(cmake --build "$dir" --target help) == *fuzz_ifd_handler* ]]; then
  default_targets+=" ifd_handler"
fi
targets=(${FUZZ_TARGETS:-$default_targets})
cmake --build "$dir" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null

# Leaks are checked by the targets themselves at every teardown (pool
# blocks of every tag); LeakSanitizer after each input would cost most of
# the time.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# replay_check TARGET CORPUS: the digest of each sampled input's outcome
# (FUZZ_OUTCOME) after the inputs before it must be that of the input alone.
# A difference keeps the input and the order the sample ran in.
replay_check() {
  local target=$1 corpus=$2 binary=$dir/fuzz/fuzz_$1 file after alone
  local sample=() differ=0
  mapfile -t sample < <(ls "$corpus" | shuf -n "${FUZZ_REPLAY:-20}")
  ((${#sample[@]} > 0)) || return 0
  declare -A outcome
  while read -r file after; do
    outcome[$file]=$after
  done < <(FUZZ_OUTCOME=1 "$binary" -detect_leaks=0 "${sample[@]/#/$corpus/}" 2>&1 |
    awk '/^Running: /{input = $2; sub(".*/", "", input)} /^fuzz outcome /{print input, $3}')
  local status
  for file in "${sample[@]}"; do
    alone=$(FUZZ_OUTCOME=1 "$binary" -detect_leaks=0 "$corpus/$file" 2>&1 | awk '/^fuzz outcome /{print $3}'
      exit "${PIPESTATUS[0]}")
    status=$?
    # An input the target turns away before any session (an ATR too long for
    # the atr target) has no outcome, after others or alone; one that ends
    # the run alone has none either, and fails.
    if ((status != 0)) || [[ ${outcome[$file]:-} != "$alone" ]]; then
      echo "fuzz $target: the outcome of $file after the inputs before it (${outcome[$file]:-none}) is not its own (${alone:-none}, exit status $status)"
      cp "$corpus/$file" "$findings_dir/$target-leak-$file"
      differ=1
    fi
  done
  if ((differ)); then printf '%s\n' "${sample[@]}" >"$findings_dir/$target-leak-order"; fi
  echo "fuzz $target: leak check, ${#sample[@]} inputs after others and alone$( ((differ)) && echo ": DIFFERENT" || echo ", the same")"
}

passed=0
failed=0
mkdir -p "$findings_dir"
for target in "${targets[@]}"; do
  work=$(mktemp -d)
  cp -r "fuzz/corpus/$target/." "$work/"
  dict=()
  [[ -f fuzz/$target.dict ]] && dict=(-dict="fuzz/$target.dict")
  log="$dir/fuzz-$target.log"
  rm -f "$findings_dir/$target-"*
  echo "=== fuzz: $target for ${seconds} s"
  set +e
  "$dir/fuzz/fuzz_$target" "$work" "${dict[@]}" -max_total_time="$seconds" -timeout=25 -detect_leaks=0 \
    -print_final_stats=1 -artifact_prefix="$findings_dir/$target-" >"$log" 2>&1
  rc=$?
  [[ $rc -eq 0 ]] && replay_check "$target" "$work"
  set -e
  rm -rf "$work"
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -1)
  rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$log" | tail -1)
  found=$(ls "$findings_dir" | grep -c "^$target-" || true)
  if [[ $rc -ne 0 || $found -ne 0 || -z $runs ]]; then
    [[ $found -eq 0 ]] && found=1
    failed=$((failed + 1))
    echo "fuzz $target: ${runs:-?} executions, $found finding(s) (see $log and $findings_dir)"
    grep -E "ERROR|invariant|runtime error|SUMMARY" "$log" | head -5 || true
    # The targets record no allocation stacks while they fuzz (that cost a
    # quarter of their time): the first finding runs again with them.
    first=$(ls "$findings_dir" | grep "^$target-" | grep -v -- "-order$" | head -1 || true)
    if [[ -n $first ]]; then
      ASAN_OPTIONS="$ASAN_OPTIONS:malloc_context_size=30" "$dir/fuzz/fuzz_$target" "$findings_dir/$first" \
        >"$log.stacks" 2>&1 || true
      echo "fuzz $target: $first again with allocation stacks: $log.stacks"
    fi
  else
    passed=$((passed + 1))
    echo "fuzz $target: $runs executions ($rate/s), 0 findings"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
