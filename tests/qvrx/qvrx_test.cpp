#include "qvrx/qvrx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "qvrx/annex_b.h"
#include "sender/byte_sink.h"
#include "sender/windows_encoder.h"

namespace quorvex::tools {
namespace {

std::vector<std::byte> bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) {
    out.push_back(static_cast<std::byte>(v));
  }
  return out;
}

TEST(NalUnitTypesTest, FindsUnitsBehindThreeAndFourByteStartCodes) {
  const auto access_unit = bytes({0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x65, 0x88, 0x84});
  EXPECT_EQ(nal_unit_types(access_unit), (std::vector<std::uint8_t>{7, 8, 5}));
}

TEST(NalUnitTypesTest, StartCodeAtTheVeryEndHasNoUnit) {
  EXPECT_EQ(nal_unit_types(bytes({0, 0, 1, 0x41, 0x9A, 0, 0, 1})), (std::vector<std::uint8_t>{1}));
  EXPECT_TRUE(nal_unit_types(bytes({})).empty());
}

class QvrxTest : public ::testing::Test {
 protected:
  QvrxTest() {
    directory = std::filesystem::temp_directory_path() /
                ("qvrx_test_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(directory);
  }
  ~QvrxTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }

  std::string write_stream(const std::vector<std::byte>& stream) {
    const auto path = (directory / "capture.qvrx").string();
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
    return path;
  }

  std::vector<std::byte> two_records() {
    sender::MemorySink sink;
    EXPECT_TRUE(sender::write_frame_record(sink, 1'700'000'000'000'000'001ull, true, idr).has_value());
    EXPECT_TRUE(sender::write_frame_record(sink, 1'700'000'000'033'333'334ull, false, slice).has_value());
    return sink.bytes;
  }

  int run(std::vector<std::string> args) {
    out.str("");
    err.str("");
    return run_qvrx(args, out, err);
  }

  std::filesystem::path directory;
  std::ostringstream out;
  std::ostringstream err;
  const std::vector<std::byte> idr = bytes({0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x65, 0x88});
  const std::vector<std::byte> slice = bytes({0, 0, 0, 1, 0x41, 0x9A, 0x02});
};

TEST_F(QvrxTest, ListShowsEveryRecordWithItsNalUnits) {
  const std::string path = write_stream(two_records());
  EXPECT_EQ(run({"list", path}), 0);
  EXPECT_EQ(out.str(),
            "index=0 offset=0 timestamp_ns=1700000000000000001 size=18 keyframe=true nal_types=7,8,5\n"
            "index=1 offset=42 timestamp_ns=1700000000033333334 size=7 keyframe=false nal_types=1\n"
            "records=2 keyframes=1 payload_bytes=25\n");
  EXPECT_EQ(err.str(), "");
}

TEST_F(QvrxTest, CheckNamesTheFirstMalformedByte) {
  auto stream = two_records();
  stream[42 + 3] = std::byte{'x'};  // inside the second record's magic
  const std::string path = write_stream(stream);
  EXPECT_EQ(run({"check", path}), 1);
  EXPECT_NE(err.str().find("at byte offset 45"), std::string::npos) << err.str();
  EXPECT_EQ(out.str(), "records=1 keyframes=1 payload_bytes=18\n");
}

TEST_F(QvrxTest, CheckRejectsACutOffStream) {
  auto stream = two_records();
  stream.resize(stream.size() - 1);
  EXPECT_EQ(run({"check", write_stream(stream)}), 1);
  EXPECT_NE(err.str().find("at byte offset 42"), std::string::npos) << err.str();
}

TEST_F(QvrxTest, UnpackWritesThePayloadsBackToBack) {
  const std::string path = write_stream(two_records());
  const std::string h264 = (directory / "capture.h264").string();
  ASSERT_EQ(run({"unpack", path, h264}), 0);
  std::ifstream in(h264, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> expected = idr;
  expected.insert(expected.end(), slice.begin(), slice.end());
  ASSERT_EQ(written.size(), expected.size());
  EXPECT_EQ(std::memcmp(written.data(), expected.data(), expected.size()), 0);
}

// Clock options that are malformed or incomplete must be refused before any
// decoding starts, so a typo never turns into a plausible-looking listing.
TEST_F(QvrxTest, ListRefusesMalformedClockOptions) {
  const std::string path = write_stream(two_records());
  const std::vector<std::vector<std::string>> cases = {
      {"--clock"},                                   // no picture size
      {"--size", "640x360"},                         // size without --clock
      {"--clock", "--size", "640"},                  // no height
      {"--clock", "--size", "640x360x2"},            // trailing text
      {"--clock", "--size", "0x360"},                // empty picture
      {"--clock", "--size", "-640x360"},             // negative
      {"--clock", "--size", "640x360", "--strip", "0,0,1"},    // three values
      {"--clock", "--size", "640x360", "--strip", "0,0,0,1"},  // zero scale
      {"--clock", "--size", "640x360", "--strip"},   // missing value
      {"--clock", "--size", "640x360", "--frobnicate"},
  };
  for (const auto& options : cases) {
    std::vector<std::string> args = {"list", path};
    args.insert(args.end(), options.begin(), options.end());
    EXPECT_EQ(run(args), 2) << ::testing::PrintToString(options);
    EXPECT_EQ(out.str(), "") << ::testing::PrintToString(options);
  }
}

TEST_F(QvrxTest, UsageAndMissingFilesAreErrors) {
  EXPECT_EQ(run({}), 2);
  EXPECT_EQ(run({"frobnicate", "x"}), 2);
  EXPECT_EQ(run({"unpack", "x"}), 2);
  EXPECT_EQ(run({"check", (directory / "absent.qvrx").string()}), 1);
  EXPECT_NE(err.str().find("cannot open"), std::string::npos);
}

}  // namespace
}  // namespace quorvex::tools
