"""The helper in a hostile environment: a parent that stops reading for a
while, the whole process stopped and continued, standard input full of
bytes that are not commands, and several sessions at once. Each session must
still end with status 0 (at its duration, or asked to stop once it has shown
that it went on) and a stream that is whole and decodes."""

import fcntl
import os
import random
import signal
import subprocess
import threading
import termios
import time
import unittest

import qvx

SMALL = ["--width", "640", "--height", "360"]
# Linux's F_GETPIPE_SZ and F_SETPIPE_SZ, which Python's fcntl module names
# only from 3.10 on.
F_GETPIPE_SZ = getattr(fcntl, "F_GETPIPE_SZ", 1032)
F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)


def summary_field(lines, name):
    summary = [l for l in lines if l.startswith("native_encoder_summary ")]
    if len(summary) != 1:
        raise AssertionError(f"expected one summary line: {lines}")
    fields = dict(f.split("=", 1) for f in summary[0].split()[1:])
    return int(fields[name])


def records_after(records, wall_ns):
    return [r for r in records if r.timestamp_ns > wall_ns]


class EnvironmentTest(unittest.TestCase):
    def start(self, args, env=None):
        session = qvx.Session(qvx.binary_from_env(), args, env=env)
        self.addCleanup(session.kill)
        return session

    @staticmethod
    def stop_once_going_on(session, since_ns, count=5):
        """Ends the session with SIGTERM once `count` frames captured after
        `since_ns` have come out (or after a generous wait), rather than by a
        duration that a loaded machine may use up before they do."""
        deadline = time.monotonic() + 30 * qvx.TIME_SCALE
        while (len(records_after(qvx.parse_records_prefix(session.stdout()), since_ns)) < count
               and time.monotonic() < deadline and session.process.poll() is None):
            time.sleep(0.05)
        session.process.send_signal(signal.SIGTERM)

    def assert_whole_session(self, session):
        """Exit 0, every record parses, capture times strictly increase, every
        encoded frame reached the reader and ffmpeg decodes each of them
        without a complaint. Returns the records."""
        code = session.finish(timeout=30)
        lines = session.stderr_lines()
        self.assertEqual(code, 0, "\n".join(lines))
        self.assertFalse([l for l in lines if l.startswith("error")], lines)
        records = qvx.parse_records(session.stdout())
        self.assertTrue(records)
        self.assertTrue(records[0].keyframe)
        stamps = [r.timestamp_ns for r in records]
        self.assertTrue(all(a < b for a, b in zip(stamps, stamps[1:])), "capture times do not strictly increase")
        self.assertEqual(summary_field(lines, "encoded_frames"), len(records), "encoded frames went missing")
        pictures, complaints = qvx.decode_check(b"".join(r.payload for r in records))
        self.assertEqual(complaints, "")
        self.assertEqual(pictures, len(records))
        return records

    def test_reader_that_stalls_for_three_seconds_gets_the_rest_of_the_session_intact(self):
        session = self.start(SMALL + qvx.duration(60))
        self.assertTrue(session.wait_for_records(5, timeout=10))
        # Longer than the helper gives a silent encoder: the wait for the
        # parent must not count as the encoder's.
        session.stall_stdout()
        time.sleep(3)
        # The stall was real: the helper filled the pipe and its writes blocked.
        waiting = fcntl.ioctl(session.process.stdout.fileno(), termios.FIONREAD, b"\0\0\0\0")
        capacity = fcntl.fcntl(session.process.stdout.fileno(), F_GETPIPE_SZ)
        self.assertGreater(int.from_bytes(waiting, "little"), capacity // 2)
        resumed_ns = time.time_ns()
        session.resume_stdout()
        self.stop_once_going_on(session, resumed_ns)
        records = self.assert_whole_session(session)
        self.assertGreaterEqual(len(records_after(records, resumed_ns)), 5, "the session did not go on after the stall")

    def test_process_stopped_for_two_seconds_and_continued_goes_on(self):
        session = self.start(SMALL + qvx.duration(60))
        self.assertTrue(session.wait_for_records(5, timeout=10))
        os.kill(session.process.pid, signal.SIGSTOP)
        stopped_ns = time.time_ns()
        time.sleep(2)
        os.kill(session.process.pid, signal.SIGCONT)
        continued_ns = time.time_ns()
        self.stop_once_going_on(session, continued_ns)
        records = self.assert_whole_session(session)
        # Capture times are the clock's, not a frame count's: the two
        # seconds the process stood still show as one gap of about that
        # length between the records on either side of it.
        gaps = [(b.timestamp_ns - a.timestamp_ns, a, b) for a, b in zip(records, records[1:])]
        widest, before, after = max(gaps, key=lambda gap: gap[0])
        self.assertGreaterEqual(widest, 1_800_000_000, "no capture-time gap where the process was stopped")
        self.assertLessEqual(before.timestamp_ns, stopped_ns + 100_000_000, "the gap is not where the stop was")
        self.assertGreaterEqual(after.timestamp_ns, continued_ns - 100_000_000, "the gap is not where the stop was")
        self.assertGreaterEqual(len(records_after(records, continued_ns)), 5,
                                "the session did not go on after SIGCONT")

    def test_commands_between_garbage_lines_still_act(self):
        rng = random.Random(13)
        # Random bytes break into lines wherever a line feed falls; the rest
        # are lines of their own: NUL bytes, invalid and overlong UTF-8, and
        # commands spoilt by a NUL, a stray byte or a bad encoding. Lines of
        # megabytes (with line feeds inside their first 64 KiB and without)
        # go before two of the commands only: a sanitizer build reads stdin
        # at well under a megabyte a second.
        small = [
            rng.randbytes(64 * 1024) + b"\n",
            b"\0" * 4096 + b"\n",
            b"KEYFRAME\0\n",
            b"PAUSE\0",  # glued to the next line: neither is a command
            b"\xff\xfeKEYFRAME\n",
            b"\xc0\xafPAUSE\n",
            b"CROP \xc3\x28 480\n",
            b"RESUME\xed\xa0\x80\n",
            b"\x80\n",
            b"\n\r\n\0\n",
        ]
        large = [
            rng.randbytes(256 * 1024) + b"\n",
            b"A" * (1024 * 1024) + b"\n",
            bytes(rng.randrange(0x80, 0x100) for _ in range(512 * 1024)) + b"\n",
        ]

        def send_garbage(*, megabytes=False):
            for chunk in (large if megabytes else []) + small:
                session.send_bytes(chunk)

        session = self.start(SMALL + qvx.duration(60))
        self.assertTrue(session.wait_for_records(5, timeout=10))
        send_garbage(megabytes=True)

        # Ask a few records after a keyframe, so the periodic one (a second,
        # 30 records, later) cannot be the answer.
        deadline = time.monotonic() + 10 * qvx.TIME_SCALE
        while True:
            records = qvx.parse_records_prefix(session.stdout())
            since_keyframe = len(records) - max(i for i, r in enumerate(records) if r.keyframe)
            if 5 <= since_keyframe <= 12:
                break
            self.assertLess(time.monotonic(), deadline, "the session stopped producing records")
            time.sleep(0.005)
        asked_at = len(records)
        session.send("KEYFRAME")
        self.assertTrue(session.wait_for_records(asked_at + 8, timeout=10))
        records = qvx.parse_records_prefix(session.stdout())
        self.assertTrue(any(r.keyframe for r in records[asked_at:asked_at + 8]),
                        f"no keyframe within 8 records after KEYFRAME at record {asked_at}")

        send_garbage(megabytes=True)
        session.send("PAUSE")
        self.assertTrue(session.wait_for_stderr(lambda l: l == "capture_window paused=true", 10))
        paused_ns = time.time_ns()
        send_garbage()
        time.sleep(1)
        resumed_ns = time.time_ns()
        session.send("RESUME")
        self.assertTrue(session.wait_for_stderr(lambda l: l == "capture_window paused=false", 10))
        send_garbage()
        session.send("CROP 640 480")
        self.assertTrue(session.wait_for_stderr(lambda l: l == "capture_window crop=640x480", 10))
        send_garbage()
        session.process.stdin.close()
        self.stop_once_going_on(session, resumed_ns)

        records = self.assert_whole_session(session)
        # The capture clock and ours are the same wall clock, read a little
        # apart: a few milliseconds of slack at either end of the pause.
        slack_ns = 20_000_000
        self.assertFalse([r for r in records if paused_ns + slack_ns < r.timestamp_ns < resumed_ns - slack_ns],
                         "a frame captured during the pause was encoded")
        after_resume = records_after(records, resumed_ns)
        self.assertTrue(after_resume, "no frame after RESUME")
        self.assertTrue(after_resume[0].keyframe, "the first frame after RESUME is not a keyframe")
        lines = session.stderr_lines()
        self.assertEqual([l for l in lines if l.startswith("capture_window ")],
                         ["capture_window paused=true", "capture_window paused=false", "capture_window crop=640x480"])
        self.assertEqual(lines.count("encoder_control request=keyframe accepted=true"), 2, "KEYFRAME and RESUME")

    def test_a_parent_that_never_reads_standard_error_still_gets_every_record(self):
        # A standard-error pipe of one page that nobody reads: the helper's
        # diagnostics (about 2 KB/s at 60 fps) fill it within two seconds.
        seconds = 6
        for quiet in (False, True):
            with self.subTest(quiet=quiet):
                err_read, err_write = os.pipe()
                fcntl.fcntl(err_write, F_SETPIPE_SZ, 4096)
                process = subprocess.Popen(
                    [qvx.binary_from_env(), "--width", "320", "--height", "180", "--fps", "60",
                     *qvx.duration(seconds), *(["--quiet"] if quiet else [])],
                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err_write)
                os.close(err_write)
                out = bytearray()

                def read_records():
                    while chunk := process.stdout.read1(65536):
                        out.extend(chunk)

                reader = threading.Thread(target=read_records, daemon=True)
                reader.start()
                try:
                    # The session runs its whole length without a byte of its
                    # standard error read; only then does the parent drain it,
                    # which the helper waits for to write its last lines.
                    time.sleep((seconds + 2) * qvx.TIME_SCALE)
                    records = qvx.parse_records_prefix(bytes(out))
                    self.assertTrue(records)
                    span_s = (records[-1].timestamp_ns - records[0].timestamp_ns) / 1e9
                    self.assertGreater(span_s, 0.8 * seconds * qvx.TIME_SCALE,
                                       f"records stopped after {span_s:.1f} s")
                    with os.fdopen(err_read, "rb") as err:
                        lines = err.read().decode().splitlines()
                    self.assertEqual(process.wait(timeout=30 * qvx.TIME_SCALE), 0, lines)
                    reader.join(timeout=30)
                    process.stdout.close()
                finally:
                    if process.poll() is None:
                        process.kill()
                        process.wait()
                qvx.check_no_sanitizer_report(lines)
                records = qvx.parse_records(bytes(out))
                self.assertEqual(lines[-1], "session_end reason=duration")
                self.assertEqual(summary_field(lines, "encoded_frames"), len(records))
                latency_lines = [l for l in lines if l.startswith("encode_latency_ms=")]
                if quiet:
                    self.assertEqual(latency_lines, [])
                    self.assertTrue([l for l in lines if l.startswith("frame_mailbox ")], "--quiet kept only them")
                else:
                    self.assertTrue(latency_lines)

    def test_four_sessions_at_once_each_end_whole(self):
        sessions = [
            self.start(SMALL + qvx.duration(3)),
            self.start(["--display-id", "2"] + SMALL + qvx.duration(3)),
            self.start(["--pacing", "grid"] + SMALL + qvx.duration(3)),
            self.start(["--source", "window", "--window-title", "virtual window", "--content-width", "1280",
                        "--content-height", "720"] + SMALL + qvx.duration(3)),
        ]
        for index, session in enumerate(sessions):
            with self.subTest(session=index):
                self.assert_whole_session(session)


if __name__ == "__main__":
    unittest.main()
