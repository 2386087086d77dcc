#include "qvrx/qvrx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sender/byte_sink.h"
#include "sender/h264_nal.h"
#include "sender/h264_sps.h"
#include "sender/windows_encoder.h"

namespace quorvex::tools {
namespace {

using sender::annex_b_parameter_sets;
using sender::annex_b_picture_size;
using sender::nal_unit_types;
using sender::PictureSize;
using sender::sps_picture_size;

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

// A container's header keeps the parameter sets: exactly the SPS and PPS
// units, without the zero bytes before a start code that belong to no unit,
// and nothing at all from an access unit without an SPS.
TEST(ParameterSetsTest, TakesTheSpsAndPpsUnitsOnly) {
  const struct {
    const char* what;
    std::vector<std::byte> access_unit;
    std::vector<std::byte> sets;
  } cases[] = {
      {"SPS, PPS, SEI and IDR slice",
       bytes({0, 0, 0, 1, 0x67, 0x42, 0xC0, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x06, 0x05, 0, 0, 1, 0x65, 0x88}),
       bytes({0, 0, 0, 1, 0x67, 0x42, 0xC0, 0, 0, 0, 1, 0x68, 0xCE})},
      {"padding zeros after a unit", bytes({0, 0, 1, 0x67, 0x42, 0, 0, 0, 0, 0, 1, 0x68, 0xCE, 0, 0}),
       bytes({0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE})},
      {"a slice alone", bytes({0, 0, 0, 1, 0x41, 0x9A}), {}},
      {"a PPS without an SPS", bytes({0, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x41, 0x9A}), {}},
      {"nothing", {}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(annex_b_parameter_sets(c.access_unit), c.sets) << c.what;
  }
}

std::vector<std::byte> from_hex(std::string_view hex) {
  std::vector<std::byte> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// Sequence parameter sets as encoders wrote them, with the size each one
// announces: cropping in 4:2:0, 4:4:4 and interlaced 4:2:2 units, scaling
// matrices, emulation prevention bytes.
struct SpsCase {
  const char* name;
  const char* hex;
  PictureSize size;
};

const SpsCase sps_cases[] = {
    {"host stand-in baseline 1080p", "6742c028da01e0089f9610000003001000000303ce6a000f424001e84e4920078c1950",
     {1920, 1080}},
    {"high 640x360", "6764001eacd940a02ff97ff0003000410000030001000003003c0f162d96", {640, 360}},
    {"high 4:4:4 1366x768", "67f40020919b280ac0c3c5fff81000155880000003008000001e078c18cb", {1366, 768}},
    {"interlaced 4:2:2 720x576", "677a001fbcd940b424dff80080007880000003008000001e0f8b16cb", {720, 576}},
    {"scaling matrices 352x290", "67640015acd941609fe23ff0091008410000030001000003003c0f162d96", {352, 290}},
};

TEST(SpsPictureSizeTest, ReadsTheCroppedSizeOfRealParameterSets) {
  for (const SpsCase& c : sps_cases) {
    EXPECT_EQ(sps_picture_size(from_hex(c.hex)), c.size) << c.name;
    std::vector<std::byte> access_unit = bytes({0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1});
    const auto sps = from_hex(c.hex);
    access_unit.insert(access_unit.end(), sps.begin(), sps.end());
    access_unit.insert(access_unit.end(), {std::byte{0}, std::byte{0}, std::byte{1}, std::byte{0x68}, std::byte{0xCE}});
    EXPECT_EQ(annex_b_picture_size(access_unit), c.size) << c.name;
  }
}

TEST(SpsPictureSizeTest, CutOffOrForeignUnitsGiveNoSize) {
  const auto sps = from_hex(sps_cases[0].hex);
  // A prefix that ends before the cropping fields gives nothing, never a
  // size read from missing bits.
  for (std::size_t cut = 0; cut < sps.size(); ++cut) {
    const auto size = sps_picture_size(std::span(sps).first(cut));
    EXPECT_TRUE(!size || *size == sps_cases[0].size) << cut;
    EXPECT_TRUE(cut > 8 || !size) << cut;
  }
  auto pps = sps;
  pps[0] = std::byte{0x68};
  EXPECT_FALSE(sps_picture_size(pps).has_value());
  EXPECT_FALSE(annex_b_picture_size(bytes({0, 0, 1, 0x41, 0x9A, 0, 0, 1, 0x65})).has_value());
}

// A scaling-list delta lies in -128..127; the reader once added a larger one
// to its running value and overflowed. The same 320x240 unit with the
// largest allowed delta, and with 2^31 - 1.
TEST(SpsPictureSizeTest, ScalingListDeltaOutsideItsRangeGivesNoSize) {
  EXPECT_EQ(sps_picture_size(from_hex("6764001ead80fefffe02d0283f20")), (PictureSize{320, 240}));
  EXPECT_FALSE(sps_picture_size(from_hex("6764001ead8000000300fffffffefffe02d0283f20")).has_value());
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

// unpack's output can be standard output, so its totals go to standard
// error and nothing but payload bytes may reach standard output.
TEST_F(QvrxTest, UnpackWritesThePayloadsBackToBack) {
  const std::string path = write_stream(two_records());
  const std::string h264 = (directory / "capture.h264").string();
  ASSERT_EQ(run({"unpack", path, h264}), 0);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "qvrx: records=2 keyframes=1 payload_bytes=25\n");
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

TEST_F(QvrxTest, StatsAddsUpEachSecond) {
  const std::string path = write_stream(two_records());
  ASSERT_EQ(run({"stats", path}), 0) << err.str();
  // Two records 33.3 ms apart: the stream lasts until one interval after the
  // second one.
  EXPECT_EQ(out.str(),
            "second=0 records=2 fps=30.00 bitrate_bps=3000 keyframes=1 largest_bytes=18 filler_bytes=0 "
            "filler_share=0.000\n"
            "total duration_s=0.067 records=2 fps=30.00 bitrate_bps=3000 keyframes=1 largest_bytes=18 filler_bytes=0 "
            "filler_share=0.000\n");
  ASSERT_EQ(run({"stats", path, "--json"}), 0) << err.str();
  EXPECT_TRUE(out.str().starts_with("{\"seconds\":[{\"second\":0,")) << out.str();
}

// Filler units are counted from the payloads, start codes included.
TEST_F(QvrxTest, StatsCountsFillerAndSendsTheRecordsThroughTheLink) {
  sender::MemorySink sink;
  std::vector<std::byte> padded = slice;
  const std::vector<std::byte> filler = bytes({0, 0, 0, 1, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 1, 0x0C, 0x80});
  padded.insert(padded.end(), filler.begin(), filler.end());
  ASSERT_TRUE(sender::write_frame_record(sink, 1'700'000'000'000'000'001ull, true, idr).has_value());
  ASSERT_TRUE(sender::write_frame_record(sink, 1'700'000'000'033'333'334ull, false, padded).has_value());
  const std::string path = write_stream(sink.bytes);
  ASSERT_EQ(run({"stats", path, "--link-rate", "1440"}), 0) << err.str();
  const std::string total = out.str().substr(out.str().find("total "));
  // 18 and 22 bytes at 180 bytes/s: 100 ms, then the link is free again after
  // 33 ms and the second needs 122.2 ms.
  EXPECT_NE(total.find(" largest_bytes=22 filler_bytes=15 filler_share=0.375 link_rate_bps=1440 "
                       "link_delay_p50_ms=100.000 link_delay_p95_ms=188.889 link_delay_p99_ms=188.889 "
                       "link_delay_max_ms=188.889\n"),
            std::string::npos)
      << total;
  ASSERT_EQ(run({"stats", path, "--json", "--link-rate", "1440"}), 0) << err.str();
  EXPECT_NE(out.str().find("\"keyframe_indexes\":[0]"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("\"first_timestamp_ns\":1700000000000000001,\"last_timestamp_ns\":1700000000033333334"),
            std::string::npos)
      << out.str();
}

TEST_F(QvrxTest, UsageErrorsGoToStandardErrorAndHelpToStandardOutput) {
  const std::string path = write_stream(two_records());
  const std::vector<std::vector<std::string>> usage_errors = {
      {},
      {"frobnicate", "x"},
      {"unpack", "x"},
      {"mux", path},
      {"mux", path, "capture.avi"},
      {"plot", path},
      {"stats", path, "--frobnicate"},
      {"list", path, "--json"},
      {"check", path, "extra"},
  };
  for (const auto& args : usage_errors) {
    EXPECT_EQ(run(args), 2) << ::testing::PrintToString(args);
    EXPECT_EQ(out.str(), "") << ::testing::PrintToString(args);
    EXPECT_NE(err.str().find("usage: qvrx check"), std::string::npos) << ::testing::PrintToString(args);
  }
  // A command that does not exist is named, beside the usage.
  for (const auto& args : std::vector<std::vector<std::string>>{{"chek", path}, {"chek"}, {"--frobnicate"}}) {
    EXPECT_EQ(run(args), 2) << ::testing::PrintToString(args);
    EXPECT_EQ(out.str(), "") << ::testing::PrintToString(args);
    EXPECT_TRUE(err.str().starts_with("qvrx: unknown command: " + args[0] + "\nusage: qvrx check"))
        << ::testing::PrintToString(args) << err.str();
  }
  EXPECT_EQ(run({"--version"}), 0);
  EXPECT_TRUE(out.str().starts_with("qvrx ")) << out.str();
  EXPECT_TRUE(out.str().ends_with("\n")) << out.str();
  EXPECT_EQ(out.str().find('\n'), out.str().size() - 1) << out.str();
  EXPECT_EQ(err.str(), "");
  for (const char* help : {"--help", "-h", "help"}) {
    EXPECT_EQ(run({help}), 0) << help;
    EXPECT_TRUE(out.str().starts_with("usage: qvrx check")) << help;
    EXPECT_NE(out.str().find("  mux "), std::string::npos) << help;
    EXPECT_EQ(err.str(), "") << help;
  }
}

// The reason comes from the system, so a typo and a permission problem read
// differently.
TEST_F(QvrxTest, AFileThatCannotBeOpenedSaysWhy) {
  const std::string absent = (directory / "absent.qvrx").string();
  for (const char* command : {"check", "list", "stats"}) {
    EXPECT_EQ(run({command, absent}), 1) << command;
    EXPECT_EQ(err.str(), "qvrx: cannot open " + absent + ": No such file or directory\n") << command;
  }
  const std::string nowhere = (directory / "no-such-folder" / "out.h264").string();
  EXPECT_EQ(run({"unpack", write_stream(two_records()), nowhere}), 1);
  EXPECT_EQ(err.str(), "qvrx: cannot create " + nowhere + ": No such file or directory\n");
}

}  // namespace
}  // namespace quorvex::tools
