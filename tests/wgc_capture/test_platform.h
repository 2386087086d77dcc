// A whole fake platform for capture-layer and session tests: the fake Win32
// desktop and capture service from src/platform/fake, plus a minimal
// Direct3D 11 stand-in (a device that hands out its DXGI interface and
// nothing else). Of Media Foundation these layers only use COM on their
// thread (the probe); the fake's apartments are shared with the capture
// service, so either way of joining counts for both.
//
// Thread contract: install on the test thread before any session starts.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fake/fake_graphics_capture.h"
#include "platform/fake/fake_media_foundation.h"
#include "platform/fake/fake_win32.h"
#include "platform/platform.h"

namespace quorvex::testing {

namespace d3d = platform::d3d11;

class TestDxgiDevice final : public d3d::DxgiDevice {
 public:
  platform::Result<platform::LocallyUniqueId> get_adapter_luid() override {
    return platform::LocallyUniqueId{1, 0};
  }
};

class TestDeviceContext final : public d3d::DeviceContext {
 public:
  platform::Result<std::shared_ptr<d3d::VideoContext>> query_video_context() override {
    return platform::fail(platform::status::e_nointerface);
  }
  platform::Result<std::shared_ptr<d3d::Multithread>> query_multithread() override {
    return platform::fail(platform::status::e_nointerface);
  }
};

class TestDevice final : public d3d::Device {
 public:
  explicit TestDevice(platform::fake::FaultPlan& faults) : faults_(faults) {}
  platform::Result<std::shared_ptr<d3d::Texture2D>> create_texture_2d(const d3d::Texture2DDesc&) override {
    return platform::fail(platform::status::e_notimpl);
  }
  platform::Result<std::shared_ptr<d3d::VideoDevice>> query_video_device() override {
    return platform::fail(platform::status::e_nointerface);
  }
  platform::Result<std::shared_ptr<d3d::DxgiDevice>> query_dxgi_device() override {
    const auto d = faults_.on_call("device.query_dxgi_device");
    if (d.outcome == platform::fake::FaultPlan::Outcome::Fail) {
      return platform::fail(d.code);
    }
    if (d.outcome == platform::fake::FaultPlan::Outcome::Empty) {
      return std::shared_ptr<d3d::DxgiDevice>();
    }
    return std::shared_ptr<d3d::DxgiDevice>(std::make_shared<TestDxgiDevice>());
  }
  // Removed when the test makes "device.get_device_removed_reason" fail.
  platform::Status get_device_removed_reason() override {
    if (const auto d = faults_.on_call("device.get_device_removed_reason");
        d.outcome == platform::fake::FaultPlan::Outcome::Fail) {
      return platform::fail(d.code);
    }
    return {};
  }

 private:
  platform::fake::FaultPlan& faults_;
};

class TestD3D11 final : public d3d::D3D11 {
 public:
  platform::fake::FaultPlan faults;
  d3d::FeatureLevel level = d3d::FeatureLevel::Level_11_1;
  bool hand_out_device = true;
  bool hand_out_context = true;
  // The last request.
  std::uint32_t flags = 0;
  std::vector<d3d::FeatureLevel> levels;

  platform::Result<d3d::CreatedDevice> create_device(d3d::DriverType, std::uint32_t requested_flags,
                                                     std::span<const d3d::FeatureLevel> feature_levels,
                                                     std::uint32_t) override {
    flags = requested_flags;
    levels.assign(feature_levels.begin(), feature_levels.end());
    if (const auto d = faults.on_call("create_device"); d.outcome == platform::fake::FaultPlan::Outcome::Fail) {
      return platform::fail(d.code);
    }
    d3d::CreatedDevice created;
    if (hand_out_device) {
      created.device = std::make_shared<TestDevice>(faults);
    }
    created.feature_level = level;
    if (hand_out_context) {
      created.context = std::make_shared<TestDeviceContext>();
    }
    return created;
  }
};

class TestPlatform final : public platform::Platform {
 public:
  TestPlatform() : guard_(*this) {}
  // A message loop that only ended because the fake gave up waiting means
  // the session never asked it to end.
  ~TestPlatform() override {
    if (win32_fake.get_message_timeouts() != 0) {
      ADD_FAILURE() << "a message loop waited in vain for its quit message";
    }
  }

  std::shared_ptr<platform::fake::FakeApartments> apartments = std::make_shared<platform::fake::FakeApartments>();
  platform::fake::FakeWin32 win32_fake;
  platform::fake::FakeGraphicsCapture capture_fake{win32_fake, apartments};
  TestD3D11 d3d11_fake;
  platform::fake::FakeMediaFoundation media_fake{apartments};

  platform::Win32& win32() override { return win32_fake; }
  d3d::D3D11& d3d11() override { return d3d11_fake; }
  platform::mf::MediaFoundation& media_foundation() override { return media_fake; }
  platform::wgc::GraphicsCapture& graphics_capture() override { return capture_fake; }
  std::string describe_status(std::uint32_t code) override { return platform::standard_status_message(code); }

 private:
  platform::ScopedPlatform guard_;
};

}  // namespace quorvex::testing
