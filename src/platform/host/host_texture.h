// A texture of the host device: plain memory owned by the stand-in, BGRA
// (4 bytes per pixel) or NV12 (a luma plane followed by an interleaved
// half-size chroma plane, both with the same row pitch). Tests and the
// stand-in's own encoder reach the pixels through HostTexture::from.
//
// Thread contract: description and pixel pointers may be read from any
// thread; who writes the pixels when is the users' business, as it is for a
// GPU texture (the program hands a surface to the encoder and does not touch
// it until the encoder is done with it).
#pragma once

#include <cstdlib>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/d3d11.h"

namespace quorvex::platform::host {

class HostTexture final : public d3d11::Texture2D,
                          public d3d11::Resource,
                          public std::enable_shared_from_this<HostTexture> {
 public:
  // Checks the description the way CreateTexture2D does.
  [[nodiscard]] static Result<std::shared_ptr<HostTexture>> create(const d3d11::Texture2DDesc& desc);
  // The same, in memory another process can map too (a memfd): an X server
  // then writes captured pixels straight into it. Plain memory when the
  // system has no memfd.
  [[nodiscard]] static Result<std::shared_ptr<HostTexture>> create_shareable(const d3d11::Texture2DDesc& desc);
  // The host texture behind an interface, or null for a foreign one.
  [[nodiscard]] static HostTexture* from(d3d11::Texture2D& texture);
  [[nodiscard]] static HostTexture* from(d3d11::Resource& resource);

  d3d11::Texture2DDesc get_desc() override { return desc_; }
  Result<std::shared_ptr<d3d11::Resource>> query_resource() override;

  [[nodiscard]] int width() const { return static_cast<int>(desc_.width); }
  [[nodiscard]] int height() const { return static_cast<int>(desc_.height); }
  [[nodiscard]] d3d11::Format format() const { return desc_.format; }
  [[nodiscard]] std::ptrdiff_t pitch() const { return pitch_; }
  // BGRA pixels, or the NV12 luma plane.
  [[nodiscard]] std::uint8_t* data() { return data_; }
  // NV12 chroma plane (null for BGRA).
  [[nodiscard]] std::uint8_t* chroma() {
    return desc_.format == d3d11::Format::Nv12 ? data_ + pitch_ * height() : nullptr;
  }
  [[nodiscard]] std::size_t size_bytes() const { return size_; }
  // The memfd behind a shareable texture, or -1.
  [[nodiscard]] int shared_fd() const { return shared_fd_; }

  explicit HostTexture(const d3d11::Texture2DDesc& desc);
  ~HostTexture() override;
  HostTexture(const HostTexture&) = delete;
  HostTexture& operator=(const HostTexture&) = delete;

 private:
  d3d11::Texture2DDesc desc_;
  std::ptrdiff_t pitch_ = 0;
  std::size_t size_ = 0;
  struct Free {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  // Plain textures. calloc: a large block comes as fresh zero pages that
  // cost nothing until written, where filling a vector with zeros touched
  // every page at creation (tens of milliseconds for a 1080p frame pool and
  // the converter's surfaces, all before the first frame).
  std::unique_ptr<std::uint8_t[], Free> memory_;
  int shared_fd_ = -1;                // shareable textures: the memfd mapped at data_
  std::uint8_t* data_ = nullptr;
};

}  // namespace quorvex::platform::host
