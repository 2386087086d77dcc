// The capture layer's Direct3D 11 device: a hardware device with BGRA
// support at feature level 11_0 or better, and its immediate context.
//
// Thread contract: create_d3d_device may run on any thread.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "platform/d3d11.h"
#include "platform/error.h"

namespace quorvex::wgc_capture {

namespace d3d11 {

struct Error {
  enum class Kind {
    FeatureLevelNotSatisfied,
    WindowsError,
  };
  Kind kind = Kind::WindowsError;
  // The wrapped error of WindowsError.
  std::optional<platform::Error> platform_error;

  [[nodiscard]] std::string message() const;
};

}  // namespace d3d11

struct D3DDevice {
  std::shared_ptr<platform::d3d11::Device> device;
  std::shared_ptr<platform::d3d11::DeviceContext> context;
};

[[nodiscard]] std::expected<D3DDevice, d3d11::Error> create_d3d_device();

}  // namespace quorvex::wgc_capture
