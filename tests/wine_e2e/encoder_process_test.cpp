// The real Windows executable run as the parent runs it: the exit status,
// the exact bytes on its standard streams, and no hang or crash dialog
// where Wine lacks a service the program needs.
#include <gtest/gtest.h>

#include "command_line_error_cases.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "child_process.h"
#include "under_wine.h"

namespace quorvex::wine_e2e {
namespace {

using namespace std::chrono_literals;

// Generous: Wine starts a process in well under a second, but a loaded CI
// machine may take many times that. A hang still fails.
constexpr auto child_limit = 60s;

ChildOutcome run_encoder(const std::vector<std::string>& args) {
  ChildOutcome outcome = run_to_end(QVX_ENCODER_PATH, args, child_limit);
  EXPECT_TRUE(outcome.started) << "cannot start " << QVX_ENCODER_PATH;
  EXPECT_FALSE(outcome.timed_out) << "the program did not end";
  return outcome;
}

using quorvex::testing_cases::ProcessCase;

class CommandLineErrors : public testing::TestWithParam<ProcessCase> {};

// The same table as the host's process test, minus the rows whose answer
// depends on the desktop: the parent sees the same bytes on both systems,
// so a line feed turned into CR LF, or an argument mangled by the ANSI code
// page, fails here.
TEST_P(CommandLineErrors, GiveTheHostsBytesStatusOneAndNoStdout) {
  const auto& c = GetParam();
  const ChildOutcome outcome = run_encoder(c.args);
  EXPECT_EQ(outcome.exit_code, 1u);
  EXPECT_EQ(outcome.err, c.stderr_bytes);
  EXPECT_EQ(outcome.out, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLineErrors,
                         testing::ValuesIn(quorvex::testing_cases::command_line_error_cases()));

// What --list-sources printed, split into its entries.
struct Catalogue {
  struct Display {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
  };
  struct Window {
    std::uint64_t id = 0;
    std::string app;
    std::string title;
  };
  std::vector<Display> displays;
  std::vector<Window> windows;
};

// Recognises the document only in its exact compact shape (members in key
// order, one line), so a stray byte anywhere fails the parse.
std::optional<Catalogue> parse_catalogue(const std::string& document) {
  static const std::string text = R"("(?:[^"\\]|\\.)*")";
  static const std::string display = R"(\{"height":(\d+),"id":[^,]*,"name":)" + text + R"(,"width":(\d+)\})";
  static const std::string window =
      R"(\{"app":()" + text + R"(),"id":(\d+),"thumbnail":(?:null|)" + text + R"(),"title":()" + text + R"()\})";
  static const std::regex whole(R"(\{"displays":\[(?:)" + display + "(?:," + display + R"()*)?\],"windows":\[(?:)" +
                                window + "(?:," + window + R"()*)?\]\}\n)");
  if (!std::regex_match(document, whole)) {
    return std::nullopt;
  }
  Catalogue catalogue;
  const std::string::size_type split = document.find("],\"windows\":[");
  const std::string displays = document.substr(0, split);
  const std::string windows = document.substr(split);
  const std::regex one_display(display);
  for (std::sregex_iterator it(displays.begin(), displays.end(), one_display), end; it != end; ++it) {
    catalogue.displays.push_back({.width = std::stoull((*it)[2]), .height = std::stoull((*it)[1])});
  }
  const std::regex one_window(window);
  for (std::sregex_iterator it(windows.begin(), windows.end(), one_window), end; it != end; ++it) {
    const std::string app = (*it)[1];
    const std::string title = (*it)[3];
    catalogue.windows.push_back(
        {std::stoull((*it)[2]), app.substr(1, app.size() - 2), title.substr(1, title.size() - 2)});
  }
  return catalogue;
}

// The helper (another process) owns a visible titled top-level window, a
// hidden one and a tool window while the test runs.
class SourceListing : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(helper_.started()) << "cannot start " << QVX_WINDOW_HELPER_PATH;
    const std::string line = helper_.first_line(child_limit);
    unsigned long long visible = 0, hidden = 0, tool = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "visible=%llu hidden=%llu tool=%llu", &visible, &hidden, &tool), 3)
        << "helper said '" << line << "'";
    visible_ = visible;
    hidden_ = hidden;
    tool_ = tool;
  }

  RunningChild helper_{QVX_WINDOW_HELPER_PATH, {std::to_string(GetCurrentProcessId())}};
  std::uint64_t visible_ = 0, hidden_ = 0, tool_ = 0;
};

TEST_F(SourceListing, PrintsOneJsonLineWithTheScreenAndOnlyShareableWindows) {
  const ChildOutcome outcome = run_encoder({"--list-sources"});
  EXPECT_EQ(outcome.exit_code, 0u) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  // Binary standard output: the line ends in a bare line feed.
  EXPECT_EQ(outcome.out.find('\r'), std::string::npos);
  const auto catalogue = parse_catalogue(outcome.out);
  ASSERT_TRUE(catalogue) << "not one compact JSON line: " << outcome.out;

  ASSERT_FALSE(catalogue->displays.empty()) << outcome.out;
  if (platform::windows::testing::under_wine()) {
    // The test script's Xvfb screen.
    ASSERT_EQ(catalogue->displays.size(), 1u) << outcome.out;
    EXPECT_EQ(catalogue->displays[0].width, 1920u);
    EXPECT_EQ(catalogue->displays[0].height, 1080u);
  }

  std::vector<std::uint64_t> ids;
  for (const auto& w : catalogue->windows) {
    ids.push_back(w.id);
    if (w.id == visible_) {
      EXPECT_EQ(w.title, "Quorvex helper visible");
      EXPECT_EQ(w.app, "window_helper.exe");
    }
  }
  EXPECT_NE(std::find(ids.begin(), ids.end(), visible_), ids.end()) << "visible window missing: " << outcome.out;
  EXPECT_EQ(std::find(ids.begin(), ids.end(), hidden_), ids.end()) << "hidden window listed";
  EXPECT_EQ(std::find(ids.begin(), ids.end(), tool_), ids.end()) << "tool window listed";
}

using platform::windows::testing::under_wine;

// Wine has no hardware H.264 encoder transform; the probe must say so in
// its own words, whatever text the system has (none, for Wine's codes), and
// never fall back to software.
TEST(Preflight, RefusesWithoutAHardwareEncoder) {
  if (!under_wine()) {
    GTEST_SKIP() << "a Windows machine may have a hardware encoder";
  }
  for (const char* mode : {"--preflight", "--request-permission"}) {
    const ChildOutcome outcome = run_encoder({mode});
    EXPECT_EQ(outcome.exit_code, 1u) << mode;
    EXPECT_EQ(outcome.out, "") << mode;
    EXPECT_EQ(outcome.err, "error: hardware H.264 encoder unavailable; software fallback refused\n") << mode;
  }
}

// Wine 8 has not implemented ApiInformation.IsPropertyPresent, so a session
// fails at its first question, whether the capture border can be switched
// off, before its "capture_border" line: the question itself failed. What
// matters to the parent: one error line, status 1, no record, no crash
// dialog and no hang.
TEST(CaptureSession, FailsWithTheEndLineAndOneErrorLineWhenTheBorderQuestionFails) {
  if (!under_wine()) {
    GTEST_SKIP() << "Windows answers the question and captures";
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"--source", "window", "--window-id", "12345"}}) {
    const ChildOutcome outcome = run_encoder(args);
    EXPECT_EQ(outcome.exit_code, 1u);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "session_end reason=error\nerror: Windows API error: Not implemented. (0x80004001)\n");
  }
}

}  // namespace
}  // namespace quorvex::wine_e2e
