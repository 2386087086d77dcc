#include "app/pipeline/output_streams.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/stderr_line.h"
#include "platform/process.h"
#include "sender/windows_encoder.h"

namespace quorvex::app {
namespace {

sender::IoError stdout_error() {
  const int error = errno;
  sender::IoError io;
  io.kind = error == EPIPE ? sender::IoError::Kind::BrokenPipe : sender::IoError::Kind::Other;
  io.message = error != 0 ? std::string(std::strerror(error)) : std::string("standard output write failed");
  return io;
}

class StdoutBytes final : public sender::ByteSink {
 public:
  std::expected<void, sender::IoError> write_all(std::span<const std::byte> bytes) override {
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
      return std::unexpected(stdout_error());
    }
    return {};
  }
  std::expected<void, sender::IoError> flush() override {
    errno = 0;
    if (std::fflush(stdout) != 0) {
      return std::unexpected(stdout_error());
    }
    return {};
  }
  std::expected<void, sender::IoError> reader_present() const override {
    if (platform::standard_output_reader_gone()) {
      // The error a write would have met.
      errno = EPIPE;
      return std::unexpected(stdout_error());
    }
    return {};
  }
};

}  // namespace

std::expected<void, sender::IoError> RecordOutput::write_record(
    std::chrono::system_clock::time_point capture_time, bool keyframe,
    std::span<const std::byte> payload) {
  const MutexLock lock(mutex_);
  if (auto written = sender::write_frame(*sink_, capture_time, keyframe, payload); !written) {
    return written;
  }
  return sink_->flush();
}

OutputStreams process_output_streams() {
  static const OutputStreams streams{
      std::make_shared<RecordOutput>(std::make_shared<StdoutBytes>()),
      // Not owned: the process's sink lives for ever.
      std::shared_ptr<diagnostics::Sink>(std::shared_ptr<void>(), &standard_error())};
  return streams;
}

}  // namespace quorvex::app
