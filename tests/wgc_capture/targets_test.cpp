#include <gtest/gtest.h>

#include "test_platform.h"
#include "wgc_capture/monitor.h"
#include "wgc_capture/window.h"

namespace quorvex::testing {
namespace {

using platform::MonitorHandle;
using platform::WindowHandle;
using platform::fake::FakeDisplay;
using platform::fake::FakeWindow;
using wgc_capture::Monitor;
using wgc_capture::Window;

constexpr std::uint32_t other_process = 77;

FakeDisplay display(std::uint64_t handle, std::u16string device_name) {
  FakeDisplay d;
  d.handle = MonitorHandle{handle};
  d.device_name = std::move(device_name);
  return d;
}

class MonitorTest : public ::testing::Test {
 protected:
  MonitorTest() {
    fake.win32_fake.add_display(display(0x20, u"\\\\.\\DISPLAY2"));
    fake.win32_fake.add_display(display(0x10, u"\\\\.\\DISPLAY1"));
  }
  TestPlatform fake;
};

TEST_F(MonitorTest, IndexZeroFailsWithoutEnumerating) {
  const auto monitor = Monitor::from_index(0);
  ASSERT_FALSE(monitor.has_value());
  EXPECT_EQ(monitor.error().message(), "Monitor index is lower than one");
  EXPECT_EQ(fake.win32_fake.faults().calls("enum_display_monitors"), 0u);
}

TEST_F(MonitorTest, IndexCountsEnumerationOrderNotDeviceNumber) {
  const auto first = Monitor::from_index(1);
  const auto second = Monitor::from_index(2);
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(first->handle(), MonitorHandle{0x20});
  EXPECT_EQ(second->handle(), MonitorHandle{0x10});
}

TEST_F(MonitorTest, IndexBeyondDisplayCountIsNotFound) {
  for (std::uint64_t index : {std::uint64_t{3}, std::uint64_t{~0ull}}) {
    const auto monitor = Monitor::from_index(index);
    ASSERT_FALSE(monitor.has_value());
    EXPECT_EQ(monitor.error().message(), "Failed to find monitor");
  }
}

TEST_F(MonitorTest, FailingEnumerationCarriesTheSystemError) {
  fake.win32_fake.faults().fail("enum_display_monitors", platform::status::error_access_denied);
  const auto monitor = Monitor::from_index(1);
  ASSERT_FALSE(monitor.has_value());
  EXPECT_EQ(monitor.error().message(), "Windows API error: Access is denied. (0x00000005)");
}

TEST_F(MonitorTest, DeviceNameIsDecodedUpToItsTerminator) {
  const auto name = Monitor(MonitorHandle{0x10}).device_name();
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(*name, "\\\\.\\DISPLAY1");
}

TEST_F(MonitorTest, DeviceNameErrors) {
  fake.win32_fake.add_display(display(0x30, u"\\\\.\\DISPLAY\xD800"));
  auto no_info = display(0x40, u"x");
  no_info.monitor_info_fails = true;
  fake.win32_fake.add_display(no_info);

  const auto unpaired = Monitor(MonitorHandle{0x30}).device_name();
  ASSERT_FALSE(unpaired.has_value());
  EXPECT_EQ(unpaired.error().message(), "Failed to convert windows string: invalid utf-16: lone surrogate found");

  const auto without_info = Monitor(MonitorHandle{0x40}).device_name();
  ASSERT_FALSE(without_info.has_value());
  EXPECT_EQ(without_info.error().message(), "Failed to get monitor info");
}

class WindowTest : public ::testing::Test {
 protected:
  static FakeWindow capturable(std::uint64_t handle) {
    FakeWindow w;
    w.handle = WindowHandle{handle};
    w.process_id = other_process;
    w.title = u"t";
    return w;
  }
  TestPlatform fake;
};

TEST_F(WindowTest, EnumerationKeepsOnlyCapturableWindowsInOrder) {
  auto own = capturable(1);
  own.process_id = fake.win32_fake.current_process_id();
  auto hidden = capturable(2);
  hidden.visible = false;
  auto child = capturable(3);
  child.style = platform::win32::ws_child;
  auto tool = capturable(4);
  tool.ex_style = platform::win32::ws_ex_toolwindow;
  auto unreadable_client = capturable(5);
  unreadable_client.client_rect_error = platform::status::error_invalid_window_handle;
  auto empty_client = capturable(6);
  empty_client.client_rect = {};
  // A failure that leaves the last error at 0 does not count.
  auto failure_without_error = capturable(7);
  failure_without_error.client_rect_error = 0;
  auto plain = capturable(8);
  // Visible yet shown nowhere: a suspended app's frame, another desktop's.
  auto cloaked = capturable(9);
  cloaked.cloaked = true;
  for (const FakeWindow& w :
       {plain, own, hidden, child, tool, unreadable_client, empty_client, failure_without_error, cloaked}) {
    fake.win32_fake.add_window(w);
  }

  const auto windows = Window::enumerate();

  ASSERT_TRUE(windows.has_value());
  std::vector<std::uint64_t> handles;
  for (const Window& w : *windows) {
    handles.push_back(w.handle().value);
  }
  EXPECT_EQ(handles, (std::vector<std::uint64_t>{8, 6, 7}));
  // A window given by its id is not second-guessed.
  EXPECT_TRUE(Window::is_valid(WindowHandle{9}));
}

TEST_F(WindowTest, UnknownHandleIsNotValid) { EXPECT_FALSE(Window::is_valid(WindowHandle{0xDEAD})); }

TEST_F(WindowTest, FailingEnumerationIsAWindowsError) {
  fake.win32_fake.add_window(capturable(1));
  fake.win32_fake.faults().fail("enum_child_windows", platform::status::error_access_denied);
  const auto windows = Window::enumerate();
  ASSERT_FALSE(windows.has_value());
  EXPECT_EQ(windows.error().message(), "Windows API error: Access is denied. (0x00000005)");
}

struct TitleCase {
  const char* name;
  std::u16string title;
  bool copy_fails;
  std::string expected;  // or the error message
  bool is_error;
};

class WindowTitleTest : public WindowTest, public ::testing::WithParamInterface<TitleCase> {};

TEST_P(WindowTitleTest, DecodesStrictlyAndReadsMissingTitlesAsEmpty) {
  auto w = capturable(9);
  w.title = GetParam().title;
  w.title_copy_fails = GetParam().copy_fails;
  fake.win32_fake.add_window(w);

  const auto title = Window(WindowHandle{9}).title();

  if (GetParam().is_error) {
    ASSERT_FALSE(title.has_value());
    EXPECT_EQ(title.error().message(), GetParam().expected);
  } else {
    ASSERT_TRUE(title.has_value()) << title.error().message();
    EXPECT_EQ(*title, GetParam().expected);
  }
}

const char* const lone_surrogate =
    "Failed to convert windows string from UTF-16: invalid utf-16: lone surrogate found";

INSTANTIATE_TEST_SUITE_P(
    Titles, WindowTitleTest,
    ::testing::Values(TitleCase{"Ascii", u"Editor - notes.txt", false, "Editor - notes.txt", false},
                      TitleCase{"NonAsciiAndSurrogatePair", u"\u00C9cran \U0001F600 \u65E5", false,
                                "\xC3\x89" "cran \xF0\x9F\x98\x80 \xE6\x97\xA5", false},
                      TitleCase{"Empty", u"", false, "", false},
                      TitleCase{"CopyFails", u"secret", true, "", false},
                      TitleCase{"StopsAtEmbeddedNul", std::u16string(u"ab\0cd", 5), false, "ab", false},
                      TitleCase{"HighSurrogateAtEnd", u"abc\xD83D", false, lone_surrogate, true},
                      TitleCase{"HighSurrogateBeforeLetter", u"\xD83Dx", false, lone_surrogate, true},
                      TitleCase{"LowSurrogateAlone", u"x\xDE00", false, lone_surrogate, true}),
    [](const ::testing::TestParamInfo<TitleCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvex::testing
