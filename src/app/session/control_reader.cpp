#include "app/session/control_reader.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "app/diagnostics.h"
#include "app/stderr_line.h"
#include "sender/window_share.h"

namespace quorvex::app {
namespace {

// Standard input, read one byte per call: a larger fread would wait for the
// whole count and hold back a command that has already arrived. The stream
// buffers underneath, so this costs no extra system calls.
class StdinByteSource final : public ByteSource {
 public:
  std::optional<std::size_t> read_some(std::span<char> buffer) override {
    if (buffer.empty()) {
      return 0;
    }
    if (std::fread(buffer.data(), 1, 1, stdin) == 1) {
      return 1;
    }
    if (std::ferror(stdin)) {
      return std::nullopt;
    }
    return 0;
  }
};

}  // namespace

ControlLineReader::ControlLineReader(ByteSource& source) : source_(source) {}

bool ControlLineReader::refill() {
  if (input_over_) {
    return false;
  }
  const auto got = source_.read_some(chunk_);
  if (!got || *got == 0) {
    input_over_ = true;
    // A line cut short by a read error is not executed.
    if (!got) {
      line_.clear();
    }
    return false;
  }
  chunk_begin_ = 0;
  chunk_end_ = std::min(*got, chunk_.size());
  return true;
}

std::optional<std::string_view> ControlLineReader::next_line() {
  line_.clear();
  bool discarding = false;
  for (;;) {
    if (chunk_begin_ == chunk_end_ && !refill()) {
      if (discarding || line_.empty()) {
        return std::nullopt;
      }
      return std::string_view(line_);
    }
    const char* begin = chunk_.data() + chunk_begin_;
    const char* end = chunk_.data() + chunk_end_;
    const char* newline = std::find(begin, end, '\n');
    const bool complete = newline != end;
    const char* take_end = complete ? newline + 1 : end;
    const auto take = static_cast<std::size_t>(take_end - begin);
    chunk_begin_ += take;
    if (!discarding) {
      if (line_.size() + take > kMaxLineBytes) {
        // Hand the memory back too: an over-long line must not leave a large
        // buffer behind for the rest of the session.
        discarding = true;
        line_.clear();
        line_.shrink_to_fit();
      } else {
        line_.append(begin, take);
      }
    }
    if (complete) {
      if (!discarding) {
        return std::string_view(line_);
      }
      discarding = false;
    }
  }
}

void run_control_reader(ByteSource& source, const ControlTargets& targets, diagnostics::Sink& lines) {
  const auto ring = [&targets] {
    if (targets.bell) {
      targets.bell->ring();
    }
  };
  ControlLineReader reader(source);
  while (const auto line = reader.next_line()) {
    const auto command = sender::parse_control_command(*line);
    if (!command) {
      using Fault = sender::RejectedControlLine::Fault;
      const sender::RejectedControlLine rejected = sender::reject_control_line(*line);
      if (rejected.fault != Fault::Blank) {
        lines.write(diagnostics::control_ignored(rejected.command, rejected.fault == Fault::OutOfRange
                                                                       ? diagnostics::ControlIgnored::OutOfRange
                                                                       : diagnostics::ControlIgnored::Malformed));
      }
      continue;
    }
    using Kind = sender::ControlCommand::Kind;
    switch (command->kind) {
      case Kind::Keyframe:
        targets.keyframe_request->store(true);
        ring();
        break;
      case Kind::Crop:
        targets.content_size->store(pack_content_size(command->width, command->height));
        lines.write(diagnostics::capture_window_crop(command->width, command->height));
        if (!targets.crop_applies) {
          lines.write(diagnostics::control_ignored("CROP", diagnostics::ControlIgnored::NotApplicable));
        }
        break;
      case Kind::Pause:
        targets.paused->store(true);
        lines.write(diagnostics::capture_window_paused(true));
        break;
      case Kind::Resume:
        // Unpause first: the first frame after the pause is the one that
        // should carry the key frame.
        targets.paused->store(false);
        targets.keyframe_request->store(true);
        lines.write(diagnostics::capture_window_paused(false));
        ring();
        break;
      case Kind::Stop:
        request_stop(targets.stop_reason, targets.stop_request, SessionEnd::Stop);
        break;
      case Kind::Bitrate:
        // The encoder tells the outcome ("encoder_rate"): only it knows
        // whether the change was taken.
        targets.rate_request->bitrate.store(command->value);
        ring();
        break;
      case Kind::Fps:
        if (command->value > targets.max_fps) {
          lines.write(diagnostics::control_ignored("FPS", diagnostics::ControlIgnored::OutOfRange));
          break;
        }
        targets.rate_request->fps.store(command->value);
        ring();
        break;
    }
  }
  // A STOP before the end keeps its reason.
  if (targets.stop_at_end_of_input && !targets.stop_request->load(std::memory_order_acquire)) {
    request_stop(targets.stop_reason, targets.stop_request, SessionEnd::InputClosed);
  }
}

Result<void> start_control_reader(ControlTargets targets) {
  try {
    std::thread reader([targets = std::move(targets)] {
      // Nothing may escape a thread body; the reader only ever ends quietly.
      try {
        StdinByteSource stdin_source;
        run_control_reader(stdin_source, targets, standard_error());
      } catch (...) {
      }
    });
    reader.detach();
  } catch (const std::system_error& e) {
    return fail(std::string("cannot start the control reader thread: ") + e.what());
  }
  return {};
}

}  // namespace quorvex::app
