// Contract: the capture frame pool and session as the capture layer relies
// on them: FrameArrived runs on the thread that owns the dispatcher queue,
// inside dispatch_message; a pool whose buffers are all taken drops new
// frames until one comes back; Recreate changes the size of later frames.
#pragma once

#include <gtest/gtest.h>

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

  // Runs this thread's message loop for about `duration`.
  void pump_for(std::chrono::milliseconds duration) {
    Win32& w = platform_->win32();
    const std::uint32_t self = w.get_current_thread_id();
    constexpr std::uint32_t stop = win32::wm_user + 0x77;
    std::thread timer([&] {
      Factory::let_capture_run(*platform_, duration);
      (void)w.post_thread_message(self, stop, 0, 0);
    });
    Message m;
    while (w.get_message(m) == GetMessageResult::Message && m.message != stop) {
      w.translate_message(m);
      w.dispatch_message(m);
    }
    timer.join();
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
  this->pump_for(std::chrono::milliseconds(300));
  EXPECT_GT(frames, 0);
  EXPECT_EQ(frames, events);
  EXPECT_EQ(foreign_thread_events, 0);
  EXPECT_TRUE(this->pool_->remove_frame_arrived(*token).has_value());
}

TYPED_TEST_P(FramePoolContract, FullPoolDropsNewFramesUntilABufferComesBack) {
  ASSERT_TRUE(this->session_->start_capture().has_value());
  this->pump_for(std::chrono::milliseconds(200));  // nobody takes frames: both buffers fill
  auto first = this->pool_->try_get_next_frame();
  auto second = this->pool_->try_get_next_frame();
  auto third = this->pool_->try_get_next_frame();
  ASSERT_TRUE(first.has_value() && *first);
  ASSERT_TRUE(second.has_value() && *second);
  ASSERT_TRUE(third.has_value());
  EXPECT_FALSE(*third) << "a pool of two buffers held a third frame";
  // Frames keep coming once a buffer is back.
  ASSERT_TRUE((*first)->close().has_value());
  this->pump_for(std::chrono::milliseconds(200));
  auto later = this->pool_->try_get_next_frame();
  ASSERT_TRUE(later.has_value());
  EXPECT_TRUE(*later);
  // Frames come out oldest first.
  EXPECT_LT((*second)->get_system_relative_time().value_or(0), (*later)->get_system_relative_time().value_or(0));
}

TYPED_TEST_P(FramePoolContract, RecreateChangesTheSizeOfLaterFrames) {
  ASSERT_TRUE(this->pool_->recreate(*this->winrt_device_, this->bgra, 2, wgc::SizeInt32{64, 48}).has_value());
  ASSERT_TRUE(this->session_->start_capture().has_value());
  this->pump_for(std::chrono::milliseconds(200));
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
                            FullPoolDropsNewFramesUntilABufferComesBack, RecreateChangesTheSizeOfLaterFrames);

}  // namespace quorvex::platform::contract
