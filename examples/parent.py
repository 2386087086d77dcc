#!/usr/bin/env python3
"""A reference parent for quorvex-wgc-encoder (standard library only).

It starts a capture session, reads the frame records from stdout as they
arrive with a parser of its own, reads the diagnostics from stderr, asks for
a keyframe, pauses and resumes, stops the session with SIGTERM (Ctrl+Break on
Windows), checks what the helper promises, and prints a short report.

    examples/parent.py [--encoder PATH] [HELPER OPTIONS...]

Exit status 0 when every check held. The test command runs it against the
host build, so it keeps up with the helper.
"""

import argparse
import os
import queue
import signal
import struct
import subprocess
import sys
import threading
import time

MAGIC = b"QVRX2641"
HEADER = struct.Struct("<8sIQI")  # magic, payload length, timestamp (ns), flags
MAX_PAYLOAD = 16 * 1024 * 1024


class RecordReader:
    """Splits the stdout byte stream into records incrementally: feed() takes
    whatever a read returned and yields each record completed by it."""

    def __init__(self):
        self.buffer = bytearray()
        self.offset = 0  # stream offset of buffer[0], for error messages

    def feed(self, chunk):
        self.buffer += chunk
        records = []
        while len(self.buffer) >= HEADER.size:
            magic, length, timestamp_ns, flags = HEADER.unpack_from(self.buffer)
            if magic != MAGIC or not 1 <= length <= MAX_PAYLOAD or flags not in (0, 1):
                raise ValueError(f"malformed record header at stream offset {self.offset}")
            end = HEADER.size + length
            if len(self.buffer) < end:
                break
            records.append((timestamp_ns, flags == 1, bytes(self.buffer[HEADER.size:end])))
            del self.buffer[:end]
            self.offset += end
        return records

    def leftover(self):
        return len(self.buffer)


