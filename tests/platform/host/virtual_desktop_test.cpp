// The virtual desktop as the program sees it through Win32: displays, their
// names and paths, windows and the properties the capturable-window test
// reads, and what tests change at run time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/host_platform.h"

namespace quorvex::platform::host {
namespace {

std::u16string text(const char16_t* p) { return std::u16string(p); }

template <std::size_t N>
std::u16string until_zero(const std::array<char16_t, N>& a) {
  return std::u16string(a.data(), std::char_traits<char16_t>::length(a.data()));
}

class VirtualDesktopTest : public ::testing::Test {
 protected:
  std::vector<MonitorHandle> monitors() {
    std::vector<MonitorHandle> out;
    EXPECT_TRUE(platform_.win32().enum_display_monitors([&](MonitorHandle m) {
      out.push_back(m);
      return true;
    }).has_value());
    return out;
  }
  std::vector<WindowHandle> windows() {
    std::vector<WindowHandle> out;
    Win32& w = platform_.win32();
    EXPECT_TRUE(w.enum_child_windows(w.get_desktop_window(), [&](WindowHandle h) {
      out.push_back(h);
      return true;
    }).has_value());
    return out;
  }
  // The friendly name as the listing finds it: walk the paths to the one
  // whose source name is the display's device name.
  std::optional<std::u16string> friendly_name(MonitorHandle m) {
    Win32& w = platform_.win32();
    const auto info = w.get_monitor_info(m);
    const auto sizes = w.get_display_config_buffer_sizes(win32::qdc_only_active_paths);
    const auto paths = w.query_display_config(win32::qdc_only_active_paths, *sizes);
    for (const auto& path : *paths) {
      const auto source = w.display_config_get_source_name(path.source_adapter_id, path.source_id);
      if (source && until_zero(*source) == until_zero(info->device_name)) {
        const auto target = w.display_config_get_target_name(path.source_adapter_id, path.target_id);
        if (!target) return std::nullopt;
        return until_zero(*target);
      }
    }
    return std::nullopt;
  }

