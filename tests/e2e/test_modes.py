"""The helper's modes that end by themselves: the source listing, the probe,
and the capture sessions that fail before capturing."""

import os
import pty
import subprocess
import unittest

import qvx

PROBE_LINES = [
    "encoder_setting rate_control=cbr accepted=true",
    "encoder_setting mean_bitrate=8000000 accepted=true",
    "encoder_setting quality_vs_speed=33 accepted=true",
    "encoder_setting low_latency=true accepted=true",
    "encoder_setting low_latency=true verified=true",
    "encoder_candidate name=x264_H.264_Encoder_(host_stand-in) index=1 candidates=1 accepted=true",
    "capture_encoder encoder=media_foundation capture=windows_graphics_capture hardware=true "
    "software_fallback=false zero_copy=true async_mft=true low_latency=true b_frames=false",
]


class ModesTest(unittest.TestCase):
    def test_listing_of_the_virtual_desktop_is_byte_exact(self):
        code, out, err, _ = qvx.run_helper(["--list-sources"])
        self.assertEqual(code, 0)
        self.assertEqual(err, [])
        self.assertEqual(
            out,
            '{"displays":[{"height":1080,"id":1,"name":"Virtual Display","width":1920},'
            '{"height":1024,"id":2,"name":"\u00c9cran 2","width":1280}],'
            '"windows":[{"app":"quorvex-virtual-app","id":131088,"thumbnail":null,'
            '"title":"Quorvex virtual window"}]}\n'.encode("utf-8"))

    def test_both_probe_words_print_exactly_their_lines_and_no_output(self):
        for word in ["--preflight", "--request-permission"]:
            with self.subTest(word):
                code, out, err, _ = qvx.run_helper([word])
                self.assertEqual(code, 0)
                self.assertEqual(out, b"")
                self.assertEqual(err, PROBE_LINES)

    def test_unresolvable_capture_items_fail_after_the_border_line(self):
        cases = [
            (["--display-id", "0"], "error: Monitor index is lower than one"),
            (["--display-id", "3"], "error: Failed to find monitor"),
            (["--display-number", "3"], 'error: no display has the number 3 (the "id" of --list-sources)'),
            (["--source", "window", "--window-id", "12345"], "error: window not found (id)"),
            (["--source", "window", "--window-id", "131089"], "error: window not found (id)"),
        ]
        for args, error in cases:
            with self.subTest(args=args):
                code, out, err, _ = qvx.run_helper(args)
                self.assertEqual(code, 1)
                self.assertEqual(out, b"")
                self.assertEqual(err, ["capture_border hidden=true", "session_end reason=error", error])

    def test_a_terminal_on_standard_output_is_refused_unless_forced(self):
        leader, follower = pty.openpty()
        self.addCleanup(os.close, leader)
        try:
            for force, error in ((False, "error: standard output is a terminal: redirect the frame records to a "
                                         "file or a pipe (or pass --force-tty)"),
                                 # Forced, the session goes on to its next check.
                                 (True, 'error: no display has the number 9 (the "id" of --list-sources)')):
                with self.subTest(force=force):
                    result = subprocess.run(
                        [qvx.binary_from_env(), "--display-number", "9", *(["--force-tty"] if force else [])],
                        stdin=subprocess.DEVNULL, stdout=follower, stderr=subprocess.PIPE, timeout=30)
                    self.assertEqual(result.returncode, 1)
                    self.assertEqual(result.stderr.decode().splitlines()[-1], error)
                    if not force:
                        self.assertEqual(result.stderr.decode().splitlines(), [error], "refused before the session")
        finally:
            os.close(follower)

    def test_title_marker_that_never_appears_gives_up_after_about_five_seconds(self):
        code, out, err, elapsed = qvx.run_helper(
            ["--source", "window", "--window-title", "Virtual Window",  # case differs: no match
             "--content-width", "1280", "--content-height", "720"])
        self.assertEqual(code, 1)
        self.assertEqual(out, b"")
        self.assertEqual(err, ["capture_border hidden=true", "session_end reason=error",
                               "error: shared tab window not found (title marker)"])
        self.assertGreaterEqual(elapsed, 4.9)
        self.assertLess(elapsed, 15)


if __name__ == "__main__":
    unittest.main()
