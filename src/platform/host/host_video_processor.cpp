#include "platform/host/host_video_processor.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_uv.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/host/bgra_to_nv12.h"
#include "platform/host/host_status.h"

namespace quorvex::platform::host {
namespace {

Rect intersect(const Rect& a, const Rect& b) {
  Rect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
         std::min(a.bottom, b.bottom)};
  if (r.right <= r.left || r.bottom <= r.top) {
    return Rect{};
  }
  return r;
}

bool empty(const Rect& r) { return r.right <= r.left || r.bottom <= r.top; }
int width_of(const Rect& r) { return r.right - r.left; }
int height_of(const Rect& r) { return r.bottom - r.top; }

std::uint8_t to_byte(double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

void fill_luma(HostTexture& out, int left, int top, int right, int bottom, std::uint8_t y) {
  if (right > left && bottom > top) {
    libyuv::SetPlane(out.data() + top * out.pitch() + left, static_cast<int>(out.pitch()), right - left,
                     bottom - top, y);
  }
}

// Chroma coordinates: one sample per 2x2 luma pixels.
void fill_chroma(HostTexture& out, int left, int top, int right, int bottom, std::uint8_t u, std::uint8_t v) {
  if (right <= left || bottom <= top) {
    return;
  }
  for (int row = top; row < bottom; ++row) {
    std::uint8_t* p = out.chroma() + row * out.pitch() + left * 2;
    if (u == v) {
      std::memset(p, u, static_cast<std::size_t>(right - left) * 2);
    } else {
      for (int i = 0; i < right - left; ++i) {
        p[2 * i] = u;
        p[2 * i + 1] = v;
      }
    }
  }
}

// Everything outside `luma_area` (luma) and `chroma_area` (luma units, even
// edges) gets the background.
void fill_surroundings(HostTexture& out, const Rect& luma_area, const Rect& chroma_area,
                       const HostVideoProcessor::Background& bg) {
  const int w = out.width();
  const int h = out.height();
  if (empty(luma_area)) {
    fill_luma(out, 0, 0, w, h, bg.y);
    fill_chroma(out, 0, 0, w / 2, h / 2, bg.u, bg.v);
    return;
  }
  fill_luma(out, 0, 0, w, luma_area.top, bg.y);
  fill_luma(out, 0, luma_area.bottom, w, h, bg.y);
  fill_luma(out, 0, luma_area.top, luma_area.left, luma_area.bottom, bg.y);
  fill_luma(out, luma_area.right, luma_area.top, w, luma_area.bottom, bg.y);
  const Rect c{chroma_area.left / 2, chroma_area.top / 2, chroma_area.right / 2, chroma_area.bottom / 2};
  fill_chroma(out, 0, 0, w / 2, c.top, bg.u, bg.v);
  fill_chroma(out, 0, c.bottom, w / 2, h / 2, bg.u, bg.v);
  fill_chroma(out, 0, c.top, c.left, c.bottom, bg.u, bg.v);
  fill_chroma(out, c.right, c.top, w / 2, c.bottom, bg.u, bg.v);
}

// Blends chroma samples on an odd edge of the picture with the background by
// the share of their 2x2 block the picture covers.
void blend_chroma_edges(HostTexture& out, const Rect& dest, const Rect& chroma,
                        const HostVideoProcessor::Background& bg) {
  auto weight_x = [&](int cx) {
    double w = 1.0;
    if (cx == chroma.left && dest.left % 2 != 0) w *= 0.5;
    if (cx == chroma.right - 1 && dest.right % 2 != 0) w *= 0.5;
    return w;
  };
  auto weight_y = [&](int cy) {
    double w = 1.0;
    if (cy == chroma.top && dest.top % 2 != 0) w *= 0.5;
    if (cy == chroma.bottom - 1 && dest.bottom % 2 != 0) w *= 0.5;
    return w;
  };
  auto blend = [&](int cx, int cy) {
    const double w = weight_x(cx) * weight_y(cy);
    if (w >= 1.0) return;
    std::uint8_t* p = out.chroma() + cy * out.pitch() + cx * 2;
    p[0] = to_byte(bg.u + (p[0] - bg.u) * w);
    p[1] = to_byte(bg.v + (p[1] - bg.v) * w);
  };
  for (int cy = chroma.top; cy < chroma.bottom; ++cy) {
    const bool edge_row = (cy == chroma.top && dest.top % 2 != 0) || (cy == chroma.bottom - 1 && dest.bottom % 2 != 0);
    if (edge_row) {
      for (int cx = chroma.left; cx < chroma.right; ++cx) blend(cx, cy);
    } else {
      if (dest.left % 2 != 0) blend(chroma.left, cy);
      if (dest.right % 2 != 0 && chroma.right - 1 != chroma.left) blend(chroma.right - 1, cy);
    }
  }
}

using ToNv12 = void (*)(const std::uint8_t*, int, std::uint8_t*, int, std::uint8_t*, int, int, int);

void bgra_to_nv12_bt601(const std::uint8_t* src, int src_stride, std::uint8_t* y, int y_stride, std::uint8_t* uv,
                        int uv_stride, int width, int height) {
  libyuv::ARGBToNV12(src, src_stride, y, y_stride, uv, uv_stride, width, height);
}

ToNv12 converter_for(const HostVideoProcessor& p) {
  return p.output_color_space.ycbcr_matrix == d3d11::ycbcr_matrix_bt709 ? bgra_to_nv12_bt709 : bgra_to_nv12_bt601;
}

// The background in the output's matrix, as a GPU converts it at blit time.
HostVideoProcessor::Background background_of(const HostVideoProcessor& p) {
  const d3d11::VideoColor& color = p.background_color;
  const bool bt709 = p.output_color_space.ycbcr_matrix == d3d11::ycbcr_matrix_bt709;
  const double kr = bt709 ? 0.2126 : 0.299;
  const double kb = bt709 ? 0.0722 : 0.114;
  const double kg = 1.0 - kr - kb;
  double r, g, b, y, u, v;
  if (p.background_ycbcr) {
    y = color.r_or_y * 255.0;
    u = color.g_or_cb * 255.0;
    v = color.b_or_cr * 255.0;
    const double yn = (y - 16) / 219.0;
    const double pb = (u - 128) / 224.0;
    const double pr = (v - 128) / 224.0;
    const double rn = yn + 2 * (1 - kr) * pr;
    const double bn = yn + 2 * (1 - kb) * pb;
    const double gn = (yn - kr * rn - kb * bn) / kg;
    r = rn * 255.0;
    g = gn * 255.0;
    b = bn * 255.0;
  } else {
    const double rn = std::clamp(static_cast<double>(color.r_or_y), 0.0, 1.0);
    const double gn = std::clamp(static_cast<double>(color.g_or_cb), 0.0, 1.0);
    const double bn = std::clamp(static_cast<double>(color.b_or_cr), 0.0, 1.0);
    r = rn * 255.0;
    g = gn * 255.0;
    b = bn * 255.0;
    const double yn = kr * rn + kg * gn + kb * bn;
    y = 16.0 + 219.0 * yn;
    u = 128.0 + 224.0 * (bn - yn) / (2 * (1 - kb));
    v = 128.0 + 224.0 * (rn - yn) / (2 * (1 - kr));
  }
  return HostVideoProcessor::Background{to_byte(y), to_byte(u), to_byte(v), to_byte(r), to_byte(g), to_byte(b)};
}

void blit(HostVideoProcessor& processor, HostTexture& in, HostTexture& out, bool stream_enabled) {
  const Rect in_bounds{0, 0, in.width(), in.height()};
  const Rect out_bounds{0, 0, out.width(), out.height()};
  const Rect source = intersect(processor.source_rect.value_or(in_bounds), in_bounds);
  const Rect requested_dest = processor.dest_rect.value_or(out_bounds);
  const Rect dest = intersect(requested_dest, out_bounds);
  const HostVideoProcessor::Background bg = background_of(processor);
  const ToNv12 to_nv12 = converter_for(processor);
  if (!stream_enabled || empty(source) || empty(dest)) {
    fill_surroundings(out, Rect{}, Rect{}, bg);
    return;
  }
  // The part of the source that lands on the visible part of the destination
  // (the same as `source` unless the destination hangs over the output edge).
  Rect src = source;
  if (dest != requested_dest) {
    const double sx = static_cast<double>(width_of(source)) / width_of(requested_dest);
    const double sy = static_cast<double>(height_of(source)) / height_of(requested_dest);
    src.left = source.left + static_cast<int>(std::lround((dest.left - requested_dest.left) * sx));
    src.top = source.top + static_cast<int>(std::lround((dest.top - requested_dest.top) * sy));
    src.right = std::max(src.left + 1, source.left + static_cast<int>(std::lround((dest.right - requested_dest.left) * sx)));
    src.bottom = std::max(src.top + 1, source.top + static_cast<int>(std::lround((dest.bottom - requested_dest.top) * sy)));
    src = intersect(src, in_bounds);
  }
  // Chroma samples the picture touches, in chroma coordinates.
  const Rect chroma{dest.left / 2, dest.top / 2, (dest.right + 1) / 2, (dest.bottom + 1) / 2};
  fill_surroundings(out, dest, Rect{chroma.left * 2, chroma.top * 2, chroma.right * 2, chroma.bottom * 2}, bg);

  const int dw = width_of(dest);
  const int dh = height_of(dest);
  const int sw = width_of(src);
  const int sh = height_of(src);
  const std::uint8_t* src_pixels = in.data() + src.top * in.pitch() + src.left * 4;
  const int src_stride = static_cast<int>(in.pitch());
  const int out_stride = static_cast<int>(out.pitch());
  const bool aligned = dest.left % 2 == 0 && dest.top % 2 == 0 && dest.right % 2 == 0 && dest.bottom % 2 == 0;
  if (aligned && sw == dw && sh == dh) {
    to_nv12(src_pixels, src_stride, out.data() + dest.top * out.pitch() + dest.left, out_stride,
            out.chroma() + chroma.top * out.pitch() + chroma.left * 2, out_stride, dw, dh);
    return;
  }
  // Convert at the source's size, then scale the planes: libyuv's planar
  // filters keep flat colours exact, where its BGRA filter darkens white by
  // two levels.
  const int scw = (sw + 1) / 2;
  const int sch = (sh + 1) / 2;
  processor.scratch.resize(static_cast<std::size_t>(sw) * sh + static_cast<std::size_t>(scw) * 2 * sch);
  std::uint8_t* scratch_y = processor.scratch.data();
  std::uint8_t* scratch_uv = scratch_y + static_cast<std::size_t>(sw) * sh;
  to_nv12(src_pixels, src_stride, scratch_y, sw, scratch_uv, scw * 2, sw, sh);
  libyuv::ScalePlane(scratch_y, sw, sw, sh, out.data() + dest.top * out.pitch() + dest.left, out_stride, dw, dh,
                     libyuv::kFilterBilinear);
  libyuv::UVScale(scratch_uv, scw * 2, scw, sch, out.chroma() + chroma.top * out.pitch() + chroma.left * 2,
                  out_stride, width_of(chroma), height_of(chroma), libyuv::kFilterBilinear);
  if (!aligned) {
    blend_chroma_edges(out, dest, chroma, bg);
  }
}

// What the conversions do: full-range RGB in (the other fields describe
// YCbCr input and do not apply to BGRA), BT.601 (libyuv's ARGBToNV12) or
// BT.709 conventional studio range out (RGB_Range does not apply to YCbCr
// output).
bool converts(const HostVideoProcessor& p) {
  const d3d11::VideoProcessorColorSpace& out = p.output_color_space;
  return p.stream_color_space.rgb_range == d3d11::rgb_range_full &&
         (out.ycbcr_matrix == d3d11::ycbcr_matrix_bt601 || out.ycbcr_matrix == d3d11::ycbcr_matrix_bt709) &&
         out.ycbcr_xvycc == 0 &&
         (out.nominal_range == d3d11::nominal_range_undefined || out.nominal_range == d3d11::nominal_range_16_235);
}

}  // namespace

Result<std::shared_ptr<d3d11::VideoProcessorEnumerator>> HostVideoDevice::create_video_processor_enumerator(
    const d3d11::VideoProcessorContentDesc& desc) {
  if (desc.input_width == 0 || desc.input_height == 0 || desc.output_width == 0 || desc.output_height == 0) {
    return host_fail(status::e_invalidarg);
  }
  return std::shared_ptr<d3d11::VideoProcessorEnumerator>(std::make_shared<HostVideoProcessorEnumerator>(desc));
}

Result<std::shared_ptr<d3d11::VideoProcessor>> HostVideoDevice::create_video_processor(
    d3d11::VideoProcessorEnumerator& enumerator, std::uint32_t rate_conversion_index) {
  // One rate-conversion capability: index 0.
  if (dynamic_cast<HostVideoProcessorEnumerator*>(&enumerator) == nullptr || rate_conversion_index != 0) {
    return host_fail(status::e_invalidarg);
  }
  return std::shared_ptr<d3d11::VideoProcessor>(std::make_shared<HostVideoProcessor>());
}

Result<std::shared_ptr<d3d11::VideoProcessorOutputView>> HostVideoDevice::create_video_processor_output_view(
    d3d11::Resource& resource, d3d11::VideoProcessorEnumerator& enumerator,
    const d3d11::VideoProcessorOutputViewDesc& desc) {
  HostTexture* texture = HostTexture::from(resource);
  if (texture == nullptr || dynamic_cast<HostVideoProcessorEnumerator*>(&enumerator) == nullptr ||
      desc.view_dimension != d3d11::vpov_dimension_texture2d || desc.mip_slice != 0 ||
      texture->format() != d3d11::Format::Nv12) {
    return host_fail(status::e_invalidarg);
  }
  return std::shared_ptr<d3d11::VideoProcessorOutputView>(
      std::make_shared<HostVideoProcessorOutputView>(texture->shared_from_this()));
}

Result<std::shared_ptr<d3d11::VideoProcessorInputView>> HostVideoDevice::create_video_processor_input_view(
    d3d11::Resource& resource, d3d11::VideoProcessorEnumerator& enumerator,
    const d3d11::VideoProcessorInputViewDesc& desc) {
  HostTexture* texture = HostTexture::from(resource);
  if (texture == nullptr || dynamic_cast<HostVideoProcessorEnumerator*>(&enumerator) == nullptr ||
      desc.view_dimension != d3d11::vpiv_dimension_texture2d || desc.mip_slice != 0 || desc.array_slice != 0 ||
      texture->format() != d3d11::Format::B8G8R8A8Unorm) {
    return host_fail(status::e_invalidarg);
  }
  return std::shared_ptr<d3d11::VideoProcessorInputView>(
      std::make_shared<HostVideoProcessorInputView>(texture->shared_from_this()));
}

void HostVideoContext::video_processor_set_stream_source_rect(d3d11::VideoProcessor& processor,
                                                              std::uint32_t stream_index, bool enable,
                                                              const Rect& rect) {
  auto* p = dynamic_cast<HostVideoProcessor*>(&processor);
  if (p == nullptr || stream_index != 0) {
    return;  // the call has no status to report
  }
  std::lock_guard lock(*lock_);
  p->source_rect = enable ? std::optional<Rect>(rect) : std::nullopt;
}

void HostVideoContext::video_processor_set_stream_dest_rect(d3d11::VideoProcessor& processor,
                                                            std::uint32_t stream_index, bool enable,
                                                            const Rect& rect) {
  auto* p = dynamic_cast<HostVideoProcessor*>(&processor);
  if (p == nullptr || stream_index != 0) {
    return;
  }
  std::lock_guard lock(*lock_);
  p->dest_rect = enable ? std::optional<Rect>(rect) : std::nullopt;
}

void HostVideoContext::video_processor_set_output_background_color(d3d11::VideoProcessor& processor, bool ycbcr,
                                                                   const d3d11::VideoColor& color) {
  auto* p = dynamic_cast<HostVideoProcessor*>(&processor);
  if (p == nullptr) {
    return;
  }
  // Converted at blit time, in the output colour space of that moment.
  std::lock_guard lock(*lock_);
  p->background_color = color;
  p->background_ycbcr = ycbcr;
}

void HostVideoContext::video_processor_set_stream_color_space(d3d11::VideoProcessor& processor,
                                                              std::uint32_t stream_index,
                                                              const d3d11::VideoProcessorColorSpace& color_space) {
  auto* p = dynamic_cast<HostVideoProcessor*>(&processor);
  if (p == nullptr || stream_index != 0) {
    return;
  }
  std::lock_guard lock(*lock_);
  p->stream_color_space = color_space;
}

void HostVideoContext::video_processor_set_output_color_space(d3d11::VideoProcessor& processor,
                                                              const d3d11::VideoProcessorColorSpace& color_space) {
  auto* p = dynamic_cast<HostVideoProcessor*>(&processor);
  if (p == nullptr) {
    return;
  }
  std::lock_guard lock(*lock_);
  p->output_color_space = color_space;
}

void HostVideoContext::video_processor_set_stream_auto_processing_mode(d3d11::VideoProcessor& processor,
                                                                       std::uint32_t stream_index, bool enable) {
  auto* p = dynamic_cast<HostVideoProcessor*>(&processor);
  if (p == nullptr || stream_index != 0) {
    return;
  }
  std::lock_guard lock(*lock_);
  p->auto_processing = enable;
}

Status HostVideoContext::video_processor_blt(d3d11::VideoProcessor& processor,
                                             d3d11::VideoProcessorOutputView& output_view, std::uint32_t,
                                             std::span<const d3d11::VideoProcessorStream> streams) {
  auto* p = dynamic_cast<HostVideoProcessor*>(&processor);
  auto* out = dynamic_cast<HostVideoProcessorOutputView*>(&output_view);
  // One input stream is all this processor offers.
  if (p == nullptr || out == nullptr || streams.size() != 1 || streams[0].output_index != 0) {
    return host_fail(status::e_invalidarg);
  }
  HostVideoProcessorInputView* in = nullptr;
  if (streams[0].enable) {
    in = dynamic_cast<HostVideoProcessorInputView*>(streams[0].input_surface.get());
    if (in == nullptr) {
      return host_fail(status::e_invalidarg);
    }
  }
  std::lock_guard lock(*lock_);
  if (!converts(*p)) {
    return host_fail(status::e_notimpl);
  }
  if (in == nullptr) {
    fill_surroundings(out->texture(), Rect{}, Rect{}, background_of(*p));
    return {};
  }
  blit(*p, in->texture(), out->texture(), true);
  return {};
}

}  // namespace quorvex::platform::host
