// GPU conversion of a captured BGRA texture into an NV12 texture of the
// encoder's size with the Direct3D 11 video processor, letterboxed and
// optionally cropped (full-range RGB to BT.601 studio range, no driver
// enhancements), plus the pool of NV12 surfaces that carry converted
// frames through the frame mailbox and the encoder.
//
// Thread contract: a converter lives in EncoderState::converter and is used
// only with the encoder-state lock held.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>

#include "app/error.h"
#include "platform/d3d11.h"
#include "sender/letterbox.h"

namespace quorvex::app {

inline constexpr std::string_view no_nv12_texture_message = "D3D11 returned no NV12 texture";
inline constexpr std::string_view no_output_view_message = "D3D11 returned no video processor output view";
inline constexpr std::string_view no_input_view_message = "D3D11 returned no video processor input view";
inline constexpr std::string_view no_free_surface_message =
    "no free NV12 surface although the frame mailbox holds at most two";

// One NV12 surface of the pool; dropping it releases both interfaces.
struct GpuSurface {
  std::shared_ptr<platform::d3d11::Texture2D> texture;
  std::shared_ptr<platform::d3d11::VideoProcessorOutputView> output_view;
};

class GpuConverter {
 public:
  // The frame in hand, one waiting in the mailbox and two inside the encoder.
  // The pool grows (add_surfaces) for an encoder that holds more.
  static constexpr std::size_t pool_size = 4;

  [[nodiscard]] static Result<GpuConverter> build(platform::d3d11::Device& device,
                                                  platform::d3d11::DeviceContext& context,
                                                  std::uint32_t input_width, std::uint32_t input_height,
                                                  std::uint32_t output_width, std::uint32_t output_height,
                                                  std::uint32_t fps);

  // Adds `count` surfaces to the free pool.
  [[nodiscard]] Result<void> add_surfaces(platform::d3d11::Device& device, std::size_t count);

  // Fills the surface at the front of the pool with `source` (or its `crop`,
  // in source pixels) scaled into the letterbox rectangle. A crop stays set
  // on the processor for later frames.
  [[nodiscard]] Result<GpuSurface> convert(platform::d3d11::Texture2D& source,
                                           const std::optional<sender::FrameRect>& crop);

  // Declared first so the interfaces below are released before the surfaces.
  // Taken from the front, returned at the back (EncoderState::recycle).
  std::deque<GpuSurface> free_surfaces;
  // Surfaces made for this converter, wherever they are now.
  std::size_t surface_count = 0;
  std::uint32_t input_width = 0;
  std::uint32_t input_height = 0;
  std::uint32_t output_width = 0;
  std::uint32_t output_height = 0;
  std::shared_ptr<platform::d3d11::VideoProcessor> processor;
  std::shared_ptr<platform::d3d11::VideoProcessorEnumerator> enumerator;
  std::shared_ptr<platform::d3d11::VideoContext> video_context;
  std::shared_ptr<platform::d3d11::VideoDevice> video_device;
};

}  // namespace quorvex::app
