// The preflight probe: proves that a Direct3D 11 device of feature level 11
// and the hardware encoder can be set up, prints the capability line, and
// tears everything down again. Writes nothing to standard output.
//
// Thread contract: main thread.
#pragma once

#include <atomic>
#include <memory>
#include <string_view>
#include <utility>

#include "app/error.h"
#include "platform/d3d11.h"

namespace quorvex::app {

struct ProbeDevice {
  std::shared_ptr<platform::d3d11::Device> device;
  std::shared_ptr<platform::d3d11::DeviceContext> context;
};

// A hardware device with BGRA and video support at level 11.1 or 11.0.
[[nodiscard]] Result<ProbeDevice> create_probe_device();

// Writes the probe's fixed capability line once the encoder stood up.
void write_probe_capability_line();

// Encoder is the session's hardware encoder type; its create() takes the
// device, the context, width, height, fps, bitrate and a keyframe-request
// flag, and its destruction is its teardown.
// COM on the probe's thread for as long as it lives: the encoder is
// activated (and released) there.
class ProbeApartment {
 public:
  [[nodiscard]] static Result<ProbeApartment> enter();
  ProbeApartment(ProbeApartment&& other) noexcept : entered_(std::exchange(other.entered_, false)) {}
  ProbeApartment& operator=(ProbeApartment&&) = delete;
  ~ProbeApartment();

 private:
  ProbeApartment() = default;
  bool entered_ = false;
};

template <class Encoder>
[[nodiscard]] Result<void> run_probe() {
  auto device = create_probe_device();
  if (!device) {
    return std::unexpected(std::move(device.error()));
  }
  auto apartment = ProbeApartment::enter();
  if (!apartment) {
    return std::unexpected(std::move(apartment.error()));
  }
  {
    // Nothing else shares this flag: the probe never asks for a keyframe.
    auto keyframe_request = std::make_shared<std::atomic<bool>>(false);
    auto encoder = Encoder::create(device->device, device->context, 1920, 1080, 30, 8'000'000, keyframe_request);
    if (!encoder) {
      return fail(std::move(encoder.error().message));
    }
    write_probe_capability_line();
  }
  return {};
}

}  // namespace quorvex::app
