// Direct3D 11 over plain memory: a device at feature level 11_1 (or a lower
// level a test asks for), memory-backed BGRA and NV12 textures, the immediate
// context with its multithread switch, the DXGI device the capture service
// wants, and the video interfaces (host_video_processor.h).
//
// Thread contract: the device and factory are free-threaded. Context calls
// are always serialised by the context's own lock, whether or not the
// program switches multithread protection on (the switch is remembered and
// reported back, nothing more), so a forgetful caller cannot corrupt state.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/d3d11.h"

namespace quorvex::platform::host {

class HostDevice final : public d3d11::Device, public std::enable_shared_from_this<HostDevice> {
 public:
  // `removed_reason` is shared with the HostD3D11 that made the device; 0
  // while the device works.
  explicit HostDevice(std::shared_ptr<std::atomic<std::uint32_t>> removed_reason =
                          std::make_shared<std::atomic<std::uint32_t>>(0))
      : removed_reason_(std::move(removed_reason)) {}
  Result<std::shared_ptr<d3d11::Texture2D>> create_texture_2d(const d3d11::Texture2DDesc& desc) override;
  Result<std::shared_ptr<d3d11::VideoDevice>> query_video_device() override;
  Result<std::shared_ptr<d3d11::DxgiDevice>> query_dxgi_device() override;
  Status get_device_removed_reason() override;

 private:
  std::shared_ptr<std::atomic<std::uint32_t>> removed_reason_;
};

// IDXGIDevice of a host device.
// The LUID of the stand-in's one virtual adapter.
inline constexpr LocallyUniqueId host_adapter_luid{0x51, 0};

class HostDxgiDevice final : public d3d11::DxgiDevice {
 public:
  explicit HostDxgiDevice(std::shared_ptr<HostDevice> device) : device_(std::move(device)) {}
  Result<LocallyUniqueId> get_adapter_luid() override { return host_adapter_luid; }
  [[nodiscard]] const std::shared_ptr<HostDevice>& device() const { return device_; }

 private:
  std::shared_ptr<HostDevice> device_;
};

class HostDeviceContext final : public d3d11::DeviceContext {
 public:
  HostDeviceContext() : lock_(std::make_shared<std::recursive_mutex>()) {}
  Result<std::shared_ptr<d3d11::VideoContext>> query_video_context() override;
  Result<std::shared_ptr<d3d11::Multithread>> query_multithread() override;
  [[nodiscard]] bool multithread_protected() const { return protected_->load(); }

 private:
  std::shared_ptr<std::recursive_mutex> lock_;
  std::shared_ptr<std::atomic<bool>> protected_ = std::make_shared<std::atomic<bool>>(false);
};

class HostD3D11 final : public d3d11::D3D11 {
 public:
  Result<d3d11::CreatedDevice> create_device(d3d11::DriverType driver_type, std::uint32_t flags,
                                             std::span<const d3d11::FeatureLevel> feature_levels,
                                             std::uint32_t sdk_version) override;
  // The highest level the virtual adapter supports (11_1 unless a test
  // lowers it to exercise the caller's level check).
  void set_max_feature_level(d3d11::FeatureLevel level) { max_level_.store(level); }
  // Test knob: every device made here, before or after, is gone with this
  // reason (DXGI_ERROR_DEVICE_REMOVED, ...), as after a driver update or a
  // GPU reset. Only GetDeviceRemovedReason tells; the stand-in's other calls
  // go on working, so the program cannot learn it by accident.
  void remove_devices(std::uint32_t reason) { removed_reason_->store(reason); }

 private:
  std::shared_ptr<std::atomic<std::uint32_t>> removed_reason_ = std::make_shared<std::atomic<std::uint32_t>>(0);
  std::atomic<d3d11::FeatureLevel> max_level_{d3d11::FeatureLevel::Level_11_1};
};

}  // namespace quorvex::platform::host
