// What the pipeline tests share: a platform of fakes installed for the test,
// memory standard streams that keep lines and records in one journal, and
// helpers that move a frame through the pipeline as the capture handler does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/pipeline/encoder_state.h"
#include "app/pipeline/hardware_encoder.h"
#include "app/pipeline/output_streams.h"
#include "platform/composite_platform.h"
#include "platform/fake/fake_d3d11.h"
#include "platform/fake/fake_media_foundation.h"
#include "platform/platform.h"
#include "sender/frame_record_reader.h"

namespace quorvex::test {

// Only the performance counter is of use to the pipeline; everything else
// fails.
class StubWin32 final : public platform::Win32 {
 public:
  platform::Result<std::int64_t> counter = std::int64_t{0};
  platform::Result<std::int64_t> frequency = std::int64_t{10'000'000};

  platform::Result<std::int64_t> query_performance_counter() override { return counter; }
  platform::Result<std::int64_t> query_performance_frequency() override { return frequency; }

  platform::Status enum_display_monitors(const std::function<bool(platform::MonitorHandle)>&) override { return no(); }
  platform::Result<platform::MonitorInfo> get_monitor_info(platform::MonitorHandle) override { return no(); }
  platform::MonitorHandle monitor_from_point(platform::Point, std::uint32_t) override { return {}; }
  platform::Result<platform::DisplaySettings> enum_display_settings(std::u16string_view, std::uint32_t) override {
    return no();
  }
  platform::Result<platform::DisplayConfigBufferSizes> get_display_config_buffer_sizes(std::uint32_t) override {
    return no();
  }
  platform::Result<std::vector<platform::DisplayConfigPath>> query_display_config(
      std::uint32_t, platform::DisplayConfigBufferSizes) override {
    return no();
  }
  platform::Result<std::array<char16_t, 32>> display_config_get_source_name(platform::LocallyUniqueId,
                                                                             std::uint32_t) override {
    return no();
  }
  platform::Result<std::array<char16_t, 64>> display_config_get_target_name(platform::LocallyUniqueId,
                                                                             std::uint32_t) override {
    return no();
  }
  platform::WindowHandle get_desktop_window() override { return {}; }
  platform::Status enum_child_windows(platform::WindowHandle,
                                      const std::function<bool(platform::WindowHandle)>&) override {
    return no();
  }
  bool is_window_visible(platform::WindowHandle) override { return false; }
  std::uint32_t get_window_thread_process_id(platform::WindowHandle) override { return 0; }
  std::uint32_t get_current_process_id() override { return 1; }
  platform::Result<platform::Rect> get_client_rect(platform::WindowHandle) override { return no(); }
  platform::Result<platform::Rect> get_window_rect(platform::WindowHandle) override { return no(); }
  std::int64_t get_window_long_ptr(platform::WindowHandle, std::int32_t) override { return 0; }
  std::int32_t get_window_text_length(platform::WindowHandle) override { return 0; }
  std::int32_t get_window_text(platform::WindowHandle, std::span<char16_t>) override { return 0; }
  platform::Result<std::unique_ptr<platform::ProcessHandle>> open_process(std::uint32_t, bool,
                                                                          std::uint32_t) override {
    return no();
  }
  platform::Status time_begin_period(std::uint32_t) override { return no(); }
  platform::Status time_end_period(std::uint32_t) override { return no(); }
  platform::Status set_process_power_throttling(std::uint32_t, std::uint32_t) override { return no(); }
  platform::Status set_process_dpi_awareness_context(std::intptr_t) override { return no(); }
  std::uint32_t get_current_thread_id() override { return 1; }
  platform::GetMessageResult get_message(platform::Message&) override { return platform::GetMessageResult::Failed; }
  void translate_message(const platform::Message&) override {}
  void dispatch_message(const platform::Message&) override {}
  platform::Status post_thread_message(std::uint32_t, std::uint32_t, std::uint64_t, std::int64_t) override {
    return no();
  }
  void post_quit_message(std::int32_t) override {}
  platform::Result<std::uint64_t> set_timer(std::uint32_t) override { return no(); }
  platform::Status kill_timer(std::uint64_t) override { return no(); }
  platform::Result<std::uint32_t> dwm_get_window_attribute_cloaked(platform::WindowHandle) override { return no(); }

