#include "app/diagnostics.h"

#include "sender/text.h"

namespace quorvex::app::diagnostics {

// The one maker of lines (Line's constructor is private to it).
struct LineMaker {
  [[nodiscard]] static Line make(Kind kind, std::string text) { return Line(kind, std::move(text)); }
};

namespace {

constexpr std::string_view capability_fields =
    "capture_encoder encoder=media_foundation capture=windows_graphics_capture hardware=true "
    "software_fallback=false zero_copy=true async_mft=true low_latency=true b_frames=false";

std::string error_line_text(std::string_view message) { return "error: " + std::string(message); }

std::string number(std::uint64_t value) { return std::to_string(value); }

std::string with_error(std::string line, const std::optional<std::string>& error) {
  if (error) {
    line += " error=";
    line += *error;
  }
  return line;
}

std::string p50_p95(std::string_view name, const sender::EncoderLatencySummary& summary) {
  std::string fields;
  fields += name;
  fields += "_p50_ms=" + number(summary.p50) + " ";
  fields += name;
  fields += "_p95_ms=" + number(summary.p95);
  return fields;
}

// One field of a line: blanks and control characters become "_", an empty
// name is "unnamed".
std::string name_field(std::string_view name) {
  std::string field = name.empty() ? std::string("unnamed") : std::string(name);
  for (char& c : field) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
      c = '_';
    }
  }
  return field;
}

}  // namespace

std::string encoder_stalled_no_output(std::uint64_t seconds, std::size_t frames_in_flight) {
  return "encoder stalled: no output for " + number(seconds) + " s with " + number(frames_in_flight) +
         (frames_in_flight == 1 ? " frame" : " frames") + " in flight";
}

std::string encoder_stalled_hung_call(std::uint64_t seconds) {
  return "encoder stalled: a call into the encoder has not returned for " + number(seconds) + " s";
}

Line error(std::string_view message) { return LineMaker::make(Kind::Error, error_line_text(message)); }

Line encoder_thread_failed(std::string_view error_text) {
  return LineMaker::make(Kind::EncoderThreadFailed,
                         error_line_text("encoder thread failed: " + std::string(error_text)));
}

Line encoder_finish_failed(std::string_view error_text) {
  return LineMaker::make(Kind::EncoderFinishFailed,
                         error_line_text("encoder finish failed: " + std::string(error_text)));
}

Line fatal(std::string_view what, std::string_view error_text) {
  return LineMaker::make(Kind::Fatal, std::string(what) + ": " + std::string(error_text));
}

Line diagnostics_dropped(std::uint64_t count) {
  return LineMaker::make(Kind::DiagnosticsDropped, "diagnostics_dropped count=" + number(count));
}

Line capture_border(bool hidden) {
  return LineMaker::make(Kind::CaptureBorder, hidden ? "capture_border hidden=true" : "capture_border hidden=false");
}

Line capture_window_found() {
  return LineMaker::make(Kind::CaptureWindowFound, "capture_window found=true title_match=marker");
}

Line capture_window_crop(std::uint32_t width, std::uint32_t height) {
  return LineMaker::make(Kind::CaptureWindowCrop, "capture_window crop=" + number(width) + "x" + number(height));
}

Line capture_window_paused(bool paused) {
  return LineMaker::make(Kind::CaptureWindowPaused,
                         paused ? "capture_window paused=true" : "capture_window paused=false");
}

Line control_ignored(std::string_view command, ControlIgnored reason) {
  std::string_view why = "malformed";
  switch (reason) {
    case ControlIgnored::Malformed: why = "malformed"; break;
    case ControlIgnored::OutOfRange: why = "out_of_range"; break;
    case ControlIgnored::NotApplicable: why = "not_applicable"; break;
  }
  return LineMaker::make(Kind::ControlIgnored,
                         "control_ignored command=" + std::string(command) + " reason=" + std::string(why));
}

Line capture_resized(std::uint32_t old_width, std::uint32_t old_height, std::uint32_t new_width,
                     std::uint32_t new_height) {
  return LineMaker::make(Kind::CaptureResized, "capture_resized from=" + number(old_width) + "x" + number(old_height) +
                                                   " to=" + number(new_width) + "x" + number(new_height));
}

