"""The helper on a real X server (QUORVEX_DESKTOP=x11): a private Xvfb, a test
client that shows windows painted with the frame-clock strip and colour
patches, and the helper run as the parent runs it."""

import json
import os
import subprocess
import tempfile
import time
import unittest

import qvx
from test_modes import PROBE_LINES

# The client's picture (x11_test_client.cpp): a grey background, the strip at
# the client origin and four 128x128 patches at y = 96.
PATCHES = [(32, (255, 0, 0)), (192, (0, 255, 0)), (352, (0, 0, 255)), (512, (255, 255, 0))]
PATCH_TOP = 96
PATCH_SIZE = 128
# Where the client puts its windows on the root.
WINDOW_ORIGIN = (40, 40)

xvfb = None
display = None


def start_xvfb(*extensions):
    """A private Xvfb with the given extension switches; (process, display)."""
    # Xvfb picks a free display number itself and writes it to the pipe, so
    # parallel runs never race for one; -noreset keeps it accepting clients
    # when the last one leaves.
    read_end, write_end = os.pipe()
    process = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset",
         "+extension", "Composite", "+extension", "DAMAGE", "+extension", "XFIXES", "+extension", "RANDR",
         *extensions],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as numbers:
        number = numbers.readline().strip()
    if not number:
        process.kill()
        raise RuntimeError("Xvfb did not start")
    return process, ":" + number


def stop_xvfb(process):
    process.terminate()
    process.wait(timeout=10)


def setUpModule():
    global xvfb, display
    xvfb, display = start_xvfb("+extension", "MIT-SHM")


def tearDownModule():
    if xvfb:
        stop_xvfb(xvfb)


def x11_env(shown=None):
    env = dict(os.environ, DISPLAY=shown or display, QUORVEX_DESKTOP="x11")
    env.pop("XAUTHORITY", None)
    return env


