"""Streams shaped for the network: a bounded rate buffer, keyframes only on
request, and the bit rate and frame rate changed while the session runs."""

import time
import unittest

import qvx

SMALL = ["--width", "640", "--height", "360"]


def bits_per_second(records, since_ns):
    """The stream's rate from `since_ns` to its last record: the bytes of the
    records taken in that span over its length."""
    window = [r for r in records if r.timestamp_ns >= since_ns]
    span_s = (window[-1].timestamp_ns - window[0].timestamp_ns) / 1e9
    # The first record opens the span; the bytes of the others fill it.
    return sum(len(r.payload) for r in window[1:]) * 8 / span_s, window


class ShapingTest(unittest.TestCase):
    def start(self, args):
        session = qvx.Session(qvx.binary_from_env(), args)
        self.addCleanup(session.kill)
        return session

    def finished_records(self, session, timeout=30):
        code = session.finish(timeout=timeout)
        self.assertEqual(code, 0, "\n".join(session.stderr_lines()))
        return qvx.parse_records(session.stdout())

    def wait_line(self, session, line, timeout=10):
        self.assertTrue(session.wait_for_stderr(lambda l: l == line, timeout),
                        f"no line {line!r}:\n" + "\n".join(session.stderr_lines()))

    def test_one_frame_rate_buffer_bounds_every_record_keyframes_included(self):
        # 4 Mbit/s at 30 fps: 16,667 bytes a frame, a buffer of 16,500 bytes.
        share = 4_000_000 / 8 / 30
        session = self.start(["--width", "1280", "--height", "720", "--bitrate", "4000000", "--fps", "30",
                              "--rate-buffer-ms", "33", "--keyframe-interval", "0", *qvx.duration(4)])
        self.wait_line(session, "encoder_setting buffer_size=16500 accepted=true")
        self.wait_line(session, "encoder_setting max_bitrate=4000000 accepted=true")
        # Some way into the stream, whatever the build's speed: the
        # requested keyframe must be a picture the buffer had to squeeze.
        self.assertTrue(session.wait_for_records(15, timeout=15))
        session.send("KEYFRAME")
        self.wait_line(session, "encoder_control request=keyframe accepted=true")
        records = self.finished_records(session)
        keyframes = [i for i, r in enumerate(records) if r.keyframe]
        self.assertGreaterEqual(len(keyframes), 2, "the first and the requested keyframe")
        # Without the buffer the first keyframe alone is several times a
        # frame's share (about 8x here); with it, no record is more than a
        # little over one share, the keyframes least of all exempt.
        largest = max(len(r.payload) for r in records)
        self.assertLessEqual(largest, 2 * share, f"largest record {largest} bytes, share {share:.0f}")
        for i in keyframes:
            self.assertLessEqual(len(records[i].payload), 2 * share, f"keyframe {i}")
        self.assertEqual(int(qvx.probe_stream(b"".join(r.payload for r in records))["nb_read_frames"]), len(records))

    def test_keyframe_interval_zero_gives_keyframes_only_on_request(self):
        session = self.start(SMALL + ["--keyframe-interval", "0", *qvx.duration(5)])
        # Three seconds of a stream that would otherwise have a keyframe each
        # second: only the first record may be one.
        self.assertTrue(session.wait_for_records(90, timeout=15))
        records = qvx.parse_records_prefix(session.stdout())
        self.assertTrue(records[0].keyframe)
        self.assertEqual([i for i, r in enumerate(records) if r.keyframe], [0])
        asked_after = len(records)
        session.send("KEYFRAME")
        self.wait_line(session, "encoder_control request=keyframe accepted=true")
        records = self.finished_records(session)
        forced = [i for i, r in enumerate(records) if r.keyframe and i > 0]
        self.assertEqual(len(forced), 1, f"keyframes at {[i for i, r in enumerate(records) if r.keyframe]}")
        self.assertGreaterEqual(forced[0], asked_after)
        self.assertEqual(records[forced[0]].nal_types()[:2], [7, 8], "a requested keyframe starts a stream")

    def test_bitrate_command_changes_the_rate_of_the_running_stream(self):
        session = self.start(SMALL + ["--bitrate", "1000000", "--rate-buffer-ms", "100", *qvx.duration(6)])
        self.assertTrue(session.wait_for_records(30, timeout=15))
        session.send("BITRATE 0")
        session.send("BITRATE 250000")
        asked_ns = time.time_ns()
        self.wait_line(session, "encoder_rate bitrate=250000 encoder_bitrate=250000 accepted=true")
        records = self.finished_records(session)
        before, _ = bits_per_second([r for r in records if r.timestamp_ns < asked_ns], records[0].timestamp_ns)
        after, window = bits_per_second(records, asked_ns + 1_000_000_000)
        self.assertGreater(len(window), 30, "too short a stream after the change to measure")
        self.assertGreater(before, 700_000, "the stream before the change is not at its first rate")
        self.assertLess(abs(after - 250_000), 0.1 * 250_000, f"{after:.0f} bit/s after BITRATE 250000")
        lines = session.stderr_lines()
        self.assertIn("control_ignored command=BITRATE reason=out_of_range", lines)
        self.assertEqual(len([l for l in lines if l.startswith("encoder_rate ")]), 1, lines)

    def test_fps_command_slows_the_stream_and_keeps_its_bit_rate(self):
        # A short rate buffer, as a low-latency parent runs it: the encoder's
        # default of one second of its (now tripled) rate would take seconds
        # to fill before the filler holds the rate up again.
        session = self.start(SMALL + ["--fps", "30", "--bitrate", "600000", "--rate-buffer-ms", "100",
                                      *qvx.duration(6)])
        self.assertTrue(session.wait_for_records(30, timeout=15))
        session.send("FPS 31")  # faster than the session: refused
        self.wait_line(session, "control_ignored command=FPS reason=out_of_range")
        session.send("FPS 10")
        asked_ns = time.time_ns()
        # The encoder still budgets for 30 frames a second: three times the
        # rate keeps the bits per second.
        self.wait_line(session, "encoder_rate fps=10 encoder_bitrate=1800000 accepted=true")
        records = self.finished_records(session)
        rate, window = bits_per_second(records, asked_ns + 1_000_000_000)
        span_s = (window[-1].timestamp_ns - window[0].timestamp_ns) / 1e9
        per_second = (len(window) - 1) / span_s
        self.assertGreater(span_s, 2, "too short a stream after the change to measure")
        self.assertLess(abs(per_second - 10), 1, f"{per_second:.2f} records a second after FPS 10")
        self.assertLess(abs(rate - 600_000), 0.1 * 600_000, f"{rate:.0f} bit/s after FPS 10")


if __name__ == "__main__":
    unittest.main()
