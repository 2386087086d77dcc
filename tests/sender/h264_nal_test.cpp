#include "sender/h264_nal.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace quorvex::sender {
namespace {

// Bytes from space-separated hex pairs.
std::vector<std::byte> bytes(const std::string& hex) {
  std::vector<std::byte> out;
  for (std::size_t i = 0; i < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<std::byte>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

struct FillerCase {
  const char* name;
  std::string in;
  std::string out;
};

class FillerRemoval : public testing::TestWithParam<FillerCase> {};

TEST_P(FillerRemoval, TakesOutFillerUnitsAndLeavesEveryOtherByte) {
  std::vector<std::byte> unit = bytes(GetParam().in);
  const std::vector<std::byte> expected = bytes(GetParam().out);
  const std::size_t before = unit.size();
  EXPECT_EQ(remove_filler_units(unit), before - expected.size());
  EXPECT_EQ(unit, expected);
}

// SPS 67, PPS 68, IDR slice 65, P slice 41, filler 0C (FF… then the
// trailing 80), access unit delimiter 09.
INSTANTIATE_TEST_SUITE_P(
    Table, FillerRemoval,
    testing::Values(
        FillerCase{"NoFiller", "00 00 00 01 67 42 00 00 01 68 CE 00 00 01 65 88 84",
                   "00 00 00 01 67 42 00 00 01 68 CE 00 00 01 65 88 84"},
        FillerCase{"FillerAtTheEnd", "00 00 00 01 41 9A 0C 00 00 00 01 0C FF FF FF 80",
                   "00 00 00 01 41 9A 0C"},
        // The next unit keeps its four-byte start code.
        FillerCase{"FillerBetweenUnits", "00 00 00 01 09 10 00 00 01 0C FF 80 00 00 00 01 41 9A",
                   "00 00 00 01 09 10 00 00 00 01 41 9A"},
        FillerCase{"TrailingZerosGoWithTheFiller", "00 00 00 01 41 9A 00 00 00 01 0C FF 80 00 00",
                   "00 00 00 01 41 9A"},
        FillerCase{"SeveralFillers", "00 00 00 01 0C FF 80 00 00 00 01 41 9A 00 00 01 0C 80 00 00 01 0C FF FF 80",
                   "00 00 00 01 41 9A"},
        // Only the header's low five bits name the type.
        FillerCase{"TypeFromTheLowFiveBits", "00 00 00 01 41 9A 00 00 01 6C FF 80 00 00 01 2C 01",
                   "00 00 00 01 41 9A"},
        FillerCase{"OnlyFiller", "00 00 00 01 0C FF FF 80", ""}, FillerCase{"Empty", "", ""},
        FillerCase{"NoStartCode", "0C FF 80", "0C FF 80"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvex::sender
