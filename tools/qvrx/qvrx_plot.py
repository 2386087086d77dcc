#!/usr/bin/env python3
"""Draws what `qvrx stats --json --clock` says about a frame-record stream
into one PNG picture: the bit rate of each second, every record's size with
the keyframes marked, and the frame-clock latency over time.

    qvrx_plot.py STATS.json OUT.png [TITLE]

`qvrx plot` computes the statistics and runs this script, which it expects
next to its executable. Messages go to standard output, which qvrx passes on
to its standard error once it has tried every Python interpreter it knows.
Exit status: 0 when the picture was written, 2 for a usage error, 3 when
matplotlib cannot be imported (qvrx then tries the next interpreter; the
message says which Debian package brings it), 1 for anything else."""

import json
import sys

USAGE = 2
NO_MATPLOTLIB = 3


def summary(stats):
    total = stats["total"]
    text = (f"{total['records']} records in {total['duration_s']:.2f} s: {total['fps']:.1f} fps, "
            f"{total['bitrate_bps'] / 1e6:.2f} Mbit/s, {total['keyframes']} keyframes, "
            f"largest {total['largest_bytes'] / 1000:.1f} kB")
    if total.get("latency_p50_ms") is not None:
        text += f"; frame-clock latency p50 {total['latency_p50_ms']} ms, p95 {total['latency_p95_ms']} ms"
    return text


def draw(stats, out_path, title, plt):
    seconds = stats["seconds"]
    records = stats["records"]
    figure, (rate, sizes, latency) = plt.subplots(3, 1, figsize=(12, 9), sharex=True, constrained_layout=True)
    figure.suptitle(f"{title}\n{summary(stats)}" if title else summary(stats))

    rate.bar([s["second"] for s in seconds], [s["bitrate_bps"] / 1e6 for s in seconds],
             width=[s["length_s"] for s in seconds], align="edge", color="tab:blue", edgecolor="white")
    rate.set_ylabel("Mbit/s")
    rate.set_title("bit rate per second", loc="left")

    times = [r["time_s"] for r in records]
    # A line from record to record would draw a pause as a slope: stems
    # leave its gap empty.
    sizes.vlines(times, 0, [r["size_bytes"] / 1000 for r in records], color="tab:gray", linewidth=0.8,
                 label="record")
    keyframes = [r for r in records if r["keyframe"]]
    sizes.scatter([r["time_s"] for r in keyframes], [r["size_bytes"] / 1000 for r in keyframes],
                  color="tab:red", marker="^", zorder=3, label="keyframe")
    sizes.set_ylabel("kB")
    sizes.set_title("record sizes", loc="left")
    sizes.legend(loc="upper right")

    latency.set_title("frame-clock latency: capture time less the time the picture was composed", loc="left")
    latency.set_ylabel("ms")
    latency.set_xlabel("seconds after the first record")
    readable = [r for r in records if r.get("latency_ms") is not None]
    if readable:
        latency.plot([r["time_s"] for r in readable], [r["latency_ms"] for r in readable], color="tab:green",
                     linestyle="none", marker=".", markersize=4)
        unreadable = len(records) - len(readable)
        if unreadable:
            latency.text(0.99, 0.95, f"{unreadable} pictures without a readable strip", ha="right", va="top",
                         transform=latency.transAxes)
    else:
        reason = ("no picture carries a readable frame-clock strip" if records and "latency_ms" in records[0]
                  else "the frame clock was not read")
        latency.text(0.5, 0.5, reason, ha="center", va="center", transform=latency.transAxes)
        latency.set_yticks([])
    figure.savefig(out_path, dpi=100)


def main(argv):
    if len(argv) not in (3, 4):
        print("usage: qvrx_plot.py STATS.json OUT.png [TITLE]")
        return USAGE
    try:
        import matplotlib
        matplotlib.use("Agg")  # no display needed
        import matplotlib.pyplot as plt
    except ImportError as error:
        print(f"qvrx: plot needs matplotlib for python3 (Debian: python3-matplotlib): {error}")
        return NO_MATPLOTLIB
    with open(argv[1], encoding="utf-8") as f:
        stats = json.load(f)
    try:
        draw(stats, argv[2], argv[3] if len(argv) == 4 else "", plt)
    except OSError as error:
        print(f"qvrx: cannot write {argv[2]}: {error.strerror}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
