#include "platform/host/host_texture.h"

#include "platform/host/host_status.h"

namespace quorvex::platform::host {

namespace {
// Row pitches are rounded up the way GPU drivers lay out linear surfaces,
// which also keeps SIMD rows aligned for libyuv and x264.
constexpr std::ptrdiff_t pitch_alignment = 64;
// D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION.
constexpr std::uint32_t max_dimension = 16384;
}  // namespace

HostTexture::HostTexture(const d3d11::Texture2DDesc& desc) : desc_(desc) {
  const std::ptrdiff_t row_bytes =
      static_cast<std::ptrdiff_t>(desc.width) * (desc.format == d3d11::Format::Nv12 ? 1 : 4);
  pitch_ = (row_bytes + pitch_alignment - 1) / pitch_alignment * pitch_alignment;
  const std::size_t rows =
      desc.format == d3d11::Format::Nv12 ? desc.height + desc.height / 2 : desc.height;
  memory_.assign(static_cast<std::size_t>(pitch_) * rows, 0);
}

Result<std::shared_ptr<HostTexture>> HostTexture::create(const d3d11::Texture2DDesc& desc) {
  const bool known_format = desc.format == d3d11::Format::B8G8R8A8Unorm || desc.format == d3d11::Format::Nv12;
  if (!known_format || desc.width == 0 || desc.height == 0 || desc.width > max_dimension ||
      desc.height > max_dimension || desc.mip_levels != 1 || desc.array_size != 1 || desc.sample_count != 1) {
    return host_fail(status::e_invalidarg);
  }
  // 4:2:0 surfaces need whole chroma samples.
  if (desc.format == d3d11::Format::Nv12 && (desc.width % 2 != 0 || desc.height % 2 != 0)) {
    return host_fail(status::e_invalidarg);
  }
  return std::make_shared<HostTexture>(desc);
}

HostTexture* HostTexture::from(d3d11::Texture2D& texture) { return dynamic_cast<HostTexture*>(&texture); }

HostTexture* HostTexture::from(d3d11::Resource& resource) { return dynamic_cast<HostTexture*>(&resource); }

Result<std::shared_ptr<d3d11::Resource>> HostTexture::query_resource() {
  return std::shared_ptr<d3d11::Resource>(shared_from_this());
}

}  // namespace quorvex::platform::host
