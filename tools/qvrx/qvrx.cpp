#include "qvrx/qvrx.h"

#include <cstdint>
#include <fstream>
#include <functional>
#include <vector>

#include "qvrx/annex_b.h"
#include "sender/frame_record_reader.h"

namespace quorvex::tools {
namespace {

constexpr std::size_t read_chunk_bytes = 1 << 20;

constexpr const char* usage =
    "usage: qvrx check STREAM\n"
    "       qvrx list STREAM\n"
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
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
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

  if (command == "list" && args.size() == 2) {
    const int status = for_each_record(path, err, totals, [&out, &totals](const sender::FrameRecord& record) {
      out << "index=" << totals.records - 1 << " offset=" << record.offset << " timestamp_ns=" << record.timestamp_ns
          << " size=" << record.payload.size() << " keyframe=" << (record.keyframe ? "true" : "false")
          << " nal_types=";
      const auto types = nal_unit_types(record.payload);
      for (std::size_t i = 0; i < types.size(); ++i) {
        out << (i == 0 ? "" : ",") << static_cast<unsigned>(types[i]);
      }
      out << "\n";
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
