#include "wgc_capture/d3d11.h"

#include <array>

#include "platform/platform.h"

namespace quorvex::wgc_capture {

namespace d3d11 {

std::string Error::message() const {
  switch (kind) {
    case Kind::FeatureLevelNotSatisfied:
      return "Failed to create DirectX device with the recommended feature levels";
    case Kind::WindowsError:
      return "Windows API Error: " + (platform_error ? platform_error->text() : std::string());
  }
  return {};
}

}  // namespace d3d11

std::expected<D3DDevice, d3d11::Error> create_d3d_device() {
  using platform::d3d11::FeatureLevel;
  static constexpr std::array levels = {
      FeatureLevel::Level_11_1, FeatureLevel::Level_11_0, FeatureLevel::Level_10_1, FeatureLevel::Level_10_0,
      FeatureLevel::Level_9_3,  FeatureLevel::Level_9_2,  FeatureLevel::Level_9_1,
  };
  auto created = platform::current().d3d11().create_device(
      platform::d3d11::DriverType::Hardware,
      // Video support: the same device feeds the video processor and the
      // encoder's DXGI device manager, which both need it.
      platform::d3d11::create_device_bgra_support | platform::d3d11::create_device_video_support, levels,
      platform::d3d11::sdk_version);
  if (!created) {
    return std::unexpected(d3d11::Error{d3d11::Error::Kind::WindowsError, created.error()});
  }
  if (static_cast<std::uint32_t>(created->feature_level) < static_cast<std::uint32_t>(FeatureLevel::Level_11_0)) {
    return std::unexpected(d3d11::Error{d3d11::Error::Kind::FeatureLevelNotSatisfied, std::nullopt});
  }
  // A call that succeeds without handing out the device or its context gives
  // nothing to capture with; report it as the call's failure rather than
  // letting a null device reach the handler.
  if (!created->device || !created->context) {
    return std::unexpected(
        d3d11::Error{d3d11::Error::Kind::WindowsError, platform::error_from_status(platform::status::e_pointer)});
  }
  return D3DDevice{std::move(created->device), std::move(created->context)};
}

}  // namespace quorvex::wgc_capture
