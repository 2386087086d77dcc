// qvrx: a small tool over the frame-record reader.
//
//   qvrx check  <stream|->          validates the stream; on the first malformed
//                                   byte prints its offset and exits 1
//   qvrx list   <stream|->          one line per record: index, timestamp, size,
//                                   keyframe flag and NAL unit types
//   qvrx unpack <stream|-> <out>    writes the Annex B elementary stream that
//                                   ffmpeg plays (ffmpeg -f h264 -i out ...)
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sender/frame_record_reader.h"

namespace {

using quorvex::sender::FrameRecord;
using quorvex::sender::FrameRecordError;
using quorvex::sender::FrameRecordReader;

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr && f != stdin && f != stdout) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

int usage() {
  std::fputs(
      "usage: qvrx check <stream|->\n"
      "       qvrx list <stream|->\n"
      "       qvrx unpack <stream|-> <out.h264>\n",
      stderr);
  return 2;
}

void report(const FrameRecordError& error) {
  // The reader's messages name the offset of the first malformed byte.
  std::fprintf(stderr, "qvrx: malformed stream: %s\n", error.message.c_str());
}

// Streams the records of `path` into `on_record`. Returns false (after
// reporting) when the stream is malformed or cannot be read.
bool for_each_record(const char* path, const std::function<bool(const FrameRecord&)>& on_record) {
  File in(std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "rb"));
  if (!in) {
    std::fprintf(stderr, "qvrx: cannot open %s: %s\n", path, std::strerror(errno));
    return false;
  }
  FrameRecordReader reader;
  std::vector<std::byte> chunk(1 << 20);
  for (;;) {
    const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), in.get());
    if (n == 0) {
      if (std::ferror(in.get())) {
        std::fprintf(stderr, "qvrx: cannot read %s\n", path);
        return false;
      }
      break;
    }
    reader.feed(std::span(chunk.data(), n));
    for (;;) {
      auto next = reader.next();
      if (!next) {
        report(next.error());
        return false;
      }
      if (!*next) break;
      if (!on_record(**next)) return false;
    }
  }
  if (auto done = reader.finish(); !done) {
    report(done.error());
    return false;
  }
  return true;
}

// NAL unit types of an Annex B access unit, comma separated.
std::string nal_types(std::span<const std::byte> payload) {
  std::string types;
  const auto* p = reinterpret_cast<const unsigned char*>(payload.data());
  const std::size_t n = payload.size();
  for (std::size_t i = 0; i + 3 < n; ++i) {
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
      if (!types.empty()) types += ',';
      types += std::to_string(p[i + 3] & 0x1F);
      i += 2;
    }
  }
  return types.empty() ? "-" : types;
}

int check(const char* path) {
  std::uint64_t records = 0, keyframes = 0, bytes = 0, first_ns = 0, last_ns = 0;
  const bool ok = for_each_record(path, [&](const FrameRecord& r) {
    if (records == 0) first_ns = r.timestamp_ns;
    last_ns = r.timestamp_ns;
    ++records;
    keyframes += r.keyframe ? 1 : 0;
    bytes += r.payload.size();
    return true;
  });
  if (!ok) return 1;
  std::printf("ok records=%" PRIu64 " keyframes=%" PRIu64 " payload_bytes=%" PRIu64
              " first_timestamp_ns=%" PRIu64 " last_timestamp_ns=%" PRIu64 "\n",
              records, keyframes, bytes, first_ns, last_ns);
  return 0;
}

int list(const char* path) {
  std::uint64_t index = 0;
  const bool ok = for_each_record(path, [&](const FrameRecord& r) {
    std::printf("%" PRIu64 " timestamp_ns=%" PRIu64 " size=%zu keyframe=%s nal_types=%s\n", index++,
                r.timestamp_ns, r.payload.size(), r.keyframe ? "true" : "false",
                nal_types(r.payload).c_str());
    return true;
  });
  return ok ? 0 : 1;
}

int unpack(const char* path, const char* out_path) {
  File out(std::strcmp(out_path, "-") == 0 ? stdout : std::fopen(out_path, "wb"));
  if (!out) {
    std::fprintf(stderr, "qvrx: cannot create %s: %s\n", out_path, std::strerror(errno));
    return 1;
  }
  std::uint64_t records = 0;
  const bool ok = for_each_record(path, [&](const FrameRecord& r) {
    ++records;
    if (std::fwrite(r.payload.data(), 1, r.payload.size(), out.get()) != r.payload.size()) {
      std::fprintf(stderr, "qvrx: cannot write %s\n", out_path);
      return false;
    }
    return true;
  });
  if (std::fflush(out.get()) != 0) {
    std::fprintf(stderr, "qvrx: cannot write %s\n", out_path);
    return 1;
  }
  if (ok) std::fprintf(stderr, "qvrx: unpacked %" PRIu64 " access units\n", records);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "check") return check(argv[2]);
  if (args.size() == 2 && args[0] == "list") return list(argv[2]);
  if (args.size() == 3 && args[0] == "unpack") return unpack(argv[2], argv[3]);
  return usage();
}
