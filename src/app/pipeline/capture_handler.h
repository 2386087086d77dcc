// The capture handler this program plugs into the capture layer: it starts
// the hardware encoder, and for every captured frame decides whether the
// session is over and whether the frame is wanted, converts it on the GPU
// into one of the encoder's NV12 surfaces, hands it to the frame mailbox and
// lets the encoder state carry out the mailbox's decision. It measures the
// capture callbacks ("capture_timing" every 60) and prints the session
// summary once at the end.
//
// Thread contract: the capture layer calls on_frame_arrived and on_closed one
// at a time under its handler mutex (taken before the encoder-state lock);
// on_frame_arrived on the capture thread, on_closed on whichever thread the
// platform raises Closed on.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <vector>

#include "app/config.h"
#include "app/error.h"
#include "app/pipeline/hardware_encoder.h"
#include "app/pipeline/output_streams.h"
#include "app/session_clock.h"
#include "wgc_capture/capture.h"

namespace quorvex::app {

class Capture final : public wgc_capture::GraphicsCaptureApiHandler {
 public:
  using Flags = Config;

  // Starts the encoder with the configuration's size, rate, bit rate and
  // keyframe cell and prints the "capture_encoder …" and "session_start …"
  // lines; fails with the encoder's error. The session's duration is measured on `clock`, which
  // must outlive the handler.
  [[nodiscard]] static std::expected<std::unique_ptr<Capture>, wgc_capture::HandlerError> create(
      wgc_capture::HandlerContext<Config> context);
  [[nodiscard]] static std::expected<std::unique_ptr<Capture>, wgc_capture::HandlerError> create(
      wgc_capture::HandlerContext<Config> context, OutputStreams streams,
      SessionClock& clock = steady_session_clock());

  // Stops listening to the control bell.
  ~Capture() override;
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  [[nodiscard]] wgc_capture::HandlerResult on_frame_arrived(wgc_capture::Frame& frame,
                                                            wgc_capture::CaptureControl& control) override;
  // The same as finish_and_report.
  [[nodiscard]] wgc_capture::HandlerResult on_closed() override;
  // What a frame would find without one: the session's end (a stop request
  // or the duration: finish, report and stop), a worker's stored error, or
  // an encoder that stopped producing output.
  // Also the watchdog of a hung encoder call: it never waits for the
  // encoder-state lock, and a lock held for the stall time-out by a call
  // that has not returned ends the session.
  [[nodiscard]] wgc_capture::HandlerResult on_timer(wgc_capture::CaptureControl& control) override;
  // The device is gone: the encoder is abandoned without a drain (nothing
  // would come out), the summary is printed, and the session ends with
  // `error`.
  [[nodiscard]] wgc_capture::HandlerResult on_device_removed(wgc_capture::HandlerError error) override;

  // Finishes the encoder and prints the summary, at most once per session.
  [[nodiscard]] Result<void> finish_and_report();

  [[nodiscard]] HardwareEncoder& encoder() { return *encoder_; }
  [[nodiscard]] std::uint64_t captured_frames() const { return captured_frames_; }

 private:
  Capture(Config config, std::unique_ptr<HardwareEncoder> encoder, OutputStreams streams, SessionClock& clock);

  // The frame's encoder work under the state lock (converter, conversion,
  // mailbox, submission); notifies `wake` afterwards.
  [[nodiscard]] Result<void> convert_and_hand_over(wgc_capture::Frame& frame,
                                                   const std::optional<sender::FrameRect>& crop,
                                                   std::chrono::system_clock::time_point capture_time,
                                                   MonotonicTime arrival);
  // The end the session has reached, if any: a stop request, or the
  // duration on clock_.
  [[nodiscard]] std::optional<SessionEnd> due_end() const;
  // Records the end, finishes, reports and stops the capture.
  [[nodiscard]] wgc_capture::HandlerResult end_session(SessionEnd end, wgc_capture::CaptureControl& control);
  void take_compose_sample(const wgc_capture::Frame& frame);
  void report_summary();
  void report_timing_window();

  // Declared in reverse order of destruction: the configuration goes first,
  // then the encoder (its own teardown), then the lists.
  std::vector<std::uint64_t> interval_samples_;
  std::vector<std::uint64_t> handler_samples_;
  std::vector<std::uint64_t> compose_to_callback_samples_;
  OutputStreams streams_;
  std::unique_ptr<HardwareEncoder> encoder_;
  Config config_;
  SessionClock& clock_;
  SessionClock::time_point started_at_;  // on clock_
  std::optional<MonotonicTime> last_arrival_;
  // The timer's last tick, and since when the watchdogs count (see on_timer).
  std::optional<MonotonicTime> last_tick_;
  MonotonicTime watching_since_{};
  std::uint64_t captured_frames_ = 0;
  bool finished_ = false;
};

}  // namespace quorvex::app
