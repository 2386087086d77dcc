"""Helpers for the end-to-end tests: run the helper as its parent would, split
its stdout into frame records, and decode payloads with ffmpeg."""

import os
import struct
import subprocess
import threading
import time

MAGIC = b"QVRX2641"
HEADER = struct.Struct("<8sIQI")
MAX_PAYLOAD = 16 * 1024 * 1024

# A sanitizer build of the helper runs several times slower, and slower still
# when it starts (its shadow memory is mapped as the large picture buffers are
# first touched). The build says how much (QVX_E2E_TIME_SCALE, set by the
# sanitizer presets); sessions last and waits give up that many times later,
# so the same assertions hold.
TIME_SCALE = int(os.environ.get("QVX_E2E_TIME_SCALE", "1"))

# How a sanitizer report begins on standard error (AddressSanitizer,
# LeakSanitizer, ThreadSanitizer, UndefinedBehaviorSanitizer).
SANITIZER_REPORT_MARKERS = ("==ERROR: ", "WARNING: ThreadSanitizer", ": runtime error: ", "SUMMARY: ")


def duration(seconds):
    """The --duration option of a session meant to last `seconds` in a release build."""
    return ["--duration", str(seconds * TIME_SCALE)]


def sanitizer_report(lines):
    """The first line of a sanitizer report among stderr lines, or None."""
    return next((l for l in lines if any(m in l for m in SANITIZER_REPORT_MARKERS)), None)


def check_no_sanitizer_report(lines):
    report = sanitizer_report(lines)
    if report is not None:
        raise AssertionError("sanitizer report on the helper's standard error:\n" + "\n".join(lines))


class Record:
    def __init__(self, offset, timestamp_ns, keyframe, payload):
        self.offset = offset
        self.timestamp_ns = timestamp_ns
        self.keyframe = keyframe
        self.payload = payload

    def nal_types(self):
        """NAL unit types of the Annex B payload, in order."""
        types = []
        data = self.payload
        i = 0
        while True:
            j = data.find(b"\x00\x00\x01", i)
            if j < 0 or j + 3 >= len(data):
                return types
            types.append(data[j + 3] & 0x1F)
            i = j + 3


def parse_records(data):
    """Splits a record stream; raises ValueError at the first malformed byte."""
    records = []
    offset = 0
    while offset < len(data):
        if len(data) - offset < HEADER.size:
            raise ValueError(f"truncated header at offset {offset}")
        magic, length, timestamp, flags = HEADER.unpack_from(data, offset)
        if magic != MAGIC:
            raise ValueError(f"bad magic at offset {offset}")
        if not 1 <= length <= MAX_PAYLOAD:
            raise ValueError(f"bad length {length} at offset {offset + 8}")
        if flags not in (0, 1):
            raise ValueError(f"bad flags {flags} at offset {offset + 20}")
        end = offset + HEADER.size + length
        if end > len(data):
            raise ValueError(f"truncated payload at offset {offset + HEADER.size}")
        records.append(Record(offset, timestamp, flags == 1, data[offset + HEADER.size:end]))
        offset = end
    return records


