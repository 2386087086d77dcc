// The video processor of the host device, built on libyuv: one input stream
// of BGRA is cut to its source rectangle, scaled with a bilinear filter into
// its destination rectangle of an NV12 output and converted with BT.601 or
// BT.709 limited-range coefficients; everything outside the destination
// rectangle gets the background colour. The GPU conversion relies on exactly
// this.
//
// Colour: full-range RGB in, studio-range YCbCr out with the output colour
// space's matrix: BT.601 through libyuv (also the processor's initial
// state), BT.709 through bgra_to_nv12_bt709 (libyuv has no such
// conversion). The colour spaces and the automatic-processing mode are
// stored as set; a blit while they ask for anything else fails with
// E_NOTIMPL instead of giving colours other than the ones asked for. The
// background colour is converted at blit time with the output's matrix. Automatic processing may stay on:
// this processor has no enhancements to apply.
//
// The source rectangle is converted at its own size and the planes are then
// scaled into the destination rectangle; only the surroundings are filled.
// Odd destination rectangles: luma is exact to the pixel; a chroma sample
// that straddles the rectangle's edge is blended with the background by the
// share of its 2x2 block the picture covers, as a GPU's chroma downsampling
// of the composed picture would.
//
// Thread contract: as the immediate context: calls are serialised by the
// context's lock; the objects may be created on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/d3d11.h"
#include "platform/host/host_texture.h"

namespace quorvex::platform::host {

class HostVideoProcessorEnumerator final : public d3d11::VideoProcessorEnumerator {
 public:
  explicit HostVideoProcessorEnumerator(const d3d11::VideoProcessorContentDesc& desc) : desc_(desc) {}
  [[nodiscard]] const d3d11::VideoProcessorContentDesc& desc() const { return desc_; }

 private:
  d3d11::VideoProcessorContentDesc desc_;
};

class HostVideoProcessorInputView final : public d3d11::VideoProcessorInputView {
 public:
  explicit HostVideoProcessorInputView(std::shared_ptr<HostTexture> texture) : texture_(std::move(texture)) {}
  [[nodiscard]] HostTexture& texture() const { return *texture_; }

 private:
  std::shared_ptr<HostTexture> texture_;
};

class HostVideoProcessorOutputView final : public d3d11::VideoProcessorOutputView {
 public:
  explicit HostVideoProcessorOutputView(std::shared_ptr<HostTexture> texture) : texture_(std::move(texture)) {}
  [[nodiscard]] HostTexture& texture() const { return *texture_; }

 private:
  std::shared_ptr<HostTexture> texture_;
};

// The processor's settings; changed and used under the context's lock.
class HostVideoProcessor final : public d3d11::VideoProcessor {
 public:
  struct Background {
    std::uint8_t y = 16, u = 128, v = 128;  // black
    std::uint8_t r = 0, g = 0, b = 0;
  };
  std::optional<Rect> source_rect;
  std::optional<Rect> dest_rect;
  d3d11::VideoColor background_color;  // RGBA black
  bool background_ycbcr = false;
  d3d11::VideoProcessorColorSpace stream_color_space;
  d3d11::VideoProcessorColorSpace output_color_space;
  bool auto_processing = true;
  std::vector<std::uint8_t> scratch;  // NV12 of the source rectangle, reused
};

class HostVideoDevice final : public d3d11::VideoDevice {
 public:
  Result<std::shared_ptr<d3d11::VideoProcessorEnumerator>> create_video_processor_enumerator(
      const d3d11::VideoProcessorContentDesc& desc) override;
  Result<std::shared_ptr<d3d11::VideoProcessor>> create_video_processor(
      d3d11::VideoProcessorEnumerator& enumerator, std::uint32_t rate_conversion_index) override;
  Result<std::shared_ptr<d3d11::VideoProcessorOutputView>> create_video_processor_output_view(
      d3d11::Resource& resource, d3d11::VideoProcessorEnumerator& enumerator,
      const d3d11::VideoProcessorOutputViewDesc& desc) override;
  Result<std::shared_ptr<d3d11::VideoProcessorInputView>> create_video_processor_input_view(
      d3d11::Resource& resource, d3d11::VideoProcessorEnumerator& enumerator,
      const d3d11::VideoProcessorInputViewDesc& desc) override;
};

class HostVideoContext final : public d3d11::VideoContext {
 public:
  explicit HostVideoContext(std::shared_ptr<std::recursive_mutex> context_lock)
      : lock_(std::move(context_lock)) {}
  void video_processor_set_stream_source_rect(d3d11::VideoProcessor& processor, std::uint32_t stream_index,
                                              bool enable, const Rect& rect) override;
  void video_processor_set_stream_dest_rect(d3d11::VideoProcessor& processor, std::uint32_t stream_index,
                                            bool enable, const Rect& rect) override;
  void video_processor_set_output_background_color(d3d11::VideoProcessor& processor, bool ycbcr,
                                                   const d3d11::VideoColor& color) override;
  void video_processor_set_stream_color_space(d3d11::VideoProcessor& processor, std::uint32_t stream_index,
                                              const d3d11::VideoProcessorColorSpace& color_space) override;
  void video_processor_set_output_color_space(d3d11::VideoProcessor& processor,
                                              const d3d11::VideoProcessorColorSpace& color_space) override;
  void video_processor_set_stream_auto_processing_mode(d3d11::VideoProcessor& processor, std::uint32_t stream_index,
                                                       bool enable) override;
  Status video_processor_blt(d3d11::VideoProcessor& processor, d3d11::VideoProcessorOutputView& output_view,
                             std::uint32_t output_frame,
                             std::span<const d3d11::VideoProcessorStream> streams) override;

 private:
  std::shared_ptr<std::recursive_mutex> lock_;
};

}  // namespace quorvex::platform::host
