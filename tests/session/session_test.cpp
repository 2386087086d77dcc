#include "app/session/session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

TEST_F(SessionTest, TitleMarkerPicksFirstMatchingWindowAndSaysSoOnce) {
  fake.win32_fake.add_window(window(0x601, u"Mail"));
  // The same title on another virtual desktop: cloaked, it would capture as
  // nothing.
  auto elsewhere = window(0x600, u"Tab quorvex-share-7f3a9c2e1b - Browser");
  elsewhere.cloaked = true;
  fake.win32_fake.add_window(elsewhere);
  fake.win32_fake.add_window(window(0x602, u"Tab quorvex-share-7f3a9c2e1b - Browser"));
  fake.win32_fake.add_window(window(0x603, u"quorvex-share-7f3a9c2e1b copy"));
  Config config;
  config.window_title = "quorvex-share-7f3a9c2e1b";
  config.window_id = 0x601;  // the marker takes precedence

  const Outcome outcome = run(config);

  ASSERT_EQ(outcome.result, "success");
  EXPECT_EQ(outcome.stderr_text, "capture_border hidden=true\ncapture_window found=true title_match=marker\n");
  EXPECT_EQ(captured_source(), (std::variant<WindowHandle, MonitorHandle>(WindowHandle{0x602})));
}

TEST_F(SessionTest, TitleMarkerIsCaseSensitive) {
  fake.win32_fake.add_window(window(0x601, u"QUORVEX-SHARE-7F3A9C2E1B"));
  fake.win32_fake.add_window(window(0x602, u"quorvex-share-7f3a9c2e1b"));
  Config config;
  config.window_title = "quorvex-share-7f3a9c2e1b";
  ASSERT_EQ(run(config).result, "success");
  EXPECT_EQ(captured_source(), (std::variant<WindowHandle, MonitorHandle>(WindowHandle{0x602})));
}

TEST_F(SessionTest, EmptyMarkerSelectsFirstWindow) {
  fake.win32_fake.add_window(window(0x701, u""));
  fake.win32_fake.add_window(window(0x702, u"second"));
  Config config;
  config.window_title = "";
  ASSERT_EQ(run(config).result, "success");
  EXPECT_EQ(captured_source(), (std::variant<WindowHandle, MonitorHandle>(WindowHandle{0x701})));
}

TEST_F(SessionTest, UnreadableTitleDoesNotHideALaterMatch) {
  fake.win32_fake.add_window(window(0x801, u"broken \xD800 title"));
  fake.win32_fake.add_window(window(0x802, u"share-marker-0123456789"));
  Config config;
  config.window_title = "share-marker-0123456789";
  ASSERT_EQ(run(config).result, "success");
  EXPECT_EQ(captured_source(), (std::variant<WindowHandle, MonitorHandle>(WindowHandle{0x802})));
}

TEST_F(SessionTest, MarkerAppearingAfterThreeSecondsIsFound) {
  fake.win32_fake.add_window(window(0x901, u"Loading..."));
  std::thread retitle([this] {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    fake.win32_fake.set_window_title(WindowHandle{0x901}, u"Meeting late-marker-abcdef0123");
  });
  Config config;
  config.window_title = "late-marker-abcdef0123";

  const auto begin = std::chrono::steady_clock::now();
  const Outcome outcome = run(config);
  const auto waited = std::chrono::steady_clock::now() - begin;
  retitle.join();

  ASSERT_EQ(outcome.result, "success");
  EXPECT_GE(waited, std::chrono::seconds(3));
  EXPECT_EQ(outcome.stderr_text, "capture_border hidden=true\ncapture_window found=true title_match=marker\n");
  EXPECT_EQ(captured_source(), (std::variant<WindowHandle, MonitorHandle>(WindowHandle{0x901})));
}

TEST_F(SessionTest, MarkerThatNeverAppearsGivesUpAfterAboutFiveSeconds) {
  fake.win32_fake.add_window(window(0xA01, u"Mail"));
  Config config;
  config.window_title = "never-there-0123456789";

  const auto begin = std::chrono::steady_clock::now();
  const Outcome outcome = run(config);
  const auto waited = std::chrono::steady_clock::now() - begin;

  EXPECT_EQ(outcome.result, "shared tab window not found (title marker)");
  EXPECT_EQ(outcome.stderr_text, "capture_border hidden=true\n");
  EXPECT_GE(waited, std::chrono::seconds(5));
  EXPECT_LT(waited, std::chrono::seconds(30));
  // Retried every 100 ms rather than once or in a busy loop.
  const auto attempts = fake.win32_fake.faults().calls("enum_child_windows");
  EXPECT_GE(attempts, 20u);
  EXPECT_LE(attempts, 52u);
  EXPECT_EQ(SessionJournal::created.load(), 0);
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
