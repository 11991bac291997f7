#!/usr/bin/python3
"""Turns the raw outputs of scripts/bench.sh into results/benchmarks.md and
results/benchmarks.png.

    bench_report.py RAW_DIR RESULTS_DIR
"""
import csv
import json
import os
import statistics
import sys

RATES = [9600, 76800, 115200]


def read_tsv(path):
    if not os.path.exists(path):
        return []
    with open(path, newline="") as f:
        return [row for row in csv.reader(f, delimiter="\t") if row]


def read_keys(path):
    keys = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                if "=" in line:
                    k, v = line.rstrip("\n").split("=", 1)
                    keys[k] = v
    return keys


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    k = (len(ordered) - 1) * p / 100.0
    lo = int(k)
    hi = min(lo + 1, len(ordered) - 1)
    return ordered[lo] + (ordered[hi] - ordered[lo]) * (k - lo)


def fmt(value, digits=1):
    if value is None:
        return "–"
    if isinstance(value, int):
        return f"{value:,}"
    return f"{value:,.{digits}f}"


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return out


def gbench_medians(path):
    """name -> (real ns, cpu ns, wake-ups or None) of the median aggregate."""
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        data = json.load(f)
    medians = {}
    for b in data.get("benchmarks", []):
        if b.get("aggregate_name") == "median":
            name = b["run_name"].split("/")[0]
            scale = {"ns": 1, "us": 1e3, "ms": 1e6}[b.get("time_unit", "ns")]
            medians[name] = (b["real_time"] * scale, b["cpu_time"] * scale, b.get("wakeups"))
    return medians


HANDLER_CASES = [("short: GET CHALLENGE 8", "HandlerShort"), ("261-byte command", "Handler261Bytes"),
                 ("4,105-byte command", "Handler4105Bytes")]

CASES = [
    ("short T=1", "ShortT1"),
    ("short T=0", "ShortT0"),
    ("1 KiB chained T=1", "ChainedT1OneKiB"),
    ("64 KiB command T=1", "LargestCommandT1"),
    ("64 KiB response T=1", "LargestResponseT1"),
]


def cpu_section(raw):
    lines = ["## 1. CPU per card command", ""]
    medians = gbench_medians(os.path.join(raw, "gbench.json"))
    calls = {}
    for row in read_tsv(os.path.join(raw, "callgrind.tsv")):
        deliverable, case, count, total, own = row[0], row[1], int(row[2]), int(row[3]), int(row[4])
        calls[(deliverable, case)] = (total / count, own / count)
    base = medians.get("RequestShortT1", (None, None))[1]
    rows = []
    for case, bench in CASES:
        req = medians.get("Request" + bench)
        lib = medians.get(bench)
        kt = calls.get(("Kt2210p", case))
        lm = calls.get(("Lm5520p", case))
        rows.append([
            case,
            fmt(req[1] / 1000, 1) if req else "–",
            fmt(req[1] / base, 1) if req and base else "–",
            fmt(lib[1] / 1000, 1) if lib else "–",
            fmt(int(round(kt[0]))) if kt else "–",
            fmt(int(round(kt[1]))) if kt else "–",
            fmt(int(round(lm[0]))) if lm else "–",
            fmt(int(round(lm[1]))) if lm else "–",
        ])
    lines += table(["command", "request path CPU µs (Kt2210p)", "× short T=1", "CardTransmit alone CPU µs",
                    "Kt2210p instructions", "Kt2210p in our code", "Lm5520p instructions",
                    "Lm5520p in our code"], rows)
    lines += ["",
              "Google Benchmark medians of 5 repetitions (CPU time of the calling thread; the emulated reader and "
              "card answer at once and their cost is included). The request path sends `IOCTL_SMARTCARD_TRANSMIT` to "
              "the top of the device stack; *CardTransmit alone* calls the reader function with the library's "
              "buffers prepared. Instructions per command under callgrind (`--fair-sched=yes`, instrumentation "
              "only around the measured commands). Counts repeat within 1% between runs: the 32-bit short commands to "
              "the instruction, the 64-bit ones within 0.01%; how the platform's threads interleave moves the "
              "chained ones by up to 0.7%. *In our code*: the driver, "
              "the stand-ins and the emulator, that is everything but libc and libstdc++. The totals do not compare "
              "across the two builds: the 64-bit libc clears and copies with `rep stosb`/`rep movsb`, which "
              "callgrind counts byte by byte (the I/O manager stand-in zeroes each request's system buffer, "
              "64 KiB + 1 KiB for a transmission; the pool's fill patterns are off in these Release builds)", ""]
    note = os.path.join(raw, "callgrind-note.txt")
    if os.path.exists(note):
        lines += [open(note).read().strip(), ""]
    handler = [(name, medians.get(bench)) for name, bench in HANDLER_CASES if medians.get(bench)]
    if handler:
        lines += table(["through the IFD handler", "real µs", "CPU µs", "thread wake-ups per command"],
                       [[name, fmt(m[0] / 1000, 1), fmt(m[1] / 1000, 1), fmt(m[2], 2) if m[2] is not None else "–"]
                        for name, m in handler])
        lines += ["", "`IFDHTransmitToICC`'s function called in a loop on a reader opened by name with the built-in "
                  "T=1 card (IFSC 32), in real time as under pcscd: the channel, the resource manager, the I/O "
                  "manager stand-in, the driver, the emulated port, reader and card, all on the caller's thread.", ""]
    return lines


