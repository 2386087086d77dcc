// The hardware H.264 encoder: finds the first hardware encoder transform that
// takes NV12 and gives H.264, configures it for constant-bitrate, low-latency
// streaming without B-frames, binds it to the caller's Direct3D 11 device
// (zero copy), builds the shared encoder state and starts the event thread
// "media-foundation-output" and the pacer "frame-mailbox-pacer". finish()
// drains it and joins both threads; destruction finishes once more, ends
// streaming, shuts the transform and then the media framework down. A
// software encoder is never used. When the machine has several hardware
// encoders, those of the capture device's adapter come first, and one that
// cannot be set up gives way to the next ("encoder_candidate" lines).
//
// Thread contract: create, finish and destruction run on the owner's thread
// (the capture thread, or the probe's main thread), which must be able to
// use the media framework's objects (a multithreaded-apartment thread). The
// worker threads reach the state only through its mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/config.h"
#include "app/pipeline/encoder_state.h"
#include "app/error.h"
#include "app/pipeline/output_streams.h"
#include "app/pipeline/worker_thread.h"
#include "platform/d3d11.h"
#include "platform/media_foundation.h"

namespace quorvex::app {

inline constexpr std::string_view no_hardware_encoder_message =
    "hardware H.264 encoder unavailable; software fallback refused";
inline constexpr std::string_view empty_activation_message = "hardware H.264 encoder activation is empty";
inline constexpr std::string_view low_latency_rejected_message = "encoder rejected low-latency mode";
inline constexpr std::string_view no_device_manager_message =
    "Media Foundation returned no DXGI device manager";
inline constexpr std::string_view pacer_panicked_message = "frame mailbox pacer thread panicked";
inline constexpr std::string_view events_panicked_message = "encoder event thread panicked";
inline constexpr std::string_view drain_pending_message = "hardware encoder drain ended with pending inputs";
// Why a candidate is skipped before it is given the capture device.
inline constexpr std::string_view other_adapter_message = "encoder belongs to another graphics adapter";
inline constexpr std::string_view not_d3d11_aware_message = "encoder does not take Direct3D 11 surfaces";

// Sets the attributes the input and output types share, in order, stopping
// at the first failure: major type video, subtype, frame size (width high,
// height low), frame rate fps/1, pixel aspect 1:1, progressive.
// Whether a low-latency read-back says the mode is on: a non-zero VT_BOOL,
// VT_UI4 or VT_I4 (encoders differ in the type they answer with).
[[nodiscard]] bool low_latency_enabled(const platform::mf::Variant& read_back);

[[nodiscard]] Result<void> configure_video_type(platform::mf::MediaType& type,
                                                const platform::Guid& subtype, std::uint32_t width,
                                                std::uint32_t height, std::uint32_t fps);

// How the stream is shaped for the network; what is absent keeps the
// encoder's own buffer and one keyframe a second.
struct StreamShaping {
  // "--rate-buffer-ms": the rate-control buffer as a duration of the bit
  // rate, with the peak bit rate equal to the mean one.
  std::optional<std::chrono::milliseconds> rate_buffer;
  // "--keyframe-interval": frames from one keyframe to the next; 0 for
  // keyframes only when asked.
  std::optional<std::uint32_t> keyframe_interval;
};

class HardwareEncoder {
 public:
  // fps must not be 0. The "encoder_setting …" lines go to
  // `streams.diagnostics`, frame records to `streams.records`.
  [[nodiscard]] static Result<std::unique_ptr<HardwareEncoder>> create(
      std::shared_ptr<platform::d3d11::Device> device,
      std::shared_ptr<platform::d3d11::DeviceContext> context, std::uint32_t width,
      std::uint32_t height, std::uint32_t fps, std::uint32_t bitrate, FlagCell keyframe_request,
      OutputStreams streams = process_output_streams(), sender::PacingRule pacing = sender::PacingRule::Strict,
      const StreamShaping& shaping = {});

  HardwareEncoder(const HardwareEncoder&) = delete;
  HardwareEncoder& operator=(const HardwareEncoder&) = delete;
  // finish() once more (a failure is printed as "error: encoder finish
  // failed: {error}"), end streaming, shut the media framework down. A worker
  // that could not be joined keeps running on its own with its references.
  ~HardwareEncoder();

  // Stops submissions, recycles the waiting frame, drains the encoder, joins
  // the pacer and then the event thread, and reports an incomplete drain or
  // a worker's failure. Only the first call drains; later calls repeat the
  // final checks. An encoder that shows no progress for
  // encoder_stall_timeout while frames are inside it (or its drain is
  // pending) fails the finish with the stall error instead of a wait for
  // ever; the destructor then shuts it down. A record being written to a
  // parent that is slow to read is waited for.
  [[nodiscard]] Result<void> finish();

  // Ends encoding without a drain, for a device that is gone: what the
  // encoder holds will never come out. Submissions and the pacer stop, the
  // waiting frame is dropped; finish() then only joins the pacer, and the
  // destructor shuts the transform down without waiting for output.
  void abandon();
  // A call into the encoder hangs and holds the state's lock: from now on
  // nothing here takes that lock or joins a worker. The destructor leaves
  // the workers to their fate (the process is about to end with an error).
  void abandon_hung() { hung_ = true; }

  [[nodiscard]] SharedEncoderState& state() const { return *state_; }
  // The chosen encoder's friendly name (empty when it has none).
  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] std::condition_variable& wake() const { return *wake_; }

 private:
  HardwareEncoder(std::shared_ptr<SharedEncoderState> state, std::shared_ptr<std::condition_variable> wake,
                  OutputStreams streams);

  // Waits on `wake` until the event thread has ended or the encoder stalls.
  [[nodiscard]] Result<void> wait_for_event_thread();

  std::shared_ptr<SharedEncoderState> state_;
  std::shared_ptr<std::condition_variable> wake_;
  // The chosen encoder's activation object: it shuts the transform down.
  std::shared_ptr<platform::mf::Activate> activation_;
  std::string name_;
  OutputStreams streams_;
  WorkerThread output_thread_;
  WorkerThread pacer_thread_;
  // The event thread is joined only after the drain messages went out:
  // otherwise it may wait for an event that never comes.
  bool drain_sent_ = false;
  bool abandoned_ = false;  // owner's thread only
  bool hung_ = false;       // owner's thread only
};

}  // namespace quorvex::app
