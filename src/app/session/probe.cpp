#include "app/session/probe.h"

#include <array>

#include "app/diagnostics.h"
#include "app/stderr_line.h"
#include "platform/platform.h"

namespace quorvex::app {

Result<ProbeDevice> create_probe_device() {
  using platform::d3d11::FeatureLevel;
  static constexpr std::array levels = {FeatureLevel::Level_11_1, FeatureLevel::Level_11_0};
  auto created = platform::current().d3d11().create_device(
      platform::d3d11::DriverType::Hardware,
      platform::d3d11::create_device_bgra_support | platform::d3d11::create_device_video_support, levels,
      platform::d3d11::sdk_version);
  if (!created) {
    return fail(created.error().text());
  }
  if (static_cast<std::uint32_t>(created->feature_level) < static_cast<std::uint32_t>(FeatureLevel::Level_11_0)) {
    return fail("Direct3D feature level 11 is required");
  }
  if (!created->device) {
    return fail("D3D11 returned no device");
  }
  if (!created->context) {
    return fail("D3D11 returned no device context");
  }
  return ProbeDevice{std::move(created->device), std::move(created->context)};
}

void write_probe_capability_line() { standard_error().write(diagnostics::capture_encoder_capability()); }

Result<ProbeApartment> ProbeApartment::enter() {
  if (auto entered = platform::current().media_foundation().co_initialize_ex(platform::mf::coinit_multithreaded);
      !entered) {
    return fail(entered.error().text());
  }
  ProbeApartment apartment;
  apartment.entered_ = true;
  return apartment;
}

ProbeApartment::~ProbeApartment() {
  if (entered_) {
    platform::current().media_foundation().co_uninitialize();
  }
}

}  // namespace quorvex::app
