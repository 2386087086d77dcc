// The catalogue of diagnostic lines: every line the program writes on
// standard error is a Line made here, one function per kind, named after the
// line's topic word, and every line leaves through a Sink. Nothing else can
// make a Line, so no line can be built elsewhere and slip past the table.
//
// `kinds` is the table of the kinds: the program takes a line's fate in a
// full standard-error queue from it, and the README test renders every kind
// and holds it against the README's table, so a new kind without a README
// row fails the build of that test or the test itself.
//
// The catalogue depends on nothing but the standard library and the sender
// library's types; the layers below the application return their errors and
// the application writes the lines.
//
// Thread contract: pure functions and data; callable from any thread. A
// Sink's write may be called from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/control_cells.h"
#include "app/session_source.h"
#include "sender/pacing_rule.h"
#include "sender/picture_colour.h"
#include "sender/windows_encoder.h"

namespace quorvex::app::diagnostics {

using app::SessionEnd;

// What a full standard-error queue may do with a line.
enum class LineFate : std::uint8_t {
  // A line that a frame, a timer tick or a parent's command can repeat
  // without bound: a full queue drops it (counted and reported).
  MayDrop,
  // A line that comes a bounded number of times a session, among them the
  // ones that end it (the summary, the end line, the errors): always written.
  Keep,
  // The last line before the process aborts: written before the call
  // returns, after everything queued before it.
  Final,
};

// One kind per formatting function below.
enum class Kind : std::uint8_t {
  Error,
  EncoderThreadFailed,
  EncoderFinishFailed,
  Fatal,
  CaptureBorder,
  CaptureWindowFound,
  CaptureWindowCrop,
  CaptureWindowPaused,
  ControlIgnored,
  CaptureResized,
  SessionStart,
  CaptureEncoder,
  CaptureEncoderCapability,
  EncoderSetting,
  EncoderSettingRateBuffer,
  EncoderRate,
  EncoderSettingVerified,
  EncoderCandidate,
  EncoderControlKeyframe,
  EncoderOutputRenegotiated,
  EncoderInFlight,
  EncoderSettingColourRefused,
  EncoderStreamColour,
  EncodeLatencyMs,
  EncoderLatency,
  FrameMailbox,
  LatencyBreakdown,
  CaptureTiming,
  DiagnosticsDropped,
  NativeEncoderSummary,
  SessionEnd,
};

struct KindInfo {
  Kind kind;
  // The formatting function's name.
  std::string_view name;
  LineFate fate;
};

// Every kind, in the enumeration's order.
inline constexpr std::array kinds{
    KindInfo{Kind::Error, "error", LineFate::Keep},
    KindInfo{Kind::EncoderThreadFailed, "encoder_thread_failed", LineFate::Keep},
    KindInfo{Kind::EncoderFinishFailed, "encoder_finish_failed", LineFate::Keep},
    KindInfo{Kind::Fatal, "fatal", LineFate::Final},
    KindInfo{Kind::CaptureBorder, "capture_border", LineFate::Keep},
    KindInfo{Kind::CaptureWindowFound, "capture_window_found", LineFate::Keep},
    KindInfo{Kind::CaptureWindowCrop, "capture_window_crop", LineFate::MayDrop},
    KindInfo{Kind::CaptureWindowPaused, "capture_window_paused", LineFate::MayDrop},
    KindInfo{Kind::ControlIgnored, "control_ignored", LineFate::MayDrop},
    KindInfo{Kind::CaptureResized, "capture_resized", LineFate::MayDrop},
    KindInfo{Kind::SessionStart, "session_start", LineFate::Keep},
    KindInfo{Kind::CaptureEncoder, "capture_encoder", LineFate::Keep},
    KindInfo{Kind::CaptureEncoderCapability, "capture_encoder_capability", LineFate::Keep},
    KindInfo{Kind::EncoderSetting, "encoder_setting", LineFate::Keep},
    KindInfo{Kind::EncoderSettingRateBuffer, "encoder_setting_rate_buffer", LineFate::Keep},
    KindInfo{Kind::EncoderRate, "encoder_rate", LineFate::MayDrop},
    KindInfo{Kind::EncoderSettingVerified, "encoder_setting_verified", LineFate::Keep},
    KindInfo{Kind::EncoderCandidate, "encoder_candidate", LineFate::Keep},
    KindInfo{Kind::EncoderControlKeyframe, "encoder_control_keyframe", LineFate::MayDrop},
    KindInfo{Kind::EncoderOutputRenegotiated, "encoder_output_renegotiated", LineFate::MayDrop},
    // Once per widening step, and the steps are bounded.
    KindInfo{Kind::EncoderInFlight, "encoder_in_flight", LineFate::Keep},
    KindInfo{Kind::EncoderSettingColourRefused, "encoder_setting_colour_refused", LineFate::Keep},
    KindInfo{Kind::EncoderStreamColour, "encoder_stream_colour", LineFate::Keep},
    KindInfo{Kind::EncodeLatencyMs, "encode_latency_ms", LineFate::MayDrop},
    KindInfo{Kind::EncoderLatency, "encoder_latency", LineFate::MayDrop},
    KindInfo{Kind::FrameMailbox, "frame_mailbox", LineFate::MayDrop},
    KindInfo{Kind::LatencyBreakdown, "latency_breakdown", LineFate::MayDrop},
    KindInfo{Kind::CaptureTiming, "capture_timing", LineFate::MayDrop},
    KindInfo{Kind::DiagnosticsDropped, "diagnostics_dropped", LineFate::Keep},
    KindInfo{Kind::NativeEncoderSummary, "native_encoder_summary", LineFate::Keep},
    KindInfo{Kind::SessionEnd, "session_end", LineFate::Keep},
};

[[nodiscard]] constexpr const KindInfo& info(Kind kind) { return kinds[static_cast<std::size_t>(kind)]; }

namespace detail {
[[nodiscard]] consteval bool kinds_in_order() {
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    if (static_cast<std::size_t>(kinds[i].kind) != i) return false;
  }
  return static_cast<std::size_t>(Kind::SessionEnd) + 1 == kinds.size();
}
static_assert(kinds_in_order(), "one row per kind, in the enumeration's order");
}  // namespace detail

