// Contract: the capture frame pool and session as the capture layer relies
// on them: FrameArrived runs on the thread that owns the dispatcher queue,
// inside dispatch_message; a pool whose buffers are all taken drops new
// frames until one comes back; Recreate changes the size of later frames.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "contract/contract_factory.h"

namespace quorvex::platform::contract {

template <class Factory>
class FramePoolContract : public ::testing::Test {
 protected:
  static constexpr std::int32_t bgra = 87;

  void SetUp() override {
    auto& capture = platform_->graphics_capture();
    ASSERT_TRUE(capture.ro_initialize_multithreaded().has_value());
    auto controller = capture.create_dispatcher_queue_controller(wgc::DispatcherQueueOptions{});
    ASSERT_TRUE(controller.has_value());
    controller_ = *controller;
    const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_1, d3d11::FeatureLevel::Level_11_0};
    auto created = platform_->d3d11().create_device(d3d11::DriverType::Hardware, d3d11::create_device_bgra_support,
                                                    levels, d3d11::sdk_version);
    ASSERT_TRUE(created.has_value());
    device_ = created->device;
    auto dxgi = device_->query_dxgi_device();
    ASSERT_TRUE(dxgi.has_value());
    auto winrt = capture.create_direct3d11_device_from_dxgi_device(**dxgi);
    ASSERT_TRUE(winrt.has_value());
    winrt_device_ = *winrt;
    MonitorHandle first;
    ASSERT_TRUE(platform_->win32().enum_display_monitors([&](MonitorHandle m) {
      first = m;
      return false;
    }).has_value());
    auto item = capture.create_for_monitor(first);
    ASSERT_TRUE(item.has_value());
    item_ = *item;
    item_size_ = *item_->get_size();
    auto pool = capture.create_frame_pool(*winrt_device_, bgra, 2, item_size_);
    ASSERT_TRUE(pool.has_value());
    pool_ = *pool;
    auto session = pool_->create_capture_session(*item_);
    ASSERT_TRUE(session.has_value());
    session_ = *session;
  }

  void TearDown() override {
    if (session_) (void)session_->close();
    if (pool_) (void)pool_->close();
  }

  // Runs this thread's message loop until `done` holds or `limit` passed
  // (generous: slow sanitizer builds compose slowly). Returns `done`.
  bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    Win32& w = platform_->win32();
    const std::uint32_t self = w.get_current_thread_id();
    constexpr std::uint32_t tick = win32::wm_user + 0x77;
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
      while (!stop.load()) {
        Factory::let_capture_run(*platform_, std::chrono::milliseconds(10));
        (void)w.post_thread_message(self, tick, 0, 0);
      }
    });
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Message m;
    bool met = done();
    while (!met && std::chrono::steady_clock::now() < deadline && w.get_message(m) == GetMessageResult::Message) {
      w.translate_message(m);
      w.dispatch_message(m);
      met = done();
    }
    stop.store(true);
    ticker.join();
    return met;
  }

  std::unique_ptr<Platform> platform_ = Factory::create();
  std::shared_ptr<wgc::DispatcherQueueController> controller_;
  std::shared_ptr<d3d11::Device> device_;
  std::shared_ptr<wgc::Direct3DDevice> winrt_device_;
  std::shared_ptr<wgc::CaptureItem> item_;
  wgc::SizeInt32 item_size_;
  std::shared_ptr<wgc::CaptureFramePool> pool_;
  std::shared_ptr<wgc::CaptureSession> session_;
};
TYPED_TEST_SUITE_P(FramePoolContract);

TYPED_TEST_P(FramePoolContract, FrameArrivedRunsOnTheDispatcherThreadAndFramesCanBeTaken) {
  Win32& w = this->platform_->win32();
  const std::uint32_t self = w.get_current_thread_id();
  int events = 0;
  int foreign_thread_events = 0;
  int frames = 0;
  auto token = this->pool_->add_frame_arrived([&](wgc::CaptureFramePool& sender) -> std::uint32_t {
    ++events;
    if (w.get_current_thread_id() != self) ++foreign_thread_events;
    auto frame = sender.try_get_next_frame();
    if (frame && *frame) {
      ++frames;
      EXPECT_EQ((*frame)->get_content_size().value_or(wgc::SizeInt32{}), this->item_size_);
      (void)(*frame)->close();
    }
    return 0;
  });
  ASSERT_TRUE(token.has_value());
  ASSERT_TRUE(this->session_->start_capture().has_value());
  EXPECT_TRUE(this->pump_until([&] { return frames >= 3; }));
  EXPECT_EQ(frames, events);
  EXPECT_EQ(foreign_thread_events, 0);
  EXPECT_TRUE(this->pool_->remove_frame_arrived(*token).has_value());
}