class Client:
    """The test X client, one command line at a time."""

    def __init__(self, shown=None):
        self.process = subprocess.Popen([os.environ["QVX_X11_CLIENT"]], env=x11_env(shown), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def open(self, title, width, height, fps):
        reply = self.command(f"open {fps} {width} {height} {title}")
        assert reply.startswith("window "), reply
        return int(reply.split()[1])

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def list_sources():
    result = subprocess.run([qvx.binary_from_env(), "--list-sources"], env=x11_env(), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=30, check=True)
    return json.loads(result.stdout)


def decode_rgb_frames(annexb, width, height):
    result = subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "h264", "-i", "-", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
        input=annexb, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
    size = width * height * 3
    return [result.stdout[i:i + size] for i in range(0, len(result.stdout), size)]


class X11Test(unittest.TestCase):
    shown = None  # the module's Xvfb

    @classmethod
    def setUpClass(cls):
        cls.client = Client(cls.shown)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def open_window(self, title, width=640, height=360, fps=30):
        window = self.client.open(title, width, height, fps)
        self.addCleanup(self.client.command, f"close {window}")
        return window

    def start(self, args):
        session = qvx.Session(qvx.binary_from_env(), args, env=x11_env(self.shown))
        self.addCleanup(session.kill)
        return session

    def finished(self, session, timeout=20):
        code = session.finish(timeout=timeout)
        self.assertEqual(code, 0, "\n".join(session.stderr_lines()))
        summaries = [l for l in session.stderr_lines() if l.startswith("native_encoder_summary ")]
        self.assertEqual(len(summaries), 1, session.stderr_lines())
        return qvx.parse_records(session.stdout())

    def clocks(self, records, strip):
        data = b"".join(qvx.HEADER.pack(qvx.MAGIC, len(r.payload), r.timestamp_ns, int(r.keyframe)) + r.payload
                        for r in records)
        return qvx.read_clocks(qvx.write_stream(self.directory.name, data), strip)

    def assert_patches(self, records, width, height, left, top, scale):
        """The client's colour patches, decoded from the last picture, within
        the tolerance H.264 and the 4:2:0 round trip leave on flat colours."""
        last = decode_rgb_frames(b"".join(r.payload for r in records), width, height)[-1]
        for x, colour in PATCHES:
            cx = round(left + (x + PATCH_SIZE / 2) * scale)
            cy = round(top + (PATCH_TOP + PATCH_SIZE / 2) * scale)
            offset = (cy * width + cx) * 3
            decoded = tuple(last[offset:offset + 3])
            for got, want in zip(decoded, colour):
                self.assertLessEqual(abs(got - want), 24, f"patch at x={x}: {decoded} != {colour}")

    def test_listing_shows_the_monitor_and_follows_windows_opening_and_closing(self):
        first = self.open_window("x11 listing first — ünïcode", fps=0)
        listing = list_sources()
        self.assertEqual(len(listing["displays"]), 1)
        self.assertEqual((listing["displays"][0]["width"], listing["displays"][0]["height"]), (1920, 1080))
        self.assertEqual(listing["displays"][0]["id"], 1)
        ours = {w["id"]: w for w in listing["windows"]}
        self.assertEqual(ours[first]["title"], "x11 listing first — ünïcode")
        self.assertEqual(ours[first]["app"], "x11_test_client")

        second = self.client.open("x11 listing second", 320, 200, 0)
        self.assertIn(second, [w["id"] for w in list_sources()["windows"]])
        self.assertEqual(self.client.command(f"close {second}"), "ok")
        unmapped = self.client.open("x11 listing unmapped", 320, 200, 0)
        self.addCleanup(self.client.command, f"close {unmapped}")
        self.assertEqual(self.client.command(f"unmap {unmapped}"), "ok")
        reply = self.client.command("popup 200 100 x11 listing popup")
        popup = int(reply.split()[1])
        self.addCleanup(self.client.command, f"close {popup}")
        ids = [w["id"] for w in list_sources()["windows"]]
        self.assertIn(first, ids)
        self.assertNotIn(second, ids, "a destroyed window is still listed")
        self.assertNotIn(unmapped, ids, "an unmapped window is listed")
        self.assertNotIn(popup, ids, "an override-redirect window is listed")

        # With a window manager its client list decides, in its order.
        managed = self.client.open("x11 listing managed", 320, 200, 0)
        self.addCleanup(self.client.command, f"close {managed}")
        self.addCleanup(self.client.command, "clientlist")
        self.assertEqual(self.client.command(f"clientlist {managed} {unmapped} {first}"), "ok")
        self.assertEqual([w["id"] for w in list_sources()["windows"]], [managed, first])

    def test_probe_and_the_errors_of_an_x11_desktop(self):
        unmapped = self.client.open("x11 errors unmapped", 320, 200, 0)
        self.addCleanup(self.client.command, f"close {unmapped}")
        self.assertEqual(self.client.command(f"unmap {unmapped}"), "ok")
        border = "capture_border hidden=true"
        ended = "session_end reason=error"
        cases = [
            ("probe", ["--preflight"], {}, 0, PROBE_LINES),
            ("no server", ["--list-sources"], {"DISPLAY": ":9999"}, 1, ["error: cannot open X display ':9999'"]),
            ("unknown desktop", ["--list-sources"], {"QUORVEX_DESKTOP": "wayland"}, 1,
             ["error: unknown QUORVEX_DESKTOP 'wayland' (expected virtual or x11)"]),
            ("second monitor", ["--display-id", "2"], {}, 1, [border, ended, "error: Failed to find monitor"]),
            ("unmapped window", ["--source", "window", "--window-id", str(unmapped)], {}, 1,
             [border, ended, "error: window not found (id)"]),
            ("no such window", ["--source", "window", "--window-id", "12345"], {}, 1,
             [border, ended, "error: window not found (id)"]),
        ]
        for name, args, env, status, lines in cases:
            with self.subTest(name):
                result = subprocess.run([qvx.binary_from_env(), *args], env=dict(x11_env(), **env),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        timeout=30)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.stderr.decode().splitlines(), lines)

    def test_display_session_shows_the_client_strip_and_patches(self):
        self.open_window("x11 display session")
        session = self.start(["--display-id", "1", "--width", "960", "--height", "540", *qvx.duration(2)])
        records = self.finished(session)
        # How many frames the encoder takes depends on the machine (sanitizer
        # builds on a busy one take few); that they show the client's paints
        # in order does not.
        self.assertGreaterEqual(len(records), 3)
        self.assertTrue(records[0].keyframe)
        # 1920x1080 at half size: the window's strip lands at (20, 20) in 8 px blocks.
        clocks = self.clocks(records, strip=(WINDOW_ORIGIN[0] / 2, WINDOW_ORIGIN[1] / 2, 0.5, 0.5))
        readable = [c for c in clocks if c is not None]
        self.assertGreater(len(readable), len(clocks) - 3, clocks)
        frames = [c[0] for c in readable]
        self.assertEqual(frames, sorted(frames), "a client paint came out of order")
        self.assertGreater(frames[-1], frames[0], "the client's animation did not come through")
        self.assert_patches(records, 960, 540, WINDOW_ORIGIN[0] / 2, WINDOW_ORIGIN[1] / 2, 0.5)

    def test_display_frames_follow_the_pointer_and_show_the_cursor(self):
        self.open_window("x11 cursor session", fps=0)
        red = (WINDOW_ORIGIN[0] + PATCHES[0][0] + PATCH_SIZE // 2, WINDOW_ORIGIN[1] + PATCH_TOP + PATCH_SIZE // 2)
        self.assertEqual(self.client.command("warp 1500 900"), "ok")
        # The pointer stays where a test leaves it: off every window after this one.
        self.addCleanup(self.client.command, "warp 1500 900")
        session = self.start(["--display-id", "1", "--until-stopped"])
        self.assertTrue(session.wait_for_records(1, timeout=10))
        quiet = self.settled_record_count(session)
        # Nothing on the screen changes but the pointer: that alone makes a frame.
        self.assertEqual(self.client.command(f"warp {red[0]} {red[1]}"), "ok")
        self.assertTrue(session.wait_for_records(quiet + 1, timeout=5), "a pointer move made no frame")
        at_red = self.settled_record_count(session)
        session.send("STOP")
        records = self.finished(session)
        self.assertGreaterEqual(len(records), at_red)
        last = decode_rgb_frames(b"".join(r.payload for r in records[:at_red]), 1920, 1080)[-1]

        def pixels(cx, cy):
            return [tuple(last[(y * 1920 + x) * 3:(y * 1920 + x) * 3 + 3])
                    for y in range(cy - 6, cy + 7) for x in range(cx - 6, cx + 7)]

        def far_from_red(p):
            return abs(p[0] - 255) + p[1] + p[2] > 150

        self.assertTrue(any(far_from_red(p) for p in pixels(*red)), "no cursor drawn at the pointer")
        self.assertFalse(any(far_from_red(p) for p in pixels(red[0] + 40, red[1] + 40)), "the patch is not flat")

    @staticmethod
    def settled_record_count(session, quiet=0.3, timeout=5):
        """The record count once no record has come for `quiet` seconds (both
        stretched for slower builds)."""
        quiet *= qvx.TIME_SCALE
        count = len(qvx.parse_records_prefix(session.stdout()))
        changed_at = time.monotonic()
        deadline = changed_at + timeout * qvx.TIME_SCALE
        while time.monotonic() < deadline and time.monotonic() - changed_at < quiet:
            time.sleep(0.02)
            now_count = len(qvx.parse_records_prefix(session.stdout()))
            if now_count != count:
                count, changed_at = now_count, time.monotonic()
        return count

    def test_window_session_by_title_marker_and_by_id(self):
        window = self.open_window("x11 window session marker-7f3a")
        # Covered by another window: the capture still shows the first one.
        self.open_window("x11 covering window", 700, 400, 0)
        cases = [
            ("title marker", ["--source", "window", "--window-title", "marker-7f3a",
                              "--content-width", "640", "--content-height", "360"]),
            ("id", ["--source", "window", "--window-id", str(window)]),
        ]
        for name, args in cases:
            with self.subTest(name):
                session = self.start(args + ["--width", "640", "--height", "360", "--duration", "1"])
                records = self.finished(session)
                clocks = self.clocks(records, strip=(0, 0, 1, 1))
                # Redirected for the capture, the covered window gets a pixmap
                # that shows its black background until the client repaints
                # on Expose: the first pictures may carry no strip yet.
                unpainted = next((i for i, c in enumerate(clocks) if c is not None), len(clocks))
                self.assertLessEqual(unpainted, 3, clocks)
                clocks = clocks[unpainted:]
                self.assertNotIn(None, clocks)
                frames = [c[0] for c in clocks]
                self.assertEqual(frames, sorted(set(frames)), "a client paint was encoded twice or out of order")
                self.assert_patches(records, 640, 360, 0, 0, 1)

    def test_window_in_a_window_manager_frame_is_captured_with_its_frame(self):
        window = self.open_window("x11 framed marker-c41d")
        # A 656x400 frame: 8 px on three sides and a 32 px title bar, as the
        # content crop expects of a window's frame.
        self.assertEqual(self.client.command(f"frame {window} 8 8 32 8"), "ok")
        self.addCleanup(self.client.command, "clientlist")
        self.assertEqual(self.client.command(f"clientlist {window}"), "ok")
        cases = [
            ("id, the whole frame", ["--source", "window", "--window-id", str(window), "--width", "656",
                                     "--height", "400"], (8, 32, 1, 1)),
            ("title marker, cropped to the content", ["--source", "window", "--window-title", "marker-c41d",
                                                      "--content-width", "640", "--content-height", "360",
                                                      "--width", "640", "--height", "360"], (0, 0, 1, 1)),
        ]
        for name, args, strip in cases:
            with self.subTest(name):
                records = self.finished(self.start(args + ["--duration", "1"]))
                clocks = self.clocks(records, strip)
                self.assertNotIn(None, clocks)
                elsewhere = (0, 0, 1, 1) if strip != (0, 0, 1, 1) else (8, 32, 1, 1)
                self.assertNotEqual(self.clocks(records, elsewhere), clocks,
                                    "the window's strip is not where the frame puts it")

    def test_resized_window_goes_on_letterboxed_at_the_requested_size(self):
        window = self.open_window("x11 resize session")
        session = self.start(["--source", "window", "--window-id", str(window), "--width", "640", "--height", "360",
                              "--until-stopped"])
        self.assertTrue(session.wait_for_records(10, timeout=10))
        before = len(qvx.parse_records_prefix(session.stdout()))
        self.assertEqual(self.client.command(f"resize {window} 560 360"), "ok")
        self.assertTrue(session.wait_for_records(before + 20, timeout=10))
        session.send("STOP")
        records = self.finished(session)
        info = qvx.probe_stream(b"".join(r.payload for r in records))
        self.assertEqual((info["width"], info["height"]), ("640", "360"))
        self.assertEqual(int(info["nb_read_frames"]), len(records))
        # 560x360 in 640x360: a pillarbox of 40 px on each side. (Rows of 560
        # pixels are not laid out like the pool's buffers: the copying path.
        # The window stays wide enough for the whole 512 px strip.)
        self.assertNotIn(None, self.clocks(records[:before], strip=(0, 0, 1, 1)))
        after = self.clocks(records, strip=(40, 0, 1, 1))[-10:]
        self.assertNotIn(None, after, "the resized window is not letterboxed at its new size")
        last = qvx.decode_gray_frames(b"".join(r.payload for r in records), 640, 360)[-1]
        self.assertLess(max(last[y * 640 + x] for y in range(0, 360, 9) for x in range(0, 36, 5)), 24)

    def test_window_that_goes_away_ends_the_session_with_its_summary(self):
        for verb in ("close", "unmap"):
            with self.subTest(verb):
                window = self.client.open(f"x11 {verb} session", 640, 360, 30)
                self.addCleanup(self.client.command, f"close {window}")
                session = self.start(["--source", "window", "--window-id", str(window), "--width", "640",
                                      "--height", "360", "--duration", "30"])
                self.assertTrue(session.wait_for_records(5, timeout=10))
                self.assertEqual(self.client.command(f"{verb} {window}"), "ok")
                records = self.finished(session, timeout=10)
                # Its end line tells the closed item from the 30 s duration;
                # no stopwatch, which a sanitizer build on a busy machine
                # would not keep.
                self.assertEqual(session.stderr_lines()[-1], "session_end reason=item_closed")
                self.assertGreaterEqual(len(records), 5)

    def test_minimised_window_keeps_its_session_and_sends_nothing_until_restored(self):
        # As on Windows: a minimised window is still listed and still
        # captured; it just has no picture until it comes back.
        window = self.client.open("x11 minimised session", 640, 360, 30)
        self.addCleanup(self.client.command, f"close {window}")
        session = self.start(["--source", "window", "--window-id", str(window), "--width", "640", "--height", "360",
                              "--duration", "60"])
        self.assertTrue(session.wait_for_records(5, timeout=10))
        self.assertEqual(self.client.command(f"iconify {window}"), "ok")
        self.assertIn(window, [s["id"] for s in list_sources()["windows"]], "a minimised window is not listed")
        minimised = self.settled_record_count(session)
        time.sleep(1.0 * qvx.TIME_SCALE)
        self.assertIsNone(session.process.poll(), "minimising the window ended the session")
        self.assertEqual(len(qvx.parse_records_prefix(session.stdout())), minimised,
                         "frames came while the window was minimised")
        self.assertEqual(self.client.command(f"restore {window}"), "ok")
        self.assertTrue(session.wait_for_records(minimised + 5, timeout=10), "no frames after the restore")
        self.assertEqual(self.client.command(f"close {window}"), "ok")
        records = self.finished(session, timeout=10)
        self.assertEqual(session.stderr_lines()[-1], "session_end reason=item_closed")
        clocks = [c for c in self.clocks(records, strip=(0, 0, 1, 1)) if c is not None]
        frames = [c[0] for c in clocks]
        self.assertEqual(frames, sorted(set(frames)), "a paint came twice or out of order")

    def test_static_window_gives_no_frames_and_the_session_still_ends_at_its_duration(self):
        # Nothing changes, so nothing arrives after the first picture; the
        # capture thread's timer ends the session at its duration anyway.
        window = self.open_window("x11 static session", fps=0)
        started = time.monotonic()
        session = self.start(["--source", "window", "--window-id", str(window), "--width", "640", "--height", "360",
                              "--duration", "2"])
        self.assertTrue(session.wait_for_records(1, timeout=10))
        records = self.finished(session, timeout=10)
        self.assertGreaterEqual(time.monotonic() - started, 2.0)
        # One: the damage the server reports when the capture starts is the
        # first picture's, not a second one.
        self.assertEqual(len(records), 1, "frames came while the window did not change")
        self.assertNotIn(None, self.clocks(records, strip=(0, 0, 1, 1)))

    def test_keyframe_and_resume_on_a_window_that_never_repaints_give_keyframe_records(self):
        # No picture arrives after the first, yet a viewer that asks for a
        # keyframe (KEYFRAME, or RESUME after a pause) gets one: the last
        # picture encoded again.
        window = self.open_window("x11 still keyframe session", fps=0)
        session = self.start(["--source", "window", "--window-id", str(window), "--width", "640", "--height", "360",
                              *qvx.duration(6)])
        self.assertTrue(session.wait_for_records(1, timeout=10))
        count = self.settled_record_count(session)
        for commands in (["KEYFRAME"], ["PAUSE", "RESUME"]):
            with self.subTest(" ".join(commands)):
                for command in commands:
                    session.send(command)
                # Generous: a missing repeat waits for ever, not a little longer.
                self.assertTrue(session.wait_for_records(count + 1, timeout=3), f"no record after {commands}")
                count = self.settled_record_count(session)
                self.assertTrue(qvx.parse_records_prefix(session.stdout())[-1].keyframe)
        records = self.finished(session)
        self.assertEqual(len(records), 3, "the first picture, the KEYFRAME's and the RESUME's")
        stamps = [r.timestamp_ns for r in records]
        self.assertEqual(stamps, sorted(set(stamps)), "timestamps do not strictly increase")
        pictures, complaints = qvx.decode_check(b"".join(r.payload for r in records))
        self.assertEqual(complaints, "")
        self.assertEqual(pictures, len(records))
        # Both repeats show the window's last paint.
        clocks = self.clocks(records, strip=(0, 0, 1, 1))
        self.assertNotIn(None, clocks)
        self.assertEqual(clocks[-1][0], clocks[-2][0], clocks)

    def test_idle_refresh_encodes_a_window_that_never_repaints_again_at_its_interval(self):
        # The window paints once. With an idle refresh its picture goes into
        # the encoder again whenever nothing went in for 300 ms: never as a
        # keyframe, never sooner than that after the record before.
        window = self.open_window("x11 idle refresh session", fps=0)
        session = self.start(["--source", "window", "--window-id", str(window), "--width", "640", "--height", "360",
                              "--idle-refresh-ms", "300", *qvx.duration(3)])
        records = self.finished(session)
        self.assertGreaterEqual(len(records), 4, "no refresh came")
        # Keyframes only where the GOP puts them (every --fps encoded frames,
        # refreshes included): a refresh is not made a keyframe.
        self.assertEqual([r.keyframe for r in records], [i % 30 == 0 for i in range(len(records))])
        gaps_ms = [(b.timestamp_ns - a.timestamp_ns) / 1e6 for a, b in zip(records, records[1:])]
        # Every refresh keeps its distance, the first one too: the window's
        # single paint is sent once (the wall clock against the pacer's
        # monotonic one leaves a few milliseconds of slack).
        self.assertGreaterEqual(min(gaps_ms), 295, gaps_ms)
        pictures, complaints = qvx.decode_check(b"".join(r.payload for r in records))
        self.assertEqual(complaints, "")
        self.assertEqual(pictures, len(records))
        # The refreshes show the window's last paint.
        clocks = self.clocks(records, strip=(0, 0, 1, 1))
        self.assertNotIn(None, clocks)
        self.assertEqual(set(c[0] for c in clocks[1:]), {clocks[-1][0]}, clocks)

    def test_drop_filler_leaves_the_constant_bitrate_padding_out(self):
        # A still window refreshed every frame interval at 8 Mbit/s: the
        # encoder pads nearly every record to the rate with filler units.
        window = self.open_window("x11 filler session", fps=0)
        streams = {}
        for drop in (False, True):
            with self.subTest(drop_filler=drop):
                session = self.start(["--source", "window", "--window-id", str(window), "--width", "640", "--height",
                                      "360", "--bitrate", "8000000", "--idle-refresh-ms", "33", *qvx.duration(2),
                                      *(["--drop-filler"] if drop else [])])
                streams[drop] = self.finished(session)
                self.assertGreaterEqual(len(streams[drop]), 3)
        filler = [r for r in streams[False] if 12 in r.nal_types()]
        self.assertGreater(len(filler), 0, "the encoder wrote no filler: the fixture shows nothing")
        self.assertEqual([r for r in streams[True] if 12 in r.nal_types()], [])
        pictures, complaints = qvx.decode_check(b"".join(r.payload for r in streams[True]))
        self.assertEqual(complaints, "")
        self.assertEqual(pictures, len(streams[True]))
        sizes = {drop: sum(len(r.payload) for r in records) / len(records) for drop, records in streams.items()}
        self.assertLess(sizes[True], sizes[False] / 4, sizes)


class WithoutShmTest(X11Test):
    """A server without MIT-SHM: every picture comes by plain GetImage."""

    @classmethod
    def setUpClass(cls):
        cls.server, cls.shown = start_xvfb("-extension", "MIT-SHM")
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        stop_xvfb(cls.server)


# It runs a display case and a window case (the root and a Composite pixmap);
# the others are left out (unittest skips what is not callable).
for _name in [n for n in dir(X11Test) if n.startswith("test_")]:
    if _name not in ("test_display_session_shows_the_client_strip_and_patches",
                     "test_window_session_by_title_marker_and_by_id"):
        setattr(WithoutShmTest, _name, None)


if __name__ == "__main__":
    unittest.main()
