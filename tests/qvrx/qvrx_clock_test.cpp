// qvrx list --clock against a real H.264 stream: pictures carrying known
// frame-clock stamps are encoded with ffmpeg's libx264, wrapped into frame
// records, and must come back with their stamps, in record order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "qvrx/qvrx.h"
#include "sender/byte_sink.h"
#include "sender/windows_encoder.h"
#include "testing/frame_clock.h"

namespace quorvex::tools {
namespace {

constexpr int width = 640;
constexpr int height = 360;
constexpr int strip_x = 64;
constexpr int strip_y = 100;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class QvrxClockTest : public ::testing::Test {
 protected:
  QvrxClockTest() {
    directory = std::filesystem::temp_directory_path() /
                ("qvrx_clock_test_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(directory);
  }
  ~QvrxClockTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }

  // Encodes one picture per entry (a grey picture without strip for
  // nullopt) and writes them as frame records; returns the stream's path.
  std::string encode(const std::vector<std::optional<testing::FrameClockStamp>>& stamps) {
    const auto raw_path = directory / "pictures.bgra";
    {
      std::ofstream raw(raw_path, std::ios::binary);
      std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width) * height * 4);
      for (const auto& stamp : stamps) {
        std::fill(bgra.begin(), bgra.end(), std::uint8_t{128});
        if (stamp) {
          testing::draw_frame_clock_bgra({bgra.data(), width * 4, width, height}, strip_x, strip_y, *stamp);
        }
        raw.write(reinterpret_cast<const char*>(bgra.data()), static_cast<std::streamsize>(bgra.size()));
      }
    }
    // One access unit delimiter per picture marks where each record starts.
    const auto h264_path = directory / "pictures.h264";
    std::ostringstream command;
    command << "ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt bgra -s " << width << "x" << height
            << " -r 30 -i '" << raw_path.string() << "' -c:v libx264 -preset ultrafast -bf 0 -pix_fmt yuv420p"
            << " -x264-params aud=1 -f h264 '" << h264_path.string() << "'";
    EXPECT_EQ(std::system(command.str().c_str()), 0) << command.str();
    const std::string h264 = read_file(h264_path);
    const std::string delimiter("\0\0\0\1\x09", 5);
    sender::MemorySink sink;
    std::size_t start = h264.find(delimiter);
    std::uint64_t timestamp_ns = 1'700'000'000'000'000'000ull;
    while (start != std::string::npos) {
      const std::size_t next = h264.find(delimiter, start + delimiter.size());
      const std::string unit = h264.substr(start, next == std::string::npos ? std::string::npos : next - start);
      const bool keyframe = start == h264.find(delimiter);
      EXPECT_TRUE(sender::write_frame_record(sink, timestamp_ns, keyframe, std::as_bytes(std::span(unit))).has_value());
      timestamp_ns += 33'333'333;
      start = next;
    }
    const auto stream_path = (directory / "pictures.qvrx").string();
    std::ofstream stream(stream_path, std::ios::binary);
    stream.write(reinterpret_cast<const char*>(sink.bytes.data()), static_cast<std::streamsize>(sink.bytes.size()));
    return stream_path;
  }

  // The clock part of each record line ("clock_frame=… clock_ms=…" or
  // "clock=unreadable").
  std::vector<std::string> clocks() const {
    std::vector<std::string> result;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
      if (const auto at = line.find(" clock"); line.starts_with("index=") && at != std::string::npos) {
        result.push_back(line.substr(at + 1));
      }
    }
    return result;
  }

  int run(std::vector<std::string> args) {
    out.str("");
    err.str("");
    return run_qvrx(args, out, err);
  }

  std::filesystem::path directory;
  std::ostringstream out;
  std::ostringstream err;
};

TEST_F(QvrxClockTest, EveryRecordGetsTheStampOfItsOwnPicture) {
  const std::string stream = encode({testing::FrameClockStamp{7, 4'000'000'001u},
                                     testing::FrameClockStamp{8, 4'000'000'018u}, std::nullopt,
                                     testing::FrameClockStamp{0xFFFFFFFFu, 0}});
  ASSERT_EQ(run({"list", stream, "--clock", "--size", "640x360", "--strip", "64,100,1,1"}), 0) << err.str();
  EXPECT_EQ(clocks(), (std::vector<std::string>{"clock_frame=7 clock_ms=4000000001",
                                                 "clock_frame=8 clock_ms=4000000018", "clock=unreadable",
                                                 "clock_frame=4294967295 clock_ms=0"}))
      << out.str();
  EXPECT_NE(out.str().find("records=4 keyframes=1"), std::string::npos);
}

TEST_F(QvrxClockTest, StripLookedForInTheWrongPlaceIsUnreadableNotMisread) {
  const std::string stream = encode({testing::FrameClockStamp{7, 12345}, testing::FrameClockStamp{8, 12378}});
  ASSERT_EQ(run({"list", stream, "--clock", "--size", "640x360", "--strip", "72,100,1,1"}), 0) << err.str();
  EXPECT_EQ(clocks(), (std::vector<std::string>{"clock=unreadable", "clock=unreadable"}));
}

TEST_F(QvrxClockTest, PictureSizeComesFromTheStreamWhenNotGiven) {
  const std::string stream = encode({testing::FrameClockStamp{21, 99}, testing::FrameClockStamp{22, 132}});
  ASSERT_EQ(run({"list", stream, "--clock", "--strip", "64,100,1,1"}), 0) << err.str();
  EXPECT_EQ(clocks(), (std::vector<std::string>{"clock_frame=21 clock_ms=99", "clock_frame=22 clock_ms=132"}));
}

TEST_F(QvrxClockTest, WrongPictureSizeIsAnErrorNotAListOfGarbage) {
  const std::string stream = encode({testing::FrameClockStamp{1, 1}, testing::FrameClockStamp{2, 2},
                                     testing::FrameClockStamp{3, 3}});
  EXPECT_EQ(run({"list", stream, "--clock", "--size", "320x180"}), 1);
  EXPECT_NE(err.str().find("wrong --size?"), std::string::npos) << err.str();
  EXPECT_EQ(run({"list", stream, "--clock", "--size", "1280x720"}), 1);
  EXPECT_NE(err.str().find("wrong --size?"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace quorvex::tools
