#include "platform/host/x264_encoder.h"

#include <algorithm>

#include "platform/host/host_status.h"

namespace quorvex::platform::host {

const char* preset_for_quality_vs_speed(std::uint32_t quality_vs_speed) {
  // Hardware encoders run in real time at any setting; the fastest presets
  // keep the stand-in real-time at 1080p60 on a couple of cores.
  if (quality_vs_speed <= 33) return "ultrafast";
  if (quality_vs_speed <= 66) return "superfast";
  return "veryfast";
}

namespace {

int kilo(std::uint32_t value) { return static_cast<int>(std::max<std::uint32_t>(1, value / 1000)); }

// x264 counts rates in kbit/s and the VBV in kbit.
void apply_rates(const H264EncoderSettings& s, x264_param_t& p) {
  constexpr std::uint64_t bits_per_byte = 8;
  const int kbps = kilo(s.bitrate_bps);
  p.rc.i_bitrate = kbps;
  p.rc.i_vbv_max_bitrate = s.max_bitrate_bps ? kilo(*s.max_bitrate_bps) : kbps;
  // One second of data unless a buffer was asked for; x264 raises one
  // smaller than a frame's share to that share.
  p.rc.i_vbv_buffer_size =
      s.buffer_bytes ? static_cast<int>(std::max<std::uint64_t>(1, *s.buffer_bytes * bits_per_byte / 1000)) : kbps;
}

}  // namespace

bool make_x264_params(const H264EncoderSettings& s, x264_param_t& p) {
  if (x264_param_default_preset(&p, preset_for_quality_vs_speed(s.quality_vs_speed), "zerolatency") < 0) {
    return false;
  }
  p.i_log_level = X264_LOG_NONE;
  p.i_width = s.width;
  p.i_height = s.height;
  p.i_csp = X264_CSP_NV12;
  p.i_fps_num = s.fps_numerator;
  p.i_fps_den = std::max<std::uint32_t>(1, s.fps_denominator);
  p.i_timebase_num = p.i_fps_den;
  p.i_timebase_den = p.i_fps_num;
  p.b_vfr_input = 0;  // rate control by frame rate, not timestamps
  p.b_sliced_threads = 1;
  p.i_threads = X264_THREADS_AUTO;
  p.i_bframe = 0;
  p.i_keyint_max = s.gop_size >= static_cast<std::uint32_t>(X264_KEYINT_MAX_INFINITE)
                       ? X264_KEYINT_MAX_INFINITE
                       : static_cast<int>(std::max<std::uint32_t>(1, s.gop_size));
  p.i_keyint_min = p.i_keyint_max;
  p.i_scenecut_threshold = 0;  // keyframes exactly every GOP or on request
  p.b_intra_refresh = 0;
  p.b_repeat_headers = 1;  // SPS/PPS before every IDR, as hardware encoders do
  p.b_annexb = 1;
  // Written into the VUI once the range is full or any code is specified.
  p.vui.i_colorprim = s.color.primaries;
  p.vui.i_transfer = s.color.transfer;
  p.vui.i_colmatrix = s.color.matrix;
  p.vui.b_fullrange = s.color.full_range ? 1 : 0;
  p.rc.i_rc_method = X264_RC_ABR;
  apply_rates(s, p);
  // No NAL HRD: see the header. Filler still keeps the rate constant.
  p.i_nal_hrd = X264_NAL_HRD_NONE;
  p.rc.b_filler = 1;
  return x264_param_apply_profile(&p, "baseline") == 0;
}

Result<std::unique_ptr<X264Encoder>> X264Encoder::open(const H264EncoderSettings& settings) {
  x264_param_t params;
  if (settings.width <= 0 || settings.height <= 0 || !make_x264_params(settings, params)) {
    return host_fail(status::e_invalidarg);
  }
  x264_t* encoder = x264_encoder_open(&params);
  if (encoder == nullptr) {
    return host_fail(status::e_fail);
  }
  return std::unique_ptr<X264Encoder>(new X264Encoder(encoder, settings));
}

X264Encoder::~X264Encoder() { x264_encoder_close(encoder_); }

Result<X264Encoder::AccessUnit> X264Encoder::encode(const std::uint8_t* luma, std::ptrdiff_t luma_pitch,
                                                    const std::uint8_t* chroma, std::ptrdiff_t chroma_pitch,
                                                    bool force_idr) {
  x264_picture_t in;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_NV12;
  in.img.i_plane = 2;
  // x264 only reads the planes; its API is not const-correct.
  in.img.plane[0] = const_cast<std::uint8_t*>(luma);
  in.img.plane[1] = const_cast<std::uint8_t*>(chroma);
  in.img.i_stride[0] = static_cast<int>(luma_pitch);
  in.img.i_stride[1] = static_cast<int>(chroma_pitch);
  in.i_type = force_idr ? X264_TYPE_IDR : X264_TYPE_AUTO;
  in.i_pts = next_pts_++;
  x264_picture_t out;
  x264_nal_t* nals = nullptr;
  int nal_count = 0;
  const int size = x264_encoder_encode(encoder_, &nals, &nal_count, &in, &out);
  if (size <= 0 || nal_count <= 0) {
    // Zero latency means every picture comes straight back out.
    return host_fail(status::e_unexpected);
  }
  AccessUnit unit;
  // With Annex B on, x264 lays the NAL units out back to back.
  unit.bytes.assign(nals[0].p_payload, nals[0].p_payload + size);
  unit.idr = out.b_keyframe != 0;
  return unit;
}

Status X264Encoder::set_rates(const H264EncoderSettings& settings) {
  x264_param_t params;
  x264_encoder_parameters(encoder_, &params);
  apply_rates(settings, params);
  if (x264_encoder_reconfig(encoder_, &params) < 0) {
    return host_fail(status::e_invalidarg);
  }
  settings_.bitrate_bps = settings.bitrate_bps;
  settings_.max_bitrate_bps = settings.max_bitrate_bps;
  settings_.buffer_bytes = settings.buffer_bytes;
  return {};
}

int X264Encoder::delayed_frames() const { return x264_encoder_delayed_frames(encoder_); }

}  // namespace quorvex::platform::host
