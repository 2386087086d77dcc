// The catalogue of diagnostic lines: every line the program writes on
// standard error is formatted here, one function per kind, named after the
// line's topic word. Callers hand the result to write_stderr_line or to a
// LineSink. The README's reference table lists the same lines, and a test
// renders each kind and holds it against that table.
//
// The catalogue depends on nothing but the standard library and the sender
// library's latency summary, so the capture layer and the host platform use
// it for the one line each of them writes (a fatal teardown failure, a
// desktop that cannot be opened).
//
// Thread contract: pure functions; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/control_cells.h"
#include "app/session_source.h"
#include "sender/pacing_rule.h"
#include "sender/picture_colour.h"
#include "sender/windows_encoder.h"

namespace quorvex::app::diagnostics {

using app::SessionEnd;

// ---- failures ----

// "error: {message}": the process fails with status 1.
[[nodiscard]] std::string error(std::string_view message);
// A worker thread failed; the session ends with that error.
[[nodiscard]] std::string encoder_thread_failed(std::string_view error);
// Teardown found an incomplete drain, a stalled encoder or a failed worker.
[[nodiscard]] std::string encoder_finish_failed(std::string_view error);
// "{what}: {error}": a teardown call that cannot fail in a healthy process
// failed; the process aborts.
[[nodiscard]] std::string fatal(std::string_view what, std::string_view error);

// ---- session start and control commands ----

[[nodiscard]] std::string capture_border(bool hidden);
[[nodiscard]] std::string capture_window_found();
[[nodiscard]] std::string capture_window_crop(std::uint32_t width, std::uint32_t height);
[[nodiscard]] std::string capture_window_paused(bool paused);
// A standard-input line that was not acted on: `command` is the command
// word it started with, or "unknown".
enum class ControlIgnored : std::uint8_t { Malformed, OutOfRange, NotApplicable };
[[nodiscard]] std::string control_ignored(std::string_view command, ControlIgnored reason);
// The captured item's content size changed (a window resized).
[[nodiscard]] std::string capture_resized(std::uint32_t old_width, std::uint32_t old_height, std::uint32_t new_width,
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
[[nodiscard]] std::string session_start(const SessionStart& start);

// ---- encoder setup ----

// The encoder is ready for a session.
[[nodiscard]] std::string capture_encoder();
// The probe's fixed capability line: the same without the queue capacity.
[[nodiscard]] std::string capture_encoder_capability();
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
[[nodiscard]] std::string encoder_setting(EncoderSetting setting, std::uint32_t value,
                                          const std::optional<std::string>& refusal);
// The rate buffer asked for with "--rate-buffer-ms": the peak bit rate
// ("max_bitrate={bps}") and the buffer ("buffer_size={bytes}"), accepted or
// refused with the encoder's error.
enum class RateBufferSetting : std::uint8_t { MaxBitrate, BufferSize };
[[nodiscard]] std::string encoder_setting_rate_buffer(RateBufferSetting setting, std::uint32_t value,
                                                      const std::optional<std::string>& refusal);
// A BITRATE or FPS command as the running encoder took it: the rate asked
// for, the mean bit rate that went to the encoder for it, accepted or
// refused with the encoder's error.
enum class EncoderRate : std::uint8_t { Bitrate, Fps };
[[nodiscard]] std::string encoder_rate(EncoderRate rate, std::uint32_t value, std::uint32_t encoder_bitrate,
                                       const std::optional<std::string>& refusal);
// The low-latency mode read back: verified, or not (with the read's error
// when the read itself failed).
[[nodiscard]] std::string encoder_setting_verified(bool verified, const std::optional<std::string>& error);
// An encoder tried during setup; `index` counts from 1. Blanks and control
// characters in the name become "_" so the name stays one field; an empty
// name is "unnamed".
[[nodiscard]] std::string encoder_candidate(std::string_view name, std::size_t index, std::size_t candidates,
                                            const std::optional<std::string>& error);
[[nodiscard]] std::string encoder_control_keyframe();
[[nodiscard]] std::string encoder_output_renegotiated();
// The encoder held max_in_flight frames without output and still asked for
// input, so it may now hold this many.
[[nodiscard]] std::string encoder_in_flight(std::size_t max_in_flight);

// ---- colour ----

// The encoder refused its output type with the colour attributes of the
// picture's matrix; setup set it again without them.
[[nodiscard]] std::string encoder_setting_colour_refused(sender::ColourMatrix matrix, std::string_view error);
// Once per session: the colour description of the first sequence parameter
// set the encoder wrote, and the matrix the pictures were converted with.
[[nodiscard]] std::string encoder_stream_colour(const sender::StreamColourWords& stream,
                                                sender::ColourMatrix picture_matrix);

// ---- periodic measurements ----

[[nodiscard]] std::string encode_latency_ms(std::uint64_t milliseconds);
[[nodiscard]] std::string encoder_latency(const sender::EncoderLatencySummary& summary);
[[nodiscard]] std::string frame_mailbox(std::uint64_t encoded_frames, std::uint64_t frames_replaced,
                                        std::uint64_t frames_deferred);
[[nodiscard]] std::string latency_breakdown(const sender::EncoderLatencySummary& mailbox_wait,
                                            const sender::EncoderLatencySummary& mft);
[[nodiscard]] std::string capture_timing(const sender::EncoderLatencySummary& interval,
                                         const sender::EncoderLatencySummary& handler,
                                         const sender::EncoderLatencySummary& compose_to_callback);

// A full standard-error queue dropped `count` lines since the last report.
[[nodiscard]] std::string diagnostics_dropped(std::uint64_t count);

// ---- session end ----

struct SessionSummary {
  std::uint64_t encoder_max_depth = 0;
  std::uint64_t captured_frames = 0;
  std::uint64_t encoded_frames = 0;
  std::uint64_t frames_replaced = 0;
  std::uint64_t frames_deferred = 0;
};
[[nodiscard]] std::string native_encoder_summary(const SessionSummary& summary);

// Why a capture session ended. The last line of every session: after the
// summary, or just before the error line when the session failed (the error
// line stays the last one).
[[nodiscard]] std::string_view session_end_reason(SessionEnd end);
[[nodiscard]] std::string session_end(SessionEnd end);

}  // namespace quorvex::app::diagnostics
