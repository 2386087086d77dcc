#include "qvrx/record_input.h"

#include <vector>

#include "qvrx/system.h"

namespace quorvex::tools {
namespace {

constexpr std::size_t read_chunk_bytes = 1 << 20;

}  // namespace

std::string format_totals(const Totals& totals) {
  return "records=" + std::to_string(totals.records) + " keyframes=" + std::to_string(totals.keyframes) +
         " payload_bytes=" + std::to_string(totals.payload_bytes);
}

int for_each_record(const std::string& path, std::ostream& err, Totals& totals,
                    const std::function<bool(const sender::FrameRecord&)>& on_record) {
  auto file = ByteFile::open_for_reading(path);
  if (!file) {
    err << "qvrx: cannot open " << path << ": " << file.error() << "\n";
    return 1;
  }
  sender::FrameRecordReader reader;
  std::vector<std::byte> chunk(read_chunk_bytes);
  auto report = [&err](const sender::FrameRecordError& error) {
    err << "qvrx: malformed record stream at byte offset " << error.offset << ": " << error.message << "\n";
    return 1;
  };
  for (;;) {
    const auto got = file->read_some(chunk);
    if (!got) {
      err << "qvrx: cannot read " << path << ": " << got.error() << "\n";
      return 1;
    }
    if (*got == 0) {
      break;
    }
    reader.feed(std::span(chunk).first(*got));
    for (;;) {
      auto next = reader.next();
      if (!next) {
        return report(next.error());
      }
      if (!*next) {
        break;
      }
      ++totals.records;
      totals.keyframes += (*next)->keyframe ? 1 : 0;
      totals.payload_bytes += (*next)->payload.size();
      if (!on_record(**next)) {
        return 1;
      }
    }
  }
  if (auto finished = reader.finish(); !finished) {
    return report(finished.error());
  }
  return 0;
}

}  // namespace quorvex::tools
