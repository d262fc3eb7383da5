#!/usr/bin/env python3
"""Tables and plots of a link benchmark run (bench/link_bench.sh).

    link_analyze.py WORK PATH LINK_ARGS...

WORK holds link.csv (the emulator's log: "# restart T" before each run), and for each mode
(ack, noack) MODE.frames.csv, MODE.packets.csv and MODE.pongs.csv from link_receiver. LINK_ARGS
are the emulator's arguments (rate, delay, schedule). Prints a Markdown table, writes the summary
line to WORK/summary.txt and, when gnuplot is there, the plot WORK/PATH.png.

Measures from WARMUP seconds after the start of each run (the connection's set-up and the first
keyframe are left out) to its last decoded picture.
"""

import csv
import math
import os
import shutil
import subprocess
import sys

WARMUP = 2.0
FPS = 30.0
MODES = [("ack", "acknowledged"), ("noack", "unacknowledged")]


def parse_rate(text):
    units = {"k": 1e3, "K": 1e3, "M": 1e6, "G": 1e9}
    text = text.removesuffix("bit")
    return float(text[:-1]) * units[text[-1]] if text[-1] in units else float(text)


def parse_duration(text):
    if text.endswith("ms"):
        return float(text[:-2]) / 1e3
    return float(text.removesuffix("s"))


class Link:
    def __init__(self, args):
        options = dict(zip(args[::2], args[1::2]))
        self.rate = parse_rate(options["--rate"])
        self.delay = parse_duration(options.get("--delay", "0"))
        self.steps = []
        if "--schedule" in options:
            for item in options["--schedule"].split(","):
                at, rate = item.split(":")
                self.steps.append((float(at), parse_rate(rate)))

    def rate_at(self, t):
        rate = self.rate
        for at, value in self.steps:
            if t >= at:
                rate = value
        return rate

    def capacity_bits(self, start, end, step=0.01):
        total, t = 0.0, start
        while t < end:
            width = min(step, end - t)
            total += self.rate_at(t) * width
            t += width
        return total


def read_csv(path):
    with open(path, newline="") as handle:
        return [{key: float(value) for key, value in row.items()} for row in csv.DictReader(handle)]


def read_link_log(path):
    """The emulator's log split into runs: a list of (restart time, rows)."""
    runs = []
    with open(path) as handle:
        header = handle.readline().strip().split(",")
        for line in handle:
            line = line.strip()
            if line.startswith("# restart"):
                runs.append((float(line.split()[2]), []))
            elif line and runs:
                runs[-1][1].append(dict(zip(header, map(float, line.split(",")))))
    return runs


def percentile(values, q):
    if not values:
        return math.nan
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(q * len(ordered)) - 1))]


def windowed_rate(times, sizes, t, width):
    return sum(size for time, size in zip(times, sizes) if t - width < time <= t) * 8 / width


def recoveries(link, frames, packets, end):
    """Seconds from each rate step until the path is used well again: after a step down, until
    no later picture (before the next step) is older than its goal; after a step up, until one
    second of video carries 85 % of the new rate. Each as (kind, seconds or None when it never
    happened, seconds until the next step or the end)."""
    results = []
    bounds = [at for at, _ in link.steps] + [end]
    for index, (at, rate) in enumerate(link.steps):
        until = bounds[index + 1]
        before = link.rate_at(at - 1e-6)
        if rate < before:
            late = [f["t"] for f in frames if at <= f["t"] < until and f["delay_ms"] / 1e3 > f["goal"]]
            settled = [f for f in frames if until - 1.0 <= f["t"] < until]
            if settled and all(f["delay_ms"] / 1e3 <= f["goal"] for f in settled):
                results.append(("down", max(late) - at if late else 0.0, until - at))
            else:
                results.append(("down", None, until - at))
        else:
            times = [p["t"] for p in packets]
            sizes = [p["bytes"] for p in packets]
            found = None
            t = at + 0.1
            while t < until:
                if windowed_rate(times, sizes, t, 1.0) >= 0.85 * rate:
                    found = t - at
                    break
                t += 0.1
            results.append(("up", found, until - at))
    return results


