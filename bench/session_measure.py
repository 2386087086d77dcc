#!/usr/bin/env python3
"""Measures whole capture sessions of the helper binary on the host stand-in,
spawned as the parent spawns it:

- for each pacing rule ("--pacing strict" and "--pacing grid") at 30 and
  60 fps, in one run:
  - records per second over the session (first to last record timestamp);
  - encode_latency p50/p95 over every "encode_latency_ms=" line (arrival to
    encoder output, whole milliseconds);
  - the mailbox wait: the median of the "latency_breakdown" lines'
    mailbox_wait_p50_ms and the 95th percentile of their mailbox_wait_p95_ms
    (each line covers 30 frames, in whole milliseconds);
  - frames replaced per minute (the summary's frames_replaced);
  - the most records whose capture times fall in any one-second window (a
    record's capture time precedes its submission by the mailbox wait, so
    this approximates the submissions per second);
- spawn-to-first-record: from the spawn call to the first complete record
  on the pipe, over several short sessions, against the floor: the spawn of
  first_frame_bare (paints, converts and encodes one 1080p picture with the
  same x264 settings and exits) to its exit, the two taken in turn so both
  see the same load; the target is within 1.2 times the floor;
- the clean stop: from SIGTERM to the process's exit (encoder drained,
  every record and the summary written) in 1080p60 sessions that have run
  for two seconds; the budget is 500 ms.

    bench/session_measure.py [--binary PATH] [--bare PATH] [--seconds 10] [--spawns 5] [--stops 5]
                             [--stop-only | --start-only]

Not a test: figures depend on the machine and its load.
"""

import argparse
import os
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import qvx  # noqa: E402


