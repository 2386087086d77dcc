// The README is the parent's reference: its diagnostics table and its
// command-line synopsis and option table must say what the program does.
// Every kind in the catalogue's table is rendered here, in all its variants,
// and matched against the README table's forms; every form must be matched
// by some line and every line by some form, so neither side can drift.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/usage.h"
#include "app/diagnostics.h"
#include "wgc_capture/graphics_capture_api.h"

namespace quorvex::app {
namespace {

std::string readme() {
  std::ifstream file(QVX_README_PATH, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The lines of the section under `heading`, up to the next heading of any
// level.
std::vector<std::string> section(const std::string& heading) {
  const auto all = lines_of(readme());
  std::vector<std::string> lines;
  bool inside = false;
  for (const std::string& line : all) {
    if (line.starts_with("#")) {
      if (inside) break;
      inside = line == heading;
      continue;
    }
    if (inside) lines.push_back(line);
  }
  return lines;
}

// The cells of the first table in `lines`, header and rule left out; a cell
// is trimmed and a "\|" inside it is a literal bar.
std::vector<std::vector<std::string>> first_table(const std::vector<std::string>& lines) {
  std::vector<std::vector<std::string>> rows;
  bool started = false;
  for (const std::string& line : lines) {
    if (!line.starts_with("|")) {
      if (started) break;
      continue;
    }
    started = true;
    std::vector<std::string> cells;
    std::string cell;
    for (std::size_t i = 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '|') {
        cell += '|';
        ++i;
      } else if (line[i] == '|') {
        const auto first = cell.find_first_not_of(' ');
        const auto last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
        cell.clear();
      } else {
        cell += line[i];
      }
    }
    rows.push_back(std::move(cells));
  }
  if (rows.size() >= 2) rows.erase(rows.begin(), rows.begin() + 2);
  return rows;
}

std::string without_markup(std::string cell) {
  std::erase(cell, '`');
  return cell;
}

// A form of the table as a regular expression: {a|b} is one of the words,
// {error}, {message} and {step} any text, {n}-like names a decimal number,
// any other {name} one word, [...] an optional part.
std::regex form_pattern(const std::string& form) {
  static const std::string numeric[] = {"n", "ms", "bps", "w", "h", "i"};
  std::string pattern;
  for (std::size_t i = 0; i < form.size(); ++i) {
    const char c = form[i];
    if (c == '{') {
      const std::size_t close = form.find('}', i);
      const std::string inside = form.substr(i + 1, close - i - 1);
      if (inside.find('|') != std::string::npos) {
        pattern += "(?:" + inside + ")";
      } else if (inside == "error" || inside == "message" || inside == "step" || inside == "title") {
        pattern += ".+";
      } else if (std::ranges::find(numeric, inside) != std::end(numeric)) {
        pattern += "[0-9]+";
      } else {
        pattern += "[^ ]+";
      }
      i = close;
    } else if (c == '[') {
      pattern += "(?:";
    } else if (c == ']') {
      pattern += ")?";
    } else if (std::string_view("\\^$.|?*+()").find(c) != std::string_view::npos) {
      pattern += '\\';
      pattern += c;
    } else {
      pattern += c;
    }
  }
  return std::regex(pattern);
}

// Every variant of one kind, made by the program's own functions. The switch
// has no default: a new kind does not compile here until it has samples.
std::vector<diagnostics::Line> samples(diagnostics::Kind kind) {
  namespace d = diagnostics;
  using d::Kind;
  using CaptureError = wgc_capture::GraphicsCaptureApiError;
  const sender::EncoderLatencySummary summary{.p50 = 7, .p95 = 19, .in_flight_max = 2};
  const std::string refusal = "The parameter is incorrect. (0x80070057)";
  std::vector<d::Line> lines;
  switch (kind) {
    case Kind::Error:
      lines.push_back(d::error("unknown argument: --bogus"));
      for (const auto error_kind :
           {CaptureError::Kind::FailedToInitWinRT, CaptureError::Kind::FailedToCreateDispatcherQueueController,
            CaptureError::Kind::FailedToShutdownDispatcherQueue,
            CaptureError::Kind::FailedToSetDispatcherQueueCompletedHandler, CaptureError::Kind::ItemConvertFailed,
            CaptureError::Kind::DirectXError, CaptureError::Kind::GraphicsCaptureApi,
            CaptureError::Kind::NewHandlerError, CaptureError::Kind::FrameHandlerError}) {
        lines.push_back(d::error(CaptureError{error_kind, "Not implemented. (0x80004001)"}.message()));
      }
      lines.push_back(d::error(CaptureError{CaptureError::Kind::FrameHandlerError,
                                            d::encoder_stalled_no_output(2, 1)}
                                   .message()));
      lines.push_back(d::error(CaptureError{CaptureError::Kind::FrameHandlerError, d::encoder_stalled_hung_call(2)}
                                   .message()));
      break;
    case Kind::EncoderThreadFailed:
      lines.push_back(d::encoder_thread_failed("Unspecified error (0x80004005)"));
      break;
    case Kind::EncoderFinishFailed:
      lines.push_back(d::encoder_finish_failed(d::encoder_stalled_no_output(2, 3)));
      break;
    case Kind::Fatal:
      lines.push_back(d::fatal("Failed to Close Frame Pool", "Unspecified error (0x80004005)"));
      break;
    case Kind::CaptureBorder:
      lines.push_back(d::capture_border(true));
      lines.push_back(d::capture_border(false));
      break;
    case Kind::CaptureWindowFound: lines.push_back(d::capture_window_found()); break;
    case Kind::CaptureWindowCrop: lines.push_back(d::capture_window_crop(1280, 720)); break;
    case Kind::CaptureWindowPaused:
      lines.push_back(d::capture_window_paused(true));
      lines.push_back(d::capture_window_paused(false));
      break;
    case Kind::ControlIgnored:
      lines.push_back(d::control_ignored("CROP", d::ControlIgnored::OutOfRange));
      lines.push_back(d::control_ignored("unknown", d::ControlIgnored::Malformed));
      lines.push_back(d::control_ignored("CROP", d::ControlIgnored::NotApplicable));
      lines.push_back(d::control_ignored("FPS", d::ControlIgnored::OutOfRange));
      lines.push_back(d::control_ignored("BITRATE", d::ControlIgnored::Malformed));
      break;
    case Kind::CaptureResized: lines.push_back(d::capture_resized(1280, 720, 1296, 759)); break;
    case Kind::SessionStart:
      for (const SessionSource& source : {SessionSource::display(2), SessionSource::display(std::nullopt),
                                          SessionSource::window(132456, "Meet \"x\" — Chrome")}) {
        lines.push_back(d::session_start({.source = source,
                                          .width = 1280,
                                          .height = 720,
                                          .fps = 30,
                                          .bitrate = 4'000'000,
                                          .pacing = sender::PacingRule::Grid,
                                          .encoder = "Vendor H.264 Encoder MFT"}));
      }
      break;
    case Kind::CaptureEncoder: lines.push_back(d::capture_encoder()); break;
    case Kind::CaptureEncoderCapability: lines.push_back(d::capture_encoder_capability()); break;
    case Kind::EncoderSetting: {
      using Setting = d::EncoderSetting;
      for (const Setting setting : {Setting::RateControl, Setting::MeanBitrate, Setting::QualityVsSpeed,
                                    Setting::LowLatency, Setting::GopSize, Setting::BFrames, Setting::ScenarioInfo,
                                    Setting::TemporalLayerCount}) {
        lines.push_back(d::encoder_setting(setting, 33, refusal));
        // The others are reported only when refused.
        if (setting == Setting::RateControl || setting == Setting::MeanBitrate ||
            setting == Setting::QualityVsSpeed || setting == Setting::LowLatency) {
          lines.push_back(d::encoder_setting(setting, 8'000'000, std::nullopt));
        }
      }
      break;
    }
    case Kind::EncoderSettingRateBuffer:
      for (const auto setting : {d::RateBufferSetting::MaxBitrate, d::RateBufferSetting::BufferSize}) {
        lines.push_back(d::encoder_setting_rate_buffer(setting, 16'500, std::nullopt));
        lines.push_back(d::encoder_setting_rate_buffer(setting, 16'500, refusal));
      }
      break;
    case Kind::EncoderRate:
      for (const auto rate : {d::EncoderRate::Bitrate, d::EncoderRate::Fps}) {
        lines.push_back(d::encoder_rate(rate, 15, 8'000'000, std::nullopt));
        lines.push_back(d::encoder_rate(rate, 15, 8'000'000, refusal));
      }
      break;
    case Kind::EncoderSettingVerified:
      lines.push_back(d::encoder_setting_verified(true, std::nullopt));
      lines.push_back(d::encoder_setting_verified(false, std::nullopt));
      lines.push_back(d::encoder_setting_verified(false, refusal));
      break;
    case Kind::EncoderCandidate:
      lines.push_back(d::encoder_candidate("Vendor H.264 Encoder MFT", 1, 2, std::nullopt));
      lines.push_back(d::encoder_candidate("", 2, 2, refusal));
      break;
    case Kind::EncoderControlKeyframe: lines.push_back(d::encoder_control_keyframe()); break;
    case Kind::EncoderOutputRenegotiated: lines.push_back(d::encoder_output_renegotiated()); break;
    case Kind::EncoderInFlight: lines.push_back(d::encoder_in_flight(3)); break;
    case Kind::EncoderSettingColourRefused:
      lines.push_back(d::encoder_setting_colour_refused(sender::ColourMatrix::Bt709, refusal));
      break;
    case Kind::EncoderStreamColour:
      lines.push_back(d::encoder_stream_colour({"unspecified", "unspecified"}, sender::ColourMatrix::Bt709));
      lines.push_back(d::encoder_stream_colour({"bt601", "limited"}, sender::ColourMatrix::Bt601));
      break;
    case Kind::EncodeLatencyMs: lines.push_back(d::encode_latency_ms(12)); break;
    case Kind::EncoderLatency: lines.push_back(d::encoder_latency(summary)); break;
    case Kind::FrameMailbox: lines.push_back(d::frame_mailbox(30, 4, 9)); break;
    case Kind::LatencyBreakdown: lines.push_back(d::latency_breakdown(summary, summary)); break;
    case Kind::CaptureTiming: lines.push_back(d::capture_timing(summary, summary, summary)); break;
    case Kind::DiagnosticsDropped: lines.push_back(d::diagnostics_dropped(17)); break;
    case Kind::NativeEncoderSummary:
      lines.push_back(d::native_encoder_summary({.encoder_max_depth = 2, .captured_frames = 61, .encoded_frames = 60}));
      break;
    case Kind::SessionEnd:
      for (const SessionEnd end : {SessionEnd::Duration, SessionEnd::Signal, SessionEnd::ItemClosed,
                                   SessionEnd::Error, SessionEnd::Stop, SessionEnd::InputClosed,
                                   SessionEnd::ParentExited}) {
        lines.push_back(d::session_end(end));
      }
      break;
  }
  return lines;
}

TEST(DiagnosticsReference, EveryLineHasItsFormAndEveryFormItsLine) {
  std::vector<std::string> forms;
  for (const auto& row : first_table(section("## Diagnostics (standard error)"))) {
    ASSERT_FALSE(row.empty());
    const std::string& cell = row.front();
    ASSERT_TRUE(cell.size() > 2 && cell.front() == '`' && cell.back() == '`') << "one form per row: " << cell;
    forms.push_back(cell.substr(1, cell.size() - 2));
  }
  ASSERT_GE(forms.size(), 30u);
  std::vector<bool> used(forms.size(), false);
  for (const diagnostics::KindInfo& kind : diagnostics::kinds) {
    const auto lines = samples(kind.kind);
    EXPECT_FALSE(lines.empty()) << kind.name;
    for (const diagnostics::Line& line : lines) {
      EXPECT_EQ(line.kind(), kind.kind) << kind.name << ": " << line.text();
      bool matched = false;
      for (std::size_t i = 0; i < forms.size(); ++i) {
        if (std::regex_match(line.text(), form_pattern(forms[i]))) {
          matched = used[i] = true;
        }
      }
      EXPECT_TRUE(matched) << "no form in the README's table for " << kind.name << ": " << line.text();
    }
  }
  for (std::size_t i = 0; i < forms.size(); ++i) {
    EXPECT_TRUE(used[i]) << "no line of the program has this README form: " << forms[i];
  }
}

TEST(UsageReference, SynopsisAndOptionTableAreTheReadmes) {
  const auto lines = section("## Command line");
  std::vector<UsageMode> synopsis;
  bool in_block = false;
  std::vector<std::string> block;
  for (const std::string& line : lines) {
    if (line.starts_with("```")) {
      if (in_block) break;
      in_block = true;
    } else if (in_block) {
      block.push_back(line);
    }
  }
  ASSERT_EQ(block.size(), usage_modes.size());
  for (std::size_t i = 0; i < block.size(); ++i) {
    const std::size_t gap = block[i].find("  ");
    ASSERT_NE(gap, std::string::npos) << block[i];
    EXPECT_EQ(block[i].substr(0, gap), usage_modes[i].command);
    EXPECT_EQ(block[i].substr(block[i].find_first_not_of(' ', gap)), usage_modes[i].effect);
  }

  const auto rows = first_table(lines);
  const auto options = usage_options();
  ASSERT_EQ(rows.size(), options.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 3u) << i;
    EXPECT_EQ(without_markup(rows[i][0]), options[i].names);
    EXPECT_EQ(without_markup(rows[i][1]), options[i].value);
    EXPECT_EQ(without_markup(rows[i][2]), options[i].default_value);
  }
}

}  // namespace
}  // namespace quorvex::app