def queue_settles(link, rows):
    """Seconds after each step down until the link's queue delay (mean over the logged second)
    is back under two frame times; whole seconds, as the emulator logs them."""
    settles = []
    for at, rate in link.steps:
        if rate >= link.rate_at(at - 1e-6):
            continue
        found = next((row["t"] - at for row in rows
                      if row["t"] - 1 >= at and row["down_queue_ms_mean"] <= 2000 / FPS), None)
        settles.append(found)
    return settles


def analyse(work, link, restart, mode, rows):
    shift = lambda rows: [dict(row, t=row["t"] - restart) for row in rows]
    frames = shift(read_csv(os.path.join(work, mode + ".frames.csv")))
    packets = shift(read_csv(os.path.join(work, mode + ".packets.csv")))
    pongs = shift(read_csv(os.path.join(work, mode + ".pongs.csv")))
    for frame in frames:
        frame["drawn"] -= restart
        # One-way delay + two frame times + the frame's own serialisation time at the path's rate.
        frame["goal"] = link.delay + 2 / FPS + frame["bytes"] * 8 / link.rate_at(frame["t"])
    if not frames:
        return None
    end = frames[-1]["t"]
    window = [f for f in frames if f["t"] >= WARMUP]
    delays = [f["delay_ms"] for f in window]
    span = max(end - WARMUP, 1e-9)
    video_bits = sum(p["bytes"] for p in packets if WARMUP <= p["t"] <= end) * 8
    targets = [p["target_bps"] for p in pongs if WARMUP <= p["t"] <= end]
    return {
        "frames": frames,
        "packets": packets,
        "pongs": pongs,
        "p50": percentile(delays, 0.5),
        "p95": percentile(delays, 0.95),
        "p99": percentile(delays, 0.99),
        "goal95": percentile([f["goal"] * 1e3 for f in window], 0.95),
        "within": 100.0 * sum(f["delay_ms"] / 1e3 <= f["goal"] for f in window) / max(len(window), 1),
        "fps": len({f["drawn"] for f in window}) / span,
        "video": video_bits / span,
        "use": 100.0 * video_bits / link.capacity_bits(WARMUP, end),
        "target": sum(targets) / len(targets) if targets else math.nan,
        "recovery": recoveries(link, frames, packets, end),
        "queue_settles": queue_settles(link, rows),
        "queue_mean": sum(r["down_queue_ms_mean"] for r in rows if r["t"] > WARMUP) / max(1, sum(1 for r in rows if r["t"] > WARMUP)),
        "drops": sum(r["down_dropped"] for r in rows),
    }


def seconds_text(value, limit):
    return f">{limit:.1f}" if value is None else f"{value:.1f}"


