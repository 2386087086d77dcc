// Paints the virtual desktop's primary display again, picture by picture,
// for the frame-clock stamps a decoded stream carries. The scene is a pure
// function of the frame number and of the time written into its strip, so
// what the helper captured can be rebuilt exactly and a decoded stream
// compared against its source.
//
//   scene_reference WIDTH HEIGHT < stamps > pictures.bgra
//
// Reads one "FRAME WALL_MS" pair per line (as `qvrx list --clock` reports
// them) and writes one WIDTH x HEIGHT BGRA picture per line to standard
// output.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/host/scene_painter.h"
#include "testing/frame_clock.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: scene_reference WIDTH HEIGHT < stamps > pictures.bgra\n", stderr);
    return 2;
  }
  const int width = std::atoi(argv[1]);
  const int height = std::atoi(argv[2]);
  if (width <= 0 || height <= 0 || width > 16384 || height > 16384) {
    std::fputs("scene_reference: the size must be from 1x1 to 16384x16384\n", stderr);
    return 2;
  }
  quorvex::platform::host::ScenePainter painter;
  std::vector<std::uint8_t> picture(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  const quorvex::testing::PictureView target{picture.data(), static_cast<std::ptrdiff_t>(width) * 4, width, height};
  std::uint32_t frame = 0;
  std::uint32_t wall_ms = 0;
  while (std::cin >> frame >> wall_ms) {
    painter.paint_display(target, width, height, frame, quorvex::testing::FrameClockStamp{frame, wall_ms});
    if (std::fwrite(picture.data(), 1, picture.size(), stdout) != picture.size()) {
      std::perror("scene_reference: write");
      return 1;
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