Line session_start(const SessionStart& start) {
  const SessionSource& source = start.source;
  std::string line = "session_start source=";
  if (source.kind == SessionSource::Kind::Window) {
    line += "window window_id=" + number(source.window_id);
  } else {
    line += "display";
    if (source.display_number) {
      line += " display_number=" + number(*source.display_number);
    }
  }
  line += " width=" + number(start.width) + " height=" + number(start.height) + " fps=" + number(start.fps) +
          " bitrate=" + number(start.bitrate) +
          " pacing=" + (start.pacing == sender::PacingRule::Grid ? "grid" : "strict") +
          " encoder=" + name_field(start.encoder);
  if (source.kind == SessionSource::Kind::Window) {
    line += " title=" + sender::text::json_string(source.title);
  }
  return LineMaker::make(Kind::SessionStart, line);
}

Line capture_encoder_capability() {
  return LineMaker::make(Kind::CaptureEncoderCapability, std::string(capability_fields));
}

Line capture_encoder() {
  return LineMaker::make(Kind::CaptureEncoder, std::string(capability_fields) + " encoder_queue_capacity=1");
}

Line encoder_setting(EncoderSetting setting, std::uint32_t value, const std::optional<std::string>& refusal) {
  std::string line = "encoder_setting ";
  switch (setting) {
    case EncoderSetting::RateControl: line += "rate_control=cbr"; break;
    case EncoderSetting::MeanBitrate: line += "mean_bitrate=" + number(value); break;
    case EncoderSetting::QualityVsSpeed: line += "quality_vs_speed=" + number(value); break;
    case EncoderSetting::LowLatency: line += "low_latency=true"; break;
    case EncoderSetting::GopSize: line += "gop_size=" + number(value); break;
    case EncoderSetting::BFrames: line += "b_frames=" + number(value); break;
    case EncoderSetting::ScenarioInfo: line += "scenario=display_remoting"; break;
    case EncoderSetting::TemporalLayerCount: line += "temporal_layers=" + number(value); break;
  }
  return LineMaker::make(Kind::EncoderSetting,
                         refusal ? with_error(line + " accepted=false", refusal) : line + " accepted=true");
}

Line encoder_setting_rate_buffer(RateBufferSetting setting, std::uint32_t value,
                                 const std::optional<std::string>& refusal) {
  std::string line =
      setting == RateBufferSetting::MaxBitrate ? "encoder_setting max_bitrate=" : "encoder_setting buffer_size=";
  line += number(value);
  return LineMaker::make(Kind::EncoderSettingRateBuffer,
                         refusal ? with_error(line + " accepted=false", refusal) : line + " accepted=true");
}

Line encoder_rate(EncoderRate rate, std::uint32_t value, std::uint32_t encoder_bitrate,
                  const std::optional<std::string>& refusal) {
  std::string line = rate == EncoderRate::Bitrate ? "encoder_rate bitrate=" : "encoder_rate fps=";
  line += number(value) + " encoder_bitrate=" + number(encoder_bitrate);
  return LineMaker::make(Kind::EncoderRate,
                         refusal ? with_error(line + " accepted=false", refusal) : line + " accepted=true");
}

Line encoder_setting_verified(bool verified, const std::optional<std::string>& error_text) {
  return LineMaker::make(Kind::EncoderSettingVerified,
                         with_error(verified ? "encoder_setting low_latency=true verified=true"
                                             : "encoder_setting low_latency=true verified=false",
                                    error_text));
}

Line encoder_candidate(std::string_view name, std::size_t index, std::size_t candidates,
                       const std::optional<std::string>& error_text) {
  std::string line =
      "encoder_candidate name=" + name_field(name) + " index=" + number(index) + " candidates=" + number(candidates);
  return LineMaker::make(Kind::EncoderCandidate,
                         error_text ? with_error(line + " accepted=false", error_text) : line + " accepted=true");
}

Line encoder_control_keyframe() {
  return LineMaker::make(Kind::EncoderControlKeyframe, "encoder_control request=keyframe accepted=true");
}

