// The scripted fakes' side of the contract suites: one fake platform whose
// capture service composes a frame each time the suite lets capture time
// pass, and whose encoder transform hands out its own output samples, as a
// hardware transform does.
//
// Not supplied: write_bgra, luma and chroma. The fake video processor
// records rectangles and blits but has no pixels, so the video processor
// suite does not run against it (the knob table checks its records instead).
#pragma once

#include <atomic>
#include <thread>

#include "contract/contract_factory.h"
#include "platform/fake/fake_d3d11.h"
#include "platform/fake/fake_graphics_capture.h"
#include "platform/fake/fake_media_foundation.h"
#include "platform/fake/fake_win32.h"

namespace quorvex::platform::fake {

class FakePlatform final : public Platform {
 public:
  std::shared_ptr<FakeApartments> apartments = std::make_shared<FakeApartments>();
  FakeWin32 win32_fake;
  FakeGraphicsCapture capture_fake{win32_fake, apartments};
  FakeD3D11 d3d11_fake;
  FakeMediaFoundation media_foundation_fake{apartments};
  // System-relative time of the next composed frame; one 60 Hz period apart.
  std::atomic<std::int64_t> next_frame_time_100ns{166'667};

  Win32& win32() override { return win32_fake; }
  d3d11::D3D11& d3d11() override { return d3d11_fake; }
  mf::MediaFoundation& media_foundation() override { return media_foundation_fake; }
  wgc::GraphicsCapture& graphics_capture() override { return capture_fake; }
  std::string describe_status(std::uint32_t code) override { return standard_status_message(code); }
};

struct FakeFactory {
  static constexpr MonitorHandle display{0x10001};

  static std::unique_ptr<Platform> create() {
    auto platform = std::make_unique<FakePlatform>();
    FakeDisplay primary;
    primary.handle = display;
    primary.device_name = u"\\\\.\\DISPLAY1";
    primary.primary = true;
    platform->win32_fake.add_display(primary);
    platform->media_foundation_fake.encoder().provides_samples = true;
    return platform;
  }

  // Composes one frame of the capture item's size into the last pool, once
  // its session started: the fake's stand-in for a display refresh.
  static void let_capture_run(Platform& platform, std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
    auto& fake = static_cast<FakePlatform&>(platform);
    const auto pool = fake.capture_fake.last_frame_pool();
    const auto session = pool ? pool->last_session() : nullptr;
    const auto items = fake.capture_fake.created_items();
    if (!session || !session->started() || session->closed() || items.empty()) {
      return;
    }
    const auto size = items.back().item->get_size();
    if (!size) {
      return;
    }
    const std::int64_t time = fake.next_frame_time_100ns.fetch_add(166'667);
    static_cast<void>(pool->arrive(FakeFrame{*size, time}));
  }
};

}  // namespace quorvex::platform::fake
