#include "app/pipeline/gpu_converter.h"

#include <string>
#include <utility>

#include "app/platform_error.h"
#include "sender/picture_colour.h"

namespace quorvex::app {
namespace d3d = platform::d3d11;

namespace {

platform::Rect to_rect(const sender::FrameRect& r) {
  return {static_cast<std::int32_t>(r.left), static_cast<std::int32_t>(r.top),
          static_cast<std::int32_t>(r.right), static_cast<std::int32_t>(r.bottom)};
}

// Captured desktop pixels are BGRA using all 256 levels.
constexpr d3d::VideoProcessorColorSpace capture_color_space{.rgb_range = d3d::rgb_range_full};
// Studio range with the matrix a player guesses for the output size, which
// is also what the encoder's output type announces.
d3d::VideoProcessorColorSpace encoder_color_space(std::uint32_t output_width, std::uint32_t output_height) {
  const bool bt709 = sender::picture_colour_matrix(output_width, output_height) == sender::ColourMatrix::Bt709;
  return {.ycbcr_matrix = bt709 ? d3d::ycbcr_matrix_bt709 : d3d::ycbcr_matrix_bt601,
          .nominal_range = d3d::nominal_range_16_235};
}
// Driver enhancements (contrast, noise reduction, ...) would change the
// colours the stream announces.
constexpr bool auto_processing = false;

d3d::Texture2DDesc nv12_desc(std::uint32_t width, std::uint32_t height) {
  d3d::Texture2DDesc desc;
  desc.width = width;
  desc.height = height;
  desc.mip_levels = 1;
  desc.array_size = 1;
  desc.format = d3d::Format::Nv12;
  desc.sample_count = 1;
  desc.sample_quality = 0;
  desc.usage = d3d::usage_default;
  // Written by the video processor, read in place by the encoder.
  desc.bind_flags = d3d::bind_render_target | d3d::bind_video_encoder;
  return desc;
}

}  // namespace

Result<GpuConverter> GpuConverter::build(d3d::Device& device, d3d::DeviceContext& context,
                                         std::uint32_t input_width, std::uint32_t input_height,
                                         std::uint32_t output_width, std::uint32_t output_height,
                                         std::uint32_t fps) {
  GpuConverter converter;
  converter.input_width = input_width;
  converter.input_height = input_height;
  converter.output_width = output_width;
  converter.output_height = output_height;

  auto video_device = device.query_video_device();
  if (!video_device) {
    return fail_platform(video_device.error());
  }
  if (!*video_device) {
    return fail_status(platform::status::e_pointer);
  }
  converter.video_device = std::move(*video_device);
  auto video_context = context.query_video_context();
  if (!video_context) {
    return fail_platform(video_context.error());
  }
  if (!*video_context) {
    return fail_status(platform::status::e_pointer);
  }
  converter.video_context = std::move(*video_context);

  d3d::VideoProcessorContentDesc content;
  content.input_frame_format = 0;
  content.input_frame_rate = {fps, 1};
  content.input_width = input_width;
  content.input_height = input_height;
  content.output_frame_rate = {fps, 1};
  content.output_width = output_width;
  content.output_height = output_height;
  content.usage = 0;
  auto enumerator = converter.video_device->create_video_processor_enumerator(content);
  if (!enumerator) {
    return fail_platform(enumerator.error());
  }
  if (!*enumerator) {
    return fail_status(platform::status::e_pointer);
  }
  converter.enumerator = std::move(*enumerator);
  auto processor = converter.video_device->create_video_processor(*converter.enumerator, 0);
  if (!processor) {
    return fail_platform(processor.error());
  }
  if (!*processor) {
    return fail_status(platform::status::e_pointer);
  }
  converter.processor = std::move(*processor);

  converter.video_context->video_processor_set_stream_color_space(*converter.processor, 0, capture_color_space);
  converter.video_context->video_processor_set_output_color_space(*converter.processor,
                                                                encoder_color_space(output_width, output_height));
  converter.video_context->video_processor_set_stream_auto_processing_mode(*converter.processor, 0,
                                                                          auto_processing);
  converter.video_context->video_processor_set_stream_dest_rect(
      *converter.processor, 0, true,
      to_rect(sender::letterbox_rect(input_width, input_height, output_width, output_height)));
  // RGBA black, so the bars around a letterboxed picture are black.
  converter.video_context->video_processor_set_output_background_color(*converter.processor, false,
                                                                        d3d::VideoColor{0, 0, 0, 0});

  if (auto added = converter.add_surfaces(device, pool_size); !added) {
    return std::unexpected(added.error());
  }
  return converter;
}

Result<void> GpuConverter::add_surfaces(d3d::Device& device, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    auto texture = device.create_texture_2d(nv12_desc(output_width, output_height));
    if (!texture) {
      return fail_platform(texture.error());
    }
    if (!*texture) {
      return fail(std::string(no_nv12_texture_message));
    }
    auto resource = (*texture)->query_resource();
    if (!resource) {
      return fail_platform(resource.error());
    }
    if (!*resource) {
      return fail_status(platform::status::e_pointer);
    }
    auto view = video_device->create_video_processor_output_view(
        **resource, *enumerator, d3d::VideoProcessorOutputViewDesc{});
    if (!view) {
      return fail_platform(view.error());
    }
    if (!*view) {
      return fail(std::string(no_output_view_message));
    }
    free_surfaces.push_back(GpuSurface{std::move(*texture), std::move(*view)});
    ++surface_count;
  }
  return {};
}

Result<GpuSurface> GpuConverter::convert(d3d::Texture2D& source,
                                         const std::optional<sender::FrameRect>& crop) {
  if (free_surfaces.empty()) {
    return fail(std::string(no_free_surface_message));
  }
  GpuSurface surface = std::move(free_surfaces.front());
  free_surfaces.pop_front();

  if (crop) {
    video_context->video_processor_set_stream_source_rect(*processor, 0, true, to_rect(*crop));
    video_context->video_processor_set_stream_dest_rect(
        *processor, 0, true,
        to_rect(sender::letterbox_rect(crop->width(), crop->height(), output_width, output_height)));
  }

  // On these failures the surface is released with the frame; the session
  // ends with the error anyway.
  auto resource = source.query_resource();
  if (!resource) {
    return fail_platform(resource.error());
  }
  if (!*resource) {
    return fail_status(platform::status::e_pointer);
  }
  auto input_view = video_device->create_video_processor_input_view(
      **resource, *enumerator, d3d::VideoProcessorInputViewDesc{});
  if (!input_view) {
    return fail_platform(input_view.error());
  }
  if (!*input_view) {
    return fail(std::string(no_input_view_message));
  }

  d3d::VideoProcessorStream stream;
  stream.enable = true;
  stream.output_index = 0;
  stream.input_frame_or_field = 0;
  stream.input_surface = std::move(*input_view);
  auto blitted = video_context->video_processor_blt(*processor, *surface.output_view, 0,
                                                    std::span<const d3d::VideoProcessorStream>(&stream, 1));
  stream.input_surface.reset();
  if (!blitted) {
    free_surfaces.push_back(std::move(surface));
    return fail_platform(blitted.error());
  }
  return surface;
}

}  // namespace quorvex::app
