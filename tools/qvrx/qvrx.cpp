#include "qvrx/qvrx.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

#include "qvrx/annex_b.h"
#include "qvrx/child_output.h"
#include "qvrx/sps.h"
#include "sender/frame_record_reader.h"
#include "testing/frame_clock.h"

namespace quorvex::tools {
namespace {

constexpr std::size_t read_chunk_bytes = 1 << 20;

constexpr const char* usage =
    "usage: qvrx check STREAM\n"
    "       qvrx list STREAM [--clock [--size WxH] [--strip LEFT,TOP,SCALE_X,SCALE_Y]]\n"
    "       qvrx unpack STREAM OUT.h264\n";

struct Totals {
  std::uint64_t records = 0;
  std::uint64_t keyframes = 0;
  std::uint64_t payload_bytes = 0;
};

// Reads the whole stream in chunks, handing each record over as soon as it
// is complete, so streams of any length fit in memory.
int for_each_record(const std::string& path, std::ostream& err, Totals& totals,
                    const std::function<bool(const sender::FrameRecord&)>& on_record) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err << "qvrx: cannot open " << path << "\n";
    return 1;
  }
  sender::FrameRecordReader reader;
  std::vector<char> chunk(read_chunk_bytes);
  auto report = [&err](const sender::FrameRecordError& error) {
    err << "qvrx: malformed record stream at byte offset " << error.offset << ": " << error.message << "\n";
    return 1;
  };
  auto drain = [&]() -> int {
    for (;;) {
      auto next = reader.next();
      if (!next) {
        return report(next.error());
      }
      if (!*next) {
        return 0;
      }
      ++totals.records;
      totals.keyframes += (*next)->keyframe ? 1 : 0;
      totals.payload_bytes += (*next)->payload.size();
      if (!on_record(**next)) {
        return 1;
      }
    }
  };
  // peek waits for the next byte and readsome takes what the stream already
  // holds, so a pipe (a live session on /dev/stdin) is passed on as it
  // arrives instead of in whole chunks.
  while (in && in.peek() != std::char_traits<char>::eof()) {
    const auto got = static_cast<std::size_t>(in.readsome(chunk.data(), static_cast<std::streamsize>(chunk.size())));
    if (got == 0) {
      break;
    }
    reader.feed(std::as_bytes(std::span(chunk.data(), got)));
    if (const int status = drain(); status != 0) {
      return status;
    }
  }
  if (in.bad()) {
    err << "qvrx: cannot read " << path << "\n";
    return 1;
  }
  if (auto finished = reader.finish(); !finished) {
    return report(finished.error());
  }
  return 0;
}

void print_totals(std::ostream& out, const Totals& totals) {
  out << "records=" << totals.records << " keyframes=" << totals.keyframes
      << " payload_bytes=" << totals.payload_bytes << "\n";
}

std::string record_line(std::uint64_t index, const sender::FrameRecord& record) {
  std::ostringstream line;
  line << "index=" << index << " offset=" << record.offset << " timestamp_ns=" << record.timestamp_ns
       << " size=" << record.payload.size() << " keyframe=" << (record.keyframe ? "true" : "false") << " nal_types=";
  const auto types = nal_unit_types(record.payload);
  for (std::size_t i = 0; i < types.size(); ++i) {
    line << (i == 0 ? "" : ",") << static_cast<unsigned>(types[i]);
  }
  return line.str();
}

// Where to read the frame-clock strip in the decoded pictures; a size of 0
// means the one the stream's first sequence parameter set announces.
struct ClockOptions {
  int width = 0;
  int height = 0;
  testing::StripPlacement placement;
};

// Whole text must be numbers separated by the one separator.
template <typename T>
bool parse_numbers(const std::string& text, char separator, std::span<T> values) {
  const char* at = text.data();
  const char* end = text.data() + text.size();
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) {
      if (at == end || *at != separator) {
        return false;
      }
      ++at;
    }
    const auto [next, ec] = std::from_chars(at, end, values[i]);
    if (ec != std::errc() || next == at) {
      return false;
    }
    at = next;
  }
  return at == end;
}

struct ListOptions {
  std::optional<ClockOptions> clock;
};

// nullopt for a usage error: --size and --strip only go with --clock.
std::optional<ListOptions> parse_list_options(std::span<const std::string> options) {
  bool clock = false;
  std::optional<std::array<int, 2>> size;
  std::optional<std::array<double, 4>> strip;
  for (std::size_t i = 0; i < options.size(); ++i) {
    const std::string& option = options[i];
    const bool has_value = i + 1 < options.size();
    if (option == "--clock") {
      clock = true;
    } else if (option == "--size" && has_value) {
      std::array<int, 2> values{};
      if (!parse_numbers(options[++i], 'x', std::span<int>(values)) || values[0] < 1 || values[1] < 1 ||
          values[0] > 16384 || values[1] > 16384) {
        return std::nullopt;
      }
      size = values;
    } else if (option == "--strip" && has_value) {
      std::array<double, 4> values{};
      if (!parse_numbers(options[++i], ',', std::span<double>(values)) || !(values[2] > 0) || !(values[3] > 0)) {
        return std::nullopt;
      }
      strip = values;
    } else {
      return std::nullopt;
    }
  }
  if (!clock) {
    return (size || strip) ? std::nullopt : std::optional<ListOptions>(ListOptions{});
  }
  ClockOptions result;
  if (size) {
    result.width = (*size)[0];
    result.height = (*size)[1];
  }
  if (strip) {
    result.placement = {(*strip)[0], (*strip)[1], (*strip)[2], (*strip)[3]};
  }
  return ListOptions{result};
}

