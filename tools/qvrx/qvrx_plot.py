#!/usr/bin/env python3
"""Draws what `qvrx stats --json --clock` says about a frame-record stream
into one PNG picture: the bit rate and the records of each second, every
record's size with the keyframes marked, and the frame-clock latency over
time; the link delay and the capture log's encode latency and mailbox wait
when the statistics carry them. Stretches without records (a pause, a still
screen) are shaded in every panel.

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
    if total.get("filler_share"):
        text += f", {total['filler_share'] * 100:.0f} % filler"
    if total.get("latency_p50_ms") is not None:
        text += f"; frame-clock latency p50 {total['latency_p50_ms']} ms, p95 {total['latency_p95_ms']} ms"
    if "link_rate_bps" in total:
        text += (f"\nlink delay at {total['link_rate_bps'] / 1e6:g} Mbit/s: p50 {total['link_delay_p50_ms']:.0f} ms, "
                 f"p95 {total['link_delay_p95_ms']:.0f} ms, p99 {total['link_delay_p99_ms']:.0f} ms, "
                 f"max {total['link_delay_max_ms']:.0f} ms")
    return text


def legend_outside(axes):
    """The legend right of the panel, where it hides no data."""
    axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, fontsize="small")


def shade_gaps(stats, panels):
    for gap in stats.get("gaps", []):
        for axes in panels:
            axes.axvspan(gap["start_s"], gap["end_s"], color="tab:gray", alpha=0.15, linewidth=0,
                         label="no records (pause or still screen)" if axes is panels[0] else None)


def draw(stats, out_path, title, plt):
    seconds = stats["seconds"]
    records = stats["records"]
    total = stats["total"]
    has_link = "link_rate_bps" in total
    has_log = "mailbox_wait" in stats
    names = ["rate", "count", "sizes", "latency"] + (["link"] if has_link else []) + (["log"] if has_log else [])
    figure, axes = plt.subplots(len(names), 1, figsize=(13, 2.6 * len(names) + 1), sharex=True,
                                constrained_layout=True)
    panel = dict(zip(names, axes))
    figure.suptitle(f"{title}\n{summary(stats)}" if title else summary(stats))
    times = [r["time_s"] for r in records]

    rate = panel["rate"]
    rate.bar([s["second"] for s in seconds], [s["bitrate_bps"] / 1e6 for s in seconds],
             width=[s["length_s"] for s in seconds], align="edge", color="tab:blue", edgecolor="white",
             label="bit rate")
    if stats.get("target_bitrate_bps"):
        rate.axhline(stats["target_bitrate_bps"] / 1e6, color="tab:red", linestyle="--", label="target")
    rate.set_ylabel("Mbit/s")
    rate.set_title("bit rate per second", loc="left")

    count = panel["count"]
    count.bar([s["second"] for s in seconds], [s["records"] for s in seconds],
              width=[s["length_s"] for s in seconds], align="edge", color="tab:purple", edgecolor="white",
              label="records")
    count.set_ylabel("records")
    count.set_title("records per second", loc="left")

    sizes = panel["sizes"]
    # A line from record to record would draw a pause as a slope: stems
    # leave its gap empty.
    sizes.vlines(times, 0, [r["size_bytes"] / 1000 for r in records], color="tab:gray", linewidth=0.8,
                 label="record")
    keyframes = [r for r in records if r["keyframe"]]
    sizes.scatter([r["time_s"] for r in keyframes], [r["size_bytes"] / 1000 for r in keyframes],
                  color="tab:red", marker="^", zorder=3, label="keyframe")
    sizes.set_ylabel("kB")
    sizes.set_title("record sizes", loc="left")

    latency = panel["latency"]
    latency.set_title("frame-clock latency: capture time less the time the picture was composed", loc="left")
    latency.set_ylabel("ms")
    readable = [r for r in records if r.get("latency_ms") is not None]
    if readable:
        latency.plot([r["time_s"] for r in readable], [r["latency_ms"] for r in readable], color="tab:green",
                     linestyle="none", marker=".", markersize=4, label="record")
        unreadable = len(records) - len(readable)
        if unreadable:
            latency.text(0.99, 0.95, f"{unreadable} pictures without a readable strip", ha="right", va="top",
                         transform=latency.transAxes)
    else:
        reason = ("no picture carries a readable frame-clock strip" if records and "latency_ms" in records[0]
                  else "the frame clock was not read")
        latency.text(0.5, 0.5, reason, ha="center", va="center", transform=latency.transAxes)
        latency.set_yticks([])

    if has_link:
        link = panel["link"]
        link.plot(times, [r["link_delay_ms"] for r in records], color="tab:orange", linestyle="none", marker=".",
                  markersize=4, label="record")
        link.axhline(total["link_delay_p95_ms"], color="tab:red", linestyle=":", label="p95")
        link.set_ylabel("ms")
        link.set_title(f"link delay through {total['link_rate_bps'] / 1e6:g} Mbit/s: until the last byte has left",
                       loc="left")

    if has_log:
        log = panel["log"]
        timed = [r for r in records if r.get("encode_latency_ms") is not None]
        log.plot([r["time_s"] for r in timed], [r["encode_latency_ms"] for r in timed], color="tab:blue",
                 linestyle="none", marker=".", markersize=4, label="encode latency")
        # Each window's values hold from the record after the window before
        # up to the record that printed them.
        waits = [w for w in stats["mailbox_wait"] if w["record_index"] < len(records)]
        if waits:
            wait_times = [records[0]["time_s"]] + [records[w["record_index"]]["time_s"] for w in waits]
            for field, colour in (("p50_ms", "tab:olive"), ("p95_ms", "tab:brown")):
                values = [w[field] for w in waits]
                log.step(wait_times, values[:1] + values, where="pre", color=colour,
                         label=f"mailbox wait {field[:3]} (30 records)")
        log.set_ylabel("ms")
        log.set_title("from the capture log: arrival to encoder output, and the wait in the mailbox", loc="left")

    shade_gaps(stats, axes)
    for axes_ in axes:
        if axes_.get_legend_handles_labels()[0]:
            legend_outside(axes_)
    axes[-1].set_xlabel("seconds after the first record")
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
