#include "app/session/control_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace quorvex::app {
namespace {

// Hands out scripted input in chunks of at most chunk_size bytes, then either
// reports end of input or a read error.
class ScriptedByteSource final : public ByteSource {
 public:
  ScriptedByteSource(std::string input, std::size_t chunk_size, bool fail_at_end = false)
      : input_(std::move(input)), chunk_size_(chunk_size), fail_at_end_(fail_at_end) {}

  std::optional<std::size_t> read_some(std::span<char> buffer) override {
    if (position_ == input_.size()) {
      if (fail_at_end_) {
        return std::nullopt;
      }
      return 0;
    }
    const std::size_t n = std::min({buffer.size(), chunk_size_, input_.size() - position_});
    std::memcpy(buffer.data(), input_.data() + position_, n);
    position_ += n;
    return n;
  }

 private:
  std::string input_;
  std::size_t chunk_size_;
  bool fail_at_end_;
  std::size_t position_ = 0;
};

constexpr std::uint64_t kInitialContentSize = pack_content_size(800, 600);

struct CollectedLines final : diagnostics::Sink {
  explicit CollectedLines(std::vector<std::string>& into) : written(into) {}
  void write(const diagnostics::Line& line) override { written.push_back(line.text()); }
  std::vector<std::string>& written;
};

// The cells as the parser leaves them in title-marker mode, and everything the
// reader wrote to the diagnostics.
struct ReaderRun {
  KeyframeRequestCell keyframe_request = std::make_shared<std::atomic<bool>>(false);
  ContentSizeCell content_size = std::make_shared<std::atomic<std::uint64_t>>(kInitialContentSize);
  PausedCell paused = std::make_shared<std::atomic<bool>>(false);
  StopRequestCell stop_request = std::make_shared<std::atomic<bool>>(false);
  StopReasonCell stop_reason = std::make_shared<std::atomic<SessionEnd>>(SessionEnd::Signal);
  bool stop_at_end_of_input = false;
  ControlBellCell bell = nullptr;
  bool crop_applies = true;
  RateRequestCell rate_request = std::make_shared<RateRequests>();
  std::uint32_t max_fps = 30;
  std::vector<std::string> diagnostics;

