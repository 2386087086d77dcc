#include "app/session/session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "manual_clock.h"
#include "test_platform.h"

namespace quorvex::testing {
namespace {

using app::Config;
using platform::MonitorHandle;
using platform::WindowHandle;
using platform::fake::FakeDisplay;
using platform::fake::FakeFrame;
using platform::fake::FakeWindow;

// Stops the session at its first frame; remembers what it was given.
struct SessionJournal {
  static inline std::atomic<int> created{0};
  static inline std::atomic<int> frames{0};
  static inline std::optional<std::string> create_error;
};

class StopAtFirstFrame final : public wgc_capture::GraphicsCaptureApiHandler {
 public:
  using Flags = Config;
  static std::expected<std::unique_ptr<StopAtFirstFrame>, wgc_capture::HandlerError> create(
      wgc_capture::HandlerContext<Config> context) {
    static_cast<void>(context);
    if (SessionJournal::create_error) {
      return std::unexpected(wgc_capture::HandlerError{*SessionJournal::create_error});
    }
    ++SessionJournal::created;
    return std::make_unique<StopAtFirstFrame>();
  }
  wgc_capture::HandlerResult on_frame_arrived(wgc_capture::Frame&, wgc_capture::CaptureControl& control) override {
    ++SessionJournal::frames;
    control.stop();
    return {};
  }
  wgc_capture::HandlerResult on_closed() override { return {}; }
};

constexpr std::uint32_t other_process = 99;

FakeWindow window(std::uint64_t handle, std::u16string title) {
  FakeWindow w;
  w.handle = WindowHandle{handle};
  w.process_id = other_process;
  w.title = std::move(title);
  return w;
}

FakeDisplay display(std::uint64_t handle, std::u16string device_name, platform::Rect rect) {
  FakeDisplay d;
  d.handle = MonitorHandle{handle};
  d.device_name = std::move(device_name);
  d.rect = rect;
  return d;
}

struct Outcome {
  std::string result;  // "success" or the error message
  std::string stderr_text;
};

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    SessionJournal::created = 0;
    SessionJournal::frames = 0;
    SessionJournal::create_error.reset();
    // The first display the system enumerates is not the primary one.
    fake.win32_fake.add_display(display(0x20, u"\\\\.\\DISPLAY2", {1920, 0, 3200, 1024}));
    fake.win32_fake.add_display(display(0x10, u"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}));
    fake.capture_fake.script_on_start({FakeFrame{{1920, 1080}, 0}});
  }

  Outcome run(Config config) {
    ::testing::internal::CaptureStderr();
    auto result = app::run_capture_session<StopAtFirstFrame>(std::move(config));
    Outcome outcome{result ? "success" : result.error().message, ::testing::internal::GetCapturedStderr()};
    return outcome;
  }

  std::optional<std::variant<WindowHandle, MonitorHandle>> captured_source() {
    const auto items = fake.capture_fake.created_items();
    if (items.empty()) {
      return std::nullopt;
    }
    return items.front().source;
  }

  TestPlatform fake;
};

TEST_F(SessionTest, BorderLineComesFirstEvenWhenItemCannotBeResolved) {
  Config config;
  config.display_id = 0;
  const Outcome outcome = run(config);
  EXPECT_EQ(outcome.result, "Monitor index is lower than one");
  EXPECT_EQ(outcome.stderr_text, "capture_border hidden=true\n");
  EXPECT_EQ(SessionJournal::created.load(), 0);
}

TEST_F(SessionTest, BorderStaysWhenItCannotBeSwitchedOff) {
  fake.capture_fake.set_property_present(platform::wgc::is_border_required_property, false);
  const Outcome outcome = run(Config{});
  EXPECT_EQ(outcome.result, "success");
  EXPECT_EQ(outcome.stderr_text, "capture_border hidden=false\n");
  EXPECT_FALSE(fake.capture_fake.last_session()->border_required().has_value());
}

TEST_F(SessionTest, SessionHidesBorderAndDrawsCursor) {
  const Outcome outcome = run(Config{});
  ASSERT_EQ(outcome.result, "success");
  EXPECT_EQ(fake.capture_fake.last_session()->border_required(), std::optional<bool>(false));
  EXPECT_EQ(fake.capture_fake.last_session()->cursor_capture_enabled(), std::optional<bool>(true));
  EXPECT_EQ(fake.capture_fake.last_pool_creation()->pixel_format, 87);
  EXPECT_EQ(SessionJournal::frames.load(), 1);
}

TEST_F(SessionTest, FailingBorderQuestionFailsTheSessionWithoutALine) {
  fake.capture_fake.faults().fail("is_property_present", platform::status::e_fail);
  const Outcome outcome = run(Config{});
  EXPECT_EQ(outcome.result, "Windows API error: Unspecified error (0x80004005)");
  EXPECT_EQ(outcome.stderr_text, "");
}

TEST_F(SessionTest, WithoutSelectionThePrimaryDisplayIsCaptured) {
  ASSERT_EQ(run(Config{}).result, "success");
  EXPECT_EQ(captured_source(), (std::variant<WindowHandle, MonitorHandle>(MonitorHandle{0x10})));
}

TEST_F(SessionTest, DisplayIdCountsEnumerationOrder) {
  Config config;
  config.display_id = 1;
  ASSERT_EQ(run(config).result, "success");
  EXPECT_EQ(captured_source(), (std::variant<WindowHandle, MonitorHandle>(MonitorHandle{0x20})));
}

TEST_F(SessionTest, DisplayIdBeyondDisplaysIsNotFound) {
  Config config;
  config.display_id = 3;
  EXPECT_EQ(run(config).result, "Failed to find monitor");
  EXPECT_FALSE(captured_source().has_value());
}

TEST(SessionWithoutPrimaryTest, NoDisplayAtOriginIsNotFound) {
  TestPlatform fake;
  fake.win32_fake.add_display(display(0x20, u"\\\\.\\DISPLAY2", {1920, 0, 3200, 1024}));
  ::testing::internal::CaptureStderr();
  const auto result = app::run_capture_session<StopAtFirstFrame>(Config{});
  static_cast<void>(::testing::internal::GetCapturedStderr());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message, "Failed to find monitor");
}

TEST_F(SessionTest, ValidWindowIdIsCapturedSilently) {
  fake.win32_fake.add_window(window(0x500, u"editor"));
  Config config;
  config.window_id = 0x500;
  config.display_id = 2;  // the window takes precedence
  const Outcome outcome = run(config);
  ASSERT_EQ(outcome.result, "success");
  EXPECT_EQ(outcome.stderr_text, "capture_border hidden=true\n");
  EXPECT_EQ(captured_source(), (std::variant<WindowHandle, MonitorHandle>(WindowHandle{0x500})));
}

// The capture layer only reports a teardown call that failed; the session
// has the fatal line written, the last one before the abort.
TEST_F(SessionTest, AFailedTeardownCallEndsTheProcessWithItsFatalLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        fake.capture_fake.faults().fail("pool.close", platform::status::e_fail);
        static_cast<void>(app::run_capture_session<StopAtFirstFrame>(Config{}));
      },
      "capture_border hidden=true\nFailed to Close Frame Pool: Unspecified error \\(0x80004005\\)");
}

