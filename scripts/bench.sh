#!/usr/bin/env bash
# The benchmarks, from scratch: builds both deliverables in Release, runs
# every measurement and writes results/benchmarks.md and results/benchmarks.png.
# Not part of the test suite. Run it on a machine as quiet as you can get.
#   scripts/bench.sh            everything
#   scripts/bench.sh quick      fewer repetitions (a smoke run)
set -euo pipefail
cd "$(dirname "$0")/.."
# What the benchmarks need beyond the build.
scripts/install-deps.sh libbenchmark-dev valgrind python3-matplotlib vsmartcard-vpcd

quick=${1:-}
out=${BUILD_ROOT:-build}
kt=$out/bench-kt2210p
lm=$out/bench-lm5520p
results=results
raw=$out/bench-raw
rm -rf "$raw"
mkdir -p "$raw" "$results"

# Release at -O2: g++ 12 reports false -Wrestrict errors in std::string code at -O3.
release=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DREADER_TEST_DIRS=platform/kernel)
# BENCH_REUSE_BUILD=1 keeps build trees that are there (reruns of the measurements).
fresh() { [[ ${BENCH_REUSE_BUILD:-} == 1 && -d $1 ]] || rm -rf "$1"; }
echo "=== build: Kt2210p (x86-64) in $kt"
fresh "$kt"
cmake -S . -B "$kt" "${release[@]}" -DDELIVERABLE=Kt2210p >/dev/null
targets=(transmit_bench apdu_instructions bench_figures readerctl)
# The IFD handler for pcscd, when this tree has it.
# (grep reads the whole list: -q would stop early and fail the pipe.)
if cmake --build "$kt" --target help | grep ifd_handler >/dev/null; then targets+=(ifd_handler zero_ifd_handler); fi
cmake --build "$kt" -j2 --target "${targets[@]}" >/dev/null
echo "=== build: Lm5520p (32-bit x86) in $lm"
fresh "$lm"
cmake -S . -B "$lm" "${release[@]}" -DDELIVERABLE=Lm5520p -DCMAKE_TOOLCHAIN_FILE=scripts/cmake/toolchain-i686.cmake >/dev/null
cmake --build "$lm" -j2 --target apdu_instructions >/dev/null

{
  echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "nproc=$(nproc)"
  echo "cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')"
  echo "load_before=$(cut -d' ' -f1-3 /proc/loadavg)"
} >"$raw/machine.txt"

echo "=== 1. CPU per command: Google Benchmark"
reps=5
[[ $quick == quick ]] && reps=2
"$kt/bench/transmit/transmit_bench" --benchmark_filter='^(Request|Short|Chained|Largest|Handler)' \
  --benchmark_repetitions=$reps --benchmark_min_time=0.3 --benchmark_report_aggregates_only=true \
  --benchmark_out="$raw/gbench.json" --benchmark_out_format=json >"$raw/gbench.txt" 2>&1
echo "=== 1. CPU per command: instructions under callgrind"
counts=(40 40 10 2 2)
[[ $quick == quick ]] && counts=(4 4 2 1 1)
builds=("$kt")
# A kernel without IA-32 emulation runs no 32-bit program, valgrind's included.
if "$lm/bench/apdu_instructions" 0 1 >/dev/null 2>&1; then
  builds+=("$lm")
else
  echo "Lm5520p not measured: this kernel does not run 32-bit x86 programs." >"$raw/callgrind-note.txt"
fi
for build in "${builds[@]}"; do
  for i in 0 1 2 3 4; do
    file=$raw/callgrind.$(basename "$build").$i
    valgrind --tool=callgrind --fair-sched=yes --instr-atstart=no --callgrind-out-file="$file" \
      "$build/bench/apdu_instructions" "$i" "${counts[$i]}" >"$file.out" 2>"$file.log"
    total=$(grep '^totals:' "$file" | awk '{print $2}')
    # Our own code (driver, stand-ins, emulator) is what the executable holds;
    # libc and libstdc++ (memset, malloc, locks) are counted apart.
    own=$(callgrind_annotate --inclusive=no --threshold=100 --auto=no "$file" |
      awk '/\/apdu_instructions\]$/ {gsub(",", "", $1); s += $1} END {print s + 0}')
    # deliverable, command, count, instructions, of which in our own code
    IFS=$'\t' read -r deliverable name count _ <"$file.out"
    printf '%s\t%s\t%s\t%s\t%s\n' "$deliverable" "$name" "$count" "$total" "$own" >>"$raw/callgrind.tsv"
  done
done

echo "=== 2-5. simulated time: protocol efficiency, idle cost, card events, pool"
events=500
[[ $quick == quick ]] && events=50
"$kt/bench/bench_figures" wire >"$raw/figures.tsv"
"$kt/bench/bench_figures" idle >>"$raw/figures.tsv"
"$kt/bench/bench_figures" events $events >>"$raw/figures.tsv"
"$kt/bench/bench_figures" pool >>"$raw/figures.tsv"

echo "=== 5. readerctl demo: peak resident memory"
for mode in simulated real; do
  /usr/bin/python3 - "$kt/tools/readerctl/readerctl" "$mode" >>"$raw/rss.tsv" <<'PY'
import resource, subprocess, sys
subprocess.run([sys.argv[1], "--time", sys.argv[2], "demo"], check=True, stdout=subprocess.DEVNULL)
print(f"{sys.argv[2]}\t{resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss}")
PY
done

echo "=== 6. end to end through pcscd"
if [[ -x bench/pcsc/pcsc_bench.sh ]]; then
  bench/pcsc/pcsc_bench.sh "$kt" "$raw" "$quick" || echo "pcscd benchmark failed; see $raw/pcsc-note.txt" >&2
else
  echo "Not measured: this tree has no pcscd benchmark." >"$raw/pcsc-note.txt"
fi

echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)" >>"$raw/machine.txt"
tmp=$(mktemp -d)
MPLCONFIGDIR=$tmp /usr/bin/python3 bench/report/bench_report.py "$raw" "$results"
rm -rf "$tmp"
echo "=== wrote $results/benchmarks.md and $results/benchmarks.png"