def wire_rows(raw):
    return [r for r in read_tsv(os.path.join(raw, "figures.tsv")) if r[0] == "wire"]


def efficiency_section(raw):
    lines = ["## 2. Protocol efficiency (simulated time, emulator timing model)", ""]
    rows = []
    for r in wire_rows(raw):
        rate, case, cmd, resp, done, wire, bulk, frames, blocks, block_bytes = r[1:11]
        done, wire = float(done), float(wire)
        rows.append([fmt(int(rate)), case, fmt(int(cmd)), fmt(int(resp)), fmt(done / 1000, 2), fmt(wire / 1000, 2),
                     fmt(done / wire, 2) if wire else "–", bulk, frames, blocks,
                     fmt(int(block_bytes)) if int(blocks) else "–"])
    lines += table(["bit/s", "command", "APDU bytes", "response bytes", "completion ms", "wire ms", "ratio",
                    "bulk transfers", "reader frames", "T=1 blocks", "T=1 block bytes"], rows)
    lines += ["",
              "Completion: from the request's arrival to its completion, the second of two identical commands. "
              "Wire: the character time of the APDU's own bytes, command and response, at that bit rate "
              "(12 ETU a character), the limit for any reader. The model adds 1 ms of USB latency to every bulk "
              "transfer; T=1 adds 4 bytes a block and one block per 254 bytes each way.", ""]
    return lines


def idle_section(raw):
    lines = ["## 3. Idle cost (simulated minute, reader plugged, card in)", ""]
    rows = []
    for r in read_tsv(os.path.join(raw, "figures.tsv")):
        if r[0] != "idle":
            continue
        if len(r) > 5:
            rows.append([r[1], r[2], r[3], r[4], f"{fmt(float(r[5]), 1)} ms (min {fmt(float(r[6]), 1)}, "
                         f"max {fmt(float(r[7]), 1)})", fmt(float(r[8]), 3),
                         fmt(int(r[4]) / int(r[2]), 1) if int(r[2]) else "–"])
        else:
            rows.append([r[1], r[2], r[3], r[4], "–", "–", "–"])
    lines += table(["state", "reader commands / min", "bulk transfers / min", "thread wake-ups / min",
                    "poll period", "status commands / period", "wake-ups / status command"], rows)
    lines += ["", "Wake-ups are counted by the kernel stand-in (every platform wait that ends); the bench's own "
              "sleeping thread is left out. With a request waiting their number moves by a few percent from run "
              "to run (whether a thread reaches its wait before the event it waits for is set); the counts of "
              "commands and transfers do not.", ""]
    return lines


def events(raw):
    out = {"insertion": [], "removal": []}
    for r in read_tsv(os.path.join(raw, "figures.tsv")):
        if r[0] == "event":
            out[r[1]].append(float(r[3]))
    return out


def events_section(raw):
    lines = ["## 4. Card-event latency (simulated time)", ""]
    rows = []
    for kind, values in events(raw).items():
        if values:
            rows.append([kind, len(values), fmt(min(values), 1), fmt(percentile(values, 50), 1),
                         fmt(percentile(values, 90), 1), fmt(percentile(values, 99), 1), fmt(max(values), 1),
                         fmt(statistics.mean(values), 1)])
    lines += table(["event", "events", "min ms", "median ms", "p90 ms", "p99 ms", "max ms", "mean ms"], rows)
    lines += ["", "From the change in the emulated slot to the completion of the waiting tracking request; the "
              "change comes 0 to 1,000 ms after the request, at phases from a fixed pseudo-random sequence. "
              "The bound is the 500 ms poll plus one status exchange.", ""]
    return lines