def nearest_rank(sorted_values, percent):
    if not sorted_values:
        return None
    rank = max(1, -(-len(sorted_values) * percent // 100))
    return sorted_values[rank - 1]


def breakdown_values(lines, key):
    prefix = key + "="
    return [int(field[len(prefix):]) for line in lines if line.startswith("latency_breakdown ")
            for field in line.split() if field.startswith(prefix)]


def most_in_one_second(timestamps_ns):
    most, first = 0, 0
    for last, stamp in enumerate(timestamps_ns):
        while stamp - timestamps_ns[first] >= 1_000_000_000:
            first += 1
        most = max(most, last - first + 1)
    return most


def summary_value(summary, key):
    for field in summary.split():
        if field.startswith(key + "="):
            return int(field.split("=", 1)[1])
    return None


def session_figures(binary, fps, pacing, seconds):
    session = qvx.Session(binary, ["--fps", str(fps), "--duration", str(seconds), "--pacing", pacing])
    code = session.finish(timeout=seconds + 30)
    records = qvx.parse_records(session.stdout())
    lines = session.stderr_lines()
    latencies = sorted(int(l.split("=", 1)[1]) for l in lines if l.startswith("encode_latency_ms="))
    span_s = (records[-1].timestamp_ns - records[0].timestamp_ns) / 1e9 if len(records) > 1 else 0
    summary = next((l for l in lines if l.startswith("native_encoder_summary ")), "")
    replaced = summary_value(summary, "frames_replaced")
    return {
        "exit": code,
        "records": len(records),
        "records_per_s": (len(records) - 1) / span_s if span_s else 0,
        "latency_p50_ms": nearest_rank(latencies, 50),
        "latency_p95_ms": nearest_rank(latencies, 95),
        "latency_max_ms": latencies[-1] if latencies else None,
        "wait_p50_ms": nearest_rank(sorted(breakdown_values(lines, "mailbox_wait_p50_ms")), 50),
        "wait_p95_ms": nearest_rank(sorted(breakdown_values(lines, "mailbox_wait_p95_ms")), 95),
        "replaced_per_min": replaced * 60 / seconds if replaced is not None else None,
        "max_per_s": most_in_one_second([r.timestamp_ns for r in records]),
        "summary": summary,
    }


def spawn_to_first_record(binary):
    started = time.monotonic()
    process = subprocess.Popen([binary, "--duration", "1"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    header = process.stdout.read(qvx.HEADER.size)
    _, length, _, _ = qvx.HEADER.unpack(header)
    process.stdout.read(length)
    elapsed = time.monotonic() - started
    drain = threading.Thread(target=process.stdout.read, daemon=True)
    drain.start()
    process.wait(timeout=30)
    drain.join(timeout=5)
    process.stdin.close()
    process.stdout.close()
    return elapsed


def bare_first_frame(bare):
    started = time.monotonic()
    subprocess.run([bare], stdout=subprocess.DEVNULL, check=True)
    return time.monotonic() - started


def signal_to_exit(binary):
    """Seconds from SIGTERM to the exit of a running 1080p60 session, and
    whether it ended as it should (status 0, the end line last)."""
    session = qvx.Session(binary, ["--fps", "60", "--duration", "60"])
    try:
        if not session.wait_for_records(120, timeout=30):
            return None, False
        sent = time.monotonic()
        session.process.send_signal(signal.SIGTERM)
        code = session.process.wait(timeout=30)
        elapsed = time.monotonic() - sent
        session.finish(timeout=5)
        lines = session.stderr_lines()
        return elapsed, code == 0 and lines[-1:] == ["session_end reason=signal"]
    finally:
        session.kill()


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=os.path.join(root, "build", "host", "src", "app", "quorvex-wgc-encoder"))
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--spawns", type=int, default=5)
    parser.add_argument("--stops", type=int, default=5)
    parser.add_argument("--bare", default=os.path.join(root, "build", "host", "bench", "first_frame_bare"))
    parser.add_argument("--stop-only", action="store_true", help="measure only the clean stop")
    parser.add_argument("--start-only", action="store_true", help="measure only spawn to first record")
    args = parser.parse_args()

    if args.start_only:
        start_up(args)
        return
    stops = [signal_to_exit(args.binary) for _ in range(args.stops)]
    times = sorted(t for t, _ in stops if t is not None)
    if times:
        print(f"sigterm_to_exit_ms at 1080p60: median={times[len(times) // 2] * 1000:.0f} "
              f"max={times[-1] * 1000:.0f} (n={len(times)}, budget 500) "
              f"clean={sum(ok for _, ok in stops)}/{len(stops)}")
    if args.stop_only:
        return

    for fps in (30, 60):
        for pacing in ("strict", "grid"):
            f = session_figures(args.binary, fps, pacing, args.seconds)
            print(f"1080p{fps} {pacing} {args.seconds}s: exit={f['exit']} records={f['records']} "
                  f"records_per_s={f['records_per_s']:.1f} encode_latency_p50_ms={f['latency_p50_ms']} "
                  f"p95_ms={f['latency_p95_ms']} max_ms={f['latency_max_ms']} "
                  f"mailbox_wait_p50_ms={f['wait_p50_ms']} p95_ms={f['wait_p95_ms']} "
                  f"replaced_per_min={f['replaced_per_min']:.0f} max_records_per_1s={f['max_per_s']}")
            print(f"  {f['summary']}")
    start_up(args)


def start_up(args):
    pairs = [(spawn_to_first_record(args.binary), bare_first_frame(args.bare)) for _ in range(args.spawns)]
    times = sorted(t for t, _ in pairs)
    bare = sorted(b for _, b in pairs)
    median, bare_median = times[len(times) // 2], bare[len(bare) // 2]
    print(f"spawn_to_first_record_ms: median={median * 1000:.0f} "
          f"min={times[0] * 1000:.0f} max={times[-1] * 1000:.0f} (n={len(times)}) "
          f"bare_first_frame_ms: median={bare_median * 1000:.0f} min={bare[0] * 1000:.0f} "
          f"ratio={median / bare_median:.2f} (target 1.2)")


if __name__ == "__main__":
    main()
