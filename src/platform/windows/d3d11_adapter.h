// platform::d3d11 over Direct3D 11 and DXGI. The object classes are visible
// to the other Windows adapters, which hand the native interfaces on (the
// device to the encoder's device manager, textures to media buffers, the
// DXGI device to the capture service).
//
// Thread contract: as the interfaces they wrap; each object only forwards.
#pragma once

#include <d3d11.h>
#include <d3d11_4.h>
#include <dxgi.h>
#include <wrl/client.h>

#include "platform/d3d11.h"

namespace quorvex::platform::windows {

using Microsoft::WRL::ComPtr;

class D3D11Resource final : public d3d11::Resource {
 public:
  explicit D3D11Resource(ComPtr<ID3D11Resource> native) : native_(std::move(native)) {}
  [[nodiscard]] ID3D11Resource* native() const { return native_.Get(); }

 private:
  ComPtr<ID3D11Resource> native_;
};

class D3D11Texture2D final : public d3d11::Texture2D {
 public:
  explicit D3D11Texture2D(ComPtr<ID3D11Texture2D> native) : native_(std::move(native)) {}
  d3d11::Texture2DDesc get_desc() override;
  Result<std::shared_ptr<d3d11::Resource>> query_resource() override;
  [[nodiscard]] ID3D11Texture2D* native() const { return native_.Get(); }

 private:
  ComPtr<ID3D11Texture2D> native_;
};

class D3D11Device final : public d3d11::Device {
 public:
  explicit D3D11Device(ComPtr<ID3D11Device> native) : native_(std::move(native)) {}
  Result<std::shared_ptr<d3d11::Texture2D>> create_texture_2d(const d3d11::Texture2DDesc& desc) override;
  Result<std::shared_ptr<d3d11::VideoDevice>> query_video_device() override;
  Result<std::shared_ptr<d3d11::DxgiDevice>> query_dxgi_device() override;
  Status get_device_removed_reason() override;
  [[nodiscard]] ID3D11Device* native() const { return native_.Get(); }

 private:
  ComPtr<ID3D11Device> native_;
};

class DxgiDeviceAdapter final : public d3d11::DxgiDevice {
 public:
  explicit DxgiDeviceAdapter(ComPtr<IDXGIDevice> native) : native_(std::move(native)) {}
  [[nodiscard]] IDXGIDevice* native() const { return native_.Get(); }
  Result<LocallyUniqueId> get_adapter_luid() override;

 private:
  ComPtr<IDXGIDevice> native_;
};

class D3D11Adapter final : public d3d11::D3D11 {
 public:
  Result<d3d11::CreatedDevice> create_device(d3d11::DriverType driver_type, std::uint32_t flags,
                                             std::span<const d3d11::FeatureLevel> feature_levels,
                                             std::uint32_t sdk_version) override;
};

}  // namespace quorvex::platform::windows
