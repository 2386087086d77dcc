"""How a session ends, as the parent sees it: a stop request ends it like its
duration (every record written, the summary, the end line, status 0), the
end line names the reason, and --help / --version answer on stdout."""

import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import qvx


class StopTest(unittest.TestCase):
    def start(self, args, stdin_open=True):
        session = qvx.Session(qvx.binary_from_env(), args, stdin_open=stdin_open)
        self.addCleanup(session.kill)
        return session

    def assert_whole_stream(self, data, summary_line):
        """Every record parses, qvrx agrees, and the summary counts them all."""
        records = qvx.parse_records(data)
        self.assertGreater(len(records), 0)
        self.assertTrue(records[0].keyframe)
        with tempfile.TemporaryDirectory() as directory:
            path = qvx.write_stream(directory, data)
            check = subprocess.run([qvx.qvrx_from_env(), "check", path], capture_output=True, timeout=60)
            self.assertEqual(check.returncode, 0, check.stderr)
        fields = dict(f.split("=", 1) for f in summary_line.split()[1:])
        self.assertEqual(int(fields["encoded_frames"]), len(records))
        info = qvx.probe_stream(b"".join(r.payload for r in records))
        self.assertEqual(int(info["nb_read_frames"]), len(records))

    def test_a_stop_request_ends_the_session_like_its_duration(self):
        for signal_number in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signal_number.name):
                session = self.start(["--duration", "60", "--width", "640", "--height", "360"])
                self.assertTrue(session.wait_for_records(10, timeout=30), session.stderr_lines())
                session.process.send_signal(signal_number)
                code = session.finish(timeout=30)
                lines = session.stderr_lines()
                self.assertEqual(code, 0, lines)
                self.assertTrue(lines[-2].startswith("native_encoder_summary "), lines[-3:])
                self.assertEqual(lines[-1], "session_end reason=signal")
                self.assertEqual(sum(l.startswith("session_end ") for l in lines), 1, lines)
                self.assert_whole_stream(session.stdout(), lines[-2])

    def test_a_stop_during_start_up_ends_the_session_at_its_first_frame(self):
        session = self.start(["--duration", "60", "--width", "320", "--height", "240"])
        # The border line comes after the session watches for stop requests
        # and before the encoder is set up.
        self.assertTrue(session.wait_for_stderr(lambda l: l.startswith("capture_border "), timeout=30))
        session.process.send_signal(signal.SIGTERM)
        code = session.finish(timeout=30)
        lines = session.stderr_lines()
        self.assertEqual(code, 0, lines)
        self.assertTrue(lines[-2].startswith("native_encoder_summary "), lines[-3:])
        self.assertEqual(lines[-1], "session_end reason=signal")
        # The stop is seen at the first frame (or the capture's timer before
        # it) and that frame is not encoded: no record, or one where the
        # signal's watcher lost a race with the first frame on a loaded machine.
        records = qvx.parse_records(session.stdout())
        self.assertLessEqual(len(records), 1, "frames were encoded after the stop")
        fields = dict(f.split("=", 1) for f in lines[-2].split()[1:])
        self.assertEqual(int(fields["encoded_frames"]), len(records))

    def test_the_duration_and_a_closed_stdin_end_with_reason_duration(self):
        # stdin at its end leaves the session running until its duration.
        session = self.start(["--duration", "2", "--width", "320", "--height", "240"], stdin_open=False)
        code = session.finish(timeout=30)
        lines = session.stderr_lines()
        self.assertEqual(code, 0, lines)
        self.assertGreaterEqual(time.monotonic() - session.started_at, 2.0)
        self.assertTrue(lines[-2].startswith("native_encoder_summary "), lines[-3:])
        self.assertEqual(lines[-1], "session_end reason=duration")

    def test_stop_on_stdin_and_the_end_of_stdin_when_asked_end_the_session_like_a_signal(self):
        cases = [
            ("STOP", ["--until-stopped"], "session_end reason=stop"),
            ("close", ["--until-stopped", "--stop-on-stdin-close"], "session_end reason=stdin_closed"),
            # STOP keeps its reason when the input ends after it.
            ("STOP then close", ["--duration", "60", "--stop-on-stdin-close"], "session_end reason=stop"),
        ]
        for how, args, end_line in cases:
            with self.subTest(how=how):
                session = self.start(args + ["--width", "320", "--height", "240"])
                self.assertTrue(session.wait_for_records(10, timeout=30), session.stderr_lines())
                if how.startswith("STOP"):
                    session.send("STOP")
                code = session.finish(timeout=30)  # closes stdin, then waits
                lines = session.stderr_lines()
                self.assertEqual(code, 0, lines)
                self.assertEqual(lines[-1], end_line)
                self.assertTrue(lines[-2].startswith("native_encoder_summary "), lines[-3:])
                self.assert_whole_stream(session.stdout(), lines[-2])

    def test_the_parents_end_ends_the_helper_unless_it_should_stay(self):
        # A parent that starts the helper with its output in files (so no
        # closed pipe can end it) and is then killed.
        parent_code = textwrap.dedent("""
            import subprocess, sys, time
            helper = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL,
                                      stdout=open(sys.argv[0] + ".qvrx", "wb"), stderr=open(sys.argv[0] + ".log", "wb"))
            print(helper.pid, flush=True)
            time.sleep(600)
        """)

        def alive(pid):
            try:
                with open(f"/proc/{pid}/stat") as stat:
                    return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
            except FileNotFoundError:
                return False

        for stay in (False, True):
            with self.subTest(stay=stay), tempfile.TemporaryDirectory() as directory:
                base = os.path.join(directory, "parent")
                with open(base, "w") as script:
                    script.write(parent_code)
                parent = subprocess.Popen(
                    [sys.executable, base, qvx.binary_from_env(), "--width", "320", "--height", "240",
                     "--duration", "60", *(["--stay-after-parent"] if stay else [])],
                    stdout=subprocess.PIPE)
                helper_pid = int(parent.stdout.readline())
                self.addCleanup(lambda pid=helper_pid: alive(pid) and os.kill(pid, signal.SIGKILL))
                deadline = time.monotonic() + 30 * qvx.TIME_SCALE
                while time.monotonic() < deadline and len(qvx.parse_records_prefix(open(base + ".qvrx", "rb").read())) < 10:
                    time.sleep(0.05)
                parent.kill()
                parent.wait()
                parent.stdout.close()
                killed_at = time.monotonic()
                while alive(helper_pid) and time.monotonic() - killed_at < 1.5 * qvx.TIME_SCALE:
                    time.sleep(0.02)
                if stay:
                    self.assertTrue(alive(helper_pid), "the helper ended with its parent")
                    os.kill(helper_pid, signal.SIGKILL)
                    continue
                self.assertFalse(alive(helper_pid), "the helper outlived its parent")
                with open(base + ".log") as log:
                    lines = log.read().splitlines()
                self.assertEqual(lines[-1], "session_end reason=parent_exited")
                with open(base + ".qvrx", "rb") as records:
                    self.assert_whole_stream(records.read(), lines[-2])

    def test_help_and_version_answer_on_stdout_and_exit_zero(self):
        cases = [
            (["--help"], "usage:\n  quorvex-wgc-encoder [options]"),
            (["--help", "--bogus"], "usage:\n"),
            (["--version"], "quorvex-wgc-encoder "),
            (["--version", "--list-sources"], "quorvex-wgc-encoder "),
        ]
        for args, start in cases:
            with self.subTest(args=args):
                result = subprocess.run([qvx.binary_from_env(), *args], stdin=subprocess.DEVNULL,
                                        capture_output=True, timeout=30)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, b"")
                self.assertTrue(result.stdout.decode().startswith(start), result.stdout[:200])
        version = subprocess.run([qvx.binary_from_env(), "--version"], capture_output=True, timeout=30)
        self.assertRegex(version.stdout.decode(), r"^quorvex-wgc-encoder \d+\.\d+\.\d+ \(host stand-in, [\w-]+\)\n$")


if __name__ == "__main__":
    unittest.main()
