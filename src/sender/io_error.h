// The error value of byte sinks and of the frame-record writer. A value type;
// it crosses threads freely.
#pragma once

#include <string>
#include <utility>

namespace quorvex::sender {

struct IoError {
  enum class Kind {
    // The caller handed over something that cannot be written (bad size or time).
    InvalidInput,
    // The reader of the stream went away (a closed pipe).
    BrokenPipe,
    Other,
  };

  Kind kind = Kind::Other;
  std::string message;

  [[nodiscard]] static IoError invalid_input(std::string message) {
    return {Kind::InvalidInput, std::move(message)};
  }
  friend bool operator==(const IoError&, const IoError&) = default;
};

}  // namespace quorvex::sender
