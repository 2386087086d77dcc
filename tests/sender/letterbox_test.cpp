#include "sender/letterbox.h"

#include <gtest/gtest.h>

namespace quorvex::sender {
namespace {

struct LetterboxCase {
  std::uint32_t source_width, source_height, target_width, target_height;
  FrameRect expected;
};

class LetterboxRect : public testing::TestWithParam<LetterboxCase> {};

TEST_P(LetterboxRect, FitsAndCentresWithOddLeftoverOnRightOrBottom) {
  const auto& c = GetParam();
  EXPECT_EQ(letterbox_rect(c.source_width, c.source_height, c.target_width, c.target_height),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LetterboxRect,
    testing::Values(LetterboxCase{1280, 720, 1920, 1080, {0, 0, 1920, 1080}},
                    LetterboxCase{2560, 1440, 1920, 1080, {0, 0, 1920, 1080}},
                    LetterboxCase{1280, 1024, 1920, 1080, {285, 0, 1635, 1080}},
                    LetterboxCase{1920, 800, 1920, 1080, {0, 140, 1920, 940}},
                    LetterboxCase{1001, 1000, 1000, 1000, {0, 0, 1000, 999}},
                    // Equal aspect ratios take the fit-to-height branch.
                    LetterboxCase{4, 2, 8, 4, {0, 0, 8, 4}},
                    // Products must not overflow 32 bits.
                    LetterboxCase{4294967295u, 1, 1920, 1080, {0, 540, 1920, 540}},
                    LetterboxCase{0, 720, 1920, 1080, {0, 0, 1920, 1080}},
                    LetterboxCase{1280, 0, 1920, 1080, {0, 0, 1920, 1080}},
                    LetterboxCase{1280, 720, 0, 1080, {0, 0, 0, 1080}},
                    LetterboxCase{1280, 720, 1920, 0, {0, 0, 1920, 0}}));

}  // namespace
}  // namespace quorvex::sender
