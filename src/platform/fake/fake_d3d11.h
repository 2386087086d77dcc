// A scriptable Direct3D 11 for tests: a device, textures, the video device
// and context with a video processor that records its rectangles and blits,
// views and multithread protection. No pixels are touched.
//
// Knobs: faults() (FaultPlan) with the operation names below: fail with a
// code (every call or the Nth), or succeed without an object; every call is
// counted. Observation: the recorded enumerator descriptions, rectangle
// settings, background colours, colour-space and automatic-processing calls
// and blits, and live counts of textures and views, so a test sees whether a
// surface was recycled or released.
//
// Operations: "create_device", "create_texture_2d", "query_resource",
// "query_video_device", "query_video_context", "query_multithread",
// "query_dxgi_device", "dxgi.get_adapter_luid", "get_device_removed_reason", "create_video_processor_enumerator",
// "create_video_processor", "create_video_processor_output_view",
// "create_video_processor_input_view", "video_processor_blt".
//
// Thread contract: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/d3d11.h"
#include "platform/fake/fault_plan.h"

namespace quorvex::platform::fake {

class FakeD3D11 final : public d3d11::D3D11 {
 public:
  struct RectSetting {
    std::uint64_t processor = 0;
    bool source = false;  // source rectangle, else destination
    bool enable = false;
    Rect rect;
  };
  // One colour-space or automatic-processing call, in call order.
  struct ColorSetting {
    enum class Call { StreamColorSpace, OutputColorSpace, StreamAutoProcessingMode };
    std::uint64_t processor = 0;
    Call call = Call::StreamColorSpace;
    std::uint32_t stream_index = 0;               // stream calls only
    d3d11::VideoProcessorColorSpace color_space;  // colour-space calls only
    bool enable = false;                          // automatic processing only
    friend bool operator==(const ColorSetting&, const ColorSetting&) = default;
  };
  struct Blit {
    std::uint64_t processor = 0;
    std::uint64_t output_texture = 0;
    std::uint64_t input_texture = 0;
    std::uint32_t stream_count = 0;
    // The processor's rectangles at the time of the blit.
    std::optional<Rect> source_rect;
    std::optional<Rect> dest_rect;
  };

  // The device device() hands out counts as created with `device_flags`.
  // Like a device created with BGRA support alone, the default one cannot
  // be given to Media Foundation (the device manager wants video support),
  // so a test of the encoder asks for video support.
  explicit FakeD3D11(std::uint32_t device_flags = d3d11::create_device_bgra_support);
  ~FakeD3D11() override;

  [[nodiscard]] FaultPlan& faults();
  // The one device and its immediate context.
  [[nodiscard]] std::shared_ptr<d3d11::Device> device();
  [[nodiscard]] std::shared_ptr<d3d11::DeviceContext> context();
  // A texture as a capture frame carries it (counted like any texture).
  [[nodiscard]] std::shared_ptr<d3d11::Texture2D> make_texture(std::uint32_t width, std::uint32_t height,
                                                               d3d11::Format format = d3d11::Format::B8G8R8A8Unorm);
  // The id the fake gave a texture it made (0 for a foreign one).
  [[nodiscard]] static std::uint64_t texture_id(const d3d11::Texture2D& texture);

  [[nodiscard]] std::vector<d3d11::VideoProcessorContentDesc> enumerator_descs() const;
  [[nodiscard]] std::vector<d3d11::Texture2DDesc> created_textures() const;
  [[nodiscard]] std::vector<RectSetting> rect_settings() const;
  [[nodiscard]] std::vector<d3d11::VideoColor> background_colors() const;
  [[nodiscard]] std::vector<ColorSetting> color_settings() const;
  [[nodiscard]] std::vector<Blit> blits() const;
  [[nodiscard]] std::size_t live_textures(d3d11::Format format) const;
  [[nodiscard]] std::size_t live_output_views() const;
  [[nodiscard]] bool multithread_protected() const;
  // The flags of the last create_device (before any, those of the constructor).
  [[nodiscard]] std::uint32_t device_flags() const;
  // The LUID the device's adapter reports (IDXGIAdapter::GetDesc).
  void set_adapter_luid(LocallyUniqueId luid);
  // The device is gone with this reason from now on (GetDeviceRemovedReason
  // answers it); other calls go on as before.
  void remove_device(std::uint32_t reason);
  // The creation flags of a device this fake made; nullopt for another's.
  [[nodiscard]] static std::optional<std::uint32_t> creation_flags(const d3d11::Device& device);

  [[nodiscard]] Result<d3d11::CreatedDevice> create_device(d3d11::DriverType driver_type, std::uint32_t flags,
                                                           std::span<const d3d11::FeatureLevel> feature_levels,
                                                           std::uint32_t sdk_version) override;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<d3d11::Device> device_;
  std::shared_ptr<d3d11::DeviceContext> context_;
};

}  // namespace quorvex::platform::fake
