// Where frame records go: an abstract byte writer, and an in-memory one.
// A sink is used by one thread at a time; the program's standard-output sink
// is guarded by the standard-output mutex of its owner.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <vector>

#include "sender/io_error.h"

namespace quorvex::sender {

class ByteSink {
 public:
  virtual ~ByteSink() = default;

  // Writes every byte or fails; a short write is continued by the sink itself.
  [[nodiscard]] virtual std::expected<void, IoError> write_all(std::span<const std::byte> bytes) = 0;
  [[nodiscard]] virtual std::expected<void, IoError> flush() = 0;
  // Fails when the bytes can no longer reach anyone (the reading end of a
  // pipe was closed), without writing and without blocking: a still screen
  // writes nothing, so a write would find out only with the next frame.
  // Callable from any thread, even while another writes.
  [[nodiscard]] virtual std::expected<void, IoError> reader_present() const { return {}; }
};

// Collects everything written in `bytes`; never fails (beyond running out of
// memory).
class MemorySink final : public ByteSink {
 public:
  [[nodiscard]] std::expected<void, IoError> write_all(std::span<const std::byte> data) override {
    bytes.insert(bytes.end(), data.begin(), data.end());
    return {};
  }
  [[nodiscard]] std::expected<void, IoError> flush() override { return {}; }

  std::vector<std::byte> bytes;
};

}  // namespace quorvex::sender
