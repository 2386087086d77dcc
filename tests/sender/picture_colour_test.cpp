#include "sender/picture_colour.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sender/h264_sps.h"

namespace quorvex::sender {
namespace {

std::vector<std::byte> from_hex(std::string_view hex) {
  std::vector<std::byte> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// The sizes on each side of the rule a player applies to a stream without a
// colour description.
TEST(PictureColourMatrix, IsWhatAPlayerGuessesForTheSize) {
  struct Case {
    std::uint32_t width, height;
    ColourMatrix matrix;
  };
  for (const Case c : {Case{1920, 1080, ColourMatrix::Bt709}, Case{1280, 480, ColourMatrix::Bt709},
                       Case{1279, 576, ColourMatrix::Bt601}, Case{1024, 577, ColourMatrix::Bt709},
                       Case{720, 576, ColourMatrix::Bt601}, Case{640, 360, ColourMatrix::Bt601}}) {
    EXPECT_EQ(picture_colour_matrix(c.width, c.height), c.matrix) << c.width << "x" << c.height;
  }
}

// Baseline 320x240 sequence parameter sets written by x264 with the colour
// options ffmpeg passes on; the size must read the same whatever the VUI.
TEST(StreamColour, ReadsTheVideoSignalTypeOfRealParameterSets) {
  struct Case {
    const char* what;
    const char* hex;
    std::optional<VideoSignalType> signal;
    StreamColourWords words;
  };
  const Case cases[] = {
      {"no video signal type", "6742c00dd90141fb011000000300100000030320f142a480", std::nullopt,
       {"unspecified", "unspecified"}},
      {"bt709 studio range", "6742c00dd90141fb016a020202800000030080000019078a1524",
       VideoSignalType{false, 1, 1, 1}, {"bt709", "limited"}},
      {"smpte170m full range", "6742c00dd90141fb016e0c0c0c800000030080000019078a1524",
       VideoSignalType{true, 6, 6, 6}, {"bt601", "full"}},
      {"full range without a colour description", "6742c00dd90141fb016c800000030080000019078a1524",
       VideoSignalType{true, std::nullopt, std::nullopt, std::nullopt}, {"unspecified", "full"}},
      {"matrix alone", "6742c00dd90141fb016a040402800000030080000019078a1524", VideoSignalType{false, 2, 2, 1},
       {"bt709", "limited"}},
  };
  for (const Case& c : cases) {
    const auto sps = parse_sps(from_hex(c.hex));
    ASSERT_TRUE(sps) << c.what;
    EXPECT_EQ(sps->size, (PictureSize{320, 240})) << c.what;
    EXPECT_EQ(sps->video_signal, c.signal) << c.what;
    const StreamColourWords words = stream_colour_words(sps->video_signal);
    EXPECT_EQ(words.matrix, c.words.matrix) << c.what;
    EXPECT_EQ(words.range, c.words.range) << c.what;
  }
}

TEST(StreamColour, MatrixCodesOutsideBt601AndBt709AreOther) {
  for (const std::uint8_t code : {0, 4, 7, 9}) {
    EXPECT_EQ(stream_colour_words(VideoSignalType{false, 1, 1, code}).matrix, "other") << int{code};
  }
  EXPECT_EQ(stream_colour_words(VideoSignalType{false, 2, 2, 2}).matrix, "unspecified");
}

// A VUI cut off anywhere says nothing rather than codes read from missing
// bits, and the size in front of it still reads.
TEST(StreamColour, CutOffVuiGivesNoSignalButKeepsTheSize) {
  const auto whole = from_hex("6742c00dd90141fb016a020202800000030080000019078a1524");
  const auto full = parse_sps(whole);
  ASSERT_TRUE(full && full->video_signal);
  bool some_cut_kept_the_size = false;
  for (std::size_t cut = 1; cut < whole.size(); ++cut) {
    const auto sps = parse_sps(std::span(whole).first(cut));
    if (!sps) {
      continue;
    }
    EXPECT_EQ(sps->size, (PictureSize{320, 240})) << cut;
    EXPECT_TRUE(!sps->video_signal || sps->video_signal == full->video_signal) << cut;
    some_cut_kept_the_size = some_cut_kept_the_size || !sps->video_signal;
  }
  EXPECT_TRUE(some_cut_kept_the_size);
}

}  // namespace
}  // namespace quorvex::sender