Line encoder_output_renegotiated() {
  return LineMaker::make(Kind::EncoderOutputRenegotiated, "encoder_output_renegotiated reason=stream_change");
}

Line encoder_in_flight(std::size_t max_in_flight) {
  return LineMaker::make(Kind::EncoderInFlight,
                         "encoder_in_flight max_in_flight=" + number(max_in_flight) + " reason=input_before_output");
}

Line encoder_setting_colour_refused(sender::ColourMatrix matrix, std::string_view error_text) {
  return LineMaker::make(
      Kind::EncoderSettingColourRefused,
      with_error("encoder_setting colour_matrix=" + std::string(sender::colour_matrix_name(matrix)) + " accepted=false",
                 std::string(error_text)));
}

Line encoder_stream_colour(const sender::StreamColourWords& stream, sender::ColourMatrix picture_matrix) {
  return LineMaker::make(Kind::EncoderStreamColour, "encoder_stream_colour matrix=" + std::string(stream.matrix) +
                                                        " range=" + std::string(stream.range) + " picture_matrix=" +
                                                        std::string(sender::colour_matrix_name(picture_matrix)));
}

Line encode_latency_ms(std::uint64_t milliseconds) {
  return LineMaker::make(Kind::EncodeLatencyMs, "encode_latency_ms=" + number(milliseconds));
}

Line encoder_latency(const sender::EncoderLatencySummary& summary) {
  return LineMaker::make(Kind::EncoderLatency, "encoder_latency p50_ms=" + number(summary.p50) +
                                                   " p95_ms=" + number(summary.p95) +
                                                   " in_flight_max=" + number(summary.in_flight_max));
}

Line frame_mailbox(std::uint64_t encoded_frames, std::uint64_t frames_replaced, std::uint64_t frames_deferred) {
  return LineMaker::make(Kind::FrameMailbox, "frame_mailbox encoded_frames=" + number(encoded_frames) +
                                                 " frames_replaced=" + number(frames_replaced) +
                                                 " frames_deferred=" + number(frames_deferred));
}

Line latency_breakdown(const sender::EncoderLatencySummary& mailbox_wait, const sender::EncoderLatencySummary& mft) {
  return LineMaker::make(Kind::LatencyBreakdown,
                         "latency_breakdown " + p50_p95("mailbox_wait", mailbox_wait) + " " + p50_p95("mft", mft));
}

Line capture_timing(const sender::EncoderLatencySummary& interval, const sender::EncoderLatencySummary& handler,
                    const sender::EncoderLatencySummary& compose_to_callback) {
  return LineMaker::make(Kind::CaptureTiming, "capture_timing " + p50_p95("interval", interval) + " " +
                                                  p50_p95("handler", handler) + " " +
                                                  p50_p95("compose_to_callback", compose_to_callback));
}

Line native_encoder_summary(const SessionSummary& summary) {
  // capture_queue_max_depth, encoder_drops and capture_drops are fixed: the
  // mailbox holds one frame and replaces rather than drops.
  return LineMaker::make(
      Kind::NativeEncoderSummary,
      "native_encoder_summary capture_queue_max_depth=1 encoder_max_depth=" + number(summary.encoder_max_depth) +
          " encoder_drops=0 capture_drops=0 captured_frames=" + number(summary.captured_frames) +
          " encoded_frames=" + number(summary.encoded_frames) + " frames_replaced=" + number(summary.frames_replaced) +
          " frames_deferred=" + number(summary.frames_deferred));
}

std::string_view session_end_reason(SessionEnd end) {
  switch (end) {
    case SessionEnd::Duration: return "duration";
    case SessionEnd::Signal: return "signal";
    case SessionEnd::ItemClosed: return "item_closed";
    case SessionEnd::Error: return "error";
    case SessionEnd::Stop: return "stop";
    case SessionEnd::InputClosed: return "stdin_closed";
    case SessionEnd::ParentExited: return "parent_exited";
  }
  return "error";
}

Line session_end(SessionEnd end) {
  return LineMaker::make(Kind::SessionEnd, "session_end reason=" + std::string(session_end_reason(end)));
}

}  // namespace quorvex::app::diagnostics
