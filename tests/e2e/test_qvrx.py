"""qvrx on real sessions of the helper: in a live pipe, muxing a paused
capture into containers that keep its real length, statistics and plots, and
a frame clock that is never misread."""

import json
import os
import struct
import subprocess
import tempfile
import threading
import time
import unittest

import qvx

SMALL = ["--width", "640", "--height", "360"]
# The primary display (1920x1080) at a third of its size: where its strip lies.
SMALL_STRIP = "0,0,0.3333333333333333,0.3333333333333333"


def qvrx(*args, stdin=None, env=None, cwd=None, timeout=60):
    return subprocess.run([qvx.qvrx_from_env(), *args], input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=env, cwd=cwd, timeout=timeout, check=False)


def ffprobe_json(path, entries, *extra):
    result = subprocess.run(["ffprobe", "-v", "error", *extra, "-show_entries", entries, "-of", "json", path],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
    return json.loads(result.stdout)


class PausedCaptureTest(unittest.TestCase):
    """One capture with a pause of about 3 s in it, shared by the tests of
    mux, stats and plot."""

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        session = qvx.Session(qvx.binary_from_env(), SMALL + ["--until-stopped"])
        try:
            if not session.wait_for_records(15, timeout=10):
                raise AssertionError("no records before the pause")
            session.send("PAUSE")
            if not session.wait_for_stderr(lambda l: l == "capture_window paused=true", timeout=10):
                raise AssertionError("the pause did not take effect")
            time.sleep(3)
            resumed_at = len(qvx.parse_records_prefix(session.stdout()))
            session.send("RESUME")
            if not session.wait_for_records(resumed_at + 15, timeout=10):
                raise AssertionError("no records after the pause")
            session.send("STOP")
            code = session.finish(timeout=20)
            if code != 0:
                raise AssertionError("\n".join(session.stderr_lines()))
            cls.stream = session.stdout()
            cls.log_lines = session.stderr_lines()
        finally:
            session.kill()
        cls.records = qvx.parse_records(cls.stream)
        cls.path = qvx.write_stream(cls.directory.name, cls.stream)
        cls.log_path = os.path.join(cls.directory.name, "capture.log")
        with open(cls.log_path, "w", encoding="utf-8") as f:
            f.write("\n".join(cls.log_lines) + "\n")

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def output(self, name):
        return os.path.join(self.directory.name, name)

    def offsets_s(self):
        return [(r.timestamp_ns - self.records[0].timestamp_ns) / 1e9 for r in self.records]

    def test_the_capture_has_a_pause_in_it(self):
        gaps = [b - a for a, b in zip(self.offsets_s(), self.offsets_s()[1:])]
        # Over 2 s, so that whole seconds without a record exist wherever the
        # pause falls (the stats test looks for one).
        self.assertGreater(max(gaps), 2.0, "the fixture's PAUSE left no gap of over 2 s")

    def test_mux_keeps_every_record_at_its_own_time(self):
        offsets = self.offsets_s()
        intervals = sorted(b - a for a, b in zip(offsets, offsets[1:]))
        typical = intervals[(len(intervals) - 1) // 2]
        # MP4 ticks at 90 kHz; Matroska at 1 ms, where ffprobe reads rounded
        # times. "-" is Matroska on standard output, without the length a
        # file gets at the end.
        for name, target, tolerance in [("capture.mp4", "capture.mp4", 1.5e-5),
                                        ("capture.mkv", "capture.mkv", 1.5e-3),
                                        ("piped.mkv", "-", 1.5e-3)]:
            with self.subTest(container=target):
                out = self.output(name)
                result = qvrx("mux", self.path, out if target != "-" else "-")
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                if target == "-":
                    with open(out, "wb") as f:
                        f.write(result.stdout)
                else:
                    self.assertEqual(result.stdout, b"")
                self.assertIn(f"records={len(self.records)} ".encode(), result.stderr)
                probe = ffprobe_json(out, "format=duration:packet=pts_time,flags", "-select_streams", "v:0")
                packets = probe["packets"]
                self.assertEqual(len(packets), len(self.records))
                for i, (packet, offset, record) in enumerate(zip(packets, offsets, self.records)):
                    self.assertAlmostEqual(float(packet["pts_time"]), offset, delta=tolerance, msg=f"packet {i}")
                    self.assertEqual(packet["flags"].startswith("K"), record.keyframe, f"packet {i}")
                # The pause is inside the file: its length is the capture's,
                # the last record lasting one typical frame interval (both
                # containers give the file's length in milliseconds).
                if target != "-":
                    self.assertAlmostEqual(float(probe["format"]["duration"]), offsets[-1] + typical, delta=1.5e-3)
                decoded = ffprobe_json(out, "stream=nb_read_frames", "-count_frames", "-select_streams", "v:0")
                self.assertEqual(int(decoded["streams"][0]["nb_read_frames"]), len(self.records))

    def test_stats_json_counts_every_record_once_and_shows_the_pause(self):
        result = qvrx("stats", self.path, "--json", "--clock", "--strip", SMALL_STRIP)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        stats = json.loads(result.stdout)
        seconds, total = stats["seconds"], stats["total"]
        self.assertEqual(total["records"], len(self.records))
        self.assertEqual(sum(s["records"] for s in seconds), len(self.records))
        self.assertEqual(sum(s["keyframes"] for s in seconds), sum(r.keyframe for r in self.records))
        self.assertEqual(total["largest_bytes"], max(len(r.payload) for r in self.records))
        self.assertEqual([s["second"] for s in seconds], list(range(len(seconds))))
        paused = {int(o) for o in self.offsets_s()}
        self.assertTrue(any(s["records"] == 0 for s in seconds if s["second"] not in paused), seconds)
        # Every picture carries a readable strip, composed shortly before its
        # capture time.
        self.assertEqual(total["clock_unreadable"], 0)
        self.assertEqual(len(stats["records"]), len(self.records))
        for record in stats["records"]:
            self.assertTrue(0 <= record["latency_ms"] <= 500 * qvx.TIME_SCALE, record)
        self.assertLessEqual(total["latency_p50_ms"], total["latency_p95_ms"])
        # The text form says the same.
        text = qvrx("stats", self.path).stdout.decode().splitlines()
        self.assertEqual(len(text), len(seconds) + 1)
        self.assertTrue(text[-1].startswith("total duration_s="), text[-1])
        self.assertIn(f" records={len(self.records)} ", text[-1])
        # Where the stream lies in absolute time, which records are
        # keyframes, and the pause as the one stretch without records.
        self.assertEqual(total["first_timestamp_ns"], self.records[0].timestamp_ns)
        self.assertEqual(total["last_timestamp_ns"], self.records[-1].timestamp_ns)
        self.assertEqual(stats["keyframe_indexes"], [i for i, r in enumerate(self.records) if r.keyframe])
        self.assertEqual(len(stats["gaps"]), 1, stats["gaps"])
        self.assertGreater(stats["gaps"][0]["end_s"] - stats["gaps"][0]["start_s"], 2.0)

    def test_stats_link_delay_queues_records_behind_each_other(self):
        rate = 4_000_000
        stats = json.loads(qvrx("stats", self.path, "--json", "--link-rate", str(rate)).stdout)
        total, records = stats["total"], stats["records"]
        self.assertEqual(total["link_rate_bps"], rate)
        # No record leaves before its own bytes are sent, nor before the one
        # ahead of it has left.
        left = None
        for record in records:
            sending_ms = record["size_bytes"] * 8 / rate * 1e3
            self.assertGreaterEqual(record["link_delay_ms"], sending_ms - 1e-3, record)
            leaves = record["time_s"] * 1e3 + record["link_delay_ms"]
            if left is not None:
                self.assertGreaterEqual(leaves, left + sending_ms - 2e-3, record)
            left = leaves
        delays = sorted(r["link_delay_ms"] for r in records)
        self.assertAlmostEqual(total["link_delay_max_ms"], delays[-1], delta=1e-3)
        self.assertLessEqual(total["link_delay_p50_ms"], total["link_delay_p95_ms"])
        self.assertLessEqual(total["link_delay_p95_ms"], total["link_delay_p99_ms"])
        text = qvrx("stats", self.path, "--link-rate", str(rate)).stdout.decode().splitlines()
        self.assertIn(f" link_rate_bps={rate} link_delay_p50_ms=", text[-1])

    def test_plot_writes_a_png(self):
        out = self.output("capture.png")
        result = qvrx("plot", self.path, out, "--strip", SMALL_STRIP)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        with open(out, "rb") as f:
            header = f.read(24)
        self.assertEqual(header[:8], b"\x89PNG\r\n\x1a\n")
        width, height = struct.unpack(">II", header[16:24])
        self.assertEqual((width, height), (1300, 1140))

    def test_plot_with_link_target_and_log_adds_their_panels(self):
        out = self.output("capture-all.png")
        result = qvrx("plot", self.path, out, "--strip", SMALL_STRIP, "--link-rate", "4000000", "--target-bitrate",
                      "8000000", "--log", self.log_path)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        with open(out, "rb") as f:
            header = f.read(24)
        self.assertEqual(header[:8], b"\x89PNG\r\n\x1a\n")
        # Two panels more than the plain plot.
        self.assertEqual(struct.unpack(">II", header[16:24]), (1300, 1660))
        missing = qvrx("plot", self.path, out, "--log", self.output("absent.log"))
        self.assertEqual(missing.returncode, 1)
        self.assertIn(b"qvrx: cannot read ", missing.stderr)

    def test_plot_without_matplotlib_says_what_is_missing(self):
        # A matplotlib that cannot be imported, ahead of the real one for
        # every interpreter qvrx tries.
        fake = os.path.join(self.directory.name, "fake-python", "matplotlib")
        os.makedirs(fake, exist_ok=True)
        with open(os.path.join(fake, "__init__.py"), "w") as f:
            f.write("raise ImportError('matplotlib is not installed here')\n")
        env = dict(os.environ, PYTHONPATH=os.path.dirname(fake))
        out = self.output("missing.png")
        result = qvrx("plot", self.path, out, env=env)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"qvrx: plot needs matplotlib for python3 (Debian: python3-matplotlib)", result.stderr)
        self.assertEqual(result.stderr.count(b"plot needs matplotlib"), 1, result.stderr)
        self.assertFalse(os.path.exists(out))

    def test_mux_of_a_stream_without_parameter_sets_writes_nothing(self):
        # The records after the first keyframe's: no sequence parameter set
        # until the next keyframe, which is left out too.
        later = [r for r in self.records[1:] if not r.keyframe][:5]
        data = b"".join(qvx.HEADER.pack(qvx.MAGIC, len(r.payload), r.timestamp_ns, 0) + r.payload for r in later)
        path = qvx.write_stream(self.directory.name, data, "headless.qvrx")
        out = self.output("headless.mp4")
        result = qvrx("mux", path, out)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"qvrx: no record carries a sequence parameter set; nothing to write", result.stderr)
        self.assertFalse(os.path.exists(out))