class Session:
    """A running helper process with its three streams, read on threads so a
    full pipe never stalls it."""

    def __init__(self, binary, args, stdin_open=True, env=None):
        self.started_at = time.monotonic()
        self.process = subprocess.Popen(
            [binary, *args],
            stdin=subprocess.PIPE if stdin_open else subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
        )
        self._out = bytearray()
        self._err = bytearray()
        self._lock = threading.Lock()
        self._stdout_flowing = threading.Event()
        self._stdout_flowing.set()
        self._readers = [
            threading.Thread(target=self._pump, args=(self.process.stdout, self._out, self._stdout_flowing),
                             daemon=True),
            threading.Thread(target=self._pump, args=(self.process.stderr, self._err, None), daemon=True),
        ]
        for r in self._readers:
            r.start()

    def _pump(self, stream, sink, flowing):
        while True:
            if flowing:
                flowing.wait()
            chunk = stream.read1(65536) if hasattr(stream, "read1") else stream.read(65536)
            if not chunk:
                return
            with self._lock:
                sink.extend(chunk)

    def send(self, line):
        self.send_bytes(line.encode() + b"\n")

    def send_bytes(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def stall_stdout(self):
        """Stops reading the helper's stdout (after the chunk being read), as
        a parent that stalls would; the pipe fills and the helper's writes block."""
        self._stdout_flowing.clear()

    def resume_stdout(self):
        self._stdout_flowing.set()

    def stdout(self):
        with self._lock:
            return bytes(self._out)

    def stderr_lines(self):
        with self._lock:
            text = self._err.decode("utf-8", "replace")
        return [l for l in text.split("\n") if l]

    def wait_for_stderr(self, predicate, timeout):
        deadline = time.monotonic() + timeout * TIME_SCALE
        while time.monotonic() < deadline:
            if any(predicate(l) for l in self.stderr_lines()):
                return True
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        return any(predicate(l) for l in self.stderr_lines())

    def wait_for_records(self, count, timeout):
        deadline = time.monotonic() + timeout * TIME_SCALE
        while time.monotonic() < deadline:
            try:
                if len(parse_records_prefix(self.stdout())) >= count:
                    return True
            except ValueError:
                return False
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        return len(parse_records_prefix(self.stdout())) >= count

    def kill(self):
        """Ends the helper if it still runs and closes its pipes (a test's
        cleanup); fails the test if a sanitizer reported on the way, even in
        a session the test ended itself."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for r in self._readers:
            r.join(timeout=5)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            if stream:
                try:
                    stream.close()
                except OSError:
                    pass
        check_no_sanitizer_report(self.stderr_lines())

    def finish(self, timeout):
        if self.process.stdin:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass
        code = self.process.wait(timeout=timeout * TIME_SCALE)
        for r in self._readers:
            r.join(timeout=5)
        return code


def parse_records_prefix(data):
    """Like parse_records, but ignores an incomplete last record."""
    records = []
    offset = 0
    while len(data) - offset >= HEADER.size:
        magic, length, timestamp, flags = HEADER.unpack_from(data, offset)
        if magic != MAGIC or not 1 <= length <= MAX_PAYLOAD or flags not in (0, 1):
            raise ValueError(f"malformed record at offset {offset}")
        end = offset + HEADER.size + length
        if end > len(data):
            break
        records.append(Record(offset, timestamp, flags == 1, data[offset + HEADER.size:end]))
        offset = end
    return records


def decode_gray_frames(annexb, width, height):
    """Decodes an Annex B stream with ffmpeg into 8-bit luma planes."""
    result = subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "h264", "-i", "-", "-f", "rawvideo", "-pix_fmt", "gray", "-"],
        input=annexb, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True,
    )
    size = width * height
    data = result.stdout
    if len(data) % size:
        raise ValueError(f"decoded {len(data)} bytes, not a multiple of {width}x{height}")
    return [data[i:i + size] for i in range(0, len(data), size)]


def decode_check(annexb):
    """Decodes a whole Annex B stream with ffmpeg: the number of pictures it
    gave and what it complained about (empty for a clean stream)."""
    result = subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "h264", "-i", "-", "-f", "framecrc", "-"],
        input=annexb, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False,
    )
    pictures = sum(1 for l in result.stdout.decode().splitlines() if l and not l.startswith("#"))
    complaints = result.stderr.decode(errors="replace")
    if result.returncode != 0:
        complaints += f"ffmpeg exited with {result.returncode}"
    return pictures, complaints


def probe_stream(annexb):
    """Width, height, profile and decoded frame count of an Annex B stream."""
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-f", "h264", "-count_frames", "-select_streams", "v:0",
         "-show_entries", "stream=width,height,profile,nb_read_frames", "-of", "default=nw=1", "-"],
        input=annexb, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True,
    )
    info = {}
    for line in result.stdout.decode().splitlines():
        key, _, value = line.partition("=")
        info[key] = value
    return info


def binary_from_env():
    return os.environ["QVX_ENCODER"]


def qvrx_from_env():
    return os.environ["QVX_QVRX"]


def write_stream(directory, records_bytes, name="capture.qvrx"):
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(records_bytes)
    return path


def read_clocks(stream_path, strip=(0, 0, 1, 1)):
    """The frame-clock strip of every record as qvrx reads it (picture size
    from the stream): a list of (frame_number, wall_time_ms) tuples, None for
    an unreadable picture."""
    result = subprocess.run(
        [qvrx_from_env(), "list", stream_path, "--clock", "--strip", ",".join(repr(float(v)) for v in strip)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False,
    )
    if result.returncode != 0:
        raise RuntimeError(f"qvrx failed ({result.returncode}): {result.stderr.decode(errors='replace')}")
    clocks = []
    for line in result.stdout.decode().splitlines():
        if not line.startswith("index="):
            continue
        fields = dict(f.split("=", 1) for f in line.split())
        if fields.get("clock") == "unreadable":
            clocks.append(None)
        else:
            clocks.append((int(fields["clock_frame"]), int(fields["clock_ms"])))
    return clocks


def run_helper(args, timeout=30):
    """Runs a mode that ends by itself; returns (exit code, stdout, stderr lines, seconds)."""
    started = time.monotonic()
    result = subprocess.run([binary_from_env(), *args], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout * TIME_SCALE)
    elapsed = time.monotonic() - started
    lines = [l for l in result.stderr.decode("utf-8", "replace").split("\n") if l]
    check_no_sanitizer_report(lines)
    return result.returncode, result.stdout, lines, elapsed


def probe_colour(annexb):
    """The colour description ffprobe reads from an Annex B stream's VUI:
    color_space (the matrix), color_range, color_transfer, color_primaries."""
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-f", "h264", "-select_streams", "v:0", "-show_entries",
         "stream=color_space,color_range,color_transfer,color_primaries", "-of", "default=nw=1", "-"],
        input=annexb, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True,
    )
    return dict(line.partition("=")[::2] for line in result.stdout.decode().splitlines())


# ffprobe's matrix names as ffmpeg's scaler calls them.
SCALER_MATRIX = {"bt709": "bt709", "smpte170m": "bt601", "bt470bg": "bt601", "fcc": "fcc",
                 "smpte240m": "smpte240m", "bt2020nc": "bt2020"}


def guessed_matrix(width, height):
    """The matrix a player takes for a stream that names none (mpv's rule)."""
    return "bt709" if width >= 1280 or height > 576 else "bt601"


def decode_rgb_frame(annexb, index, width, height, honour_vui=True):
    """Decodes picture `index` of an Annex B stream to packed RGB (8 bits per
    channel, full range) the way a player shows it: with the matrix and range
    the VUI names. A stream that names no matrix is read as players read one
    (mpv): BT.709 from 1280 wide or above 576 high, BT.601 below; no range
    means limited. Without `honour_vui` the VUI is ignored and the picture is
    read as an unspecified one, as a player that never reads it would."""
    colour = probe_colour(annexb) if honour_vui else {}
    matrix = SCALER_MATRIX.get(colour.get("color_space"), guessed_matrix(width, height))
    in_range = "pc" if colour.get("color_range") == "pc" else "tv"
    result = subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "h264", "-i", "-", "-vf",
         f"select=eq(n\\,{index}),scale=in_color_matrix={matrix}:in_range={in_range}:out_range=pc,format=rgb24",
         "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
        input=annexb, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True,
    )
    if len(result.stdout) != width * height * 3:
        raise ValueError(f"decoded {len(result.stdout)} bytes, not one {width}x{height} RGB picture")
    return result.stdout