std::filesystem::path unique_temporary_path() {
  std::random_device random;
  std::ostringstream name;
  name << "qvrx-" << std::hex << random() << random() << ".h264";
  return std::filesystem::temp_directory_path() / name.str();
}

// Decodes the elementary stream with ffmpeg into luma planes and appends the
// strip read from each picture to the record's line, in order. False when
// ffmpeg failed or did not give one picture per record.
bool append_clocks(const std::filesystem::path& elementary, const ClockOptions& clock,
                   std::vector<std::string>& lines, std::ostream& err) {
  ChildOutput ffmpeg({"ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", elementary.string(), "-fps_mode",
                      "passthrough", "-f", "rawvideo", "-pix_fmt", "gray", "-"});
  if (!ffmpeg.is_open()) {
    err << "qvrx: cannot start ffmpeg\n";
    return false;
  }
  const auto plane_bytes = static_cast<std::size_t>(clock.width) * static_cast<std::size_t>(clock.height);
  std::vector<std::byte> plane(plane_bytes);
  std::size_t decoded = 0;
  for (auto& line : lines) {
    if (ffmpeg.read(plane) != plane_bytes) {
      break;
    }
    ++decoded;
    const testing::ConstPictureView luma{reinterpret_cast<const std::uint8_t*>(plane.data()),
                                         static_cast<std::ptrdiff_t>(clock.width), clock.width, clock.height};
    if (const auto stamp = testing::decode_frame_clock_luma(luma, clock.placement)) {
      line += " clock_frame=" + std::to_string(stamp->frame_number) + " clock_ms=" + std::to_string(stamp->wall_time_ms);
    } else {
      line += " clock=unreadable";
    }
  }
  // Read to the end, so that ffmpeg never fails on a closed pipe and a
  // picture count that does not match shows up as such.
  std::size_t extra_bytes = 0;
  for (std::size_t got; (got = ffmpeg.read(plane)) != 0;) {
    extra_bytes += got;
  }
  if (!ffmpeg.close()) {
    err << "qvrx: ffmpeg could not decode the stream\n";
    return false;
  }
  if (decoded != lines.size() || extra_bytes != 0) {
    err << "qvrx: ffmpeg decoded " << (extra_bytes != 0 ? "more" : std::to_string(decoded)) << " pictures of "
        << clock.width << "x" << clock.height << " for " << lines.size() << " records (wrong --size?)\n";
    return false;
  }
  return true;
}

int list_with_clock(const std::string& path, ClockOptions clock, std::ostream& out, std::ostream& err) {
  const auto elementary_path = unique_temporary_path();
  Totals totals;
  std::vector<std::string> lines;
  std::optional<PictureSize> announced;
  int status = 0;
  {
    std::ofstream elementary(elementary_path, std::ios::binary | std::ios::trunc);
    if (!elementary) {
      err << "qvrx: cannot create " << elementary_path.string() << "\n";
      return 1;
    }
    status = for_each_record(path, err, totals, [&](const sender::FrameRecord& record) {
      lines.push_back(record_line(totals.records - 1, record));
      if (!announced) {
        announced = annex_b_picture_size(record.payload);
      }
      elementary.write(reinterpret_cast<const char*>(record.payload.data()),
                       static_cast<std::streamsize>(record.payload.size()));
      return static_cast<bool>(elementary);
    });
    elementary.close();
    if (!elementary) {
      err << "qvrx: cannot write " << elementary_path.string() << "\n";
      status = 1;
    }
  }
  if (clock.width == 0 && announced) {
    clock.width = announced->width;
    clock.height = announced->height;
  }
  if (!lines.empty() && clock.width == 0) {
    err << "qvrx: no sequence parameter set tells the picture size; give --size\n";
    status = 1;
  } else if (!lines.empty() && !append_clocks(elementary_path, clock, lines, err)) {
    status = 1;
  }
  std::error_code ignored;
  std::filesystem::remove(elementary_path, ignored);
  for (const auto& line : lines) {
    out << line << "\n";
  }
  print_totals(out, totals);
  return status;
}

}  // namespace

int run_qvrx(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  if (args.size() < 2) {
    err << usage;
    return 2;
  }
  const std::string& command = args[0];
  const std::string& path = args[1];
  Totals totals;

  if (command == "check" && args.size() == 2) {
    const int status = for_each_record(path, err, totals, [](const sender::FrameRecord&) { return true; });
    print_totals(out, totals);
    return status;
  }

  if (command == "list") {
    const auto options = parse_list_options(args.subspan(2));
    if (!options) {
      err << usage;
      return 2;
    }
    if (options->clock) {
      return list_with_clock(path, *options->clock, out, err);
    }
    const int status = for_each_record(path, err, totals, [&out, &totals](const sender::FrameRecord& record) {
      out << record_line(totals.records - 1, record) << "\n";
      return true;
    });
    print_totals(out, totals);
    return status;
  }

  if (command == "unpack" && args.size() == 3) {
    std::ofstream elementary(args[2], std::ios::binary | std::ios::trunc);
    if (!elementary) {
      err << "qvrx: cannot create " << args[2] << "\n";
      return 1;
    }
    const int status = for_each_record(path, err, totals, [&](const sender::FrameRecord& record) {
      elementary.write(reinterpret_cast<const char*>(record.payload.data()),
                       static_cast<std::streamsize>(record.payload.size()));
      elementary.flush();  // a player reading a pipe gets each access unit at once
      if (!elementary) {
        err << "qvrx: cannot write " << args[2] << "\n";
        return false;
      }
      return true;
    });
    elementary.flush();
    if (!elementary && status == 0) {
      err << "qvrx: cannot write " << args[2] << "\n";
      return 1;
    }
    print_totals(out, totals);
    return status;
  }

  err << usage;
  return 2;
}

}  // namespace quorvex::tools
