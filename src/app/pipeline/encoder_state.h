// The one record the capture thread, the encoder event thread, the pacer and
// the owner's thread share while a hardware encoder runs: the frame mailbox,
// the GPU converter with its NV12 surface pool, the frames inside the
// encoder, the encoder's interfaces, the sample clock, the counters and the
// slot in which a failing thread leaves its error. Beside it lives the
// condition variable `wake`, notified after every change that can move the
// mailbox's deadline; only the pacer waits on it.
//
// Surface ownership: every NV12 surface is at any moment in exactly one
// place: the converter's free pool, a PendingInput being handled, the
// mailbox's waiting slot, `submitted` or `last_frame`. From the slot, from
// `submitted` and from `last_frame` it returns to the pool only through
// recycle(); anywhere else, dropping it releases it.
//
// Thread contract: every field is guarded by the state's poisonable mutex;
// apply, recycle and submit are called with it held. Lock order: the capture
// handler's mutex, then this one; standard output only after this one has
// been released; no thread is joined while holding it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/config.h"
#include "app/error.h"
#include "app/pipeline/gpu_converter.h"
#include "app/pipeline/output_streams.h"
#include "app/pipeline/poisonable_mutex.h"
#include "platform/d3d11.h"
#include "platform/media_foundation.h"
#include "sender/frame_mailbox.h"
#include "sender/frame_repeat.h"

namespace quorvex::app {

inline constexpr std::string_view converter_unavailable_message = "GPU converter is unavailable";
inline constexpr std::string_view lock_poisoned_message = "encoder state lock poisoned";

// How long an encoder holding frames (or asked to drain) may go without
// output before the session gives up on it: far beyond any real encoder's
// latency (tens of milliseconds), short enough that a hung driver ends the
// session instead of freezing it.
inline constexpr std::chrono::seconds encoder_stall_timeout{2};
// A gap between two timer ticks (every 100 ms) longer than this means the
// process was not running; the watchdogs then count afresh.
inline constexpr std::chrono::milliseconds watchdog_restart_gap{1000};

using MonotonicTime = std::chrono::steady_clock::time_point;

// A converted frame on its way through mailbox and encoder.
struct PendingInput {
  GpuSurface surface;
  // Set when the encoder accepted the frame.
  std::optional<MonotonicTime> submitted_at;
  // Wall clock at arrival: the frame record's timestamp.
  std::chrono::system_clock::time_point capture_time;
  // Start of the capture callback that delivered the frame.
  MonotonicTime arrived_at;
};

using FrameMailbox = sender::FrameMailbox<PendingInput>;
using MailboxActions = sender::ActionList<PendingInput>;
using FrameRepeat = sender::FrameRepeat<>;

struct EncoderState {
  // The initial state for an encoder of this rate: mailbox of
  // max(1, H264Settings.max_in_flight) frames paced at 1/fps seconds by the
  // given rule, sample duration 10,000,000 / fps in 100-ns units. fps must
  // not be 0.
  explicit EncoderState(std::uint32_t fps, sender::PacingRule pacing = sender::PacingRule::Strict);

  // Runs the mailbox's actions in order; stops at the first error, and the
  // actions not run are dropped (their surfaces released).
  [[nodiscard]] Result<void> apply(MailboxActions actions);
  // Returns a surface to the back of the converter's pool.
  [[nodiscard]] Result<void> recycle(GpuSurface surface);
  // Wraps the frame's NV12 texture in a sample on the constant-rate timeline
  // and hands it to the encoder, honouring a pending keyframe request. An
  // encoder that refuses the input (MF_E_NOTACCEPTING) gets it again at its
  // next request: the frame goes back to the mailbox, and the submission
  // counts nothing.
  [[nodiscard]] Result<void> submit(PendingInput frame);
  // Converts `source` into a pool surface, growing the pool with the
  // mailbox's in-flight limit and taking back the kept last frame when the
  // pool is empty (a newer frame is on its way to replace it anyway).
  [[nodiscard]] Result<GpuSurface> convert(platform::d3d11::Texture2D& source,
                                           const std::optional<sender::FrameRect>& crop);
  // The encoder is done with this frame's surface: it is kept as the last
  // frame, and the one kept before goes back to the pool. Outputs come back
  // in submission order, so the kept frame is always the newest returned.
  [[nodiscard]] Result<void> retire(GpuSurface surface);
  // A frame's record timestamp: `wall`, or just after the previous frame's
  // when the wall clock did not move on (a repeat taken while a fresh frame
  // was on its way, a clock set back), so timestamps strictly increase.
  [[nodiscard]] std::chrono::system_clock::time_point stamp(std::chrono::system_clock::time_point wall);
  // When the kept last frame should go in again (a keyframe asked for on a
  // still screen, or the idle refresh), seeing a keyframe request for the
  // first time at `now`.
  [[nodiscard]] std::optional<FrameRepeat::Due> repeat_due(MonotonicTime now);
  // Hands the kept last frame to the mailbox again as a new frame taken now.
  [[nodiscard]] Result<void> repeat_last_frame(MonotonicTime now);
  // Takes the rates the parent asked for (BITRATE, FPS) from rate_request
  // and hands them to the running encoder, one "encoder_rate" line each. A
  // refusal is told and changes nothing; it does not end the session.
  void take_rate_requests();
  // "encoder stalled: no output for 2 s with {n} frames in flight" once the
  // encoder has held frames, or a pending drain, for encoder_stall_timeout
  // since its last progress. Never while a record is being written.
  // Silence before `watching_since` does not count.
  [[nodiscard]] std::optional<std::string> stall(MonotonicTime now, MonotonicTime watching_since = {}) const;

