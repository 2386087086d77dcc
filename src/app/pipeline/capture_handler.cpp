#include "app/pipeline/capture_handler.h"

#include <limits>
#include <string>
#include <utility>

#include "app/diagnostics.h"
#include "app/pipeline/encoder_events.h"
#include "platform/platform.h"
#include "sender/window_share.h"
#include "sender/windows_encoder.h"

namespace quorvex::app {
namespace {

// Room for one timing window.
constexpr std::size_t timing_window = 60;
constexpr std::int64_t units_100ns_per_second = 10'000'000;
constexpr std::int64_t units_100ns_per_ms = 10'000;

wgc_capture::HandlerError handler_error(Error error) { return {std::move(error.message)}; }

// counter × 10,000,000 / frequency, truncated toward zero, without a 128-bit
// type: whole seconds and the remainder are scaled apart. The remainder is
// below the frequency, so its product only overflows for frequencies above
// 922 GHz, which no counter has; those are scaled in floating point.
std::int64_t counter_in_100ns(std::int64_t counter, std::int64_t frequency) {
  const std::int64_t seconds = counter / frequency;
  const std::int64_t remainder = counter % frequency;
  std::int64_t fraction = 0;
  if (frequency <= std::numeric_limits<std::int64_t>::max() / units_100ns_per_second) {
    fraction = remainder * units_100ns_per_second / frequency;
  } else {
    fraction = static_cast<std::int64_t>(static_cast<long double>(remainder) * units_100ns_per_second /
                                         static_cast<long double>(frequency));
  }
  return seconds * units_100ns_per_second + fraction;
}

}  // namespace

Capture::Capture(Config config, std::unique_ptr<HardwareEncoder> encoder, OutputStreams streams,
                 SessionClock& clock)
    : streams_(std::move(streams)), encoder_(std::move(encoder)), config_(std::move(config)), clock_(clock) {
  interval_samples_.reserve(timing_window);
  handler_samples_.reserve(timing_window);
  compose_to_callback_samples_.reserve(timing_window);
  started_at_ = clock_.now();
}

Capture::~Capture() {
  if (config_.control_bell) {
    config_.control_bell->detach();
  }
}

std::expected<std::unique_ptr<Capture>, wgc_capture::HandlerError> Capture::create(
    wgc_capture::HandlerContext<Config> context) {
  return create(std::move(context), process_output_streams());
}

std::expected<std::unique_ptr<Capture>, wgc_capture::HandlerError> Capture::create(
    wgc_capture::HandlerContext<Config> context, OutputStreams streams, SessionClock& clock) {
  Config& config = context.flags;
  streams.frame_latency_lines = !config.quiet;
  streams.drop_filler = config.drop_filler;
  auto encoder = HardwareEncoder::create(std::move(context.device), std::move(context.device_context),
                                         config.width, config.height, config.fps, config.bitrate,
                                         config.keyframe_request, streams, config.pacing,
                                         {.rate_buffer = config.rate_buffer_ms.transform([](std::uint32_t ms) {
                                            return std::chrono::milliseconds(ms);
                                          }),
                                          .keyframe_interval = config.keyframe_interval});
  if (!encoder) {
    return std::unexpected(handler_error(std::move(encoder.error())));
  }
  HardwareEncoder& started = **encoder;
  {
    auto guard = started.state().lock();
    guard->paused = config.paused;
    guard->rate_request = config.rate_request;
    if (config.idle_refresh) {
      guard->repeat.idle_refresh = std::chrono::duration_cast<FrameRepeat::Duration>(*config.idle_refresh);
    }
  }
  if (config.control_bell) {
    // A key frame asked for on a still screen is answered by the pacer
    // (EncoderState::repeat_due), which sleeps until told. Taking the state
    // lock first means the pacer is either before its look at the request
    // or already waiting: the notification cannot fall between the two.
    config.control_bell->attach([&started] {
      { auto guard = started.state().lock(); }
      started.wake().notify_all();
    });
  }
  streams.diagnostics->write(diagnostics::capture_encoder());
  streams.diagnostics->write(diagnostics::session_start({
      .source = config.source,
      .width = config.width,
      .height = config.height,
      .fps = config.fps,
      .bitrate = config.bitrate,
      .pacing = config.pacing,
      .encoder = started.name(),
  }));
  return std::unique_ptr<Capture>(new Capture(std::move(config), std::move(*encoder), std::move(streams), clock));
}

void Capture::take_compose_sample(const wgc_capture::Frame& frame) {
  platform::Win32& win32 = platform::current().win32();
  const auto counter = win32.query_performance_counter();
  const auto frequency = win32.query_performance_frequency();
  if (!counter || !frequency || *frequency <= 0) {
    return;
  }
  std::int64_t delay = counter_in_100ns(*counter, *frequency) - frame.timestamp_100ns;
  if (delay < 0) {
    delay = 0;
  }
  compose_to_callback_samples_.push_back(static_cast<std::uint64_t>(delay / units_100ns_per_ms));
}

wgc_capture::HandlerResult Capture::on_frame_arrived(wgc_capture::Frame& frame,
                                                     wgc_capture::CaptureControl& control) {
  const MonotonicTime arrival = std::chrono::steady_clock::now();
  take_compose_sample(frame);

  if (const auto end = due_end()) {
    return end_session(*end, control);
  }
  if (config_.paused->load()) {
    return {};
  }
  std::optional<sender::FrameRect> crop;
  if (config_.window_title) {
    const std::uint64_t content = config_.content_size->load();
    crop = sender::content_crop(frame.width, frame.height, static_cast<std::uint32_t>(content >> 32),
                                static_cast<std::uint32_t>(content & 0xFFFFFFFFu));
  }
  const auto capture_time = std::chrono::system_clock::now();

  if (auto handled = convert_and_hand_over(frame, crop, capture_time, arrival); !handled) {
    return std::unexpected(handler_error(std::move(handled.error())));
  }

  ++captured_frames_;
  const std::optional<MonotonicTime> previous = std::exchange(last_arrival_, arrival);
  if (previous) {
    interval_samples_.push_back(whole_ms(arrival - *previous));
  }
  handler_samples_.push_back(whole_ms(std::chrono::steady_clock::now() - arrival));
  if (handler_samples_.size() == timing_window) {
    report_timing_window();
  }
  return {};
}

wgc_capture::HandlerResult Capture::on_timer(wgc_capture::CaptureControl& control) {
  if (finished_) {
    return {};
  }
  if (const auto end = due_end()) {
    return end_session(*end, control);
  }
  // A reader that went away is otherwise found only by the next record's
  // write, which a still screen may never make.
  if (auto present = streams_.records->reader_present(); !present) {
    return std::unexpected(wgc_capture::HandlerError{std::move(present.error().message)});
  }
  const MonotonicTime now = std::chrono::steady_clock::now();
  // Time in which the process did not run (stopped by SIGSTOP or a
  // debugger, a machine asleep) is no encoder's silence, yet the steady
  // clock counts it: a tick far later than the timer's period restarts both
  // watchdogs' count from now.
  if (const auto previous = std::exchange(last_tick_, now); previous && now - *previous > watchdog_restart_gap) {
    watching_since_ = now;
  }
  auto guard = encoder_->state().try_lock();
  if (!guard) {
    if (auto hung = hung_call(encoder_->state(), now, watching_since_)) {
      encoder_->abandon_hung();
      return std::unexpected(wgc_capture::HandlerError{std::move(*hung)});
    }
    return {};
  }
  if (guard->poisoned()) {
    return std::unexpected(wgc_capture::HandlerError{std::string(lock_poisoned_message)});
  }
  if ((*guard)->error) {
    return std::unexpected(wgc_capture::HandlerError{*(*guard)->error});
  }
  if (auto stalled = (*guard)->stall(now, watching_since_)) {
    return std::unexpected(wgc_capture::HandlerError{std::move(*stalled)});
  }
  return {};
}

wgc_capture::HandlerResult Capture::on_device_removed(wgc_capture::HandlerError error) {
  if (!finished_) {
    finished_ = true;
    encoder_->abandon();
    report_summary();
  }
  return std::unexpected(std::move(error));
}

Result<void> Capture::convert_and_hand_over(wgc_capture::Frame& frame,
                                            const std::optional<sender::FrameRect>& crop,
                                            std::chrono::system_clock::time_point capture_time,
                                            MonotonicTime arrival) {
  auto locked = lock_encoder_state(encoder_->state());
  if (!locked) {
    return std::unexpected(locked.error());
  }
  EncoderState& state = **locked;
  if (state.error) {
    return fail(*state.error);
  }

  Result<void> result = [&]() -> Result<void> {
    const platform::d3d11::Texture2DDesc desc = frame.texture->get_desc();
    const bool same_size = state.converter && state.converter->input_width == desc.width &&
                           state.converter->input_height == desc.height;
    if (!same_size) {
      if (state.converter) {
        // A parent cropping by title marker needs a new CROP for the new
        // size. The line only enters the queue: it never waits under the lock.
        streams_.diagnostics->write(diagnostics::capture_resized(
            state.converter->input_width, state.converter->input_height, desc.width, desc.height));
      }
      // A waiting frame of the old size can no longer go in; its surface
      // goes with the old converter's pool.
      static_cast<void>(state.mailbox.displace());
      // A picture of the old size cannot be repeated into the new stream.
      state.last_frame.reset();
      auto built = GpuConverter::build(*state.device, *state.context, desc.width, desc.height, state.width,
                                       state.height, state.fps);
      if (!built) {
        return std::unexpected(built.error());
      }
      state.converter = std::move(*built);
      // Frames the encoder still holds keep the old converter's surfaces
      // until they come back. The new size cannot wait for them: an encoder
      // that keeps frames for look-ahead or bursts gives them back only for
      // more input.
      state.retired_inside = state.submitted.size();
    }
    auto surface = state.convert(*frame.texture, crop);
    if (!surface) {
      return std::unexpected(surface.error());
    }
    PendingInput input{std::move(*surface), std::nullopt, state.stamp(capture_time), arrival};
    return state.apply(state.mailbox.frame_converted(std::move(input), std::chrono::steady_clock::now()));
  }();

  locked->unlock();
  encoder_->wake().notify_all();
  return result;
}

void Capture::report_timing_window() {
  const auto interval = sender::encoder_latency_summary(interval_samples_, 0);
  const auto handler = sender::encoder_latency_summary(handler_samples_, 0);
  const auto compose = sender::encoder_latency_summary(compose_to_callback_samples_, 0);
  if (interval && handler) {
    const sender::EncoderLatencySummary none;
    const sender::EncoderLatencySummary& c = compose ? *compose : none;
    streams_.diagnostics->write(diagnostics::capture_timing(*interval, *handler, c));
  }
  interval_samples_.clear();
  handler_samples_.clear();
  compose_to_callback_samples_.clear();
}

std::optional<SessionEnd> Capture::due_end() const {
  if (config_.stop_request->load(std::memory_order_acquire)) {
    return config_.stop_reason->load(std::memory_order_relaxed);
  }
  if (clock_.now() - started_at_ >= config_.duration) {
    return SessionEnd::Duration;
  }
  return std::nullopt;
}

wgc_capture::HandlerResult Capture::end_session(SessionEnd end, wgc_capture::CaptureControl& control) {
  config_.session_end->store(end);
  auto finished = finish_and_report();
  control.stop();
  if (!finished) {
    return std::unexpected(handler_error(std::move(finished.error())));
  }
  return {};
}

wgc_capture::HandlerResult Capture::on_closed() {
  if (!finished_) {
    config_.session_end->store(SessionEnd::ItemClosed);
  }
  if (auto finished = finish_and_report(); !finished) {
    return std::unexpected(handler_error(std::move(finished.error())));
  }
  return {};
}

Result<void> Capture::finish_and_report() {
  if (finished_) {
    return {};
  }
  finished_ = true;
  if (auto finished = encoder_->finish(); !finished) {
    return finished;
  }
  report_summary();
  return {};
}

void Capture::report_summary() {
  diagnostics::SessionSummary summary{.captured_frames = captured_frames_};
  {
    auto guard = encoder_->state().lock();
    if (!guard.poisoned()) {
      summary.encoder_max_depth = guard->encoder_max_depth;
      summary.encoded_frames = guard->encoded_frames;
      summary.frames_replaced = guard->mailbox.frames_replaced();
      summary.frames_deferred = guard->mailbox.frames_deferred();
    }
  }
  streams_.diagnostics->write(diagnostics::native_encoder_summary(summary));
}

}  // namespace quorvex::app
