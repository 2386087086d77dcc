"""Colours end to end: the host desktop's flat colour patches, captured,
converted, encoded and decoded the way a player shows them, come back as
painted, and the stream says which matrix and range it uses."""

import unittest

import qvx

# The patches of the host scene (src/platform/host/scene_painter.h): a row of
# squares of a tenth of the picture's height, one side above the bottom and
# one side in from the right edge.
PATCHES = [("white", (255, 255, 255)), ("black", (0, 0, 0)), ("mid grey", (128, 128, 128)),
           ("red", (255, 0, 0)), ("green", (0, 255, 0)), ("blue", (0, 0, 255))]
# 8-bit rounding on the way in and out, and the encoder's quantisation.
TOLERANCE = 6


def patch_centre(width, height, index):
    side = height // 10
    left = width - (len(PATCHES) + 1 - index) * side
    top = height - 2 * side
    return left + side // 2, top + side // 2


# An output size on each side of the size rule, with what the stream's VUI
# names (ffprobe's words) and the helper's report of it.
SIZES = [
    (1920, 1080, "bt709", "encoder_stream_colour matrix=bt709 range=limited picture_matrix=bt709"),
    (640, 360, "smpte170m", "encoder_stream_colour matrix=bt601 range=limited picture_matrix=bt601"),
]


class ColourTest(unittest.TestCase):
    def test_flat_patches_decode_to_their_colours_with_the_vui_and_with_the_size_guess(self):
        for width, height, matrix, report in SIZES:
            with self.subTest(size=f"{width}x{height}"):
                self.check_size(width, height, matrix, report)

    def check_size(self, width, height, matrix, report):
        # The primary display is 1920x1080: the small size is scaled down
        # with the same aspect, so the patches keep their places. A generous
        # bitrate keeps quantisation well inside the tolerance even when a
        # slow (sanitizer) build encodes fewer, costlier frames.
        code, out, err, _ = qvx.run_helper([*qvx.duration(1), "--width", str(width), "--height", str(height),
                                            "--bitrate", "40000000"])
        self.assertEqual(code, 0, "\n".join(err))
        records = qvx.parse_records(out)
        annexb = b"".join(r.payload for r in records)

        with self.subTest("signalled"):
            self.assertEqual(qvx.probe_colour(annexb),
                             {"color_space": matrix, "color_range": "tv",
                              "color_transfer": "iec61966-2-1", "color_primaries": "bt709"})
        with self.subTest("reported"):
            self.assertEqual([l for l in err if l.startswith("encoder_stream_colour ")], [report])

        # The last picture: the encoder has settled by then.
        for honour_vui in (True, False):
            picture = qvx.decode_rgb_frame(annexb, len(records) - 1, width, height, honour_vui=honour_vui)
            for index, (name, painted) in enumerate(PATCHES):
                x, y = patch_centre(width, height, index)
                shown = tuple(picture[(y * width + x) * 3:(y * width + x) * 3 + 3])
                with self.subTest(name, honour_vui=honour_vui):
                    for channel in range(3):
                        self.assertLessEqual(abs(shown[channel] - painted[channel]), TOLERANCE,
                                             f"{name} painted {painted} shows as {shown}")


if __name__ == "__main__":
    unittest.main()
