#!/usr/bin/env python3
"""Measures the helper on a real X server (QUORVEX_DESKTOP=x11) under a
private Xvfb:

- capture cost per 1920x1080 display frame (bench x11_capture_bench: the
  desktop source's feed against a bare xcb_shm_get_image loop, same run);
- frame-clock latency: the test client paints the strip with its wall-clock
  time at N paints per second into a 1280x720 window; a window session at
  --fps N encodes it; a reader takes the wall-clock time at which each record
  is complete on the pipe, and the strip (read back with qvrx) says when
  that picture was painted. p50 and p95 of arrival - painted;
- idle CPU: a session on a still display (the cursor shown, the pointer
  still) and on a still window, after its first record: the helper's CPU
  time over --seconds from /proc, in percent of one core.

    bench/x11_measure.py --build build/host [--seconds 5] [--only idle|cost|latency]

Not a test: figures depend on the machine and its load.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))
sys.path.insert(0, os.path.join(here, "..", "tests", "x11"))
import qvx  # noqa: E402
import test_x11  # noqa: E402


def nearest_rank(sorted_values, percent):
    if not sorted_values:
        return None
    rank = max(1, -(-len(sorted_values) * percent // 100))
    return sorted_values[rank - 1]


def timed_records(stream):
    """(record bytes, wall-clock ms at which it was complete) until EOF."""
    out = []
    while True:
        header = stream.read(qvx.HEADER.size)
        if len(header) < qvx.HEADER.size:
            return out
        _, length, _, _ = qvx.HEADER.unpack(header)
        payload = stream.read(length)
        out.append((header + payload, time.time_ns() // 1_000_000))


def latency(fps, seconds, workdir):
    client = test_x11.Client()
    try:
        window = client.open(f"x11 latency {fps}", 1280, 720, fps)
        process = subprocess.Popen(
            [qvx.binary_from_env(), "--source", "window", "--window-id", str(window), "--width", "1280",
             "--height", "720", "--fps", str(fps), "--duration", str(seconds)],
            env=test_x11.x11_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        records = timed_records(process.stdout)
        process.wait(timeout=30)
    finally:
        client.close()
    path = os.path.join(workdir, f"latency{fps}.qvrx")
    with open(path, "wb") as f:
        f.write(b"".join(r for r, _ in records))
    clocks = qvx.read_clocks(path, (0, 0, 1, 1))
    delays = sorted(((arrived - clock[1]) & 0xFFFFFFFF) for (_, arrived), clock in zip(records, clocks)
                    if clock is not None)
    span = len(records) / seconds
    return {"fps": fps, "records": len(records), "records_per_s": round(span, 1), "readable": len(delays),
            "p50_ms": nearest_rank(delays, 50), "p95_ms": nearest_rank(delays, 95)}


def cpu_seconds(pid):
    """User + system CPU time of a process so far (all its threads)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle_cpu(kind, seconds):
    client = test_x11.Client()
    try:
        window = client.open(f"x11 idle {kind}", 1280, 720, 0)
        client.command("warp 1500 900")
        target = ["--display-id", "1"] if kind == "display" else ["--source", "window", "--window-id", str(window)]
        session = qvx.Session(qvx.binary_from_env(), target + ["--duration", str(seconds + 30)],
                              env=test_x11.x11_env())
        try:
            if not session.wait_for_records(1, timeout=10):
                return {"idle": kind, "error": "no first record"}
            time.sleep(1)  # the first picture's encode and its repeats settle
            before = cpu_seconds(session.process.pid)
            records = len(qvx.parse_records_prefix(session.stdout()))
            time.sleep(seconds)
            used = cpu_seconds(session.process.pid) - before
            records = len(qvx.parse_records_prefix(session.stdout())) - records
        finally:
            session.kill()
    finally:
        client.close()
    return {"idle": kind, "cpu_percent_of_a_core": round(100 * used / seconds, 2), "records_meanwhile": records}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(here, "..", "build", "host"))
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--only", choices=("cost", "latency", "idle"))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    os.environ.setdefault("QVX_ENCODER", os.path.join(build, "src", "app", "quorvex-wgc-encoder"))
    os.environ.setdefault("QVX_QVRX", os.path.join(build, "tools", "qvrx", "qvrx"))
    os.environ.setdefault("QVX_X11_CLIENT", os.path.join(build, "tests", "x11", "x11_test_client"))
    test_x11.setUpModule()
    try:
        env = dict(os.environ, DISPLAY=test_x11.display)
        if args.only in (None, "cost"):
            subprocess.run([os.path.join(build, "bench", "x11_capture_bench"), "--benchmark_min_time=0.5",
                            "--benchmark_repetitions=8", "--benchmark_enable_random_interleaving=true",
                            "--benchmark_report_aggregates_only=true"], env=env,
                           check=True)
        if args.only in (None, "latency"):
            with tempfile.TemporaryDirectory() as workdir:
                for fps in (30, 60):
                    print(latency(fps, args.seconds, workdir))
        if args.only in (None, "idle"):
            for kind in ("display", "window"):
                print(idle_cpu(kind, args.seconds))
    finally:
        test_x11.tearDownModule()


if __name__ == "__main__":
    main()