def memory_section(raw):
    lines = ["## 5. Memory", ""]
    figures = read_tsv(os.path.join(raw, "figures.tsv"))
    for r in figures:
        if r[0] == "pool-device":
            lines += [f"A started reader keeps {fmt(int(r[2]))} bytes of non-paged pool in {r[1]} blocks tagged "
                      f"\"TQM9\", plus its device extension (the device context, {fmt(int(r[3]))} bytes, "
                      f"allocated with the device object) (Kt2210p).", ""]
    rows = []
    for r in figures:
        if r[0] == "pool-transmit":
            rows.append([r[1], r[2], fmt(int(r[3])), fmt(int(r[4])), r[5], r[6], fmt(int(r[7]))])
    lines += table(["command", "driver allocations", "driver bytes allocated", "driver peak bytes",
                    "driver blocks left", "all allocations", "all bytes allocated"], rows)
    lines += ["", "Per transmission, Kt2210p. *All* counts every tag of the stand-ins too: the request, its "
              "system buffer (64 KiB + 1 KiB, the library's buffer size), the bus driver's own records.", ""]
    rss = read_tsv(os.path.join(raw, "rss.tsv"))
    if rss:
        lines += table(["readerctl demo", "peak resident memory"],
                       [[f"`--time {r[0]}`", f"{fmt(int(r[1]))} KiB"] for r in rss])
        lines.append("")
    return lines


def pcsc_samples(raw, kind="apdu"):
    """(stack, label) -> (APDU bytes both ways, [ms, ...], {SW1SW2}) in the order measured."""
    samples = {}
    for r in read_tsv(os.path.join(raw, "pcsc.tsv")):
        if r[0] == kind:
            entry = samples.setdefault((r[1], r[2]), (int(r[3]), [], set()))
            entry[1].append(float(r[4]))
            if len(r) > 5:
                entry[2].add(r[5])
    return samples


PEER = "vpcd + vicc"
FLOOR = "floor: zero-latency handler"


def pcsc_section(raw):
    lines = ["## 6. End to end through pcscd (pyscard)", ""]
    note = os.path.join(raw, "pcsc-note.txt")
    samples = pcsc_samples(raw)
    if samples:
        rows = []
        for (stack, label), (size, values, sws) in samples.items():
            peer = samples.get((PEER, label))
            ratio = fmt(statistics.median(peer[1]) / statistics.median(values), 1) if peer and stack != PEER else "–"
            rows.append([stack, label, " ".join(sorted(sws)), fmt(size), len(values), fmt(1000.0 / statistics.mean(values), 1),
                         fmt(percentile(values, 50), 2), fmt(percentile(values, 90), 2),
                         fmt(percentile(values, 99), 2), ratio])
        lines += table(["stack", "APDU", "SW", "bytes both ways", "APDUs", "APDUs/s", "median ms", "p90 ms", "p99 ms",
                        "speed-up over " + PEER + " (medians)"], rows)
        lines.append("")
    floor = pcsc_samples(raw, "floor")
    if floor:
        rows = []
        for (stack, label), (size, values, sws) in floor.items():
            if stack == FLOOR:
                continue
            base = floor.get((FLOOR, label))
            rows.append([label, fmt(size), " ".join(sorted(sws)), len(values),
                         fmt(1000 * percentile(base[1], 50), 1) if base else "–",
                         fmt(1000 * percentile(base[1], 99), 1) if base else "–",
                         fmt(1000 * percentile(values, 50), 1), fmt(1000 * percentile(values, 99), 1),
                         fmt(percentile(values, 50) / percentile(base[1], 50), 2) if base else "–"])
        lines += ["### Against the floor", "",
                  "One pcscd with two readers that take turns command by command: a zero-latency IFD handler "
                  "(`bench/pcsc/zero_handler.cpp`, answers at once as a card would: the cost of pcscd and its "
                  "client library alone) and ours with its built-in card.", ""]
        lines += table(["command", "bytes both ways", "SW", "APDUs each", "floor median µs", "floor p99 µs",
                        "ours median µs", "ours p99 µs", "ours / floor (medians)"], rows)
        lines.append("")
    if os.path.exists(note):
        lines += [open(note).read().strip(), ""]
    return lines