def write_plot(work, path, link, results, runs):
    if not shutil.which("gnuplot"):
        return None
    for mode, result in results.items():
        if result is None:
            continue
        with open(os.path.join(work, mode + ".delay.dat"), "w") as out:
            for f in result["frames"]:
                out.write(f"{f['t']:.3f} {f['delay_ms']:.1f}\n")
        with open(os.path.join(work, mode + ".target.dat"), "w") as out:
            for p in result["pongs"]:
                out.write(f"{p['t']:.3f} {p['target_bps'] / 1e6:.3f}\n")
        # The encoder's output: bytes of the pictures by the time they were drawn, in 0.5 s bins.
        bins = {}
        for f in result["frames"]:
            bins[math.floor(f["drawn"] * 2)] = bins.get(math.floor(f["drawn"] * 2), 0) + f["bytes"]
        with open(os.path.join(work, mode + ".output.dat"), "w") as out:
            for key in sorted(bins):
                out.write(f"{key / 2 + 0.25:.2f} {bins[key] * 8 * 2 / 1e6:.3f}\n")
    end = max(r["frames"][-1]["t"] for r in results.values() if r)
    with open(os.path.join(work, "capacity.dat"), "w") as out:
        t = 0.0
        while t <= end:
            out.write(f"{t:.2f} {link.rate_at(t) / 1e6:.3f}\n")
            t += 0.05
    with open(os.path.join(work, "queue.dat"), "w") as out:
        for _, rows in runs[0:1]:
            for row in rows:
                out.write(f"{row['t'] - 0.5:.1f} {row['down_queue_ms_mean']:.1f}\n")
    png = os.path.join(work, path + ".png")
    script = f"""
set terminal pngcairo size 1200,800 font ',10'
set output '{png}'
set multiplot layout 2,1 title '{path}: {link.rate / 1e6:g} Mbit/s start, {link.delay * 2e3:g} ms round trip'
set xrange [0:{end:.1f}]
set grid
set logscale y
set ylabel 'frame delay (ms, log)'
set key top left
plot '{work}/ack.delay.dat' using 1:2 with lines lw 1 title 'acknowledged: capture to decode', \\
     '{work}/noack.delay.dat' using 1:2 with lines lw 1 title 'unacknowledged: capture to decode', \\
     '{work}/queue.dat' using 1:($2 > 0 ? $2 : 1/0) with steps lw 1 dt 2 title 'link queue delay, acknowledged (1 s mean)'
unset logscale y
set ylabel 'Mbit/s'
set xlabel 'seconds since the stream started'
plot '{work}/capacity.dat' using 1:2 with lines lw 2 lc rgb 'black' title 'link rate', \\
     '{work}/ack.target.dat' using 1:2 with steps lw 2 title 'pacer target (acknowledged)', \\
     '{work}/ack.output.dat' using 1:2 with lines lw 1 title 'encoder output (acknowledged)', \\
     '{work}/noack.output.dat' using 1:2 with lines lw 1 title 'encoder output (unacknowledged)'
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=False)
    return png


def main():
    work, path, link_args = sys.argv[1], sys.argv[2], sys.argv[3:]
    link = Link(link_args)
    runs = read_link_log(os.path.join(work, "link.csv"))
    results = {}
    for index, (mode, _) in enumerate(MODES):
        restart, rows = runs[index] if index < len(runs) else (0.0, [])
        results[mode] = analyse(work, link, restart, mode, rows)

    print(f"Path {path}: {' '.join(link_args)}; {WARMUP:g} s warm-up left out of every figure.")
    print()
    print("| mode | frame delay p50 / p95 / p99 (ms) | goal at p95 (ms) | frames within goal | fps "
          "| video (Mbit/s) | link use | mean target (Mbit/s) | recovery (s) | link queue mean (ms), drops "
          "| queue under 2 frames after a step down (s) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    summary = None
    for mode, label in MODES:
        r = results[mode]
        if r is None:
            print(f"| {label} | no pictures | | | | | | | | | |")
            continue
        recovery = ", ".join(f"{kind} {seconds_text(value, limit)}" for kind, value, limit in r["recovery"]) or "-"
        target = "-" if mode == "noack" or math.isnan(r["target"]) else f"{r['target'] / 1e6:.2f}"
        print(f"| {label} | {r['p50']:.0f} / {r['p95']:.0f} / {r['p99']:.0f} | {r['goal95']:.0f} "
              f"| {r['within']:.0f} % | {r['fps']:.1f} | {r['video'] / 1e6:.2f} | {r['use']:.0f} % "
              f"| {target} | {recovery} | {r['queue_mean']:.0f}, {r['drops']:.0f} "
              f"| {', '.join('never' if v is None else f'{v:.0f}' for v in r['queue_settles']) or '-'} |")
        if mode == "ack":
            # The slowest recovery; ">L" when a step was never recovered from within the L seconds
            # before the next step or the end.
            texts = [(value if value is not None else math.inf, seconds_text(value, limit))
                     for _, value, limit in r["recovery"]]
            worst = max(texts)[1] if texts else "-"
            summary = (f"acknowledged: p95 frame delay {r['p95']:.0f} ms, link use {r['use']:.0f} %, "
                       f"recovery {worst} s")
    if results["ack"] is not None and runs:
        plot = write_plot(work, path, link, results, runs)
        if plot:
            print(f"\nPlot: {plot}")
    with open(os.path.join(work, "summary.txt"), "w") as out:
        out.write((summary or "acknowledged: no pictures") + "\n")


if __name__ == "__main__":
    main()