  std::deque<PendingInput> submitted;  // oldest first
  std::optional<GpuConverter> converter;
  std::optional<std::string> error;
  FrameMailbox mailbox;
  // The surface of the newest frame that came out of the encoder, for a
  // repeat; from `converter`'s pool, so a rebuild drops it.
  std::optional<GpuSurface> last_frame;
  FrameRepeat repeat;
  // The newest record timestamp handed out by stamp().
  std::optional<std::chrono::system_clock::time_point> last_stamp;
  // The session's pause cell, when a capture handler runs the encoder: a
  // paused session repeats nothing.
  FlagCell paused;
  // The in-flight limit last reported on standard error.
  std::size_t reported_in_flight_limit = 0;
  // The parent's BITRATE and FPS requests, when a capture handler runs the
  // encoder.
  RateRequestCell rate_request;
  // The bit rate the parent wants on the wire, the rate frames now go in
  // at (at most `fps`, the rate the encoder was configured for), the mean
  // bit rate the encoder has for them, and the rate buffer kept at its
  // duration through every change ("--rate-buffer-ms").
  std::uint32_t target_bitrate = 0;
  std::uint32_t paced_fps = 0;
  std::uint32_t encoder_bitrate = 0;
  std::optional<std::chrono::milliseconds> rate_buffer;
  std::shared_ptr<platform::d3d11::Device> device;
  std::shared_ptr<platform::d3d11::DeviceContext> context;
  std::shared_ptr<platform::mf::Transform> transform;
  std::shared_ptr<platform::mf::CodecApi> codec_api;
  std::shared_ptr<platform::mf::DxgiDeviceManager> device_manager;
  FlagCell keyframe_request = std::make_shared<std::atomic<bool>>(false);
  std::int64_t frame_duration_100ns = 0;
  std::int64_t next_sample_time_100ns = 0;
  std::uint64_t encoded_frames = 0;
  std::uint64_t encoder_max_depth = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t fps = 0;
  std::uint32_t output_buffer_size = 0;
  bool provides_samples = false;
  // The output type's sequence header (SPS and PPS, Annex B) when the
  // encoder offers one, until the event thread has taken it over.
  std::vector<std::byte> sequence_header;
  bool finishing = false;
  bool drained = false;
  // The encoder's last progress while it holds frames: its first input after
  // holding none, every output, a drain asked of an empty encoder, and the
  // end of every record's write.
  std::optional<MonotonicTime> progress_at;
  // The event thread is writing a record. It does not ask the encoder for
  // output meanwhile, and a parent may take its time to read, so the
  // encoder's silence during the write is not a stall.
  bool writing_record = false;
  // The event thread's loop is over (set by the thread, either way).
  bool events_ended = false;
  // How many of the oldest frames in `submitted` carry surfaces of a
  // converter replaced since they went in (the source was resized). They
  // are released when they come back, not recycled into the new pool.
  std::size_t retired_inside = 0;
  // Measurement only (benchmarks): the pacer's returns from a wait, and the
  // frames it submitted. Nothing in the program acts on them.
  std::uint64_t pacer_wakeups = 0;
  std::uint64_t pacer_submissions = 0;
  // Where the keyframe line goes.
  std::shared_ptr<diagnostics::Sink> diagnostics;
};

using SharedEncoderState = PoisonableMutex<EncoderState>;
using EncoderStateLock = SharedEncoderState::Guard;

// "encoder stalled: a call into the encoder has not returned for 2 s" when
// the state's lock has been held for encoder_stall_timeout: every call into
// the transform is made under it, so a call that hangs (a hung driver)
// holds it for ever. Reads nothing under the lock, so the watchdog never
// waits behind the hung call; the caller asks only after a try_lock failed.
[[nodiscard]] std::optional<std::string> hung_call(const SharedEncoderState& state, MonotonicTime now,
                                                   MonotonicTime watching_since = {});
[[nodiscard]] std::string hung_call_message();

// The held lock, or "encoder state lock poisoned" (the lock is then released).
[[nodiscard]] Result<EncoderStateLock> lock_encoder_state(SharedEncoderState& state);

// The end of a worker thread's body: a failure is printed as
// "error: encoder thread failed: {error}", stored in `error` (unless the
// lock is poisoned) and every waiter on `wake` is notified.
void record_thread_error(SharedEncoderState& state, std::condition_variable& wake,
                         const Result<void>& result, diagnostics::Sink& diagnostics);

}  // namespace quorvex::app