 private:
  static std::unexpected<platform::Error> no() { return std::unexpected(platform::Error(platform::status::e_notimpl, "")); }
};

class StubGraphicsCapture final : public platform::wgc::GraphicsCapture {
 public:
  platform::Result<std::uint32_t> ro_initialize_multithreaded() override { return no(); }
  platform::Result<std::shared_ptr<platform::wgc::MtaUsageCookie>> co_increment_mta_usage() override { return no(); }
  platform::Result<std::shared_ptr<platform::wgc::DispatcherQueueController>> create_dispatcher_queue_controller(
      const platform::wgc::DispatcherQueueOptions&) override {
    return no();
  }
  platform::Result<bool> is_property_present(std::string_view, std::string_view) override { return no(); }
  platform::Result<bool> is_api_contract_present_by_major(std::string_view, std::uint16_t) override { return no(); }
  platform::Result<bool> is_supported() override { return no(); }
  platform::Result<std::shared_ptr<platform::wgc::CaptureItem>> create_for_window(platform::WindowHandle) override {
    return no();
  }
  platform::Result<std::shared_ptr<platform::wgc::CaptureItem>> create_for_monitor(platform::MonitorHandle) override {
    return no();
  }
  platform::Result<std::shared_ptr<platform::wgc::Direct3DDevice>> create_direct3d11_device_from_dxgi_device(
      platform::d3d11::DxgiDevice&) override {
    return no();
  }
  platform::Result<std::shared_ptr<platform::wgc::CaptureFramePool>> create_frame_pool(
      platform::wgc::Direct3DDevice&, std::int32_t, std::int32_t, platform::wgc::SizeInt32) override {
    return no();
  }

 private:
  static std::unexpected<platform::Error> no() { return std::unexpected(platform::Error(platform::status::e_notimpl, "")); }
};

// Standard output and standard error in memory, with one journal that shows
// lines and records in the order they were written ("<record>" marks the
// flush that ends a record).
class MemoryOutputs {
 public:
  MemoryOutputs() : log_(std::make_shared<Log>()) {
    streams_.records = std::make_shared<app::RecordOutput>(std::make_shared<Bytes>(log_));
    streams_.diagnostics = std::make_shared<Lines>(log_);
  }
  [[nodiscard]] const app::OutputStreams& streams() const { return streams_; }

  [[nodiscard]] std::vector<std::string> journal() const {
    std::lock_guard lock(log_->mutex);
    return log_->journal;
  }
  [[nodiscard]] std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (auto& entry : journal()) {
      if (entry != record_mark) {
        out.push_back(entry);
      }
    }
    return out;
  }
  [[nodiscard]] std::vector<std::string> lines_starting(std::string_view prefix) const {
    std::vector<std::string> out;
    for (auto& line : lines()) {
      if (line.starts_with(prefix)) {
        out.push_back(line);
      }
    }
    return out;
  }
  // Records completed so far (safe while a record is being written).
  [[nodiscard]] std::size_t record_count() const {
    std::lock_guard lock(log_->mutex);
    return static_cast<std::size_t>(std::count(log_->journal.begin(), log_->journal.end(), record_mark));
  }
  // Every record; only once the writers are done.
  [[nodiscard]] std::vector<sender::FrameRecord> records() const {
    std::vector<std::byte> bytes;
    {
      std::lock_guard lock(log_->mutex);
      bytes = log_->bytes;
    }
    auto read = sender::read_frame_records(bytes);
    EXPECT_TRUE(read.has_value()) << (read ? "" : read.error().message);
    return read ? *read : std::vector<sender::FrameRecord>{};
  }

  static constexpr std::string_view record_mark = "<record>";

 private:
  struct Log {
    std::mutex mutex;
    std::vector<std::string> journal;
    std::vector<std::byte> bytes;
  };
  class Lines final : public app::diagnostics::Sink {
   public:
    explicit Lines(std::shared_ptr<Log> log) : log_(std::move(log)) {}
    void write(const app::diagnostics::Line& line) override {
      std::lock_guard lock(log_->mutex);
      log_->journal.push_back(line.text());
    }

   private:
    std::shared_ptr<Log> log_;
  };
  class Bytes final : public sender::ByteSink {
   public:
    explicit Bytes(std::shared_ptr<Log> log) : log_(std::move(log)) {}
    std::expected<void, sender::IoError> write_all(std::span<const std::byte> data) override {
      std::lock_guard lock(log_->mutex);
      log_->bytes.insert(log_->bytes.end(), data.begin(), data.end());
      return {};
    }
    std::expected<void, sender::IoError> flush() override {
      std::lock_guard lock(log_->mutex);
      log_->journal.emplace_back(record_mark);
      return {};
    }

   private:
    std::shared_ptr<Log> log_;
  };

  std::shared_ptr<Log> log_;
  app::OutputStreams streams_;
};

// Waits for a condition another thread makes true; fails the test after a
// generous limit instead of hanging.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// COM on the calling thread for the holder's lifetime, as the capture
// thread (or the probe's) has it when it creates the encoder.
class ThreadApartment {
 public:
  explicit ThreadApartment(platform::mf::MediaFoundation& media) : media_(media) {
    if (auto entered = media_.co_initialize_ex(platform::mf::coinit_multithreaded); !entered) {
      ADD_FAILURE() << "CoInitializeEx failed: " << entered.error().text();
    }
  }
  ~ThreadApartment() { media_.co_uninitialize(); }
  ThreadApartment(const ThreadApartment&) = delete;
  ThreadApartment& operator=(const ThreadApartment&) = delete;

 private:
  platform::mf::MediaFoundation& media_;
};

