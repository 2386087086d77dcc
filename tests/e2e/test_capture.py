"""Capture sessions of the helper binary on the host stand-in, driven through
its three streams as the parent drives it."""

import json
import os
import subprocess
import tempfile
import threading
import time
import unittest

import qvx

SMALL = ["--width", "640", "--height", "360"]
WINDOW_TITLE = ["--source", "window", "--window-title", "virtual window",
                "--content-width", "1280", "--content-height", "720"]


def summary_lines(session):
    return [l for l in session.stderr_lines() if l.startswith("native_encoder_summary ")]


class CaptureTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def start(self, args):
        session = qvx.Session(qvx.binary_from_env(), args)
        self.addCleanup(session.kill)
        return session

    def finished_records(self, session, timeout=20):
        code = session.finish(timeout=timeout)
        self.assertEqual(code, 0, "\n".join(session.stderr_lines()))
        self.assertEqual(len(summary_lines(session)), 1, session.stderr_lines())
        return qvx.parse_records(session.stdout())

    def clocks(self, records, strip=(0, 0, 1, 1)):
        data = b"".join(qvx.HEADER.pack(qvx.MAGIC, len(r.payload), r.timestamp_ns, int(r.keyframe)) + r.payload
                        for r in records)
        return qvx.read_clocks(qvx.write_stream(self.directory.name, data), strip)

    def test_default_session_is_a_decodable_wall_clock_stream_of_the_primary_display(self):
        before_ns = time.time_ns()
        # Standard input at its end from the start: the session still runs
        # for its whole duration.
        seconds = 2 * qvx.TIME_SCALE
        session = qvx.Session(qvx.binary_from_env(), ["--duration", str(seconds)], stdin_open=False)
        self.addCleanup(session.kill)
        records = self.finished_records(session)
        after_ns = time.time_ns()
        # The settings in effect, once: the primary display is "\\.\DISPLAY1".
        starts = [l for l in session.stderr_lines() if l.startswith("session_start ")]
        self.assertEqual(starts, ["session_start source=display display_number=1 width=1920 height=1080 fps=30 "
                                  "bitrate=8000000 pacing=strict encoder=x264_H.264_Encoder_(host_stand-in)"])
        # The duration runs from the encoder's start; a loaded machine may
        # take a good part of it to deliver the first frame.
        self.assertGreater(records[-1].timestamp_ns - records[0].timestamp_ns, 1_000_000_000)

        self.assertGreater(len(records), 10)
        self.assertTrue(records[0].keyframe)
        self.assertEqual(records[0].nal_types()[:2], [7, 8], "first record starts with SPS and PPS")
        self.assertIn(5, records[0].nal_types())
        stamps = [r.timestamp_ns for r in records]
        self.assertEqual(stamps, sorted(stamps), "timestamps go backwards")
        self.assertGreaterEqual(stamps[0], before_ns)
        self.assertLessEqual(stamps[-1], after_ns)

        info = qvx.probe_stream(b"".join(r.payload for r in records))
        self.assertEqual((info["width"], info["height"]), ("1920", "1080"))
        self.assertEqual(int(info["nb_read_frames"]), len(records))

        # The picture is the primary display itself: its strip sits at the
        # top-left at full size, composed shortly before the record's time.
        clocks = self.clocks(records)
        self.assertNotIn(None, clocks)
        frames = [c[0] for c in clocks]
        self.assertEqual(frames, sorted(set(frames)), "a composed frame was encoded twice or out of order")
        for record, (_, composed_ms) in zip(records, clocks):
            captured_ms = (record.timestamp_ns // 1_000_000) & 0xFFFFFFFF
            self.assertLessEqual((captured_ms - composed_ms) & 0xFFFFFFFF, 500 * qvx.TIME_SCALE)

    def test_keyframe_pause_resume_and_crop_commands(self):
        session = self.start(SMALL + ["--duration", "30"])
        self.assertTrue(session.wait_for_records(5, timeout=10))
        # Ask between two periodic keyframes (one per second at 30 fps), so
        # the keyframe that follows can only be the forced one.
        deadline = time.monotonic() + 10 * qvx.TIME_SCALE
        while len(qvx.parse_records_prefix(session.stdout())) % 30 not in range(5, 15):
            self.assertLess(time.monotonic(), deadline, "the session stopped producing records")
            time.sleep(0.005)
        asked_at = len(qvx.parse_records_prefix(session.stdout()))
        session.send("x" * 200_000)  # far longer than any command: skipped up to its line feed
        session.send("KEYFRAME")
        self.assertTrue(session.wait_for_stderr(lambda l: l == "encoder_control request=keyframe accepted=true", 5))
        self.assertTrue(session.wait_for_records(asked_at + 10, timeout=10))
        records = qvx.parse_records_prefix(session.stdout())
        forced = [i for i in range(asked_at, asked_at + 10) if records[i].keyframe]
        self.assertTrue(forced, f"no keyframe within 10 records after KEYFRAME at record {asked_at}")
        self.assertNotEqual(forced[0] % 30, 0)
        self.assertIn(5, records[forced[0]].nal_types())

        # The record's time is the helper's wall clock when it took the frame,
        # the clock time.time_ns() reads: no frame may be taken while paused,
        # however late the frames taken before the pause come out.
        session.send("  PAUSE ")
        self.assertTrue(session.wait_for_stderr(lambda l: l == "capture_window paused=true", 5))
        paused_ns = time.time_ns()
        time.sleep(0.5)  # fifteen frame periods at 30 fps
        resumed_ns = time.time_ns()
        session.send("RESUME")
        self.assertTrue(session.wait_for_stderr(lambda l: l == "capture_window paused=false", 5))
        deadline = time.monotonic() + 10 * qvx.TIME_SCALE
        while not any(r.timestamp_ns > resumed_ns for r in qvx.parse_records_prefix(session.stdout())):
            self.assertLess(time.monotonic(), deadline, "no record after RESUME")
            time.sleep(0.02)
        records = qvx.parse_records_prefix(session.stdout())
        taken_while_paused = [r.timestamp_ns for r in records if paused_ns <= r.timestamp_ns <= resumed_ns]
        self.assertEqual(taken_while_paused, [], f"frames taken while paused ({paused_ns}..{resumed_ns})")
        first_resumed = next(r for r in records if r.timestamp_ns > resumed_ns)
        self.assertTrue(first_resumed.keyframe, "first record after RESUME is not a keyframe")

        session.send("CROP 640 480")
        session.send("CROP 1 480")  # out of range: ignored
        self.assertTrue(session.wait_for_stderr(lambda l: l == "capture_window crop=640x480", 5))
        session.send("KEYFRAME please")  # not a command
        self.assertTrue(session.wait_for_stderr(lambda l: l == "control_ignored command=KEYFRAME reason=malformed", 5))
        # A display is never cropped: the whole primary display, with its
        # strip at the top-left at a third of its size, is still the picture.
        self.assertTrue(session.wait_for_records(len(qvx.parse_records_prefix(session.stdout())) + 5, timeout=10))
        records = qvx.parse_records_prefix(session.stdout())
        self.assertNotIn(None, self.clocks(records, strip=(0, 0, 1 / 3, 1 / 3))[-5:])
        lines = session.stderr_lines()
        self.assertEqual([l for l in lines if l.startswith("capture_window crop=")], ["capture_window crop=640x480"])
        # Every line not acted on is told, a CROP on a display included.
        self.assertEqual([l for l in lines if l.startswith("control_ignored ")], [
            "control_ignored command=CROP reason=not_applicable",
            "control_ignored command=CROP reason=out_of_range",
            "control_ignored command=KEYFRAME reason=malformed",
        ])
        self.assertEqual(lines.count("encoder_control request=keyframe accepted=true"), 2, "KEYFRAME and RESUME")
        self.assertFalse([l for l in lines if l.startswith("error")], lines)
        session.process.kill()

    def test_grid_pacing_encodes_fresh_frames_in_order_with_the_usual_lines(self):
        session = self.start(SMALL + ["--pacing", "grid", "--fps", "30"] + qvx.duration(2))
        records = self.finished_records(session)
        self.assertGreater(len(records), 30)
        self.assertTrue(records[0].keyframe)
        clocks = self.clocks(records, strip=(0, 0, 1 / 3, 1 / 3))
        self.assertNotIn(None, clocks)
        frames = [c[0] for c in clocks]
        self.assertEqual(frames, sorted(set(frames)), "a composed frame was encoded twice or out of order")
        # The rule adds no line of its own: only the topics of a strict session.
        topics = {l.split(" ", 1)[0].split("=", 1)[0] for l in session.stderr_lines()}
        self.assertLessEqual(topics, {"capture_border", "encoder_setting", "encoder_candidate", "capture_encoder",
                                      "session_start",
                                      "encode_latency_ms", "encoder_stream_colour",
                                      "encoder_latency", "frame_mailbox", "latency_breakdown", "capture_timing",
                                      "native_encoder_summary", "session_end"}, session.stderr_lines())

    def test_window_by_title_marker_shows_exactly_the_client_area_and_follows_crop(self):
        session = self.start(WINDOW_TITLE + ["--width", "641", "--height", "361"] + qvx.duration(3))
        session.send("CROP 1280 720")  # the size it already has: output unchanged
        self.assertTrue(session.wait_for_records(10, timeout=10))
        before_crop = len(qvx.parse_records_prefix(session.stdout()))
        # A 1296x738 content area of the 1296x759 window frame keeps all but
        # the top 21 rows: (0,21)-(1296,759), letterboxed into 640x360 at
        # (4,0)-(636,360). The client origin (8,31) and its strip land at
        # (4 + 8 * 632/1296, 10 * 360/738), scaled by 632/1296 and 360/738.
        session.send("CROP 1296 738")
        self.assertTrue(session.wait_for_stderr(lambda l: l == "capture_window crop=1296x738", 5))
        self.assertTrue(session.wait_for_records(len(qvx.parse_records_prefix(session.stdout())) + 8, timeout=10))
        records = self.finished_records(session)
        lines = session.stderr_lines()
        self.assertIn("capture_window found=true title_match=marker", lines)
        self.assertIn("capture_window crop=1280x720", lines)
        # The window found, with its title as a JSON string; the odd output
        # size rounded down to even.
        starts = [l for l in lines if l.startswith("session_start ")]
        self.assertEqual(len(starts), 1, lines)
        self.assertRegex(starts[0], r'^session_start source=window window_id=[0-9]+ width=640 height=360 fps=30 '
                                    r'bitrate=8000000 pacing=strict encoder=\S+ title="[^"]*virtual window[^"]*"$')
        self.assertTrue(records[0].keyframe)
        # The 1280x720 client area fills 640x360 exactly: its strip lands at the
        # output's origin at half size. A crop that kept a border or the title
        # bar would shift the 8 px blocks and make them unreadable.
        clocks = self.clocks(records, strip=(0, 0, 0.5, 0.5))
        self.assert_composed_in_order(clocks[:before_crop])
        for shifted in [(4, 0, 0.5, 0.5), (0, 15.5, 0.5, 0.5)]:  # a border or the title bar left in
            self.assertFalse(any(self.clocks(records[:before_crop], strip=shifted)), shifted)
        scale_x, scale_y = 632 / 1296, 360 / 738
        cropped = self.clocks(records, strip=(4 + 8 * scale_x, 10 * scale_y, scale_x, scale_y))
        self.assert_composed_in_order(clocks[before_crop - 1:before_crop] + cropped[-5:])
        self.assertEqual(clocks[-5:], [None] * 5, "the strip is still where the first crop put it")

    def assert_composed_in_order(self, stamps):
        """Every picture shows its strip, and the strips carry frames composed
        one after another: a black picture or a misplaced strip reads as
        nothing, as zeros or as noise."""
        self.assertNotIn(None, stamps)
        frames = [frame for frame, _ in stamps]
        self.assertEqual(frames, sorted(set(frames)), stamps)
        for (_, earlier_ms), (_, later_ms) in zip(stamps, stamps[1:]):
            self.assertLess((later_ms - earlier_ms) & 0xFFFFFFFF, 10_000, stamps)

    def test_window_by_id_is_letterboxed_whole(self):
        code, out, _, _ = qvx.run_helper(["--list-sources"])
        self.assertEqual(code, 0)
        window = json.loads(out)["windows"][0]
        session = self.start(["--source", "window", "--window-id", str(window["id"]), "--pacing", "grid",
                              "--fps", "25", "--bitrate", "2000000"] + SMALL + qvx.duration(2))
        records = self.finished_records(session)
        starts = [l for l in session.stderr_lines() if l.startswith("session_start ")]
        self.assertEqual(len(starts), 1, session.stderr_lines())
        fields, title = starts[0].split(" title=", 1)
        self.assertEqual(fields.split()[1:6], ["source=window", f"window_id={window['id']}", "width=640",
                                               "height=360", "fps=25"])
        self.assertIn("bitrate=2000000 pacing=grid", fields)
        self.assertEqual(json.loads(title), window["title"])
        self.assertNotIn("capture_window found=true title_match=marker", session.stderr_lines())
        # 1296x759 fits 640x360 as (13,0)-(627,360); the client origin (8,31)
        # of the window frame carries the strip.
        scale_x, scale_y = 614 / 1296, 360 / 759
        clocks = self.clocks(records, strip=(13 + 8 * scale_x, 31 * scale_y, scale_x, scale_y))
        self.assertNotIn(None, clocks)
        last = qvx.decode_gray_frames(b"".join(r.payload for r in records), 640, 360)[-1]
        self.assert_black_columns(last, 640, 360, range(0, 12))
        self.assert_black_columns(last, 640, 360, range(628, 640))

    def test_second_display_is_letterboxed_between_black_bars(self):
        # By its position, and by the listing's id (the number in its device
        # name, "\\.\DISPLAY2").
        for choice in (["--display-id", "2"], ["--display-number", "2"]):
            with self.subTest(choice=choice):
                self.check_second_display(choice)

    def check_second_display(self, choice):
        # 1280x1024 into 1920x1080 lands at (285,0)-(1635,1080).
        session = self.start(choice + qvx.duration(1))
        records = self.finished_records(session)
        self.assertIn(" display_number=2 ", [l for l in session.stderr_lines() if l.startswith("session_start ")][0])
        clocks = self.clocks(records, strip=(285, 0, 1350 / 1280, 1080 / 1024))
        self.assertNotIn(None, clocks)
        last = qvx.decode_gray_frames(b"".join(r.payload for r in records), 1920, 1080)[-1]
        self.assert_black_columns(last, 1920, 1080, range(0, 284))
        self.assert_black_columns(last, 1920, 1080, range(1636, 1920))
        picture = [last[y * 1920 + x] for y in range(40, 1080, 7) for x in (287, 960, 1632)]
        self.assertGreater(max(picture), 40, "the display's picture is missing between the bars")

    def assert_black_columns(self, luma, width, height, columns):
        brightest = max(luma[y * width + x] for y in range(0, height, 3) for x in columns)
        self.assertLessEqual(brightest, 24, f"bar columns {columns.start}..{columns.stop - 1} are not black")

    def start_reading_first_header(self, duration):
        """A session whose standard output the test reads by hand and whose
        standard error is collected whole; returns it once its first record
        header came, with the list the error bytes will be appended to."""
        process = subprocess.Popen([qvx.binary_from_env(), *SMALL, "--duration", str(duration)],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: (process.poll() is None and process.kill(), process.wait(),
                                 process.stdin.close(), process.stderr.close()))
        err = []
        pump = threading.Thread(target=lambda: err.append(process.stderr.read()), daemon=True)
        pump.start()
        self.addCleanup(pump.join, 5)
        self.assertEqual(process.stdout.read(qvx.HEADER.size)[:8], qvx.MAGIC)
        return process, err

    def ended_with_error_lines(self, process, err, timeout, what):
        """Waits for the helper to end with status 1; its standard error lines."""
        try:
            code = process.wait(timeout=timeout * qvx.TIME_SCALE)
        except subprocess.TimeoutExpired:
            self.fail(what)
        self.assertEqual(code, 1, "ended by a signal" if code < 0 else "")
        deadline = time.monotonic() + 5 * qvx.TIME_SCALE
        while not err and time.monotonic() < deadline:
            time.sleep(0.01)
        return err[0].decode("utf-8", "replace").splitlines()

    def test_closed_standard_output_ends_the_session_with_an_error(self):
        process, err = self.start_reading_first_header(30)
        process.stdout.close()
        # The next record's write fails within a frame period.
        lines = self.ended_with_error_lines(process, err, 5, "the helper kept running for 5 s after its standard "
                                                             "output was closed")
        # Either the event thread's write fails first (then the encoder's
        # teardown finds that failure), or the capture's timer finds the
        # reader gone first; the session ends with the same error.
        errors = [l for l in lines if l.startswith("error")]
        self.assertEqual(errors[-1], "error: Frame handler error: Broken pipe", lines)
        self.assertLessEqual(set(errors), {
            "error: encoder thread failed: Broken pipe",
            "error: encoder finish failed: Broken pipe",
            "error: Frame handler error: Broken pipe",
        }, lines)

    def test_a_reader_that_goes_away_while_nothing_is_written_ends_the_session(self):
        # Paused, the helper writes no record, as on a still screen.
        process, err = self.start_reading_first_header(60)
        process.stdin.write(b"PAUSE\n")
        process.stdin.flush()
        # Whatever was written before the pause took effect is read, then
        # the reader goes.
        time.sleep(0.5 * qvx.TIME_SCALE)
        os.set_blocking(process.stdout.fileno(), False)
        while process.stdout.read(65536):
            pass
        process.stdout.close()
        lines = self.ended_with_error_lines(process, err, 10,
                                            "a paused helper kept running after its reader went away")
        self.assertEqual(lines[-1], "error: Frame handler error: Broken pipe", lines)

if __name__ == "__main__":
    unittest.main()
