// The lines whose fields carry outside text (a window title or an encoder
// name must never break a line or pass for another field), numbers at their
// limits, and the error texts a parent matches.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "app/diagnostics.h"

namespace quorvex::app {
namespace {

diagnostics::SessionStart start_of(SessionSource source, std::string encoder = "Vendor H.264 Encoder MFT") {
  return {.source = std::move(source),
          .width = 1280,
          .height = 720,
          .fps = 30,
          .bitrate = 4'000'000,
          .pacing = sender::PacingRule::Strict,
          .encoder = std::move(encoder)};
}

TEST(SessionStartLine, NamesTheDisplayByItsListingNumber) {
  EXPECT_EQ(diagnostics::session_start(start_of(SessionSource::display(2))).text(),
            "session_start source=display display_number=2 width=1280 height=720 fps=30 bitrate=4000000 "
            "pacing=strict encoder=Vendor_H.264_Encoder_MFT");
  auto grid = start_of(SessionSource::display(std::nullopt), "");
  grid.pacing = sender::PacingRule::Grid;
  EXPECT_EQ(diagnostics::session_start(grid).text(),
            "session_start source=display width=1280 height=720 fps=30 bitrate=4000000 pacing=grid "
            "encoder=unnamed");
}

TEST(SessionStartLine, ATitleCannotBreakTheLineOrAddAField) {
  struct Case {
    std::string title;
    std::string field;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"Meet — Chrome", R"("Meet — Chrome")"},
      {"a\" fps=1 b", R"("a\" fps=1 b")"},
      {"back\\slash", R"("back\\slash")"},
      {"two\nlines\r\n", R"("two\nlines\r\n")"},
      {std::string("nul\0bell\x07", 9), R"("nul\u0000bell\u0007")"},
      {"bad \xFF byte", "\"bad \xEF\xBF\xBD byte\""},
  };
  for (const Case& c : cases) {
    const std::string line = diagnostics::session_start(start_of(SessionSource::window(4242, c.title))).text();
    EXPECT_EQ(line, "session_start source=window window_id=4242 width=1280 height=720 fps=30 bitrate=4000000 "
                    "pacing=strict encoder=Vendor_H.264_Encoder_MFT title=" +
                        c.field)
        << c.title;
    EXPECT_EQ(line.find_first_of("\n\r"), std::string::npos) << c.title;
  }
}

TEST(EncoderLatencyLine, WritesEveryDigitOfTheLargestNumbers) {
  EXPECT_EQ(diagnostics::encoder_latency({3, 7, 2}).text(), "encoder_latency p50_ms=3 p95_ms=7 in_flight_max=2");
  EXPECT_EQ(diagnostics::encoder_latency({0, std::numeric_limits<std::uint64_t>::max(), 0}).text(),
            "encoder_latency p50_ms=0 p95_ms=18446744073709551615 in_flight_max=0");
}

TEST(EncoderStalledText, CountsFramesInEnglish) {
  EXPECT_EQ(diagnostics::encoder_stalled_no_output(2, 1), "encoder stalled: no output for 2 s with 1 frame in flight");
  EXPECT_EQ(diagnostics::encoder_stalled_no_output(2, 0), "encoder stalled: no output for 2 s with 0 frames in flight");
  EXPECT_EQ(diagnostics::encoder_stalled_no_output(2, 3), "encoder stalled: no output for 2 s with 3 frames in flight");
  EXPECT_EQ(diagnostics::encoder_stalled_hung_call(2), "encoder stalled: a call into the encoder has not returned for 2 s");
}

// Only the lines that a frame, a tick or a parent's command can repeat
// without bound may be dropped by a full queue; the fatal line goes out
// before the abort.
TEST(LineFates, OnlyUnboundedLinesMayBeDropped) {
  using diagnostics::Kind;
  using diagnostics::LineFate;
  for (const Kind kind : {Kind::Error, Kind::EncoderThreadFailed, Kind::EncoderFinishFailed, Kind::NativeEncoderSummary,
                          Kind::SessionEnd, Kind::SessionStart, Kind::DiagnosticsDropped, Kind::EncoderCandidate}) {
    EXPECT_EQ(diagnostics::info(kind).fate, LineFate::Keep) << diagnostics::info(kind).name;
  }
  for (const Kind kind : {Kind::EncodeLatencyMs, Kind::EncoderLatency, Kind::FrameMailbox, Kind::LatencyBreakdown,
                          Kind::CaptureTiming, Kind::ControlIgnored, Kind::EncoderRate, Kind::CaptureResized,
                          Kind::EncoderControlKeyframe}) {
    EXPECT_EQ(diagnostics::info(kind).fate, LineFate::MayDrop) << diagnostics::info(kind).name;
  }
  EXPECT_EQ(diagnostics::fatal("Failed to Close Frame Pool", "Unspecified error (0x80004005)").fate(),
            LineFate::Final);
}

}  // namespace
}  // namespace quorvex::app
