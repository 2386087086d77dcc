// The capture stand-in over the virtual desktop: frames carry a readable
// frame clock and the composition time, content size follows the item, and
// Closed comes once when the item goes away.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/host/host_platform.h"
#include "platform/host/host_texture.h"
#include "testing/frame_clock.h"

namespace quorvex::platform::host {
namespace {

class CaptureServiceTest : public ::testing::Test {
 protected:
  CaptureServiceTest() = default;
  explicit CaptureServiceTest(std::unique_ptr<DesktopSource> source) : platform_(std::move(source)) {}

  void SetUp() override {
    auto& capture = platform_.graphics_capture();
    controller_ = *capture.create_dispatcher_queue_controller({});
    const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_1};
    device_ = platform_.d3d11().create_device(d3d11::DriverType::Hardware, 0x20, levels, 7)->device;
    winrt_ = *capture.create_direct3d11_device_from_dxgi_device(**device_->query_dxgi_device());
  }

  void start(std::shared_ptr<wgc::CaptureItem> item) {
    item_ = std::move(item);
    pool_ = *platform_.graphics_capture().create_frame_pool(*winrt_, 87, 2, *item_->get_size());
    session_ = *pool_->create_capture_session(*item_);
    ASSERT_TRUE(session_->start_capture().has_value());
  }

  // Runs this thread's message loop until `done` holds or `limit` passed
  // (generous: sanitizer builds compose slowly). Returns `done`.
  bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    Win32& w = platform_.win32();
    const std::uint32_t self = w.get_current_thread_id();
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
      while (!stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        (void)w.post_thread_message(self, win32::wm_user, 0, 0);
      }
    });
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool met = done();
    Message m;
    while (!met && std::chrono::steady_clock::now() < deadline && w.get_message(m) == GetMessageResult::Message) {
      w.dispatch_message(m);
      met = done();
    }
    stop.store(true);
    ticker.join();
    return met;
  }

  HostPlatform platform_{std::make_unique<VirtualDesktop>()};
  std::shared_ptr<wgc::DispatcherQueueController> controller_;
  std::shared_ptr<d3d11::Device> device_;
  std::shared_ptr<wgc::Direct3DDevice> winrt_;
  std::shared_ptr<wgc::CaptureItem> item_;
  std::shared_ptr<wgc::CaptureFramePool> pool_;
  std::shared_ptr<wgc::CaptureSession> session_;
};

TEST_F(CaptureServiceTest, DisplayFramesCarryAnIncreasingFrameClockAndTheirCompositionTime) {
  MonitorHandle first;
  (void)platform_.win32().enum_display_monitors([&](MonitorHandle m) { first = m; return false; });
  start(*platform_.graphics_capture().create_for_monitor(first));
  std::vector<testing::FrameClockStamp> stamps;
  int unreadable = 0;
  std::int64_t last_time = 0;
  (void)pool_->add_frame_arrived([&](wgc::CaptureFramePool& pool) -> std::uint32_t {
    auto frame = *pool.try_get_next_frame();
    if (!frame) return 0;
    const std::int64_t now = *platform_.win32().query_performance_counter();
    const std::int64_t composed = *frame->get_system_relative_time();
    EXPECT_LE(composed, now);
    EXPECT_LT(now - composed, 10'000'000) << "composed more than a second ago";
    EXPECT_GT(composed, last_time);
    last_time = composed;
    auto texture = *(*frame->get_surface())->get_texture();
    HostTexture& t = *HostTexture::from(*texture);
    const auto stamp = testing::decode_frame_clock_bgra({t.data(), t.pitch(), t.width(), t.height()}, {0, 0, 1, 1});
    if (stamp) stamps.push_back(*stamp); else ++unreadable;
    return 0;
  });
  EXPECT_TRUE(pump_until([&] { return stamps.size() + unreadable >= 5; }));
  EXPECT_EQ(unreadable, 0);
  ASSERT_GE(stamps.size(), 5u);
  for (std::size_t i = 1; i < stamps.size(); ++i) {
    EXPECT_GT(stamps[i].frame_number, stamps[i - 1].frame_number);
    EXPECT_GE(stamps[i].wall_time_ms - stamps[i - 1].wall_time_ms, 1u);
  }
  const auto wall_ms = static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      std::chrono::system_clock::now().time_since_epoch())
                                                      .count() & 0xFFFFFFFF);
  EXPECT_LT(wall_ms - stamps.back().wall_time_ms, 2000u);
}