def plot(raw, results):
    os.environ.setdefault("MPLCONFIGDIR", "/tmp")
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    pcsc = pcsc_samples(raw)
    grid = 2 if pcsc else 1
    fig, axes = plt.subplots(grid, 2, figsize=(12, 4.8 * grid), squeeze=False)
    axes = [ax for row in axes for ax in row]
    ax = axes[0]
    for kind, values in events(raw).items():
        if values:
            ordered = sorted(values)
            ax.plot(ordered, [(i + 1) / len(ordered) for i in range(len(ordered))], label=kind)
    ax.axvline(500, color="grey", linestyle=":", label="poll period")
    ax.set_xlabel("card event to tracking completion (ms, simulated)")
    ax.set_ylabel("fraction of events")
    ax.set_title("Card-event latency")
    ax.legend()

    ax = axes[1]
    sizes = [r for r in read_tsv(os.path.join(raw, "figures.tsv")) if r[0] == "size"]
    colors = dict(zip(RATES, ["tab:blue", "tab:orange", "tab:green"]))
    for rate in RATES:
        for direction, style in (("command", "-o"), ("response", "--s")):
            pts = [(int(r[3]), int(r[4]) / (float(r[5]) / 1e6)) for r in sizes
                   if int(r[1]) == rate and r[2] == direction]
            if pts:
                ax.plot([p[0] for p in pts], [p[1] for p in pts], style, color=colors[rate], markersize=3,
                        label=f"{rate:,} bit/s, {direction}")
        ax.axhline(rate / 12, color=colors[rate], linestyle=":", linewidth=1)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("data bytes in the APDU")
    ax.set_ylabel("APDU bytes per second (simulated)")
    ax.set_title("Throughput (dotted: wire-time limit)")
    ax.legend(fontsize=7)

    if pcsc:
        ax = axes[2]
        for (stack, label), (_, values, _sws) in pcsc.items():
            if label.startswith("GET CHALLENGE"):
                ordered = sorted(values)
                ax.plot(ordered, [(i + 1) / len(ordered) for i in range(len(ordered))], label=stack)
        ax.set_xscale("log")
        ax.set_xlabel("GET CHALLENGE latency through pcscd (ms, real time)")
        ax.set_ylabel("fraction of APDUs")
        ax.set_title("pyscard through pcscd: latency")
        ax.legend(fontsize=7)
        ax = axes[3]
        stacks = []
        for (stack, _label) in pcsc:
            if stack not in stacks:
                stacks.append(stack)
        for stack in stacks:
            pts = sorted((size, size / (statistics.median(values) / 1000.0))
                         for (s2, label), (size, values, _sws) in pcsc.items()
                         if s2 == stack and label.startswith("UPDATE BINARY"))
            ax.plot([p[0] for p in pts], [p[1] for p in pts], "-o", markersize=3, label=stack)
        ax.axhline(76800 / 12, color="grey", linestyle=":", label="wire limit at 76,800 bit/s")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("APDU bytes both ways")
        ax.set_ylabel("bytes per second (median, real time)")
        ax.set_title("pyscard through pcscd: throughput")
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(os.path.join(results, "benchmarks.png"), dpi=110)


def main():
    raw, results = sys.argv[1], sys.argv[2]
    machine = read_keys(os.path.join(raw, "machine.txt"))
    lines = ["# Benchmarks", "",
             f"Run {machine.get('date', '?')} on commit {machine.get('commit', '?')} with `scripts/bench.sh`: "
             f"{machine.get('cpu', '?')}, {machine.get('nproc', '?')} processors, load average "
             f"{machine.get('load_before', '?')} before and {machine.get('load_after', '?')} after. "
             "Builds: Release (-O2), gcc 12.", "",
             "![latency and throughput](benchmarks.png)", ""]
    for section in (cpu_section, efficiency_section, idle_section, events_section, memory_section, pcsc_section):
        lines += section(raw)
    with open(os.path.join(results, "benchmarks.md"), "w") as f:
        f.write("\n".join(lines))
    plot(raw, results)


if __name__ == "__main__":
    main()
