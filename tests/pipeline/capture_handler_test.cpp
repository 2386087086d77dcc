#include "app/pipeline/capture_handler.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <regex>
#include <stdexcept>
#include <thread>

#include "manual_clock.h"
#include "pipeline_support.h"

namespace quorvex::test {
namespace {

using platform::Rect;
using platform::fake::FakeEncoderTransform;

// The standard output of a parent that has stopped reading: every write
// waits until the test opens the gate.
class GatedRecordSink final : public sender::ByteSink {
 public:
  std::expected<void, sender::IoError> write_all(std::span<const std::byte>) override {
    std::unique_lock lock(mutex_);
    ++writers_waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
    --writers_waiting_;
    return {};
  }
  std::expected<void, sender::IoError> flush() override {
    std::lock_guard lock(mutex_);
    ++records_;
    return {};
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  [[nodiscard]] bool writer_waiting() {
    std::lock_guard lock(mutex_);
    return writers_waiting_ > 0;
  }
  [[nodiscard]] int records() {
    std::lock_guard lock(mutex_);
    return records_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int writers_waiting_ = 0;
  int records_ = 0;
};

class CaptureHandlerTest : public FakePlatformTest {
 protected:
  app::Config config_at(std::uint32_t fps) {
    app::Config config;
    config.fps = fps;
    return config;
  }
  void start(app::Config config, const std::optional<app::OutputStreams>& streams = std::nullopt) {
    config_ = config;
    auto created = app::Capture::create(
        wgc_capture::HandlerContext<app::Config>{std::move(config), d3d.device(), d3d.context()},
        streams.value_or(outputs.streams()), clock);
    ASSERT_TRUE(created) << created.error().message;
    capture = std::move(*created);
    ASSERT_TRUE(eventually([&] { return transform().wait_until_idle(std::chrono::milliseconds(1)); }));
  }
  wgc_capture::HandlerResult frame(std::uint32_t width = 1920, std::uint32_t height = 1080,
                                   std::int64_t timestamp_100ns = 0) {
    auto texture = d3d.make_texture(width, height);
    wgc_capture::Frame f{*d3d.device(), nullptr, texture, *d3d.context(), timestamp_100ns, width, height};
    return capture->on_frame_arrived(f, control);
  }
  std::uint64_t replaced() { return capture->encoder().state().lock()->mailbox.frames_replaced(); }
  std::size_t submitted() { return capture->encoder().state().lock()->submitted.size(); }
  // A session whose one frame went into an encoder that gives nothing back.
  void start_with_a_frame_stuck_inside() {
    transform().hold_outputs = true;
    transform().drain_complete_on_drain = false;
    start(config_at(30));
    ASSERT_TRUE(frame());
    ASSERT_TRUE(eventually([&] { return submitted() == 1; }));
    ASSERT_TRUE(capture->on_timer(control));
  }

  app::Config config_;
  // The session's duration runs on this clock; the pipeline keeps real time.
  app::ManualClock clock;
  std::unique_ptr<app::Capture> capture;
  wgc_capture::CaptureControl control;
};

TEST_F(CaptureHandlerTest, CreatePrintsTheCapabilityLineAndTheSessionsSettingsAfterTheEncoderSettings) {
  auto config = config_at(25);
  config.width = 1280;
  config.height = 720;
  config.bitrate = 3'000'000;
  config.pacing = sender::PacingRule::Grid;
  config.source = app::SessionSource::window(77, "Call");
  start(config);
  const auto lines = outputs.lines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_TRUE(lines[5].starts_with("encoder_candidate ")) << lines[5];
  EXPECT_EQ(lines[6],
            "capture_encoder encoder=media_foundation capture=windows_graphics_capture hardware=true "
            "software_fallback=false zero_copy=true async_mft=true low_latency=true b_frames=false "
            "encoder_queue_capacity=1");
  // The chosen encoder's name, and the settings as the session runs them.
  EXPECT_EQ(lines[7],
            "session_start source=window window_id=77 width=1280 height=720 fps=25 bitrate=3000000 pacing=grid "
            "encoder=Fake_H.264_Encoder_MFT title=\"Call\"");
  ASSERT_TRUE(capture->finish_and_report());
}

// The timer stands in for frames that do not come (a static screen):
// the duration still ends the session, and failures still surface.
TEST_F(CaptureHandlerTest, TimerEndsASessionWithoutFramesAtItsDuration) {
  auto config = config_at(30);
  config.duration = std::chrono::nanoseconds(0);
  start(config);
  ASSERT_TRUE(capture->on_timer(control));
  EXPECT_TRUE(control.is_stopped());
  EXPECT_EQ(outputs.lines_starting("native_encoder_summary").size(), 1u);
  wgc_capture::CaptureControl later;
  ASSERT_TRUE(capture->on_timer(later));
  EXPECT_FALSE(later.is_stopped());
  EXPECT_EQ(outputs.lines_starting("native_encoder_summary").size(), 1u);
}

TEST_F(CaptureHandlerTest, TimerEndsTheSessionWithAWorkersStoredError) {
  start(config_at(30));
  ASSERT_TRUE(capture->on_timer(control));
  capture->encoder().state().lock()->error = std::string("Unspecified error (0x80004005)");
  auto failed = capture->on_timer(control);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message, "Unspecified error (0x80004005)");
  EXPECT_FALSE(control.is_stopped());
}

TEST_F(CaptureHandlerTest, TimerGivesUpOnAnEncoderThatStoppedProducingOutput) {
  ASSERT_NO_FATAL_FAILURE(start_with_a_frame_stuck_inside());
  // Two seconds later, as far as the encoder state can tell.
  capture->encoder().state().lock()->progress_at = std::chrono::steady_clock::now() - std::chrono::seconds(3);
  // A tick that finds the lock busy (the event or pacer thread inside it for
  // a moment) looks again at the next one.
  wgc_capture::HandlerResult stalled;
  ASSERT_TRUE(eventually([&] { return !(stalled = capture->on_timer(control)); }));
  EXPECT_EQ(stalled.error().message, "encoder stalled: no output for 2 s with 1 frame in flight");
  // Teardown does not wait for the stuck frame either.
  capture.reset();
  EXPECT_TRUE(transform().shut_down());
}

// A process stopped for a while (SIGSTOP, a debugger, a machine asleep)
// comes back to a steady clock that ran on: the encoder's silence during the
// stop is no stall, and the watchdog counts afresh from the first late tick.
TEST_F(CaptureHandlerTest, TimeTheProcessStoodStillIsNoEncoderStall) {
  ASSERT_NO_FATAL_FAILURE(start_with_a_frame_stuck_inside());
  // The ticks stop, as they do while the process is stopped; meanwhile the
  // frame inside the encoder has waited three seconds by the clock.
  std::this_thread::sleep_for(app::watchdog_restart_gap + std::chrono::milliseconds(200));
  capture->encoder().state().lock()->progress_at = std::chrono::steady_clock::now() - std::chrono::seconds(3);
  for (int tick = 0; tick < 5; ++tick) {
    const wgc_capture::HandlerResult result = capture->on_timer(control);
    ASSERT_TRUE(result) << result.error().message;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Silence after the stop still counts.
  wgc_capture::HandlerResult stalled;
  ASSERT_TRUE(eventually([&] { return !(stalled = capture->on_timer(control)); }));
  EXPECT_EQ(stalled.error().message, "encoder stalled: no output for 2 s with 1 frame in flight");
  capture.reset();
  EXPECT_TRUE(transform().shut_down());
}

// A driver call that never returns holds the encoder-state lock. The timer
// must not wait behind it: it ends the session once the call has been inside
// for the stall time-out, and teardown does not wait for it either.
TEST_F(CaptureHandlerTest, HungEncoderCallEndsTheSessionWithoutTheTimerWaitingForIt) {
  std::mutex gate_mutex;
  std::condition_variable gate_changed;
  bool gate_open = false;
  std::atomic<bool> inside{false};
  transform().need_input_on_start = 0;
  transform().on_process_input = [&] {
    inside = true;
    std::unique_lock lock(gate_mutex);
    gate_changed.wait(lock, [&] { return gate_open; });
  };
  start(config_at(30));
  // No input asked for yet: the frame waits in the mailbox, and the event
  // thread submits it at the request, where the call hangs.
  ASSERT_TRUE(frame());
  transform().push_event(platform::mf::me_transform_need_input);
  ASSERT_TRUE(eventually([&] { return inside.load(); }));
  EXPECT_TRUE(capture->on_timer(control)) << "a call just begun is no stall";
  wgc_capture::HandlerResult ended;
  ASSERT_TRUE(eventually([&] { return !(ended = capture->on_timer(control)); }));
  EXPECT_EQ(ended.error().message, "encoder stalled: a call into the encoder has not returned for 2 s");
  capture.reset();
  const std::uint64_t left_before = media.co_uninitialize_calls();
  {
    std::lock_guard lock(gate_mutex);
    gate_open = true;
  }
  gate_changed.notify_all();
  // The call returned after all: the transform is shut down and both
  // workers end (each leaves COM last), before the next test's platform.
  EXPECT_TRUE(eventually([&] { return transform().shut_down(); }));
  EXPECT_TRUE(eventually([&] { return media.co_uninitialize_calls() >= left_before + 2; }));
}

// A device that is gone gives nothing back: the session ends at once with
// the summary of what was done, without waiting for a drain.
TEST_F(CaptureHandlerTest, RemovedDeviceEndsTheSessionWithTheSummaryWithoutADrain) {
  transform().hold_outputs = true;
  transform().drain_complete_on_drain = false;
  start(config_at(30));
  ASSERT_TRUE(frame());
  ASSERT_TRUE(eventually([&] { return submitted() == 1; }));
  auto ended = capture->on_device_removed(wgc_capture::HandlerError{"graphics device removed: gone"});
  ASSERT_FALSE(ended);
  EXPECT_EQ(ended.error().message, "graphics device removed: gone");
  capture.reset();
  const auto summary = outputs.lines_starting("native_encoder_summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_NE(summary[0].find("captured_frames=1 encoded_frames=1"), std::string::npos) << summary[0];
  EXPECT_EQ(outputs.lines_starting("error:"), std::vector<std::string>{});
  const auto messages = transform().messages();
  EXPECT_EQ(std::ranges::count(messages, platform::mf::MftMessage::CommandDrain), 0);
  EXPECT_TRUE(transform().shut_down());
}

// The event thread does not ask the encoder for output while a parent that
// has stopped reading holds it in a record's write: the encoder's silence
// then, however long, is no stall, and the session goes on once the parent
// reads again.
TEST_F(CaptureHandlerTest, ParentThatStopsReadingIsNoEncoderStall) {
  auto sink = std::make_shared<GatedRecordSink>();
  start(config_at(30), app::OutputStreams{std::make_shared<app::RecordOutput>(sink), outputs.streams().diagnostics});
  ASSERT_TRUE(frame());
  ASSERT_TRUE(eventually([&] { return sink->writer_waiting(); }));
  ASSERT_TRUE(frame());
  ASSERT_TRUE(eventually([&] { return submitted() == 1; }));
  // Three seconds into the write, as far as the encoder state can tell.
  capture->encoder().state().lock()->progress_at = std::chrono::steady_clock::now() - std::chrono::seconds(3);
  auto timer = capture->on_timer(control);
  EXPECT_TRUE(timer) << timer.error().message;
  sink->open();
  ASSERT_TRUE(eventually([&] { return sink->records() == 2; }));
  timer = capture->on_timer(control);
  EXPECT_TRUE(timer) << timer.error().message;
  ASSERT_TRUE(capture->finish_and_report());
}

TEST_F(CaptureHandlerTest, EncoderSetupFailureIsTheHandlersError) {
  media.enumeration = platform::fake::FakeMediaFoundation::Enumeration::NoEncoder;
  auto created = app::Capture::create(
      wgc_capture::HandlerContext<app::Config>{config_at(30), d3d.device(), d3d.context()}, outputs.streams());
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().message, "hardware H.264 encoder unavailable; software fallback refused");
  EXPECT_TRUE(outputs.lines().empty());
}

TEST_F(CaptureHandlerTest, CaptureTimingEverySixtyCallbacksAndSummaryOnce) {
  start(config_at(1000));
  win32.counter = std::int64_t{50'000};  // 5 ms after a frame composed at 0
  for (int i = 0; i < 120; ++i) {
    ASSERT_TRUE(frame());
  }
  const auto timing = outputs.lines_starting("capture_timing");
  ASSERT_EQ(timing.size(), 2u);
  const std::regex shape(
      "capture_timing interval_p50_ms=\\d+ interval_p95_ms=\\d+ handler_p50_ms=\\d+ handler_p95_ms=\\d+ "
      "compose_to_callback_p50_ms=5 compose_to_callback_p95_ms=5");
  for (const auto& line : timing) {
    EXPECT_TRUE(std::regex_match(line, shape)) << line;
  }
  ASSERT_TRUE(capture->finish_and_report());
  ASSERT_TRUE(capture->on_closed());
  const auto summary = outputs.lines_starting("native_encoder_summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_TRUE(summary[0].starts_with("native_encoder_summary capture_queue_max_depth=1 encoder_max_depth="))
      << summary[0];
  EXPECT_NE(summary[0].find(" encoder_drops=0 capture_drops=0 captured_frames=120 encoded_frames="),
            std::string::npos)
      << summary[0];
}

TEST_F(CaptureHandlerTest, FrameComposedInTheCounterFutureCountsZero) {
  start(config_at(1000));
  win32.counter = std::int64_t{10'000};
  for (int i = 0; i < 60; ++i) {
    ASSERT_TRUE(frame(1920, 1080, 20'000'000));
  }
  const auto timing = outputs.lines_starting("capture_timing");
  ASSERT_EQ(timing.size(), 1u);
  EXPECT_TRUE(timing[0].ends_with("compose_to_callback_p50_ms=0 compose_to_callback_p95_ms=0")) << timing[0];
  ASSERT_TRUE(capture->finish_and_report());
}

TEST_F(CaptureHandlerTest, PausedFramesAreDroppedButTheirComposeDelaysReportedAfterwards) {
  start(config_at(1000));
  config_.paused->store(true);
  win32.counter = std::int64_t{1'000'000};  // 100 ms
  for (int i = 0; i < 70; ++i) {
    ASSERT_TRUE(frame());
  }
  EXPECT_TRUE(outputs.lines_starting("capture_timing").empty());
  EXPECT_EQ(capture->captured_frames(), 0u);
  EXPECT_TRUE(d3d.blits().empty());

  config_.paused->store(false);
  win32.counter = std::int64_t{50'000};  // 5 ms
  for (int i = 0; i < 60; ++i) {
    ASSERT_TRUE(frame());
  }
  const auto timing = outputs.lines_starting("capture_timing");
  ASSERT_EQ(timing.size(), 1u);
  // 70 paused samples of 100 ms outnumber the 60 of 5 ms.
  EXPECT_TRUE(timing[0].ends_with("compose_to_callback_p50_ms=100 compose_to_callback_p95_ms=100")) << timing[0];
  EXPECT_EQ(capture->captured_frames(), 60u);
  ASSERT_TRUE(capture->finish_and_report());
}

TEST_F(CaptureHandlerTest, UnreadableCounterTakesNoComposeSample) {
  start(config_at(1000));
  win32.frequency = std::int64_t{0};
  for (int i = 0; i < 60; ++i) {
    ASSERT_TRUE(frame());
  }
  const auto timing = outputs.lines_starting("capture_timing");
  ASSERT_EQ(timing.size(), 1u);
  EXPECT_TRUE(timing[0].ends_with("compose_to_callback_p50_ms=0 compose_to_callback_p95_ms=0")) << timing[0];
  ASSERT_TRUE(capture->finish_and_report());
}

TEST_F(CaptureHandlerTest, ElapsedDurationFinishesStopsAndDropsThatFrame) {
  app::Config config = config_at(30);
  config.duration = std::chrono::nanoseconds(0);
  start(config);
  ASSERT_TRUE(frame());
  EXPECT_TRUE(control.is_stopped());
  EXPECT_TRUE(d3d.blits().empty());
  ASSERT_TRUE(capture->on_closed());
  ASSERT_TRUE(frame());
  const auto summary = outputs.lines_starting("native_encoder_summary");
  EXPECT_EQ(summary, (std::vector<std::string>{
                         "native_encoder_summary capture_queue_max_depth=1 encoder_max_depth=0 encoder_drops=0 "
                         "capture_drops=0 captured_frames=0 encoded_frames=0 frames_replaced=0 frames_deferred=0"}));
}

TEST_F(CaptureHandlerTest, ElapsedDurationAfterFramesEncodesWhatCameBefore) {
  app::Config config = config_at(1000);
  config.duration = std::chrono::milliseconds(300);
  start(config);
  // The last frame before the duration's end is still encoded.
  std::size_t frames = 0;
  using std::chrono::milliseconds;
  for (const milliseconds at : {milliseconds(0), milliseconds(150), milliseconds(299)}) {
    clock.advance(at - clock.elapsed());
    ASSERT_TRUE(frame());
    ++frames;
    ASSERT_TRUE(eventually([&] { return outputs.record_count() == frames; }));
    // Past the 1 ms interval of 1000 fps, so that no frame is held back.
    std::this_thread::sleep_for(milliseconds(2));
  }
  EXPECT_FALSE(control.is_stopped());
  clock.advance(milliseconds(1));
  ASSERT_TRUE(frame());
  EXPECT_TRUE(control.is_stopped());
  EXPECT_EQ(d3d.blits().size(), 3u);
  EXPECT_EQ(outputs.records().size(), 3u);
  const auto summary = outputs.lines_starting("native_encoder_summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_TRUE(summary[0].ends_with("captured_frames=3 encoded_frames=3 frames_replaced=0 frames_deferred=0"))
      << summary[0];
}

TEST_F(CaptureHandlerTest, ElapsedDurationWithAFailingFinishStopsAndReturnsTheError) {
  transform().hold_outputs = true;
  app::Config config = config_at(1000);
  config.duration = std::chrono::milliseconds(100);
  start(config);
  ASSERT_TRUE(frame());
  clock.advance(std::chrono::milliseconds(100));
  auto failed = frame();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message, "hardware encoder drain ended with pending inputs");
  EXPECT_TRUE(control.is_stopped());
  EXPECT_TRUE(outputs.lines_starting("native_encoder_summary").empty());
  // finish ran once; a later close does not print a summary either.
  EXPECT_TRUE(capture->on_closed());
  EXPECT_TRUE(outputs.lines_starting("native_encoder_summary").empty());
}

// An encoder may refuse input it asked for (crbug.com/377749373): the
// session goes on with the frame waiting for the encoder's next request.
TEST_F(CaptureHandlerTest, RefusedSubmissionKeepsTheFrameWaitingAndTheSessionGoing) {
  media.faults().fail("process_input", platform::status::mf_e_notaccepting);
  start(config_at(30));
  ASSERT_TRUE(frame());
  {
    auto state = capture->encoder().state().lock();
    EXPECT_TRUE(state->mailbox.pending().has_value());
    EXPECT_EQ(state->converter->free_surfaces.size(), 3u);
    EXPECT_EQ(state->encoded_frames, 0u);
    EXPECT_FALSE(state->error.has_value());
  }
  EXPECT_EQ(capture->captured_frames(), 1u);
  media.faults().reset("process_input");
}

// An encoder that keeps frames (look-ahead, bursts) gives them back only for
// more input, so a resize cannot wait for them: the new size is taken at
// once, and the old converter's surfaces are released as they come back.
TEST_F(CaptureHandlerTest, ResizeWhileInputsAreInsideTheEncoderTakesTheNewSizeAtOnce) {
  transform().hold_outputs = true;
  start(config_at(1000));
  ASSERT_TRUE(frame());
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(frame());
  ASSERT_TRUE(eventually([&] { return submitted() == 2; }));

  ASSERT_TRUE(frame(1280, 720));
  EXPECT_EQ(replaced(), 0u);
  // The parent hears of it (a title-marker crop needs a new CROP); the
  // first frame's size was no change.
  EXPECT_EQ(outputs.lines_starting("capture_resized"),
            std::vector<std::string>{"capture_resized from=1920x1080 to=1280x720"});
  const auto descs = d3d.enumerator_descs();
  ASSERT_EQ(descs.size(), 2u);
  EXPECT_EQ(descs[1].input_width, 1280u);
  EXPECT_EQ(descs[1].input_height, 720u);
  EXPECT_EQ(d3d.blits().size(), 3u);
  EXPECT_EQ(d3d.blits().back().dest_rect, (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(capture->captured_frames(), 3u);
  // Two old surfaces inside the encoder, the new converter's four.
  EXPECT_EQ(d3d.live_textures(platform::d3d11::Format::Nv12), 6u);

  transform().emit_output(FakeEncoderTransform::encoded(0, true, false));
  transform().emit_output(FakeEncoderTransform::encoded(1, false, false));
  // The new frame goes in behind them; the old surfaces are gone, not pooled.
  ASSERT_TRUE(eventually([&] {
    return transform().inputs().size() == 3 && d3d.live_textures(platform::d3d11::Format::Nv12) == 4u;
  }));
  // Records are written after the state lock is released.
  EXPECT_TRUE(eventually([&] { return outputs.record_count() == 2; }));

  // The last frame never comes back: the drain ends with it pending.
  EXPECT_FALSE(capture->finish_and_report());
}

TEST_F(CaptureHandlerTest, TitleMarkerCaptureCropsToTheContentSize) {
  app::Config config = config_at(30);
  config.window_title = "quorvex-marker-0123456789";
  config.content_size->store(app::pack_content_size(1280, 720));
  start(config);
  ASSERT_TRUE(frame(1296, 759));
  const auto blits = d3d.blits();
  ASSERT_EQ(blits.size(), 1u);
  EXPECT_EQ(blits[0].source_rect, (Rect{8, 31, 1288, 751}));
  EXPECT_EQ(blits[0].dest_rect, (Rect{0, 0, 1920, 1080}));
  ASSERT_TRUE(capture->finish_and_report());
}

TEST_F(CaptureHandlerTest, DisplayCaptureNeverSetsASourceRectangle) {
  start(config_at(30));
  ASSERT_TRUE(frame(1280, 1024));
  for (const auto& setting : d3d.rect_settings()) {
    EXPECT_FALSE(setting.source);
  }
  EXPECT_EQ(d3d.blits().at(0).dest_rect, (Rect{285, 0, 1635, 1080}));
  ASSERT_TRUE(capture->finish_and_report());
}

TEST_F(CaptureHandlerTest, FailedWorkerEndsTheSessionWithItsText) {
  start(config_at(30));
  transform().emit_output(FakeEncoderTransform::encoded(0, true, false));
  ASSERT_TRUE(eventually([&] { return capture->encoder().state().lock()->error.has_value(); }));
  auto failed = frame();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message, "encoder produced an untracked frame");
  EXPECT_TRUE(d3d.blits().empty());
}

TEST_F(CaptureHandlerTest, ConversionFailureEndsTheSessionWithItsText) {
  start(config_at(30));
  d3d.faults().return_empty("create_texture_2d");
  auto failed = frame();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message, "D3D11 returned no NV12 texture");
}

TEST_F(CaptureHandlerTest, PoisonedStateEndsTheSessionAndNoSummaryIsPrinted) {
  start(config_at(30));
  ASSERT_TRUE(frame());
  std::thread([&] {
    try {
      auto guard = capture->encoder().state().lock();
      throw std::runtime_error("holder failed");
    } catch (const std::runtime_error&) {
    }
  }).join();
  auto failed = frame();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message, "encoder state lock poisoned");
  auto finished = capture->finish_and_report();
  ASSERT_FALSE(finished);
  EXPECT_EQ(finished.error().message, "encoder state lock poisoned");
  EXPECT_TRUE(outputs.lines_starting("native_encoder_summary").empty());
  EXPECT_EQ(capture->captured_frames(), 1u);

  capture.reset();
  EXPECT_EQ(outputs.lines_starting("error: encoder finish failed:"),
            (std::vector<std::string>{"error: encoder finish failed: encoder state lock poisoned"}));
  // The workers were left running; let them see the end before the fakes go.
  transform().shutdown_events();
  ASSERT_TRUE(eventually([&] { return media.co_uninitialize_calls() == 2; }));
}

// A still screen delivers no frames. A keyframe asked for then (KEYFRAME,
// or RESUME after a pause) is answered by the last frame, encoded again as a
// keyframe, without waiting for the screen to change; never while paused.
struct StillScreenCase {
  const char* name;
  bool paused_first;
};

class StillScreen : public CaptureHandlerTest, public ::testing::WithParamInterface<StillScreenCase> {
 protected:
  // What the control reader does for KEYFRAME, and for RESUME with
  // `resume`.
  void ask_for_keyframe(bool resume) {
    if (resume) {
      config_.paused->store(false);
    }
    config_.keyframe_request->store(true);
    config_.control_bell->ring();
  }
};

TEST_P(StillScreen, KeyframeRequestRepeatsTheLastFrameAsAKeyframe) {
  start(config_at(30));
  ASSERT_TRUE(frame());
  ASSERT_TRUE(eventually([&] { return outputs.record_count() == 1; }));
  if (GetParam().paused_first) {
    config_.paused->store(true);
    ask_for_keyframe(false);
    // Several frame intervals: a paused session sends nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(outputs.record_count(), 1u) << "a repeat went out while paused";
  }
  ask_for_keyframe(GetParam().paused_first);
  ASSERT_TRUE(eventually([&] { return outputs.record_count() == 2; })) << "the request waits for a new frame";
  ASSERT_TRUE(capture->finish_and_report());

  const auto records = outputs.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(records[1].keyframe);
  EXPECT_GT(records[1].timestamp_ns, records[0].timestamp_ns);
  const auto inputs = transform().inputs();
  ASSERT_EQ(inputs.size(), 2u);
  EXPECT_EQ(inputs[1].texture, inputs[0].texture) << "not the last frame's picture";
  EXPECT_TRUE(inputs[1].keyframe_forced);
  EXPECT_EQ(inputs[1].sample_time_100ns, 333'333);
  EXPECT_EQ(outputs.lines_starting("encoder_control request=keyframe").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Commands, StillScreen,
                         ::testing::Values(StillScreenCase{"Keyframe", false}, StillScreenCase{"ResumeAfterPause", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The repeat waits for frames still inside the encoder: they are newer than
// the kept one, and a repeat before them would step the picture back.
TEST_F(CaptureHandlerTest, KeyframeRepeatWaitsForFramesInsideTheEncoder) {
  transform().hold_outputs = true;
  start(config_at(100));
  ASSERT_TRUE(frame());
  ASSERT_TRUE(eventually([&] { return submitted() == 1; }));
  transform().emit_output(FakeEncoderTransform::encoded(0, true, false));
  ASSERT_TRUE(eventually([&] { return outputs.record_count() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(frame());
  ASSERT_TRUE(eventually([&] { return submitted() == 1; }));
  config_.keyframe_request->store(true);
  config_.control_bell->ring();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(transform().inputs().size(), 2u) << "repeated while a newer frame was inside";
  transform().emit_output(FakeEncoderTransform::encoded(1, false, false));
  ASSERT_TRUE(eventually([&] { return transform().inputs().size() == 3; }));
  const auto inputs = transform().inputs();
  EXPECT_EQ(inputs[2].texture, inputs[1].texture);
  EXPECT_TRUE(inputs[2].keyframe_forced);
  transform().emit_output(FakeEncoderTransform::encoded(2, true, false));
  ASSERT_TRUE(capture->finish_and_report());
}

}  // namespace
}  // namespace quorvex::test