class Helper:
    """The child process with a thread per output stream; records and lines
    arrive on queues with the monotonic time they were read."""

    def __init__(self, command):
        flags = subprocess.CREATE_NEW_PROCESS_GROUP if os.name == "nt" else 0
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, creationflags=flags)
        self.records = queue.Queue()
        self.lines = queue.Queue()
        self.all_lines = []
        self.reader = RecordReader()
        self.stream_error = None
        threading.Thread(target=self._read_records, daemon=True).start()
        self.line_reader = threading.Thread(target=self._read_lines, daemon=True)
        self.line_reader.start()

    def _read_records(self):
        try:
            while chunk := self.process.stdout.read1(1 << 16):
                for record in self.reader.feed(chunk):
                    self.records.put((time.monotonic(), record))
        except ValueError as error:
            self.stream_error = str(error)
        self.records.put(None)

    def _read_lines(self):
        for raw in self.process.stderr:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.all_lines.append(line)
            self.lines.put((time.monotonic(), line))
        self.lines.put(None)

    def send(self, command):
        self.process.stdin.write(command.encode() + b"\n")
        self.process.stdin.flush()

    def stop(self):
        if os.name == "nt":
            self.process.send_signal(signal.CTRL_BREAK_EVENT)
        else:
            self.process.send_signal(signal.SIGTERM)

    def wait_for_stderr_end(self, timeout):
        """Waits until standard error is closed and every line is read: the
        helper writes its summary and end line last, so only the end of the
        stream says they are in."""
        self.line_reader.join(timeout)
        if self.line_reader.is_alive():
            raise EOFError("stderr stayed open after the helper exited")

    def next_record(self, timeout):
        item = self.records.get(timeout=timeout)
        if item is None:
            raise EOFError("stdout ended")
        return item

    def wait_for_line(self, prefix, timeout):
        deadline = time.monotonic() + timeout
        while True:
            item = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            if item is None:
                raise EOFError(f"stderr ended before {prefix!r}")
            if item[1].startswith(prefix):
                return item


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default = os.path.join(os.path.dirname(__file__), "..", "build", "host", "src", "app", "quorvex-wgc-encoder")
    parser.add_argument("--encoder", default=default, help="the helper binary")
    ours, helper_options = parser.parse_known_args()
    helper_options = helper_options or ["--width", "640", "--height", "360", "--fps", "30"]
    command = [ours.encoder, *helper_options, "--duration", "60"]

    checks = []

    def check(name, ok, detail=""):
        checks.append((name, bool(ok), detail))

    helper = Helper(command)
    records = []
    try:
        # The stream opens with a keyframe.
        records.append(helper.next_record(timeout=30))
        check("first record is a keyframe", records[0][1][1])
        while len(records) < 15:
            records.append(helper.next_record(timeout=10))

        # KEYFRAME: the encoder confirms, and a keyframe follows within a few records.
        helper.send("KEYFRAME")
        helper.wait_for_line("encoder_control request=keyframe accepted=true", timeout=10)
        after = []
        while not any(r[1][1] for r in after) and len(after) < 5:
            after.append(helper.next_record(timeout=10))
        records += after
        check("KEYFRAME brings a keyframe", any(r[1][1] for r in after), f"{len(after)} record(s) later")

        # PAUSE and RESUME: no frame is taken in between; the first after is a keyframe.
        helper.send("PAUSE")
        helper.wait_for_line("capture_window paused=true", timeout=10)
        paused_at_ns = time.time_ns()
        time.sleep(1.0)
        resumed_at_ns = time.time_ns()
        helper.send("RESUME")
        helper.wait_for_line("capture_window paused=false", timeout=10)
        while True:
            item = helper.next_record(timeout=10)
            records.append(item)
            if item[1][0] > resumed_at_ns:
                break
        inside = [r for r in records if paused_at_ns + 100_000_000 < r[1][0] < resumed_at_ns]
        check("no frame taken while paused", not inside, f"{len(inside)} inside the pause")
        check("first frame after RESUME is a keyframe", records[-1][1][1])
        for _ in range(10):
            records.append(helper.next_record(timeout=10))

        # Stop: SIGTERM ends the session like its duration.
        stop_sent = time.monotonic()
        helper.stop()
        while True:
            try:
                records.append(helper.next_record(timeout=30))
            except EOFError:
                break
        status = helper.process.wait(timeout=30)
        stop_seconds = time.monotonic() - stop_sent
        helper.wait_for_stderr_end(timeout=30)
    except (queue.Empty, EOFError) as error:
        helper.process.kill()
        print(f"parent: the helper stopped answering ({error}); stderr ends with:", file=sys.stderr)
        print("\n".join(helper.all_lines[-10:]), file=sys.stderr)
        return 1

    lines = helper.all_lines
    summary = next((l for l in lines if l.startswith("native_encoder_summary ")), "")
    fields = dict(f.split("=", 1) for f in summary.split()[1:])
    check("exit status 0", status == 0, f"status {status}")
    check("stream well formed", helper.stream_error is None and helper.reader.leftover() == 0,
          helper.stream_error or f"{helper.reader.leftover()} byte(s) left over")
    check("summary counts every record", fields.get("encoded_frames") == str(len(records)),
          f"summary {fields.get('encoded_frames')}, read {len(records)}")
    check("last line says why", lines[-1:] == ["session_end reason=signal"], lines[-1] if lines else "no lines")
    stamps = [r[1][0] for r in records]
    check("timestamps increase", all(a < b for a, b in zip(stamps, stamps[1:])))

    keyframes = sum(1 for r in records if r[1][1])
    payload = sum(len(r[1][2]) for r in records)
    span = (stamps[-1] - stamps[0]) / 1e9 if len(stamps) > 1 else 0.0
    print(f"parent: {len(records)} records, {keyframes} keyframes, {payload} payload bytes over {span:.2f} s; "
          f"stopped {stop_seconds * 1000:.0f} ms after SIGTERM")
    for name, ok, detail in checks:
        print(f"  {'ok  ' if ok else 'FAIL'} {name}{': ' + detail if detail else ''}")
    return 0 if all(ok for _, ok, _ in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
