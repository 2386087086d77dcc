// Writes a record stream into an MP4 or Matroska file without re-encoding:
// each access unit becomes one packet at its record's place on the time line
// (timeline.h), so a paused capture keeps its gap as one long frame and the
// file its real length. The container's header takes the parameter sets of
// the first record that carries a sequence parameter set; records before it
// cannot be decoded and are left out.
//
// The host build writes with FFmpeg's libavformat (mux_avformat.cpp); the
// Windows build has no muxer (mux_absent.cpp).
//
// Thread contract: a Muxer has one owner.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "sender/frame_record_reader.h"

namespace quorvex::tools {

enum class Container { mp4, matroska };

// By the file name's extension: .mp4 or .mkv, in any letter case. Standard
// output ("-") gets Matroska, which a pipe can carry: MP4 wants to go back
// and write its index at the front.
[[nodiscard]] std::optional<Container> container_for_path(const std::string& path);

// Whether this build can write containers at all.
[[nodiscard]] bool mux_supported();

struct MuxSummary {
  std::uint64_t packets = 0;
  // Records before the first sequence parameter set.
  std::uint64_t skipped_records = 0;
  // Records whose timestamp was not after the one before (the wall clock
  // stepped back), placed one tick after it.
  std::uint64_t moved_records = 0;
  double duration_s = 0;
};

class Muxer {
 public:
  virtual ~Muxer() = default;

  // Records in stream order. Errors are messages for a "qvrx: " line.
  [[nodiscard]] virtual std::expected<void, std::string> add(const sender::FrameRecord& record) = 0;

  // Writes the last packet and the container's index; call once, also after
  // a failed add or a malformed stream, to keep what came before.
  [[nodiscard]] virtual std::expected<MuxSummary, std::string> finish() = 0;
};

// Creates (or truncates) the file, or writes standard output for "-", a
// packet at a time; the error says why it cannot.
[[nodiscard]] std::expected<std::unique_ptr<Muxer>, std::string> create_muxer(const std::string& path,
                                                                            Container container);

}  // namespace quorvex::tools
