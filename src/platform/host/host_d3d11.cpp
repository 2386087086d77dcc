#include "platform/host/host_d3d11.h"

#include <algorithm>

#include "platform/host/host_status.h"
#include "platform/host/host_texture.h"
#include "platform/host/host_video_processor.h"

namespace quorvex::platform::host {

namespace {
class HostMultithread final : public d3d11::Multithread {
 public:
  explicit HostMultithread(std::shared_ptr<std::atomic<bool>> flag) : flag_(std::move(flag)) {}
  bool set_multithread_protected(bool protect) override { return flag_->exchange(protect); }

 private:
  std::shared_ptr<std::atomic<bool>> flag_;
};
}  // namespace

Result<std::shared_ptr<d3d11::Texture2D>> HostDevice::create_texture_2d(const d3d11::Texture2DDesc& desc) {
  auto texture = HostTexture::create(desc);
  if (!texture) {
    return std::unexpected(texture.error());
  }
  return std::shared_ptr<d3d11::Texture2D>(std::move(*texture));
}

Result<std::shared_ptr<d3d11::VideoDevice>> HostDevice::query_video_device() {
  return std::shared_ptr<d3d11::VideoDevice>(std::make_shared<HostVideoDevice>());
}

Result<std::shared_ptr<d3d11::DxgiDevice>> HostDevice::query_dxgi_device() {
  return std::shared_ptr<d3d11::DxgiDevice>(std::make_shared<HostDxgiDevice>(shared_from_this()));
}

Status HostDevice::get_device_removed_reason() {
  if (const std::uint32_t reason = removed_reason_->load(); reason != status::ok) {
    return host_fail(reason);
  }
  return {};
}

Result<std::shared_ptr<d3d11::VideoContext>> HostDeviceContext::query_video_context() {
  return std::shared_ptr<d3d11::VideoContext>(std::make_shared<HostVideoContext>(lock_));
}

Result<std::shared_ptr<d3d11::Multithread>> HostDeviceContext::query_multithread() {
  return std::shared_ptr<d3d11::Multithread>(std::make_shared<HostMultithread>(protected_));
}

Result<d3d11::CreatedDevice> HostD3D11::create_device(d3d11::DriverType driver_type, std::uint32_t,
                                                      std::span<const d3d11::FeatureLevel> feature_levels,
                                                      std::uint32_t sdk_version) {
  if (driver_type != d3d11::DriverType::Hardware || sdk_version != d3d11::sdk_version) {
    return host_fail(status::e_invalidarg);
  }
  // Without a list D3D11 offers 11_0 down to 9_1 (11_1 must be asked for).
  static constexpr d3d11::FeatureLevel default_levels[] = {
      d3d11::FeatureLevel::Level_11_0, d3d11::FeatureLevel::Level_10_1, d3d11::FeatureLevel::Level_10_0,
      d3d11::FeatureLevel::Level_9_3,  d3d11::FeatureLevel::Level_9_2,  d3d11::FeatureLevel::Level_9_1};
  if (feature_levels.empty()) {
    feature_levels = default_levels;
  }
  const d3d11::FeatureLevel max_level = max_level_.load();
  // The first level of the caller's list that the adapter supports wins.
  const auto it = std::find_if(feature_levels.begin(), feature_levels.end(), [&](d3d11::FeatureLevel level) {
    return static_cast<std::uint32_t>(level) <= static_cast<std::uint32_t>(max_level);
  });
  if (it == feature_levels.end()) {
    return host_fail(status::dxgi_error_unsupported);
  }
  return d3d11::CreatedDevice{std::make_shared<HostDevice>(removed_reason_), *it,
                              std::make_shared<HostDeviceContext>()};
}

}  // namespace quorvex::platform::host
