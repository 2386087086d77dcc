// The lines whose fields carry outside text: a window title or an encoder
// name must never break a line or pass for another field.
#include <gtest/gtest.h>

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
  EXPECT_EQ(diagnostics::session_start(start_of(SessionSource::display(2))),
            "session_start source=display display_number=2 width=1280 height=720 fps=30 bitrate=4000000 "
            "pacing=strict encoder=Vendor_H.264_Encoder_MFT");
  auto grid = start_of(SessionSource::display(std::nullopt), "");
  grid.pacing = sender::PacingRule::Grid;
  EXPECT_EQ(diagnostics::session_start(grid),
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
    const std::string line = diagnostics::session_start(
        start_of(SessionSource::window(4242, c.title)));
    EXPECT_EQ(line, "session_start source=window window_id=4242 width=1280 height=720 fps=30 bitrate=4000000 "
                    "pacing=strict encoder=Vendor_H.264_Encoder_MFT title=" +
                        c.field)
        << c.title;
    EXPECT_EQ(line.find_first_of("\n\r"), std::string::npos) << c.title;
  }
}

}  // namespace
}  // namespace quorvex::app