class PipeTest(unittest.TestCase):
    def live_pipe(self, command, magic):
        """helper | qvrx COMMAND - - | reader, as the README's live preview
        runs; checks that output starts with `magic` while the session still
        runs, and returns (standard output, qvrx's totals as a dict)."""
        helper = subprocess.Popen([qvx.binary_from_env(), *SMALL, *qvx.duration(3)], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        tool = subprocess.Popen([qvx.qvrx_from_env(), command, "-", "-"], stdin=helper.stdout,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        helper.stdout.close()  # the tool holds the pipe now
        def cleanup():
            for process in (helper, tool):
                if process.poll() is None:
                    process.kill()
                    process.wait()
            tool.stdout.close()
            tool.stderr.close()
        self.addCleanup(cleanup)
        errors = []
        pump = threading.Thread(target=lambda: errors.append(tool.stderr.read()), daemon=True)
        pump.start()
        first = tool.stdout.read(len(magic))
        # Output comes while the session still runs, not at its end.
        self.assertIsNone(helper.poll(), "the first bytes came only after the session ended")
        self.assertEqual(first, magic)
        output = first + tool.stdout.read()
        self.assertEqual(helper.wait(timeout=20 * qvx.TIME_SCALE), 0)
        self.assertEqual(tool.wait(timeout=20 * qvx.TIME_SCALE), 0)
        pump.join(timeout=5 * qvx.TIME_SCALE)
        summary = errors[0].decode()
        self.assertRegex(summary, r"^qvrx: records=\d+ keyframes=\d+ payload_bytes=\d+( packets=\d+ duration_s=[\d.]+)?\n$")
        return output, dict(f.split("=") for f in summary.split()[1:])

    def test_live_session_through_unpack_to_standard_output(self):
        elementary, totals = self.live_pipe("unpack", b"\x00\x00\x00\x01")
        self.assertEqual(int(totals["payload_bytes"]), len(elementary), "standard output carried more than payloads")
        info = qvx.probe_stream(elementary)
        self.assertEqual(int(info["nb_read_frames"]), int(totals["records"]))

    def test_live_session_through_mux_to_standard_output(self):
        # Matroska's EBML header first.
        matroska, totals = self.live_pipe("mux", b"\x1a\x45\xdf\xa3")
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "live.mkv")
            with open(path, "wb") as f:
                f.write(matroska)
            decoded = ffprobe_json(path, "stream=nb_read_frames", "-count_frames", "-select_streams", "v:0")
        self.assertEqual(int(decoded["streams"][0]["nb_read_frames"]), int(totals["records"]))
        self.assertEqual(int(totals["packets"]), int(totals["records"]))

    def test_standard_input_reads_like_the_file(self):
        session = qvx.Session(qvx.binary_from_env(), SMALL + qvx.duration(1), stdin_open=False)
        self.addCleanup(session.kill)
        self.assertEqual(session.finish(timeout=20), 0)
        stream = session.stdout()
        with tempfile.TemporaryDirectory() as directory:
            path = qvx.write_stream(directory, stream)
            for command in (["check"], ["list"], ["stats", "--json"]):
                with self.subTest(command=command[0]):
                    from_file = qvrx(command[0], path, *command[1:])
                    from_pipe = qvrx(command[0], "-", *command[1:], stdin=stream)
                    self.assertEqual(from_pipe.returncode, 0, from_pipe.stderr.decode())
                    self.assertEqual(from_pipe.stdout, from_file.stdout)
            unpacked = os.path.join(directory, "capture.h264")
            self.assertEqual(qvrx("unpack", "-", unpacked, stdin=stream).returncode, 0)
            with open(unpacked, "rb") as f:
                self.assertEqual(f.read(), b"".join(r.payload for r in qvx.parse_records(stream)))


class ClockTest(unittest.TestCase):
    def test_pillarboxed_display_has_no_clock_where_its_strip_is_not(self):
        # The second display (1280x1024) fills 1920x1080 between black bars:
        # its strip lies at (285, 0) at 1080/1024 of its size. The default
        # place (0,0) is black bar, every block a clean black; a right place
        # at the wrong scale reads clean blocks of the strip itself. Neither
        # may give a clock.
        session = qvx.Session(qvx.binary_from_env(), ["--display-id", "2", *qvx.duration(1)], stdin_open=False)
        self.addCleanup(session.kill)
        self.assertEqual(session.finish(timeout=20), 0, session.stderr_lines())
        records = qvx.parse_records(session.stdout())
        with tempfile.TemporaryDirectory() as directory:
            path = qvx.write_stream(directory, session.stdout())
            self.assertNotIn(None, qvx.read_clocks(path, (285, 0, 1350 / 1280, 1080 / 1024)))
            for strip in [(0, 0, 1, 1), (285, 0, 1, 1), (285, 0, 1350 / 1280 * 2, 1080 / 1024 * 2),
                          (285 + 1350 / 1280 * 16, 0, 1350 / 1280, 1080 / 1024)]:
                self.assertEqual(qvx.read_clocks(path, strip), [None] * len(records), strip)
            stats = json.loads(qvrx("stats", path, "--json", "--clock").stdout)
            self.assertEqual(stats["total"]["clock_unreadable"], len(records))
            self.assertIsNone(stats["total"]["latency_p50_ms"])


class CommandLineTest(unittest.TestCase):
    def test_help_is_on_standard_output_with_status_0(self):
        result = qvrx("--help")
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.startswith(b"usage: qvrx check"), result.stdout)
        for command in (b"check", b"list", b"unpack", b"mux", b"stats", b"plot"):
            self.assertIn(b"\n  " + command + b" ", result.stdout)
        self.assertEqual(result.stderr, b"")

    def test_an_unknown_command_is_named_and_version_is_on_standard_output(self):
        result = qvrx("chek", "x.qvrx")
        self.assertEqual(result.returncode, 2)
        self.assertTrue(result.stderr.startswith(b"qvrx: unknown command: chek\nusage: qvrx check"), result.stderr)
        result = qvrx("--version")
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout.decode(), r"^qvrx \d+\.\d+\.\d+\n$")
        self.assertEqual(result.stderr, b"")

    def test_a_file_that_cannot_be_opened_says_why(self):
        with tempfile.TemporaryDirectory() as directory:
            result = qvrx("check", "x.qvrx", cwd=directory)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, b"qvrx: cannot open x.qvrx: No such file or directory\n")


if __name__ == "__main__":
    unittest.main()
