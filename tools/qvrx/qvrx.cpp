#include "qvrx/qvrx.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "sender/h264_nal.h"
#include "qvrx/capture_log.h"
#include "qvrx/frame_clock_reader.h"
#include "qvrx/mux.h"
#include "qvrx/options.h"
#include "qvrx/plot.h"
#include "qvrx/record_input.h"
#include "qvrx/stream_stats.h"
#include "qvrx/system.h"

namespace quorvex::tools {
namespace {

constexpr const char* usage =
    "usage: qvrx check  STREAM\n"
    "       qvrx list   STREAM [--clock [--size WxH] [--strip LEFT,TOP,SCALE_X,SCALE_Y]]\n"
    "       qvrx unpack STREAM OUT.h264\n"
    "       qvrx mux    STREAM OUT.mp4|OUT.mkv|-\n"
    "       qvrx stats  STREAM [--json] [--link-rate BPS] [--clock [--size WxH] [--strip LEFT,TOP,SCALE_X,SCALE_Y]]\n"
    "       qvrx plot   STREAM OUT.png [--size WxH] [--strip LEFT,TOP,SCALE_X,SCALE_Y] [--link-rate BPS]\n"
    "                   [--target-bitrate BPS] [--log CAPTURE.log]\n"
    "       qvrx --help | --version\n";

std::string help_text() {
  std::string text = usage;
  text +=
      "\n"
      "Reads a stream of quorvex-wgc-encoder frame records: a file, or \"-\" for standard input.\n"
      "\n"
      "  check   counts the records and names the first malformed byte\n"
      "  list    one line per record: index, offset, timestamp, size, keyframe, NAL unit types\n"
      "  unpack  writes the H.264 payloads back to back, an Annex B elementary stream;\n"
      "          OUT.h264 \"-\" is standard output, record by record as they arrive\n";
  text += mux_supported()
              ? "  mux     writes the stream into an MP4 or Matroska file without re-encoding, each\n"
                "          record at its own timestamp, so a paused capture keeps its real length;\n"
                "          \"-\" writes Matroska on standard output as the records come\n"
              : "  mux     not part of this build: the Windows build of qvrx is made without\n"
                "          FFmpeg's libraries; use the Linux build, or unpack and ffmpeg\n";
  text +=
      "  stats   per second of timestamps and in total: records, frames per second, bit rate,\n"
      "          keyframes, largest record, filler data (NAL type 12) and its share of the bytes;\n"
      "          with --clock the frame-clock latency p50/p95; --json writes one JSON document\n"
      "          with every second, every record, the first and last timestamps and the indexes\n"
      "          of the keyframe records\n"
      "  plot    draws bit rate and records per second, record sizes with keyframes marked and\n"
      "          the frame-clock latency into a PNG (python3 and matplotlib), shading stretches\n"
      "          without records (a pause, a still screen)\n"
      "\n"
      "--link-rate BPS (stats, plot) sends the records through a first-in-first-out link of\n"
      "BPS bit/s, each entering at its timestamp: the link delay is the time until its last\n"
      "payload byte has left; stats reports p50, p95, p99 and max, plot draws it.\n"
      "--target-bitrate BPS (plot) draws the bitrate the capture was asked for.\n"
      "--log CAPTURE.log (plot) reads the capture's standard error and draws each record's\n"
      "encode latency and the mailbox wait of every 30 records.\n"
      "\n"
      "--clock reads the frame-clock strip that the host stand-in paints into every picture,\n"
      "decoding the pictures with ffmpeg: clock_frame=N clock_ms=M, or clock=unreadable when\n"
      "no strip that passes its check is where it is looked for. The frame-clock latency is a\n"
      "record's timestamp less the time its strip carries.\n"
      "  --size WxH                        picture size (default: the first sequence parameter set's)\n"
      "  --strip LEFT,TOP,SCALE_X,SCALE_Y  where the strip lies in the picture (default 0,0,1,1)\n"
      "\n"
      "check, list and stats write their report on standard output; unpack and mux write their\n"
      "totals, and every command its messages, on standard error.\n"
      "Exit status: 0 for a well-formed stream, 1 for a malformed or unreadable one or a failed\n"
      "step, 2 for a usage error.\n";
  return text;
}

int usage_error(std::ostream& err) {
  err << usage;
  return 2;
}

constexpr std::string_view commands[] = {"check", "list", "unpack", "mux", "stats", "plot"};

// A record sample, with the bytes its filler units take.
RecordSample sample_of(const sender::FrameRecord& record) {
  std::vector<std::byte> payload(record.payload.begin(), record.payload.end());
  return {.timestamp_ns = record.timestamp_ns,
          .size_bytes = record.payload.size(),
          .keyframe = record.keyframe,
          .latency_ms = std::nullopt,
          .filler_bytes = sender::remove_filler_units(payload),
          .encode_latency_ms = std::nullopt};
}

std::string record_line(std::uint64_t index, const sender::FrameRecord& record) {
  std::ostringstream line;
  line << "index=" << index << " offset=" << record.offset << " timestamp_ns=" << record.timestamp_ns
       << " size=" << record.payload.size() << " keyframe=" << (record.keyframe ? "true" : "false") << " nal_types=";
  const auto types = sender::nal_unit_types(record.payload);
  for (std::size_t i = 0; i < types.size(); ++i) {
    line << (i == 0 ? "" : ",") << static_cast<unsigned>(types[i]);
  }
  return line.str();
}

std::string clock_field(const std::optional<testing::FrameClockStamp>& stamp) {
  return stamp ? " clock_frame=" + std::to_string(stamp->frame_number) + " clock_ms=" + std::to_string(stamp->wall_time_ms)
               : std::string(" clock=unreadable");
}

int check(const std::string& path, std::ostream& out, std::ostream& err) {
  Totals totals;
  const int status = for_each_record(path, err, totals, [](const sender::FrameRecord&) { return true; });
  out << format_totals(totals) << "\n";
  return status;
}

int list(const std::string& path, const CommandOptions& options, std::ostream& out, std::ostream& err) {
  Totals totals;
  if (!options.clock) {
    const int status = for_each_record(path, err, totals, [&out, &totals](const sender::FrameRecord& record) {
      out << record_line(totals.records - 1, record) << "\n";
      return true;
    });
    out << format_totals(totals) << "\n";
    return status;
  }
  // The strip is read after the whole stream: the lines wait for it.
  FrameClockReader clocks;
  if (!clocks.open(*options.clock, err)) {
    return 1;
  }
  std::vector<std::string> lines;
  int status = for_each_record(path, err, totals, [&](const sender::FrameRecord& record) {
    lines.push_back(record_line(totals.records - 1, record));
    return clocks.add(record, err);
  });
  const ClockReadout readout = clocks.read(err);
  if (!readout.complete) {
    status = 1;
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out << lines[i] << (i < readout.stamps.size() ? clock_field(readout.stamps[i]) : std::string()) << "\n";
  }
  out << format_totals(totals) << "\n";
  return status;
}

int unpack(const std::string& path, const std::string& out_path, std::ostream& err) {
  auto elementary = ByteFile::create(out_path);
  if (!elementary) {
    err << "qvrx: cannot create " << out_path << ": " << elementary.error() << "\n";
    return 1;
  }
  Totals totals;
  // Each payload is written as soon as its record is complete, so a player
  // reading standard output sees every access unit at once.
  int status = for_each_record(path, err, totals, [&](const sender::FrameRecord& record) {
    if (auto written = elementary->write_all(record.payload); !written) {
      err << "qvrx: cannot write " << out_path << ": " << written.error() << "\n";
      return false;
    }
    return true;
  });
  if (auto closed = elementary->close(); !closed && status == 0) {
    err << "qvrx: cannot write " << out_path << ": " << closed.error() << "\n";
    status = 1;
  }
  err << "qvrx: " << format_totals(totals) << "\n";
  return status;
}

int mux(const std::string& path, const std::string& out_path, std::ostream& err) {
  const auto container = container_for_path(out_path);
  if (!container) {
    err << "qvrx: mux writes a file named *.mp4 or *.mkv, or - for Matroska on standard output, not " << out_path
        << "\n";
    return usage_error(err);
  }
  if (!mux_supported()) {
    err << "qvrx: mux is not part of this build (the Windows build of qvrx is made without FFmpeg's libraries)\n";
    return 1;
  }
  auto muxer = create_muxer(out_path, *container);
  if (!muxer) {
    err << "qvrx: " << muxer.error() << "\n";
    return 1;
  }
  Totals totals;
  int status = for_each_record(path, err, totals, [&](const sender::FrameRecord& record) {
    if (auto added = (*muxer)->add(record); !added) {
      err << "qvrx: " << added.error() << "\n";
      return false;
    }
    return true;
  });
  const auto summary = (*muxer)->finish();
  if (!summary) {
    err << "qvrx: " << summary.error() << "\n";
    return 1;
  }
  if (summary->skipped_records != 0) {
    err << "qvrx: left out the " << summary->skipped_records
        << " records before the first sequence parameter set, which cannot be decoded\n";
  }
  if (summary->moved_records != 0) {
    err << "qvrx: " << summary->moved_records
        << " records had a timestamp not after the one before; each was placed one tick after it\n";
  }
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.3f", summary->duration_s);
  err << "qvrx: " << format_totals(totals) << " packets=" << summary->packets << " duration_s=" << duration << "\n";
  return status;
}

// The samples of every record, with the frame-clock latency when the options
// ask for the clock. 1 (said on `err`) for a malformed stream, with the
// samples before the fault, and for a clock that could not be read, with
// none.
int collect_samples(const std::string& path, const CommandOptions& options, std::vector<RecordSample>& samples,
                    std::ostream& err) {
  FrameClockReader clocks;
  if (options.clock && !clocks.open(*options.clock, err)) {
    return 1;
  }
  Totals totals;
  int status = for_each_record(path, err, totals, [&](const sender::FrameRecord& record) {
    samples.push_back(sample_of(record));
    return !options.clock || clocks.add(record, err);
  });
  if (options.clock) {
    const ClockReadout readout = clocks.read(err);
    if (!readout.complete) {
      samples.clear();
      return 1;
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (readout.stamps[i]) {
        samples[i].latency_ms = frame_clock_latency_ms(samples[i].timestamp_ns, *readout.stamps[i]);
      }
    }
  }
  return status;
}

int stats(const std::string& path, const CommandOptions& options, std::ostream& out, std::ostream& err) {
  std::vector<RecordSample> samples;
  const int status = collect_samples(path, options, samples, err);
  if (status != 0 && samples.empty()) {
    return status;
  }
  const auto result = stream_stats(samples, options.clock.has_value(), options.link_rate_bps);
  if (!result) {
    err << "qvrx: " << result.error() << "\n";
    return 1;
  }
  out << (options.json ? format_stats_json(*result, samples) : format_stats_text(*result));
  return status;
}

int plot(const std::string& path, const std::string& out_path, const CommandOptions& options, std::ostream& err) {
  std::vector<RecordSample> samples;
  const int status = collect_samples(path, options, samples, err);
  if (status != 0 && samples.empty()) {
    return status;
  }
  const std::string title = path == standard_stream_path ? "standard input"
                                                          : std::filesystem::path(path).filename().string();
  PlotExtras extras{.mailbox_waits = std::nullopt, .target_bitrate_bps = options.target_bitrate_bps};
  if (options.log_path) {
    std::ifstream file(*options.log_path, std::ios::binary);
    if (!file.is_open()) {
      err << "qvrx: cannot read " << *options.log_path << "\n";
      return 1;
    }
    std::ostringstream text;
    text << file.rdbuf();
    const CaptureLog log = parse_capture_log(text.str());
    for (std::size_t i = 0; i < samples.size() && i < log.encode_latencies_ms.size(); ++i) {
      samples[i].encode_latency_ms = log.encode_latencies_ms[i];
    }
    extras.mailbox_waits = log.mailbox_waits;
  }
  const auto result = stream_stats(samples, true, options.link_rate_bps);
  if (!result) {
    err << "qvrx: " << result.error() << "\n";
    return 1;
  }
  if (plot_stats(format_stats_json(*result, samples, extras), title, out_path, err) != 0) {
    return 1;
  }
  return status;
}

}  // namespace

int run_qvrx(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    out << help_text();
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    out << "qvrx " QVX_VERSION "\n";
    return 0;
  }
  if (!args.empty() && std::ranges::find(commands, std::string_view(args[0])) == std::end(commands)) {
    err << "qvrx: unknown command: " << args[0] << "\n";
    return usage_error(err);
  }
  if (args.size() < 2) {
    return usage_error(err);
  }
  const std::string& command = args[0];
  const std::string& path = args[1];

  if (command == "check" && args.size() == 2) {
    return check(path, out, err);
  }
  if (command == "unpack" && args.size() == 3) {
    return unpack(path, args[2], err);
  }
  if (command == "mux" && args.size() == 3) {
    return mux(path, args[2], err);
  }
  if (command == "list" || command == "stats") {
    const auto options =
        parse_command_options(args.subspan(2), {.json = command == "stats", .link_rate = command == "stats"});
    if (!options) {
      return usage_error(err);
    }
    return command == "list" ? list(path, *options, out, err) : stats(path, *options, out, err);
  }
  if (command == "plot" && args.size() >= 3) {
    const auto options = parse_command_options(args.subspan(3), {.clock_always = true, .link_rate = true, .plot = true});
    if (!options) {
      return usage_error(err);
    }
    return plot(path, args[2], *options, err);
  }
  return usage_error(err);
}

}  // namespace quorvex::tools