TYPED_TEST_P(FramePoolContract, RecreateChangesTheSizeOfLaterFrames) {
  ASSERT_TRUE(this->pool_->recreate(*this->winrt_device_, this->bgra, 2, wgc::SizeInt32{64, 48}).has_value());
  int events = 0;
  ASSERT_TRUE(this->pool_->add_frame_arrived([&](wgc::CaptureFramePool&) -> std::uint32_t {
    ++events;
    return 0;
  }).has_value());
  ASSERT_TRUE(this->session_->start_capture().has_value());
  ASSERT_TRUE(this->pump_until([&] { return events >= 1; }));
  auto frame = this->pool_->try_get_next_frame();
  ASSERT_TRUE(frame.has_value() && *frame);
  auto surface = (*frame)->get_surface();
  ASSERT_TRUE(surface.has_value());
  auto texture = (*surface)->get_texture();
  ASSERT_TRUE(texture.has_value());
  const auto desc = (*texture)->get_desc();
  EXPECT_EQ(desc.width, 64u);
  EXPECT_EQ(desc.height, 48u);
  EXPECT_EQ(desc.format, d3d11::Format::B8G8R8A8Unorm);
  // The content size still tells the item's real size, so the program can
  // see the mismatch and re-create again.
  EXPECT_EQ((*frame)->get_content_size().value_or(wgc::SizeInt32{}), this->item_size_);
}

REGISTER_TYPED_TEST_SUITE_P(FramePoolContract, FrameArrivedRunsOnTheDispatcherThreadAndFramesCanBeTaken,
                            RecreateChangesTheSizeOfLaterFrames);

// The pool's buffers as a composing service fills them. A separate suite:
// a scripted fake delivers exactly the frames a test scripts and keeps them
// all, so it has no buffers to run out of.
template <class Factory>
class FramePoolBufferContract : public FramePoolContract<Factory> {};
TYPED_TEST_SUITE_P(FramePoolBufferContract);

TYPED_TEST_P(FramePoolBufferContract, FullPoolDropsNewFramesUntilABufferComesBack) {
  int events = 0;
  // Nobody takes frames: both buffers fill, then frames are dropped.
  ASSERT_TRUE(this->pool_->add_frame_arrived([&](wgc::CaptureFramePool&) -> std::uint32_t {
    ++events;
    return 0;
  }).has_value());
  ASSERT_TRUE(this->session_->start_capture().has_value());
  ASSERT_TRUE(this->pump_until([&] { return events >= 2; }));
  this->pump_until([] { return false; }, std::chrono::milliseconds(150));
  EXPECT_EQ(events, 2) << "frames arrived while both buffers were full";
  auto first = this->pool_->try_get_next_frame();
  auto second = this->pool_->try_get_next_frame();
  auto third = this->pool_->try_get_next_frame();
  ASSERT_TRUE(first.has_value() && *first);
  ASSERT_TRUE(second.has_value() && *second);
  ASSERT_TRUE(third.has_value());
  EXPECT_FALSE(*third) << "a pool of two buffers held a third frame";
  // Frames come again once a buffer is back, oldest first.
  ASSERT_TRUE((*first)->close().has_value());
  ASSERT_TRUE(this->pump_until([&] { return events >= 3; }));
  auto later = this->pool_->try_get_next_frame();
  ASSERT_TRUE(later.has_value() && *later);
  EXPECT_LT((*second)->get_system_relative_time().value_or(0), (*later)->get_system_relative_time().value_or(0));
}

REGISTER_TYPED_TEST_SUITE_P(FramePoolBufferContract, FullPoolDropsNewFramesUntilABufferComesBack);

}  // namespace quorvex::platform::contract