// One diagnostic line, without its line feed. Only the functions below make
// one.
class Line {
 public:
  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] LineFate fate() const { return info(kind_).fate; }
  [[nodiscard]] const std::string& text() const { return text_; }

 private:
  friend struct LineMaker;  // defined where the lines are formatted
  Line(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;
};

// Where lines go: the process's standard error (see stderr_line.h), or a
// test's memory.
class Sink {
 public:
  virtual ~Sink() = default;
  // Writes the line and its line feed at once, so lines of different
  // threads never interleave. A failed write is dropped: there is nowhere
  // left to report it.
  virtual void write(const Line& line) = 0;
};

// ---- error texts: the {message} of error lines that the README names ----

// The encoder held frames, or a pending drain, for 2 s without output.
[[nodiscard]] std::string encoder_stalled_no_output(std::uint64_t seconds, std::size_t frames_in_flight);
// A call into the encoder has not returned for 2 s.
[[nodiscard]] std::string encoder_stalled_hung_call(std::uint64_t seconds);

// ---- failures ----

// "error: {message}": the process fails with status 1.
[[nodiscard]] Line error(std::string_view message);
// A worker thread failed; the session ends with that error.
[[nodiscard]] Line encoder_thread_failed(std::string_view error);
// Teardown found an incomplete drain, a stalled encoder or a failed worker.
[[nodiscard]] Line encoder_finish_failed(std::string_view error);
// "{what}: {error}": a teardown call that cannot fail in a healthy process
// failed; the process aborts.
[[nodiscard]] Line fatal(std::string_view what, std::string_view error);

// ---- session start and control commands ----

[[nodiscard]] Line capture_border(bool hidden);
[[nodiscard]] Line capture_window_found();
[[nodiscard]] Line capture_window_crop(std::uint32_t width, std::uint32_t height);
[[nodiscard]] Line capture_window_paused(bool paused);
// A standard-input line that was not acted on: `command` is the command
// word it started with, or "unknown".
enum class ControlIgnored : std::uint8_t { Malformed, OutOfRange, NotApplicable };
[[nodiscard]] Line control_ignored(std::string_view command, ControlIgnored reason);
// The captured item's content size changed (a window resized).
[[nodiscard]] Line capture_resized(std::uint32_t old_width, std::uint32_t old_height, std::uint32_t new_width,
                                   std::uint32_t new_height);

// ---- session start ----

// The settings a session runs with, once, after the encoder is ready and
// before the first record.
struct SessionStart {
  SessionSource source;
  std::uint32_t width = 0;  // the output size, after rounding to even
  std::uint32_t height = 0;
  std::uint32_t fps = 0;
  std::uint32_t bitrate = 0;  // bits per second
  sender::PacingRule pacing = sender::PacingRule::Strict;
  // The chosen encoder's friendly name, as its encoder_candidate line shows it.
  std::string encoder;
};
// The title comes last, as a JSON string, so no title can break the line
// or be taken for a field.
[[nodiscard]] Line session_start(const SessionStart& start);

