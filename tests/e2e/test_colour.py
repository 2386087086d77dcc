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


class ColourTest(unittest.TestCase):
    def test_flat_patches_decode_to_their_colours_with_the_signalled_matrix_and_range(self):
        # The primary display is 1920x1080, the output size: no scaling. A
        # generous bitrate keeps quantisation well inside the tolerance even
        # when a slow (sanitizer) build encodes fewer, costlier frames.
        code, out, err, _ = qvx.run_helper([*qvx.duration(1), "--bitrate", "40000000"])
        self.assertEqual(code, 0, "\n".join(err))
        records = qvx.parse_records(out)
        annexb = b"".join(r.payload for r in records)

        with self.subTest("signalled"):
            self.assertEqual(qvx.probe_colour(annexb),
                             {"color_space": "smpte170m", "color_range": "tv",
                              "color_transfer": "iec61966-2-1", "color_primaries": "bt709"})

        # The last picture: the encoder has settled by then.
        picture = qvx.decode_rgb_frame(annexb, len(records) - 1, 1920, 1080)
        for index, (name, painted) in enumerate(PATCHES):
            x, y = patch_centre(1920, 1080, index)
            shown = tuple(picture[(y * 1920 + x) * 3:(y * 1920 + x) * 3 + 3])
            with self.subTest(name):
                for channel in range(3):
                    self.assertLessEqual(abs(shown[channel] - painted[channel]), TOLERANCE,
                                         f"{name} painted {painted} shows as {shown}")


if __name__ == "__main__":
    unittest.main()
