#!/usr/bin/env python3
"""What the stream's shape does to a network link, and what bounding it costs
in picture quality, on the host's virtual desktop:

- for each size, frame rate and bitrate, the default settings against a
  rate buffer of one and of three frame intervals with keyframes only on
  request (--rate-buffer-ms, --keyframe-interval 0): largest record / mean
  record, link delay p95 and max through a first-in-first-out link of 1.0x
  and 2.5x the bitrate, the achieved bitrate, and the PSNR of the decoded
  pictures against the source;
- live changes on one session each: a requested keyframe's size against the
  mean record, the achieved bitrate from one second after BITRATE, and the
  records per second from one second after FPS.

The source is known exactly: the virtual desktop's scene is a pure function
of its frame number and of the time in its frame-clock strip, both of which
every picture carries, so bench/scene_reference paints each picture again.
A link delay is measured from a record's capture time to the moment its last
payload byte leaves the link (the record header stays with the parent).

    bench/network_measure.py --build build/host [--seconds 6] [--quick]

Not a test: figures depend on the machine and its load.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))
import qvx  # noqa: E402

# The virtual desktop's primary display.
DISPLAY = (1920, 1080)


def nearest_rank(values, percent):
    ordered = sorted(values)
    if not ordered:
        return None
    rank = max(1, -(-len(ordered) * percent // 100))
    return ordered[rank - 1]


def link_delays_ms(records, bits_per_second):
    """Each record enters a first-in-first-out link at its capture time; the
    delay is from then until its last byte has left."""
    delays = []
    free_at = None
    for record in records:
        enter = record.timestamp_ns / 1e9
        start = enter if free_at is None else max(enter, free_at)
        free_at = start + len(record.payload) * 8 / bits_per_second
        delays.append((free_at - enter) * 1000)
    return delays


def achieved_bitrate(records, fps, since_ns=None):
    chosen = [r for r in records if since_ns is None or r.timestamp_ns >= since_ns]
    if len(chosen) < 2:
        return None
    seconds = (chosen[-1].timestamp_ns - chosen[0].timestamp_ns) / 1e9 + 1 / fps
    return sum(len(r.payload) for r in chosen) * 8 / seconds


def records_per_second(records, since_ns):
    chosen = [r.timestamp_ns for r in records if r.timestamp_ns >= since_ns]
    if len(chosen) < 2:
        return None
    return (len(chosen) - 1) / ((chosen[-1] - chosen[0]) / 1e9)


class Session:
    """One helper run with commands sent at given seconds after its first
    record; records and stderr kept whole."""

    def __init__(self, args, seconds, commands=()):
        self.args = args
        self.seconds = seconds
        self.commands = sorted(commands)

    def run(self, workdir):
        out_path = os.path.join(workdir, "records.qvrx")
        err_path = os.path.join(workdir, "stderr.log")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = subprocess.Popen([qvx.binary_from_env(), *self.args, "--duration", str(self.seconds)],
                                       stdin=subprocess.PIPE, stdout=out, stderr=err)
            self.sent_ns = {}
            if self.commands:
                deadline = time.monotonic() + 30
                while os.path.getsize(out_path) < qvx.HEADER.size and time.monotonic() < deadline:
                    time.sleep(0.005)
                first = time.monotonic()
                for at, line in self.commands:
                    time.sleep(max(0.0, first + at - time.monotonic()))
                    process.stdin.write(line.encode() + b"\n")
                    process.stdin.flush()
                    self.sent_ns[line] = time.time_ns()
            process.stdin.close()
            status = process.wait(timeout=self.seconds + 60)
        with open(err_path, encoding="utf-8", errors="replace") as err:
            self.lines = err.read().splitlines()
        if status != 0:
            raise RuntimeError(f"helper {' '.join(self.args)} ended with {status}: {self.lines[-3:]}")
        with open(out_path, "rb") as stream:
            self.data = stream.read()
        self.path = out_path
        self.records = qvx.parse_records(self.data)
        return self


def psnr(session, width, height, workdir, reference_painter, samples=30):
    """Mean PSNR (Y, U, V together, as ffmpeg's psnr filter gives it) of up to
    `samples` decoded pictures against the scene painted again."""
    scale = width / DISPLAY[0]
    clocks = qvx.read_clocks(session.path, strip=(0, 0, scale, height / DISPLAY[1]))
    step = max(1, len(clocks) // samples)
    picked = [i for i in range(0, len(clocks), step) if clocks[i] is not None]
    if not picked:
        return None
    annexb = os.path.join(workdir, "stream.h264")
    with open(annexb, "wb") as f:
        f.write(b"".join(r.payload for r in session.records))
    decoded = os.path.join(workdir, "decoded.yuv")
    select = "+".join(f"eq(n\\,{i})" for i in picked)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", annexb, "-vf", f"select={select}", "-fps_mode", "passthrough",
                    "-f", "rawvideo", "-pix_fmt", "yuv420p", decoded], check=True)
    stamps = "".join(f"{clocks[i][0]} {clocks[i][1]}\n" for i in picked).encode()
    painted = subprocess.run([reference_painter, str(DISPLAY[0]), str(DISPLAY[1])],
                             input=stamps, stdout=subprocess.PIPE, check=True).stdout
    reference = os.path.join(workdir, "reference.yuv")
    # The helper writes BT.709 limited range at these sizes.
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "bgra", "-s", f"{DISPLAY[0]}x{DISPLAY[1]}",
                    "-i", "-", "-vf", f"scale={width}:{height}:flags=area:out_color_matrix=bt709:out_range=tv",
                    "-f", "rawvideo", "-pix_fmt", "yuv420p", reference], input=painted, check=True)
    result = subprocess.run(["ffmpeg", "-v", "info", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{width}x{height}",
                             "-i", decoded, "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{width}x{height}",
                             "-i", reference, "-lavfi", "psnr", "-f", "null", "-"],
                            capture_output=True, text=True, check=True)
    found = re.search(r"average:([0-9.]+|inf)", result.stderr)
    return float(found.group(1)) if found else None


def shape_row(width, height, fps, bitrate, name, extra, seconds, reference_painter):
    with tempfile.TemporaryDirectory() as workdir:
        session = Session(["--width", str(width), "--height", str(height), "--fps", str(fps),
                           "--bitrate", str(bitrate), *extra], seconds).run(workdir)
        records = session.records[1:]  # the opening keyframe is a start-up cost, not the steady shape
        sizes = [len(r.payload) for r in records]
        mean = sum(sizes) / len(sizes)
        interval_ms = 1000 / fps
        row = {
            "setting": name,
            "largest/mean": max(sizes) / mean,
            "achieved_mbps": achieved_bitrate(records, fps) / 1e6,
            "psnr_db": psnr(session, width, height, workdir, reference_painter),
        }
        for factor in (1.0, 2.5):
            delays = link_delays_ms(records, bitrate * factor)
            row[f"p95@{factor}x"] = nearest_rank(delays, 95) / interval_ms
            row[f"max@{factor}x"] = max(delays) / interval_ms
        return row


def print_table(title, rows):
    print(f"\n{title}  (link delays in frame intervals)")
    columns = list(rows[0].keys())
    print("  ".join(f"{c:>14}" for c in columns))
    for row in rows:
        print("  ".join(f"{v:>14.2f}" if isinstance(v, float) else f"{str(v):>14}" for v in row.values()))


def live_changes(seconds):
    fps, width, height = 30, 1280, 720
    interval_ms = round(1000 / fps)
    base = ["--width", str(width), "--height", str(height), "--fps", str(fps), "--keyframe-interval", "0",
            "--rate-buffer-ms", str(interval_ms)]
    results = []
    with tempfile.TemporaryDirectory() as workdir:
        session = Session(base + ["--bitrate", "4000000"], seconds,
                          [(2.0, "KEYFRAME"), (3.0, "KEYFRAME"), (4.0, "KEYFRAME")]).run(workdir)
        records = session.records[1:]
        keyframes = [len(r.payload) for r in records if r.keyframe]
        others = [len(r.payload) for r in records if not r.keyframe]
        mean = sum(len(r.payload) for r in records) / len(records)
        results.append(("requested keyframes", f"{len(keyframes)} (target 3)",
                        f"largest {max(keyframes, default=0) / mean:.2f}x the mean record (target <= 3), "
                        f"P-frames mean {sum(others) / max(1, len(others)) / 1000:.1f} KB"))
    with tempfile.TemporaryDirectory() as workdir:
        session = Session(base + ["--bitrate", "8000000"], seconds, [(3.0, "BITRATE 2000000")]).run(workdir)
        since = session.sent_ns["BITRATE 2000000"] + 1_000_000_000
        before = achieved_bitrate([r for r in session.records[1:] if r.timestamp_ns < since - 1_000_000_000], fps)
        after = achieved_bitrate(session.records, fps, since)
        results.append(("BITRATE 8M -> 2M", f"{after / 1e6:.2f} Mbit/s (target 2 +-10 %)",
                        f"before the command {before / 1e6:.2f} Mbit/s"))
    with tempfile.TemporaryDirectory() as workdir:
        session = Session(base + ["--bitrate", "4000000"], seconds, [(3.0, "FPS 10")]).run(workdir)
        since = session.sent_ns["FPS 10"] + 1_000_000_000
        rate = records_per_second(session.records, since)
        after = achieved_bitrate(session.records, fps, since)
        results.append(("FPS 30 -> 10", f"{rate:.1f} records/s (target 10 +-1)",
                        f"achieved {after / 1e6:.2f} Mbit/s at 4 Mbit/s"))
    print("\nlive changes (1280x720, 30 fps, one-frame buffer, keyframes on request)")
    for name, figure, detail in results:
        print(f"  {name:22} {figure:36} {detail}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build", "host"))
    parser.add_argument("--seconds", type=int, default=6)
    parser.add_argument("--quick", action="store_true", help="1280x720 at 30 fps and 4 Mbit/s only")
    args = parser.parse_args()
    os.environ.setdefault("QVX_ENCODER", os.path.join(args.build, "src", "app", "quorvex-wgc-encoder"))
    os.environ.setdefault("QVX_QVRX", os.path.join(args.build, "tools", "qvrx", "qvrx"))
    os.environ.pop("QUORVEX_DESKTOP", None)
    painter = os.path.join(args.build, "bench", "scene_reference")

    sizes = [(1280, 720)] if args.quick else [(1280, 720), (1920, 1080)]
    rates = [30] if args.quick else [30, 60]
    bitrates = [4_000_000] if args.quick else [4_000_000, 8_000_000]
    for width, height in sizes:
        for fps in rates:
            for bitrate in bitrates:
                interval_ms = round(1000 / fps)
                settings = [
                    ("default", []),
                    ("buffer 1 frame", ["--rate-buffer-ms", str(interval_ms), "--keyframe-interval", "0"]),
                    ("buffer 3 frames", ["--rate-buffer-ms", str(3 * interval_ms), "--keyframe-interval", "0"]),
                ]
                rows = [shape_row(width, height, fps, bitrate, name, extra, args.seconds, painter)
                        for name, extra in settings]
                print_table(f"{width}x{height} {fps} fps {bitrate // 1_000_000} Mbit/s", rows)
    live_changes(max(args.seconds, 7))


if __name__ == "__main__":
    main()
