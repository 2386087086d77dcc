#include "qvrx/frame_clock_reader.h"

#include <random>
#include <sstream>
#include <string>

#include "qvrx/child_output.h"

namespace quorvex::tools {
namespace {

std::filesystem::path unique_temporary_path(const std::filesystem::path& directory) {
  std::random_device random;
  std::ostringstream name;
  name << "qvrx-" << std::hex << random() << random() << ".h264";
  return directory / name.str();
}

}  // namespace

bool FrameClockReader::open(const ClockOptions& options, std::ostream& err) {
  options_ = options;
  std::error_code error;
  const auto directory = std::filesystem::temp_directory_path(error);
  if (error) {
    err << "qvrx: no folder for temporary files: " << error.message() << "\n";
    return false;
  }
  elementary_path_ = unique_temporary_path(directory);
  elementary_.open(elementary_path_, std::ios::binary | std::ios::trunc);
  if (!elementary_) {
    err << "qvrx: cannot create " << elementary_path_.string() << "\n";
    elementary_path_.clear();
    return false;
  }
  return true;
}

FrameClockReader::~FrameClockReader() {
  elementary_.close();
  if (!elementary_path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(elementary_path_, ignored);
  }
}

bool FrameClockReader::add(const sender::FrameRecord& record, std::ostream& err) {
  ++records_;
  if (!announced_) {
    announced_ = sender::annex_b_picture_size(record.payload);
  }
  elementary_.write(reinterpret_cast<const char*>(record.payload.data()),
                    static_cast<std::streamsize>(record.payload.size()));
  if (!elementary_) {
    err << "qvrx: cannot write " << elementary_path_.string() << "\n";
    return false;
  }
  return true;
}

ClockReadout FrameClockReader::read(std::ostream& err) {
  ClockReadout readout;
  elementary_.close();
  if (!elementary_) {
    err << "qvrx: cannot write " << elementary_path_.string() << "\n";
    return readout;
  }
  if (records_ == 0) {
    readout.complete = true;
    return readout;
  }
  int width = options_.width;
  int height = options_.height;
  if (width == 0 && announced_) {
    width = announced_->width;
    height = announced_->height;
  }
  if (width == 0) {
    err << "qvrx: no sequence parameter set tells the picture size; give --size\n";
    return readout;
  }
  ChildOutput ffmpeg({"ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", elementary_path_.string(),
                      "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "gray", "-"});
  if (!ffmpeg.is_open()) {
    err << "qvrx: cannot start ffmpeg\n";
    return readout;
  }
  const auto plane_bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  std::vector<std::byte> plane(plane_bytes);
  while (readout.stamps.size() < records_ && ffmpeg.read(plane) == plane_bytes) {
    const testing::ConstPictureView luma{reinterpret_cast<const std::uint8_t*>(plane.data()),
                                         static_cast<std::ptrdiff_t>(width), width, height};
    readout.stamps.push_back(testing::decode_frame_clock_luma(luma, options_.placement));
  }
  // Read to the end, so that ffmpeg never fails on a closed pipe and a
  // picture count that does not match shows up as such.
  std::size_t extra_bytes = 0;
  for (std::size_t got; (got = ffmpeg.read(plane)) != 0;) {
    extra_bytes += got;
  }
  const ChildExit exit = ffmpeg.close();
  if (exit.not_found) {
    err << "qvrx: reading the frame clock needs ffmpeg, which was not found\n";
    return readout;
  }
  if (!exit.succeeded()) {
    err << "qvrx: ffmpeg could not decode the stream\n";
    return readout;
  }
  if (readout.stamps.size() != records_ || extra_bytes != 0) {
    err << "qvrx: ffmpeg decoded " << (extra_bytes != 0 ? "more" : std::to_string(readout.stamps.size()))
        << " pictures of " << width << "x" << height << " for " << records_ << " records (wrong --size?)\n";
    return readout;
  }
  readout.complete = true;
  return readout;
}

}  // namespace quorvex::tools
