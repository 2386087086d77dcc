// Reads the frame-clock strip (testing/frame_clock.h) of every picture of a
// recorded stream: the payloads are collected into a temporary elementary
// stream while the records are read, and ffmpeg then decodes its pictures
// into luma planes, one per record, in order.
//
// Thread contract: one owner; not shared between threads.
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <vector>

#include "qvrx/options.h"
#include "sender/h264_sps.h"
#include "sender/frame_record_reader.h"
#include "testing/frame_clock.h"

namespace quorvex::tools {

struct ClockReadout {
  // One entry per decoded picture, in record order; nullopt for a picture
  // whose strip cannot be read.
  std::vector<std::optional<testing::FrameClockStamp>> stamps;
  // Every record got its picture (otherwise the reason is on the error
  // stream and `stamps` holds those decoded before the fault).
  bool complete = false;
};

class FrameClockReader {
 public:
  // False (with a message on `err`) when the temporary file cannot be made.
  [[nodiscard]] bool open(const ClockOptions& options, std::ostream& err);
  ~FrameClockReader();

  // Records in stream order; false after a write error (said on `err`).
  [[nodiscard]] bool add(const sender::FrameRecord& record, std::ostream& err);

  // Decodes what was added.
  [[nodiscard]] ClockReadout read(std::ostream& err);

 private:
  ClockOptions options_;
  std::filesystem::path elementary_path_;
  std::ofstream elementary_;
  std::optional<sender::PictureSize> announced_;
  std::size_t records_ = 0;
};

}  // namespace quorvex::tools