// A platform of fakes installed for the test's duration. The test thread
// stands for the capture thread: it is in the multithreaded apartment.
class FakePlatformTest : public ::testing::Test {
 protected:
  // Created with video support, as the capture layer creates its device.
  platform::fake::FakeD3D11 d3d{platform::d3d11::create_device_bgra_support |
                                platform::d3d11::create_device_video_support};
  platform::fake::FakeMediaFoundation media;
  StubWin32 win32;
  StubGraphicsCapture capture_service;
  platform::CompositePlatform composite{win32, d3d, media, capture_service};
  platform::ScopedPlatform installed{composite};
  ThreadApartment apartment{media};
  MemoryOutputs outputs;

  // Whatever a test did, it broke none of the rules Windows holds the
  // program to (objects released in an apartment, MFShutdown last, ...).
  ~FakePlatformTest() override {
    for (const auto& violation : media.violations()) {
      ADD_FAILURE() << "platform rule broken: " << violation;
    }
  }

  platform::fake::FakeEncoderTransform& transform() { return media.encoder(); }

  [[nodiscard]] app::Result<std::unique_ptr<app::HardwareEncoder>> create_encoder(
      std::uint32_t fps = 30, std::uint32_t width = 1920, std::uint32_t height = 1080,
      std::uint32_t bitrate = 8'000'000, app::FlagCell keyframe = std::make_shared<std::atomic<bool>>(false)) {
    return app::HardwareEncoder::create(d3d.device(), d3d.context(), width, height, fps, bitrate,
                                        std::move(keyframe), outputs.streams());
  }

  // The capture handler's work for one frame, without the handler: convert
  // into a pool surface and let the mailbox decide, then wake the pacer.
  [[nodiscard]] app::Result<void> hand_over(app::HardwareEncoder& encoder, std::uint32_t width = 1920,
                                            std::uint32_t height = 1080) {
    auto source = d3d.make_texture(width, height);
    app::Result<void> result;
    {
      auto locked = app::lock_encoder_state(encoder.state());
      if (!locked) {
        return std::unexpected(locked.error());
      }
      app::EncoderState& state = **locked;
      if (!state.converter) {
        auto built = app::GpuConverter::build(*state.device, *state.context, width, height, state.width,
                                              state.height, state.fps);
        if (!built) {
          return std::unexpected(built.error());
        }
        state.converter = std::move(*built);
      }
      auto surface = state.convert(*source, std::nullopt);
      if (!surface) {
        return std::unexpected(surface.error());
      }
      const auto now = std::chrono::steady_clock::now();
      app::PendingInput input{std::move(*surface), std::nullopt, std::chrono::system_clock::now(), now};
      result = state.apply(state.mailbox.frame_converted(std::move(input), now));
    }
    encoder.wake().notify_all();
    return result;
  }

  // Counts under the state lock.
  template <class F>
  auto with_state(app::HardwareEncoder& encoder, F&& f) {
    auto guard = encoder.state().lock();
    return f(*guard);
  }
};

// An encoder state wired to the fakes by hand, without threads: the transform
// only records what it is given.
class ManualEncoderStateTest : public FakePlatformTest {
 protected:
  void SetUp() override { prepare(30); }

  void prepare(std::uint32_t fps) {
    transform().auto_respond = false;
    // Set up as encoder setup leaves it: unlocked and streaming, and it has
    // asked for more inputs than any of these tests submits (no event thread
    // takes the requests; the tests tell the mailbox themselves).
    auto attributes = transform().get_attributes();
    ASSERT_TRUE(attributes && *attributes);
    ASSERT_TRUE((*attributes)->set_uint32(platform::guids::mf_transform_async_unlock, 1));
    ASSERT_TRUE(transform().process_message(platform::mf::MftMessage::NotifyStartOfStream, nullptr));
    for (int i = 0; i < 16; ++i) {
      transform().push_event(platform::mf::me_transform_need_input);
    }
    state = std::make_unique<app::SharedEncoderState>(fps);
    auto guard = state->lock();
    guard->device = d3d.device();
    guard->context = d3d.context();
    guard->transform = transform().shared_from_this();
    auto codec = transform().query_codec_api();
    ASSERT_TRUE(codec);
    guard->codec_api = *codec;
    guard->width = 1920;
    guard->height = 1080;
    guard->diagnostics = outputs.streams().diagnostics;
    auto converter = app::GpuConverter::build(*d3d.device(), *d3d.context(), 1920, 1080, 1920, 1080, fps);
    ASSERT_TRUE(converter);
    guard->converter = std::move(*converter);
  }

  // A frame converted into the next pool surface.
  app::PendingInput converted(app::EncoderState& s) {
    auto surface = s.converter->convert(*source, std::nullopt);
    EXPECT_TRUE(surface);
    return app::PendingInput{std::move(*surface), std::nullopt, std::chrono::system_clock::now(),
                             std::chrono::steady_clock::now()};
  }

  std::unique_ptr<app::SharedEncoderState> state;
  std::shared_ptr<platform::d3d11::Texture2D> source = d3d.make_texture(1920, 1080);
};

}  // namespace quorvex::test