// ---- encoder setup ----

// The encoder is ready for a session.
[[nodiscard]] Line capture_encoder();
// The probe's fixed capability line: the same without the queue capacity.
[[nodiscard]] Line capture_encoder_capability();
// The codec properties setup sets, each reported as "{name}={value}".
// Rate control is always "cbr" and low latency always "true"; the others
// show `value`.
enum class EncoderSetting : std::uint8_t {
  RateControl,
  MeanBitrate,
  QualityVsSpeed,
  LowLatency,
  GopSize,
  BFrames,
  // Vendor hints: "scenario=display_remoting", "temporal_layers={value}".
  ScenarioInfo,
  TemporalLayerCount,
};
// One codec property: accepted, or refused with the encoder's error.
[[nodiscard]] Line encoder_setting(EncoderSetting setting, std::uint32_t value,
                                   const std::optional<std::string>& refusal);
// The rate buffer asked for with "--rate-buffer-ms": the peak bit rate
// ("max_bitrate={bps}") and the buffer ("buffer_size={bytes}"), accepted or
// refused with the encoder's error.
enum class RateBufferSetting : std::uint8_t { MaxBitrate, BufferSize };
[[nodiscard]] Line encoder_setting_rate_buffer(RateBufferSetting setting, std::uint32_t value,
                                               const std::optional<std::string>& refusal);
// A BITRATE or FPS command as the running encoder took it: the rate asked
// for, the mean bit rate that went to the encoder for it, accepted or
// refused with the encoder's error.
enum class EncoderRate : std::uint8_t { Bitrate, Fps };
[[nodiscard]] Line encoder_rate(EncoderRate rate, std::uint32_t value, std::uint32_t encoder_bitrate,
                                const std::optional<std::string>& refusal);
// The low-latency mode read back: verified, or not (with the read's error
// when the read itself failed).
[[nodiscard]] Line encoder_setting_verified(bool verified, const std::optional<std::string>& error);
// An encoder tried during setup; `index` counts from 1. Blanks and control
// characters in the name become "_" so the name stays one field; an empty
// name is "unnamed".
[[nodiscard]] Line encoder_candidate(std::string_view name, std::size_t index, std::size_t candidates,
                                     const std::optional<std::string>& error);
[[nodiscard]] Line encoder_control_keyframe();
[[nodiscard]] Line encoder_output_renegotiated();
// The encoder held max_in_flight frames without output and still asked for
// input, so it may now hold this many.
[[nodiscard]] Line encoder_in_flight(std::size_t max_in_flight);

// ---- colour ----

// The encoder refused its output type with the colour attributes of the
// picture's matrix; setup set it again without them.
[[nodiscard]] Line encoder_setting_colour_refused(sender::ColourMatrix matrix, std::string_view error);
// Once per session: the colour description of the first sequence parameter
// set the encoder wrote, and the matrix the pictures were converted with.
[[nodiscard]] Line encoder_stream_colour(const sender::StreamColourWords& stream, sender::ColourMatrix picture_matrix);

// ---- periodic measurements ----

[[nodiscard]] Line encode_latency_ms(std::uint64_t milliseconds);
[[nodiscard]] Line encoder_latency(const sender::EncoderLatencySummary& summary);
[[nodiscard]] Line frame_mailbox(std::uint64_t encoded_frames, std::uint64_t frames_replaced,
                                 std::uint64_t frames_deferred);
[[nodiscard]] Line latency_breakdown(const sender::EncoderLatencySummary& mailbox_wait,
                                     const sender::EncoderLatencySummary& mft);
[[nodiscard]] Line capture_timing(const sender::EncoderLatencySummary& interval,
                                  const sender::EncoderLatencySummary& handler,
                                  const sender::EncoderLatencySummary& compose_to_callback);

// A full standard-error queue dropped `count` lines since the last report.
[[nodiscard]] Line diagnostics_dropped(std::uint64_t count);

// ---- session end ----

struct SessionSummary {
  std::uint64_t encoder_max_depth = 0;
  std::uint64_t captured_frames = 0;
  std::uint64_t encoded_frames = 0;
  std::uint64_t frames_replaced = 0;
  std::uint64_t frames_deferred = 0;
};
[[nodiscard]] Line native_encoder_summary(const SessionSummary& summary);

// Why a capture session ended. The last line of every session: after the
// summary, or just before the error line when the session failed (the error
// line stays the last one).
[[nodiscard]] std::string_view session_end_reason(SessionEnd end);
[[nodiscard]] Line session_end(SessionEnd end);

}  // namespace quorvex::app::diagnostics