TEST_F(CaptureServiceTest, ContentSizeFollowsAResizedWindow) {
  const WindowHandle window = platform_.desktop()->default_window();
  start(*platform_.graphics_capture().create_for_window(window));
  EXPECT_EQ(*item_->get_size(), (wgc::SizeInt32{1296, 759}));
  wgc::SizeInt32 last{};
  (void)pool_->add_frame_arrived([&](wgc::CaptureFramePool& pool) -> std::uint32_t {
    if (auto frame = *pool.try_get_next_frame()) last = *frame->get_content_size();
    return 0;
  });
  EXPECT_TRUE(pump_until([&] { return last == wgc::SizeInt32{1296, 759}; }));
  ASSERT_TRUE(platform_.desktop()->resize_window(window, 816, 639));
  EXPECT_TRUE(pump_until([&] { return last == wgc::SizeInt32{816, 639}; }));
  EXPECT_EQ(*item_->get_size(), (wgc::SizeInt32{816, 639}));
}

struct GoneCase {
  const char* name;
  bool window;
};

class ItemGoesAway : public CaptureServiceTest, public ::testing::WithParamInterface<GoneCase> {};

TEST_P(ItemGoesAway, ClosedIsRaisedExactlyOnce) {
  std::shared_ptr<wgc::CaptureItem> item;
  MonitorHandle second;
  if (GetParam().window) {
    item = *platform_.graphics_capture().create_for_window(platform_.desktop()->default_window());
  } else {
    (void)platform_.win32().enum_display_monitors([&](MonitorHandle m) { second = m; return true; });
    item = *platform_.graphics_capture().create_for_monitor(second);
  }
  std::atomic<int> closed{0};
  ASSERT_TRUE(item->add_closed([&] { ++closed; return 0u; }).has_value());
  start(item);
  int frames = 0;
  (void)pool_->add_frame_arrived([&](wgc::CaptureFramePool& pool) -> std::uint32_t {
    if (*pool.try_get_next_frame()) ++frames;
    return 0;
  });
  ASSERT_TRUE(pump_until([&] { return frames >= 1; }));
  EXPECT_EQ(closed.load(), 0);
  if (GetParam().window) {
    ASSERT_TRUE(platform_.desktop()->close_window(platform_.desktop()->default_window()));
  } else {
    ASSERT_TRUE(platform_.desktop()->remove_display(second));
  }
  EXPECT_TRUE(pump_until([&] { return closed.load() >= 1; }));
  pump_until([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(closed.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Items, ItemGoesAway,
                         ::testing::Values(GoneCase{"window_closed", true}, GoneCase{"display_removed", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The capture layer's handler remembers the size it saw last; a stand-in that
// invoked a fresh copy per event made it recreate the pool for every frame
// after a resize and deliver nothing.
TEST_F(CaptureServiceTest, FrameArrivedHandlerKeepsItsStateFromOneEventToTheNext) {
  MonitorHandle first;
  (void)platform_.win32().enum_display_monitors([&](MonitorHandle m) { first = m; return false; });
  start(*platform_.graphics_capture().create_for_monitor(first));
  std::vector<int> calls;
  (void)pool_->add_frame_arrived([count = 0, &calls](wgc::CaptureFramePool& pool) mutable -> std::uint32_t {
    (void)pool.try_get_next_frame();
    calls.push_back(++count);
    return 0;
  });
  EXPECT_TRUE(pump_until([&] { return calls.size() >= 3; }));
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(std::vector<int>(calls.begin(), calls.begin() + 3), (std::vector<int>{1, 2, 3}));
}

TEST_F(CaptureServiceTest, DispatcherShutdownCompletesOnItsOwnThreadsLoop) {
  auto action = *controller_->shutdown_queue_async();
  Win32& w = platform_.win32();
  const std::uint32_t self = w.get_current_thread_id();
  std::uint32_t completed_on = 0;
  ASSERT_TRUE(action->put_completed([&](wgc::AsyncStatus) {
    completed_on = w.get_current_thread_id();
    w.post_quit_message(0);
  }).has_value());
  Message m;
  while (w.get_message(m) == GetMessageResult::Message) w.dispatch_message(m);
  EXPECT_EQ(completed_on, self);
}

// A source that tells of its changes (as the X11 desktop does): its feed
// answers from a script and counts its polls; the virtual desktop beneath
// gives the display and the window list.
struct FeedScript {
  std::mutex mutex;
  FeedOutcome poll_outcome = FeedOutcome::Ok;   // guarded by mutex
  FeedOutcome paint_outcome = FeedOutcome::Ok;  // guarded by mutex
  bool due = true;                              // guarded by mutex: the next poll has a picture
  std::atomic<int> polls{0};
  std::atomic<int> paints{0};
};

class ScriptedFeed final : public PictureFeed {
 public:
  explicit ScriptedFeed(std::shared_ptr<FeedScript> script) : script_(std::move(script)) {}
  Poll poll(bool) override {
    ++script_->polls;
    std::lock_guard lock(script_->mutex);
    return {.outcome = script_->poll_outcome, .due = script_->due, .size = {64, 64}, .poll_after = 0};
  }
  FeedOutcome paint(HostTexture&, std::uint32_t, bool) override {
    ++script_->paints;
    std::lock_guard lock(script_->mutex);
    if (script_->paint_outcome == FeedOutcome::Ok) script_->due = false;
    return script_->paint_outcome;
  }

 private:
  std::shared_ptr<FeedScript> script_;
};

class NoticeDesktop final : public DesktopSource {
 public:
  explicit NoticeDesktop(std::shared_ptr<FeedScript> script) : script_(std::move(script)) {}
  std::vector<DisplayState> displays() const override { return desktop_.displays(); }
  std::optional<DisplayState> display(MonitorHandle display) const override { return desktop_.display(display); }
  WindowHandle desktop_window() const override { return desktop_.desktop_window(); }
  std::vector<WindowState> windows() const override { return desktop_.windows(); }
  std::optional<WindowState> window(WindowHandle window) const override { return desktop_.window(window); }
  std::uint32_t own_process_id() const override { return desktop_.own_process_id(); }
  std::optional<std::u16string> process_executable(std::uint32_t id) const override {
    return desktop_.process_executable(id);
  }
  std::unique_ptr<PictureFeed> open_feed(CaptureTarget) override { return std::make_unique<ScriptedFeed>(script_); }
  std::uint64_t add_listener(std::function<void()> listener) override {
    return desktop_.add_listener(std::move(listener));
  }
  void remove_listener(std::uint64_t id) override { desktop_.remove_listener(id); }
  // A notice, as a source sends one after a change.
  void notice() { (void)desktop_.set_window_title(desktop_.default_window(), u"noticed"); }

 private:
  std::shared_ptr<FeedScript> script_;
  VirtualDesktop desktop_;
};

// Initialised before the fixture's platform, which takes the source.
struct NoticeSourceHolder {
  std::shared_ptr<FeedScript> script = std::make_shared<FeedScript>();
  NoticeDesktop* source = nullptr;
  std::unique_ptr<DesktopSource> make_source() {
    auto made = std::make_unique<NoticeDesktop>(script);
    source = made.get();
    return made;
  }
};

struct NoticeCase {
  const char* name;
  FeedOutcome poll_outcome;
  FeedOutcome paint_outcome;
  int frames;  // delivered before the quiet spell
};

class NoticeDrivenFeed : public NoticeSourceHolder,
                         public CaptureServiceTest,
                         public ::testing::WithParamInterface<NoticeCase> {
 protected:
  NoticeDrivenFeed() : CaptureServiceTest(make_source()) {}
};

// A feed that waits for notices, or failed for the time being, is polled
// again after a notice (or the one-second time-out), never at every refresh
// of a screen where nothing happens.
TEST_P(NoticeDrivenFeed, IsPolledAfterANoticeNotAtEveryRefresh) {
  {
    std::lock_guard lock(script->mutex);
    script->poll_outcome = GetParam().poll_outcome;
    script->paint_outcome = GetParam().paint_outcome;
  }
  MonitorHandle first;
  (void)platform_.win32().enum_display_monitors([&](MonitorHandle m) { first = m; return false; });
  start(*platform_.graphics_capture().create_for_monitor(first));
  std::atomic<int> frames{0};
  (void)pool_->add_frame_arrived([&](wgc::CaptureFramePool& pool) -> std::uint32_t {
    if (*pool.try_get_next_frame()) ++frames;
    return 0;
  });
  ASSERT_TRUE(pump_until([&] { return script->polls.load() >= 1 && frames.load() >= GetParam().frames; }));
  // A quiet spell of 30 refreshes: one poll more at most (a late first
  // notice), where a compositor polling every refresh makes 30.
  const int before = script->polls.load();
  pump_until([] { return false; }, std::chrono::milliseconds(500));
  EXPECT_LE(script->polls.load() - before, 1) << "polled without a notice";
  EXPECT_EQ(frames.load(), GetParam().frames);
  const int quiet = script->polls.load();
  source->notice();
  EXPECT_TRUE(pump_until([&] { return script->polls.load() > quiet; })) << "a notice did not wake the compositor";
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, NoticeDrivenFeed,
    ::testing::Values(NoticeCase{"picture_then_nothing", FeedOutcome::Ok, FeedOutcome::Ok, 1},
                      NoticeCase{"poll_fails_for_now", FeedOutcome::TemporaryFailure, FeedOutcome::Ok, 0},
                      NoticeCase{"paint_fails_for_now", FeedOutcome::Ok, FeedOutcome::TemporaryFailure, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A picture that can never be read again closes the item, once.
TEST_F(CaptureServiceTest, PermanentPaintFailureClosesTheItemOnce) {
  auto script = std::make_shared<FeedScript>();
  script->paint_outcome = FeedOutcome::PermanentFailure;
  HostPlatform platform(std::make_unique<NoticeDesktop>(script));
  auto& capture = platform.graphics_capture();
  auto controller = *capture.create_dispatcher_queue_controller({});
  const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_1};
  auto device = platform.d3d11().create_device(d3d11::DriverType::Hardware, 0x20, levels, 7)->device;
  auto winrt = *capture.create_direct3d11_device_from_dxgi_device(**device->query_dxgi_device());
  MonitorHandle first;
  (void)platform.win32().enum_display_monitors([&](MonitorHandle m) { first = m; return false; });
  auto item = *capture.create_for_monitor(first);
  std::atomic<int> closed{0};
  ASSERT_TRUE(item->add_closed([&] { ++closed; return 0u; }).has_value());
  auto pool = *capture.create_frame_pool(*winrt, 87, 2, *item->get_size());
  auto session = *pool->create_capture_session(*item);
  ASSERT_TRUE(session->start_capture().has_value());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (closed.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(closed.load(), 1);
  EXPECT_EQ(script->paints.load(), 1);
}

}  // namespace
}  // namespace quorvex::platform::host
