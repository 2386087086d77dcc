// libx264 set up the way a hardware low-latency encoder behaves: baseline
// profile, tune zerolatency with sliced threads (one picture in, one access
// unit out, nothing delayed), no B-frames, a fixed keyframe interval with
// scene-cut detection off (a GOP of 2^30 frames or more never ends: keyframes
// only on request), constant bit rate through VBV and filler, Annex B output
// with parameter sets before every IDR.
//
// The stream carries no NAL HRD (no buffering-period or picture-timing SEI,
// no hrd_parameters in the VUI): x264 documents that reconfiguring the VBV
// "will currently generate invalid HRD", and in fact refuses a new VBV while
// NAL HRD is on ("VBV parameters cannot be changed when NAL HRD is in use"),
// which would leave a live bit-rate change without effect. Hardware encoders
// on Windows mostly write none either; the rate control and the filler that
// keeps the rate constant are the same with or without it.
//
// Thread contract: one thread at a time per encoder (the transform's worker).
#pragma once

// x264.h expects the fixed-width integer types to be declared already.
#include <stdint.h>  // NOLINT(modernize-deprecated-headers)

#include <x264.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/error.h"

namespace quorvex::platform::host {

// The colour description an H.264 stream's VUI carries: codes of Rec. ITU-T
// H.264 tables E-3 to E-5, where 2 means "unspecified", and the range flag.
struct VuiColor {
  static constexpr int unspecified = 2;
  int primaries = unspecified;
  int transfer = unspecified;
  int matrix = unspecified;
  bool full_range = false;
  friend bool operator==(const VuiColor&, const VuiColor&) = default;
};

struct H264EncoderSettings {
  int width = 0;
  int height = 0;
  std::uint32_t fps_numerator = 30;
  std::uint32_t fps_denominator = 1;
  std::uint32_t bitrate_bps = 8'000'000;
  // CODECAPI_AVEncCommonMaxBitRate: the VBV's drain rate; absent means the
  // mean bit rate (constant bit rate).
  std::optional<std::uint32_t> max_bitrate_bps;
  // CODECAPI_AVEncCommonBufferSize in bytes, as H.264 encoders take it;
  // absent means one second of the bit rate.
  std::optional<std::uint32_t> buffer_bytes;
  std::uint32_t gop_size = 30;
  std::uint32_t quality_vs_speed = 33;  // 0 = fastest ... 100 = best quality
  VuiColor color;
};

// x264 preset for a CODECAPI_AVEncCommonQualityVsSpeed value.
[[nodiscard]] const char* preset_for_quality_vs_speed(std::uint32_t quality_vs_speed);

// Fills `params` for `settings` (preset, tune and profile applied); false when
// x264 refuses them. Shared with the benchmark's bare encode loop.
[[nodiscard]] bool make_x264_params(const H264EncoderSettings& settings, x264_param_t& params);

class X264Encoder {
 public:
  struct AccessUnit {
    std::vector<std::uint8_t> bytes;  // Annex B
    bool idr = false;
  };

  [[nodiscard]] static Result<std::unique_ptr<X264Encoder>> open(const H264EncoderSettings& settings);
  ~X264Encoder();
  X264Encoder(const X264Encoder&) = delete;
  X264Encoder& operator=(const X264Encoder&) = delete;

  // Encodes one NV12 picture of the configured size.
  [[nodiscard]] Result<AccessUnit> encode(const std::uint8_t* luma, std::ptrdiff_t luma_pitch,
                                          const std::uint8_t* chroma, std::ptrdiff_t chroma_pitch,
                                          bool force_idr);
  // The bit rate, peak rate and buffer of `settings`, while encoding
  // (x264_encoder_reconfig); the other fields are not looked at.
  [[nodiscard]] Status set_rates(const H264EncoderSettings& settings);
  [[nodiscard]] int delayed_frames() const;
  [[nodiscard]] const H264EncoderSettings& settings() const { return settings_; }

 private:
  X264Encoder(x264_t* encoder, const H264EncoderSettings& settings) : encoder_(encoder), settings_(settings) {}

  x264_t* encoder_;
  H264EncoderSettings settings_;
  std::int64_t next_pts_ = 0;
};

}  // namespace quorvex::platform::host
