#include "platform/host/host_texture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

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
  size_ = static_cast<std::size_t>(pitch_) * rows;
  memory_.reset(static_cast<std::uint8_t*>(std::calloc(size_, 1)));
  if (!memory_) throw std::bad_alloc();
  data_ = memory_.get();
}

HostTexture::~HostTexture() {
  if (shared_fd_ >= 0) {
    ::munmap(data_, size_);
    ::close(shared_fd_);
  }
}

Result<std::shared_ptr<HostTexture>> HostTexture::create_shareable(const d3d11::Texture2DDesc& desc) {
  auto texture = create(desc);
  if (!texture) return texture;
  HostTexture& t = **texture;
  const int fd = ::memfd_create("qvx-texture", MFD_CLOEXEC);
  if (fd < 0) return texture;
  void* mapped = MAP_FAILED;
  if (::ftruncate(fd, static_cast<off_t>(t.size_)) == 0) {
    mapped = ::mmap(nullptr, t.size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  if (mapped == MAP_FAILED) {
    ::close(fd);
    return texture;
  }
  // A fresh memfd reads as zeros, like the plain texture it replaces.
  t.memory_.reset();
  t.data_ = static_cast<std::uint8_t*>(mapped);
  t.shared_fd_ = fd;
  return texture;
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
