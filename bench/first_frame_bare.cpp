// The floor of the helper's start-up: a process that paints one 1080p
// picture of the virtual desktop's scene, converts it to NV12 with the host
// video processor's BT.709 converter and encodes it with the x264 settings
// of the host transform, writes the access unit to stdout and exits.
// bench/session_measure.py times its spawn to its output against the
// helper's spawn to its first record.
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "platform/host/bgra_to_nv12.h"
#include "platform/host/scene_painter.h"
#include "platform/host/x264_encoder.h"  // x264.h after the fixed-width types

int main() {
  using namespace quorvex::platform::host;
  constexpr int width = 1920;
  constexpr int height = 1080;
  H264EncoderSettings settings;
  settings.width = width;
  settings.height = height;
  x264_param_t params;
  if (!make_x264_params(settings, params)) return 1;
  x264_t* encoder = x264_encoder_open(&params);
  if (encoder == nullptr) return 1;

  std::vector<std::uint8_t> bgra(std::size_t{width} * height * 4);
  ScenePainter painter;
  painter.paint_display({bgra.data(), width * 4, width, height}, width, height, 0, {0, 0});
  std::vector<std::uint8_t> nv12(std::size_t{width} * height * 3 / 2);
  bgra_to_nv12_bt709(bgra.data(), width * 4, nv12.data(), width, nv12.data() + std::size_t{width} * height, width,
                     width, height);

  x264_picture_t in;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_NV12;
  in.img.i_plane = 2;
  in.img.plane[0] = nv12.data();
  in.img.plane[1] = nv12.data() + std::size_t{width} * height;
  in.img.i_stride[0] = width;
  in.img.i_stride[1] = width;
  x264_picture_t out;
  x264_nal_t* nals = nullptr;
  int count = 0;
  const int size = x264_encoder_encode(encoder, &nals, &count, &in, &out);
  if (size <= 0) return 1;
  const bool written = ::write(STDOUT_FILENO, nals[0].p_payload, static_cast<std::size_t>(size)) == size;
  x264_encoder_close(encoder);
  return written ? 0 : 1;
}