  HostPlatform platform_;
};

TEST_F(VirtualDesktopTest, TwoDisplaysWithTheirNamesSizesAndPrimaryFlagInOrder) {
  struct Expected {
    std::u16string device;
    Rect bounds;
    bool primary;
    std::u16string friendly;
  };
  const Expected expected[] = {{u"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true, u"Virtual Display"},
                               {u"\\\\.\\DISPLAY2", {1920, 0, 3200, 1024}, false, u""}};
  const auto found = monitors();
  ASSERT_EQ(found.size(), 2u);
  for (std::size_t i = 0; i < found.size(); ++i) {
    const auto info = platform_.win32().get_monitor_info(found[i]);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(until_zero(info->device_name), expected[i].device);
    EXPECT_EQ(info->monitor, expected[i].bounds);
    EXPECT_EQ((info->flags & win32::monitorinfof_primary) != 0, expected[i].primary);
    const auto settings = platform_.win32().enum_display_settings(expected[i].device, win32::enum_current_settings);
    ASSERT_TRUE(settings.has_value());
    EXPECT_EQ(settings->pels_width, static_cast<std::uint32_t>(expected[i].bounds.right - expected[i].bounds.left));
    EXPECT_EQ(settings->pels_height, static_cast<std::uint32_t>(expected[i].bounds.bottom - expected[i].bounds.top));
    EXPECT_EQ(settings->display_frequency, 60u);
    EXPECT_EQ(friendly_name(found[i]), expected[i].friendly);
  }
  EXPECT_EQ(platform_.win32().monitor_from_point(Point{2000, 10}, win32::monitor_defaulttonull), found[1]);
  EXPECT_TRUE(platform_.win32().monitor_from_point(Point{-5, -5}, win32::monitor_defaulttonull).is_null());
}

TEST_F(VirtualDesktopTest, DefaultWindowBelongsToTheVirtualAppWithItsFrameAroundA720pClientArea) {
  Win32& w = platform_.win32();
  const auto all = windows();
  ASSERT_EQ(all.size(), 1u);
  const WindowHandle window = all.front();
  EXPECT_EQ(window, platform_.desktop()->default_window());
  EXPECT_TRUE(w.is_window_visible(window));
  const std::uint32_t pid = w.get_window_thread_process_id(window);
  EXPECT_NE(pid, 0u);
  EXPECT_NE(pid, w.get_current_process_id());
  EXPECT_EQ(*w.get_client_rect(window), (Rect{0, 0, 1280, 720}));
  const Rect outer = *w.get_window_rect(window);
  EXPECT_EQ(outer.right - outer.left, 1296);
  EXPECT_EQ(outer.bottom - outer.top, 759);
  std::array<char16_t, 64> title{};
  EXPECT_EQ(w.get_window_text_length(window), 22);
  EXPECT_EQ(w.get_window_text(window, title), 22);
  EXPECT_EQ(until_zero(title), text(default_window_title));
  auto process = w.open_process(win32::process_query_information | win32::process_vm_read, false, pid);
  ASSERT_TRUE(process.has_value());
  std::array<char16_t, win32::max_path> name{};
  EXPECT_EQ((*process)->get_module_base_name(name), 19u);
  EXPECT_EQ(until_zero(name), text(virtual_app_name));
  EXPECT_EQ(w.get_window_long_ptr(window, win32::gwl_style) & static_cast<std::int64_t>(win32::ws_child), 0);
  EXPECT_EQ(w.get_window_long_ptr(window, win32::gwl_exstyle) & static_cast<std::int64_t>(win32::ws_ex_toolwindow), 0);
}

TEST_F(VirtualDesktopTest, ChangesMadeByTestsShowThroughWin32) {
  Win32& w = platform_.win32();
  VirtualDesktop& desktop = *platform_.desktop();
  WindowSpec own;
  own.process_id = desktop.own_process_id();
  own.title = u"mine";
  own.bounds = Rect{0, 0, 200, 100};
  const WindowHandle mine = desktop.add_window(own);
  EXPECT_EQ(w.get_window_thread_process_id(mine), w.get_current_process_id());

  const WindowHandle other = desktop.default_window();
  ASSERT_TRUE(desktop.set_window_title(other, u"renamed"));
  EXPECT_EQ(w.get_window_text_length(other), 7);
  ASSERT_TRUE(desktop.resize_window(other, 816, 639));
  EXPECT_EQ(*w.get_client_rect(other), (Rect{0, 0, 800, 600}));
  ASSERT_TRUE(desktop.set_window_styles(other, win32::ws_child, win32::ws_ex_toolwindow));
  EXPECT_NE(w.get_window_long_ptr(other, win32::gwl_style) & static_cast<std::int64_t>(win32::ws_child), 0);
  EXPECT_NE(w.get_window_long_ptr(other, win32::gwl_exstyle) & static_cast<std::int64_t>(win32::ws_ex_toolwindow), 0);
  ASSERT_TRUE(desktop.set_window_visible(other, false));
  EXPECT_FALSE(w.is_window_visible(other));
  ASSERT_TRUE(desktop.close_window(other));
  EXPECT_EQ(w.get_window_thread_process_id(other), 0u);
  auto gone = w.get_client_rect(other);
  ASSERT_FALSE(gone.has_value());
  EXPECT_EQ(gone.error().code(), status::error_invalid_window_handle);
  EXPECT_EQ(windows(), std::vector<WindowHandle>{mine});

  const MonitorHandle third = desktop.add_display({u"\\\\.\\DISPLAY3", u"Third", Rect{0, 1080, 800, 1680}, false, 60});
  EXPECT_EQ(monitors().size(), 3u);
  EXPECT_EQ(friendly_name(third), u"Third");
  ASSERT_TRUE(desktop.remove_display(monitors().front()));
  EXPECT_EQ(monitors().size(), 2u);
  EXPECT_FALSE(w.open_process(0, false, 12345).has_value());
}

TEST_F(VirtualDesktopTest, PerformanceCounterRunsAtTenMegahertzOnTheSteadyClock) {
  Win32& w = platform_.win32();
  EXPECT_EQ(*w.query_performance_frequency(), 10'000'000);
  const auto before = std::chrono::steady_clock::now();
  const std::int64_t counter = *w.query_performance_counter();
  const auto after = std::chrono::steady_clock::now();
  const auto to_counter = [](auto t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count() / 100;
  };
  EXPECT_GE(counter, to_counter(before));
  EXPECT_LE(counter, to_counter(after));
}

}  // namespace
}  // namespace quorvex::platform::host