// What session_start will say: the display's listing number (not its
// position), the window's handle and title, and nothing made up where the
// system gives nothing.
TEST_F(SessionTest, TheResolvedItemIsDescribedByItsListingNumberOrItsHandleAndTitle) {
  fake.win32_fake.add_window(window(0x500, u"editor \u00e9"));
  FakeWindow untitled = window(0x501, u"hidden title");
  untitled.title_copy_fails = true;
  fake.win32_fake.add_window(untitled);
  fake.win32_fake.add_display(display(0x30, u"\\\\.\\PROJECTOR", {0, 1080, 800, 1680}));
  struct Case {
    const char* name;
    std::function<void(Config&)> choose;
    app::SessionSource expected;
  };
  const Case cases[] = {
      {"primary display", [](Config&) {}, app::SessionSource::display(1)},
      {"first in enumeration order", [](Config& c) { c.display_id = 1; }, app::SessionSource::display(2)},
      {"by listing number", [](Config& c) { c.display_number = 2; }, app::SessionSource::display(2)},
      {"device name without a number", [](Config& c) { c.display_id = 3; },
       app::SessionSource::display(std::nullopt)},
      {"window", [](Config& c) { c.window_id = 0x500; }, app::SessionSource::window(0x500, "editor \u00e9")},
      {"window whose title cannot be read", [](Config& c) { c.window_id = 0x501; },
       app::SessionSource::window(0x501, "")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Config config;
    c.choose(config);
    auto item = app::resolve_capture_item(config);
    ASSERT_TRUE(item) << item.error().message;
    const app::SessionSource source = app::describe_source(*item);
    EXPECT_EQ(source.kind, c.expected.kind);
    EXPECT_EQ(source.display_number, c.expected.display_number);
    EXPECT_EQ(source.window_id, c.expected.window_id);
    EXPECT_EQ(source.title, c.expected.title);
  }
}

TEST_F(SessionTest, WindowIdFailingTheValidityTestIsNotFound) {
  auto hidden = window(1, u"a");
  hidden.visible = false;
  auto child = window(2, u"b");
  child.style = platform::win32::ws_child;
  auto tool = window(3, u"c");
  tool.ex_style = platform::win32::ws_ex_toolwindow;
  auto own = window(4, u"d");
  own.process_id = fake.win32_fake.current_process_id();
  for (const FakeWindow& w : {hidden, child, tool, own}) {
    fake.win32_fake.add_window(w);
  }
  for (std::uint64_t id : {1u, 2u, 3u, 4u, 0xBADu}) {
    Config config;
    config.window_id = id;
    EXPECT_EQ(run(config).result, "window not found (id)") << id;
  }
  EXPECT_FALSE(captured_source().has_value());
}

struct MarkerCase {
  const char* name;
  std::vector<FakeWindow> windows;
  std::string marker;
  std::optional<std::uint64_t> window_id;  // given as well; the marker wins
  std::uint64_t captured;
};

class TitleMarkerTest : public SessionTest, public ::testing::WithParamInterface<MarkerCase> {};

TEST_P(TitleMarkerTest, CapturesTheFirstCapturableWindowWhoseTitleContainsTheMarkerAndSaysSoOnce) {
  for (const FakeWindow& w : GetParam().windows) {
    fake.win32_fake.add_window(w);
  }
  Config config;
  config.window_title = GetParam().marker;
  config.window_id = GetParam().window_id;

  const Outcome outcome = run(config);

  ASSERT_EQ(outcome.result, "success");
  EXPECT_EQ(outcome.stderr_text, "capture_border hidden=true\ncapture_window found=true title_match=marker\n");
  EXPECT_EQ(captured_source(), (std::variant<WindowHandle, MonitorHandle>(WindowHandle{GetParam().captured})));
}

FakeWindow cloaked(FakeWindow w) {
  w.cloaked = true;
  return w;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TitleMarkerTest,
    ::testing::Values(
        // The same title on another virtual desktop is cloaked: it would
        // capture as nothing.
        MarkerCase{"first_match_after_a_cloaked_one",
                   {window(0x601, u"Mail"), cloaked(window(0x600, u"Tab quorvex-share-7f3a9c2e1b - Browser")),
                    window(0x602, u"Tab quorvex-share-7f3a9c2e1b - Browser"),
                    window(0x603, u"quorvex-share-7f3a9c2e1b copy")},
                   "quorvex-share-7f3a9c2e1b",
                   0x601,
                   0x602},
        MarkerCase{"case_sensitive",
                   {window(0x601, u"QUORVEX-SHARE-7F3A9C2E1B"), window(0x602, u"quorvex-share-7f3a9c2e1b")},
                   "quorvex-share-7f3a9c2e1b",
                   std::nullopt,
                   0x602},
        MarkerCase{"empty_marker_takes_the_first_window",
                   {window(0x701, u""), window(0x702, u"second")},
                   "",
                   std::nullopt,
                   0x701},
        MarkerCase{"unreadable_title_does_not_hide_a_later_match",
                   {window(0x801, u"broken \xD800 title"), window(0x802, u"share-marker-0123456789")},
                   "share-marker-0123456789",
                   std::nullopt,
                   0x802}),
    [](const ::testing::TestParamInfo<MarkerCase>& info) { return std::string(info.param.name); });

// The search's waiting runs on a manual clock: each pause between passes
// moves it by exactly the retry interval, so seconds of searching take none.
TEST_F(SessionTest, MarkerAppearingAfterThreeSecondsIsFoundAtTheNextPass) {
  fake.win32_fake.add_window(window(0x901, u"Loading..."));
  app::ManualClock clock;
  clock.after_sleep = [&](app::SessionClock::time_point) {
    if (clock.elapsed() == std::chrono::seconds(3)) {
      fake.win32_fake.set_window_title(WindowHandle{0x901}, u"Meeting late-marker-abcdef0123");
    }
  };

  const auto found = app::find_window_by_title_marker("late-marker-abcdef0123", clock);

  ASSERT_TRUE(found) << found.error().message;
  EXPECT_EQ(found->handle(), WindowHandle{0x901});
  EXPECT_EQ(clock.elapsed(), std::chrono::seconds(3));
  // A pass every 100 ms: at 0, 0.1, ..., 3.0 s.
  EXPECT_EQ(fake.win32_fake.faults().calls("enum_child_windows"), 31u);
}

TEST_F(SessionTest, MarkerThatNeverAppearsGivesUpAfterFiveSeconds) {
  fake.win32_fake.add_window(window(0xA01, u"Mail"));
  app::ManualClock clock;

  const auto found = app::find_window_by_title_marker("never-there-0123456789", clock);

  ASSERT_FALSE(found);
  EXPECT_EQ(found.error().message, "shared tab window not found (title marker)");
  EXPECT_EQ(clock.elapsed(), std::chrono::seconds(5));
  // Passes at 0, 0.1, ..., 5.0 s, and no pause after the last.
  EXPECT_EQ(fake.win32_fake.faults().calls("enum_child_windows"), 51u);
  EXPECT_EQ(clock.sleeps(), 50);
}

TEST_F(SessionTest, FailingEnumerationIsRetriedUntilItRecovers) {
  fake.win32_fake.add_window(window(0xB01, u"share-marker-retry-0001"));
  fake.win32_fake.faults().fail("enum_child_windows", platform::status::error_access_denied, 1);
  Config config;
  config.window_title = "share-marker-retry-0001";
  ASSERT_EQ(run(config).result, "success");
  EXPECT_EQ(fake.win32_fake.faults().calls("enum_child_windows"), 2u);
}

TEST_F(SessionTest, CaptureErrorBecomesTheSessionError) {
  SessionJournal::create_error = "no hardware encoder";
  EXPECT_EQ(run(Config{}).result, "New handler error: no hardware encoder");
}

}  // namespace
}  // namespace quorvex::testing
