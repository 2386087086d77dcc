#!/usr/bin/env python3
"""Measures whole capture sessions of the helper binary on the host stand-in,
spawned as the parent spawns it:

- records per second over the session (first to last record timestamp);
- encode_latency p50/p95 over every "encode_latency_ms=" line;
- spawn-to-first-record: from the spawn call to the first complete record
  on the pipe, over several short sessions.

    bench/session_measure.py [--binary PATH] [--seconds 10] [--spawns 5]

Not a test: figures depend on the machine and its load.
"""

import argparse
import os
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


def session_figures(binary, fps, seconds):
    session = qvx.Session(binary, ["--fps", str(fps), "--duration", str(seconds)])
    code = session.finish(timeout=seconds + 30)
    records = qvx.parse_records(session.stdout())
    lines = session.stderr_lines()
    latencies = sorted(int(l.split("=", 1)[1]) for l in lines if l.startswith("encode_latency_ms="))
    span_s = (records[-1].timestamp_ns - records[0].timestamp_ns) / 1e9 if len(records) > 1 else 0
    summary = next((l for l in lines if l.startswith("native_encoder_summary ")), "")
    return {
        "exit": code,
        "records": len(records),
        "records_per_s": (len(records) - 1) / span_s if span_s else 0,
        "latency_p50_ms": nearest_rank(latencies, 50),
        "latency_p95_ms": nearest_rank(latencies, 95),
        "latency_max_ms": latencies[-1] if latencies else None,
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


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=os.path.join(root, "build", "host", "src", "app", "quorvex-wgc-encoder"))
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--spawns", type=int, default=5)
    args = parser.parse_args()

    for fps in (30, 60):
        f = session_figures(args.binary, fps, args.seconds)
        print(f"1080p{fps} {args.seconds}s: exit={f['exit']} records={f['records']} "
              f"records_per_s={f['records_per_s']:.1f} encode_latency_p50_ms={f['latency_p50_ms']} "
              f"p95_ms={f['latency_p95_ms']} max_ms={f['latency_max_ms']}")
        print(f"  {f['summary']}")
    times = sorted(spawn_to_first_record(args.binary) for _ in range(args.spawns))
    print(f"spawn_to_first_record_ms: median={times[len(times) // 2] * 1000:.0f} "
          f"min={times[0] * 1000:.0f} max={times[-1] * 1000:.0f} (n={len(times)})")


if __name__ == "__main__":
    main()