  void read(ByteSource& source) {
    CollectedLines lines{diagnostics};
    run_control_reader(source,
                       {.keyframe_request = keyframe_request,
                        .content_size = content_size,
                        .paused = paused,
                        .stop_request = stop_request,
                        .stop_reason = stop_reason,
                        .stop_at_end_of_input = stop_at_end_of_input,
                        .bell = bell,
                        .crop_applies = crop_applies,
                        .rate_request = rate_request,
                        .max_fps = max_fps},
                       lines);
  }
  void read(std::string input, std::size_t chunk_size = 4096) {
    ScriptedByteSource source(std::move(input), chunk_size);
    read(source);
  }
};

struct CommandCase {
  std::string name;
  std::string input;
  bool keyframe_request;
  bool paused;
  std::uint64_t content_size;
  std::vector<std::string> diagnostics;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class ControlReaderCommands : public testing::TestWithParam<std::tuple<CommandCase, std::size_t>> {};

TEST_P(ControlReaderCommands, AppliesEachLineWhateverTheReadSizes) {
  const auto& [c, chunk_size] = GetParam();
  ReaderRun run;
  run.read(c.input, chunk_size);
  EXPECT_EQ(run.keyframe_request->load(), c.keyframe_request);
  EXPECT_EQ(run.paused->load(), c.paused);
  EXPECT_EQ(run.content_size->load(), c.content_size);
  EXPECT_EQ(run.diagnostics, c.diagnostics);
}

const std::string kPausedTrue = "capture_window paused=true";
const std::string kPausedFalse = "capture_window paused=false";
const std::string kUnknownMalformed = "control_ignored command=unknown reason=malformed";

INSTANTIATE_TEST_SUITE_P(
    Cases, ControlReaderCommands,
    testing::Combine(
        testing::Values(
            CommandCase{"EmptyInput", "", false, false, kInitialContentSize, {}},
            CommandCase{"Keyframe", "KEYFRAME\n", true, false, kInitialContentSize, {}},
            CommandCase{"KeyframeTwiceIsStillOneFlag", "KEYFRAME\nKEYFRAME\n", true, false, kInitialContentSize, {}},
            CommandCase{"Pause", "PAUSE\n", false, true, kInitialContentSize, {kPausedTrue}},
            CommandCase{"PauseWithCrLf", "PAUSE\r\n", false, true, kInitialContentSize, {kPausedTrue}},
            CommandCase{"PauseTwiceReportsTwice", "PAUSE\nPAUSE\n", false, true, kInitialContentSize,
                        {kPausedTrue, kPausedTrue}},
            CommandCase{"ResumeClearsPauseAndRequestsKeyframe", "PAUSE\nRESUME\n", true, false, kInitialContentSize,
                        {kPausedTrue, kPausedFalse}},
            CommandCase{"ResumeWhileRunningStillReportsAndRequests", "RESUME\n", true, false, kInitialContentSize,
                        {kPausedFalse}},
            CommandCase{"CropStoresWidthHighHeightLow", "CROP 1280 720\n", false, false,
                        (std::uint64_t{1280} << 32) | 720, {"capture_window crop=1280x720"}},
            CommandCase{"LastCropWins", "CROP 1280 720\nCROP 2 16384\n", false, false,
                        (std::uint64_t{2} << 32) | 16384,
                        {"capture_window crop=1280x720", "capture_window crop=2x16384"}},
            CommandCase{"LastLineWithoutLineFeedRuns", "PAUSE\nCROP 640 480", false, true,
                        (std::uint64_t{640} << 32) | 480, {kPausedTrue, "capture_window crop=640x480"}},
            CommandCase{"SoleLineWithoutLineFeedRuns", "KEYFRAME", true, false, kInitialContentSize, {}},
            CommandCase{"IgnoredLinesChangeNothing",
                        "\n\n   \nkeyframe\nPAUSE now\nCROP 1 720\nCROP 1280\nKEYFRAME\xFF\n\xC3\x28\nRESUME\xC0\n",
                        false, false, kInitialContentSize,
                        // Blank lines are no attempt at a command; every other line is told.
                        {kUnknownMalformed, "control_ignored command=PAUSE reason=malformed",
                         "control_ignored command=CROP reason=out_of_range", "control_ignored command=CROP reason=malformed",
                         kUnknownMalformed, kUnknownMalformed, kUnknownMalformed}},
            CommandCase{"IgnoredLinesDoNotDisturbTheNext", "bogus\n\xFF\xFE\nPAUSE\n\nKEYFRAME\n", true, true,
                        kInitialContentSize, {kUnknownMalformed, kUnknownMalformed, kPausedTrue}},
            // A NUL inside a line makes it no command; it must not cut the
            // line short either.
            CommandCase{"EmbeddedNulIsNoCommand", std::string("PAUSE\0X\nKEYFRAME\n", 17), true, false,
                        kInitialContentSize, {kUnknownMalformed}}),
        testing::Values(std::size_t{1}, std::size_t{3}, std::size_t{4096})),
    [](const auto& info) {
      return std::get<0>(info.param).name + "_ReadsOf" + std::to_string(std::get<1>(info.param));
    });

// The pipeline answers a key-frame request on a still screen only when told:
// the bell rings after each request, with the request already visible.
TEST(ControlReader, BellRingsAfterEveryKeyframeRequestWithTheRequestSet) {
  ReaderRun run;
  auto bell = std::make_shared<ControlBell>();
  run.bell = bell;
  std::vector<bool> request_seen;
  bell->attach([&] { request_seen.push_back(run.keyframe_request->exchange(false)); });
  run.read("KEYFRAME\nPAUSE\nCROP 10 10\nbogus\nRESUME\n");
  EXPECT_EQ(request_seen, (std::vector<bool>{true, true}));
  bell->detach();
  bell->ring();
  EXPECT_EQ(request_seen.size(), 2u) << "a detached listener ran";
}

// BITRATE and FPS leave their value for the encoder (the newer of two wins)
// and ring the bell so that it takes them on a still screen too. FPS above
// the session's rate and bad numbers are told and leave the request alone.
TEST(ControlReader, RateCommandsLeaveTheirRequestAndRingTheBell) {
  const struct {
    std::string input;
    std::uint32_t bitrate;
    std::uint32_t fps;
    int rings;
    std::vector<std::string> diagnostics;
  } cases[] = {
      {"BITRATE 4000000\n", 4'000'000, 0, 1, {}},
      {"BITRATE 4000000\nBITRATE +0500000\r\n", 500'000, 0, 2, {}},
      {"FPS 15\n", 0, 15, 1, {}},
      {"FPS 1\nFPS 30\n", 0, 30, 2, {}},
      {"FPS 31\n", 0, 0, 0, {"control_ignored command=FPS reason=out_of_range"}},
      {"FPS 0\nBITRATE 0\nBITRATE 4294967296\n", 0, 0, 0,
       {"control_ignored command=FPS reason=out_of_range", "control_ignored command=BITRATE reason=out_of_range",
        "control_ignored command=BITRATE reason=out_of_range"}},
      {"FPS 15 fps\nBITRATE\nBITRATE 4M\n", 0, 0, 0,
       {"control_ignored command=FPS reason=malformed", "control_ignored command=BITRATE reason=malformed",
        "control_ignored command=BITRATE reason=malformed"}},
      {"FPS 10\nFPS 60\nBITRATE 1\n", 1, 10, 2, {"control_ignored command=FPS reason=out_of_range"}},
  };
  for (const auto& c : cases) {
    ReaderRun run;
    auto bell = std::make_shared<ControlBell>();
    run.bell = bell;
    int rings = 0;
    bell->attach([&rings] { ++rings; });
    run.read(c.input);
    EXPECT_EQ(run.rate_request->bitrate.load(), c.bitrate) << c.input;
    EXPECT_EQ(run.rate_request->fps.load(), c.fps) << c.input;
    EXPECT_EQ(rings, c.rings) << c.input;
    EXPECT_EQ(run.diagnostics, c.diagnostics) << c.input;
    EXPECT_FALSE(run.keyframe_request->load()) << c.input;
  }
}

TEST(ControlReader, ReadErrorEndsWithoutRunningTheCutLine) {
  ReaderRun run;
  ScriptedByteSource source("PAUSE\nKEYFRAME", 4096, /*fail_at_end=*/true);
  run.read(source);
  EXPECT_TRUE(run.paused->load());
  EXPECT_FALSE(run.keyframe_request->load());
  EXPECT_EQ(run.diagnostics, std::vector<std::string>{kPausedTrue});
}

// STOP and, when asked for, the end of input request the session's end, each
// with its reason; a STOP keeps its reason when the input ends after it.
TEST(ControlReader, StopAndTheEndOfInputRequestTheEndWithTheirReason) {
  struct Case {
    std::string input;
    bool stop_at_end_of_input;
    bool read_error;
    bool stopped;
    SessionEnd reason;
    std::size_t lines_told;
  };
  const Case cases[] = {
      {"STOP\n", false, false, true, SessionEnd::Stop, 0},
      {"  STOP\r\n", false, false, true, SessionEnd::Stop, 0},
      {"STOP", true, false, true, SessionEnd::Stop, 0},
      {"KEYFRAME\n", true, false, true, SessionEnd::InputClosed, 0},
      {"", true, false, true, SessionEnd::InputClosed, 0},
      {"PAUSE\n", true, true, true, SessionEnd::InputClosed, 1},
      {"KEYFRAME\n", false, false, false, SessionEnd::Signal, 0},
      {"stop\nSTOP now\nSTOP  \x01\n", false, false, false, SessionEnd::Signal, 3},
  };
  for (const Case& c : cases) {
    ReaderRun run;
    run.stop_at_end_of_input = c.stop_at_end_of_input;
    ScriptedByteSource source(c.input, 4096, c.read_error);
    run.read(source);
    EXPECT_EQ(run.stop_request->load(), c.stopped) << c.input;
    EXPECT_EQ(run.stop_reason->load(), c.reason) << c.input;
    EXPECT_EQ(run.diagnostics.size(), c.lines_told) << c.input;
  }
}

// CROP in a session it cannot act on (a display, a whole window) keeps its
// line and says it had no effect.
TEST(ControlReader, CropWhereItDoesNotApplyIsStoredAndToldSo) {
  ReaderRun run;
  run.crop_applies = false;
  run.read("CROP 640 480\n");
  EXPECT_EQ(run.diagnostics, (std::vector<std::string>{"capture_window crop=640x480",
                                                       "control_ignored command=CROP reason=not_applicable"}));
}

// Junk without a line feed must neither exhaust memory nor swallow the
// commands that follow it.
TEST(ControlReader, OverlongJunkLineIsSkippedAndTheNextCommandStillWorks) {
  for (const std::size_t chunk_size : {std::size_t{7}, std::size_t{4096}}) {
    ReaderRun run;
    run.read(std::string(100 * 1024, 'x') + "\nCROP 1280 720\nPAUSE\n", chunk_size);
    EXPECT_EQ(run.content_size->load(), pack_content_size(1280, 720)) << chunk_size;
    EXPECT_TRUE(run.paused->load()) << chunk_size;
    EXPECT_EQ(run.diagnostics, (std::vector<std::string>{"capture_window crop=1280x720", kPausedTrue}))
        << chunk_size;
  }
}

TEST(ControlLineReader, MemoryStaysBoundedAcrossAnOverlongLine) {
  ScriptedByteSource source(std::string(1024 * 1024, 'x') + "\nKEYFRAME\n" + std::string(300 * 1024, 'y'), 4096);
  ControlLineReader reader(source);
  const auto line = reader.next_line();
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, "KEYFRAME\n");
  EXPECT_LE(reader.line_capacity(), ControlLineReader::kMaxLineBytes);
  // Trailing junk without a line feed is no line at all.
  EXPECT_FALSE(reader.next_line().has_value());
  EXPECT_LE(reader.line_capacity(), ControlLineReader::kMaxLineBytes);
}

TEST(ControlLineReader, LineOfExactlyTheLimitIsKeptOneMoreByteIsNot) {
  constexpr std::size_t kMax = ControlLineReader::kMaxLineBytes;
  const std::string at_limit = "PAUSE" + std::string(kMax - 6, ' ') + "\n";
  const std::string over_limit = "KEYFRAME" + std::string(kMax - 8, ' ') + "\n";
  ASSERT_EQ(at_limit.size(), kMax);
  ASSERT_EQ(over_limit.size(), kMax + 1);
  ScriptedByteSource source(at_limit + over_limit + "RESUME\n", 1000);
  ControlLineReader reader(source);
  EXPECT_EQ(reader.next_line(), std::optional<std::string_view>(at_limit));
  EXPECT_EQ(reader.next_line(), std::optional<std::string_view>("RESUME\n"));
  EXPECT_FALSE(reader.next_line().has_value());
}

// The consumers read and exchange the cells while the reader writes them;
// the sanitizer runs of this suite check that every access is atomic.
TEST(ControlReader, CellsAreSafeToUseWhileTheReaderWrites) {
  // Every crop has height = width + 1, so a torn pair would show.
  std::string input;
  for (int i = 0; i < 2000; ++i) {
    const int width = 2 + i % 1000;
    input += "PAUSE\nCROP " + std::to_string(width) + " " + std::to_string(width + 1) + "\nRESUME\n";
  }
  ReaderRun run;
  std::thread reader([&run, input] { run.read(input, 64); });
  int keyframes_seen = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t size = run.content_size->load();
    if (size != kInitialContentSize) {
      ASSERT_EQ(content_height(size), content_width(size) + 1) << std::hex << size;
    }
    static_cast<void>(run.paused->load());
    keyframes_seen += run.keyframe_request->exchange(false) ? 1 : 0;
  }
  reader.join();
  keyframes_seen += run.keyframe_request->exchange(false) ? 1 : 0;
  EXPECT_GE(keyframes_seen, 1);
  EXPECT_FALSE(run.paused->load());
  EXPECT_EQ(run.content_size->load(), pack_content_size(2 + 1999 % 1000, 3 + 1999 % 1000));
  EXPECT_EQ(run.diagnostics.size(), 3u * 2000u);
}

}  // namespace
}  // namespace quorvex::app
