// Direct3D 11 and DXGI: the device, textures and the video processor, one
// operation per call the program makes. Objects are reference counted
// (std::shared_ptr) and release their OS object when the last holder lets go.
//
// A creating call may report success without an object (the OS allows it);
// such operations return Result<std::shared_ptr<T>> with a null pointer and
// every caller treats that as an error of its own.
//
// Thread contract: the device is free-threaded; a device context is used by
// one thread at a time unless multithread protection is switched on, which
// the encoder does (the stand-ins then serialise context calls themselves).
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/error.h"
#include "platform/handles.h"

namespace quorvex::platform::d3d11 {

enum class DriverType : std::uint32_t { Hardware = 1 };

enum class FeatureLevel : std::uint32_t {
  Level_9_1 = 0x9100,
  Level_9_2 = 0x9200,
  Level_9_3 = 0x9300,
  Level_10_0 = 0xA000,
  Level_10_1 = 0xA100,
  Level_11_0 = 0xB000,
  Level_11_1 = 0xB100,
};

inline constexpr std::uint32_t create_device_bgra_support = 0x20;
inline constexpr std::uint32_t create_device_video_support = 0x800;
inline constexpr std::uint32_t sdk_version = 7;

// DXGI_FORMAT values the program uses.
enum class Format : std::uint32_t { B8G8R8A8Unorm = 87, Nv12 = 103 };

inline constexpr std::uint32_t usage_default = 0;
inline constexpr std::uint32_t bind_render_target = 0x20;
inline constexpr std::uint32_t bind_video_encoder = 0x400;

struct Texture2DDesc {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t mip_levels = 1;
  std::uint32_t array_size = 1;
  Format format = Format::B8G8R8A8Unorm;
  std::uint32_t sample_count = 1;
  std::uint32_t sample_quality = 0;
  std::uint32_t usage = usage_default;
  std::uint32_t bind_flags = 0;
  std::uint32_t cpu_access_flags = 0;
  std::uint32_t misc_flags = 0;
  friend bool operator==(const Texture2DDesc&, const Texture2DDesc&) = default;
};

struct Rational {
  std::uint32_t numerator = 0;
  std::uint32_t denominator = 1;
  friend bool operator==(Rational, Rational) = default;
};

// D3D11_VIDEO_PROCESSOR_CONTENT_DESC.
struct VideoProcessorContentDesc {
  std::uint32_t input_frame_format = 0;  // progressive
  Rational input_frame_rate;
  std::uint32_t input_width = 0;
  std::uint32_t input_height = 0;
  Rational output_frame_rate;
  std::uint32_t output_width = 0;
  std::uint32_t output_height = 0;
  std::uint32_t usage = 0;  // normal playback
  friend bool operator==(const VideoProcessorContentDesc&, const VideoProcessorContentDesc&) = default;
};

inline constexpr std::uint32_t vpov_dimension_texture2d = 1;
inline constexpr std::uint32_t vpiv_dimension_texture2d = 1;

struct VideoProcessorOutputViewDesc {
  std::uint32_t view_dimension = vpov_dimension_texture2d;
  std::uint32_t mip_slice = 0;
};

struct VideoProcessorInputViewDesc {
  std::uint32_t fourcc = 0;
  std::uint32_t view_dimension = vpiv_dimension_texture2d;
  std::uint32_t mip_slice = 0;
  std::uint32_t array_slice = 0;
};

// D3D11_VIDEO_PROCESSOR_COLOR_SPACE, one field per bit-field. A new
// processor starts with every field zero: playback, full-range RGB, BT.601,
// conventional YCbCr, nominal range undefined (studio range for YCbCr).
struct VideoProcessorColorSpace {
  std::uint32_t usage = 0;          // 0 playback, 1 video processing
  std::uint32_t rgb_range = 0;      // 0 full (0-255), 1 limited (16-235)
  std::uint32_t ycbcr_matrix = 0;   // 0 BT.601, 1 BT.709
  std::uint32_t ycbcr_xvycc = 0;    // 0 conventional, 1 extended (xvYCC)
  std::uint32_t nominal_range = 0;  // D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE
  friend bool operator==(const VideoProcessorColorSpace&, const VideoProcessorColorSpace&) = default;
};

inline constexpr std::uint32_t rgb_range_full = 0;
inline constexpr std::uint32_t rgb_range_limited = 1;
inline constexpr std::uint32_t ycbcr_matrix_bt601 = 0;
inline constexpr std::uint32_t ycbcr_matrix_bt709 = 1;
inline constexpr std::uint32_t nominal_range_undefined = 0;
inline constexpr std::uint32_t nominal_range_16_235 = 1;
inline constexpr std::uint32_t nominal_range_0_255 = 2;

// D3D11_VIDEO_COLOR: RGBA when ycbcr is false.
struct VideoColor {
  float r_or_y = 0;
  float g_or_cb = 0;
  float b_or_cr = 0;
  float a = 0;
};

class Resource {
 public:
  virtual ~Resource() = default;
};

class Texture2D {
 public:
  virtual ~Texture2D() = default;
  [[nodiscard]] virtual Texture2DDesc get_desc() = 0;
  // QueryInterface(ID3D11Resource).
  [[nodiscard]] virtual Result<std::shared_ptr<Resource>> query_resource() = 0;
};

class VideoProcessorEnumerator {
 public:
  virtual ~VideoProcessorEnumerator() = default;
};

class VideoProcessor {
 public:
  virtual ~VideoProcessor() = default;
};

class VideoProcessorInputView {
 public:
  virtual ~VideoProcessorInputView() = default;
};

class VideoProcessorOutputView {
 public:
  virtual ~VideoProcessorOutputView() = default;
};

// D3D11_VIDEO_PROCESSOR_STREAM, one input stream of a blit.
struct VideoProcessorStream {
  bool enable = true;
  std::uint32_t output_index = 0;
  std::uint32_t input_frame_or_field = 0;
  std::shared_ptr<VideoProcessorInputView> input_surface;
};

class VideoDevice {
 public:
  virtual ~VideoDevice() = default;
  [[nodiscard]] virtual Result<std::shared_ptr<VideoProcessorEnumerator>>
  create_video_processor_enumerator(const VideoProcessorContentDesc& desc) = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<VideoProcessor>> create_video_processor(
      VideoProcessorEnumerator& enumerator, std::uint32_t rate_conversion_index) = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<VideoProcessorOutputView>>
  create_video_processor_output_view(Resource& resource, VideoProcessorEnumerator& enumerator,
                                     const VideoProcessorOutputViewDesc& desc) = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<VideoProcessorInputView>>
  create_video_processor_input_view(Resource& resource, VideoProcessorEnumerator& enumerator,
                                    const VideoProcessorInputViewDesc& desc) = 0;
};

class VideoContext {
 public:
  virtual ~VideoContext() = default;
  virtual void video_processor_set_stream_source_rect(VideoProcessor& processor,
                                                      std::uint32_t stream_index, bool enable,
                                                      const Rect& rect) = 0;
  virtual void video_processor_set_stream_dest_rect(VideoProcessor& processor,
                                                    std::uint32_t stream_index, bool enable,
                                                    const Rect& rect) = 0;
  virtual void video_processor_set_output_background_color(VideoProcessor& processor, bool ycbcr,
                                                           const VideoColor& color) = 0;
  virtual void video_processor_set_stream_color_space(VideoProcessor& processor, std::uint32_t stream_index,
                                                      const VideoProcessorColorSpace& color_space) = 0;
  virtual void video_processor_set_output_color_space(VideoProcessor& processor,
                                                      const VideoProcessorColorSpace& color_space) = 0;
  // On by default: the driver may then apply its own enhancements.
  virtual void video_processor_set_stream_auto_processing_mode(VideoProcessor& processor,
                                                               std::uint32_t stream_index, bool enable) = 0;
  [[nodiscard]] virtual Status video_processor_blt(VideoProcessor& processor,
                                                   VideoProcessorOutputView& output_view,
                                                   std::uint32_t output_frame,
                                                   std::span<const VideoProcessorStream> streams) = 0;
};

class Multithread {
 public:
  virtual ~Multithread() = default;
  // Returns the previous setting.
  virtual bool set_multithread_protected(bool protect) = 0;
};

// IDXGIDevice: handed to the capture service, and asked for its adapter.
class DxgiDevice {
 public:
  virtual ~DxgiDevice() = default;
  // IDXGIDevice::GetAdapter, then IDXGIAdapter::GetDesc: the AdapterLuid.
  [[nodiscard]] virtual Result<LocallyUniqueId> get_adapter_luid() = 0;
};

class DeviceContext {
 public:
  virtual ~DeviceContext() = default;
  [[nodiscard]] virtual Result<std::shared_ptr<VideoContext>> query_video_context() = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<Multithread>> query_multithread() = 0;
};

class Device {
 public:
  virtual ~Device() = default;
  // CreateTexture2D(desc, no initial data).
  [[nodiscard]] virtual Result<std::shared_ptr<Texture2D>> create_texture_2d(
      const Texture2DDesc& desc) = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<VideoDevice>> query_video_device() = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<DxgiDevice>> query_dxgi_device() = 0;
  // GetDeviceRemovedReason: success while the device works; once it is gone
  // (driver update or crash, adapter removed, TDR) an error carrying the
  // reason code (DXGI_ERROR_DEVICE_REMOVED, _HUNG, _RESET, ...).
  [[nodiscard]] virtual Status get_device_removed_reason() = 0;
};

struct CreatedDevice {
  std::shared_ptr<Device> device;
  FeatureLevel feature_level = FeatureLevel::Level_9_1;
  std::shared_ptr<DeviceContext> context;
};

class D3D11 {
 public:
  virtual ~D3D11() = default;
  // D3D11CreateDevice(default adapter, driver, no software module, flags,
  // feature levels, sdk version): device, level obtained, immediate context.
  [[nodiscard]] virtual Result<CreatedDevice> create_device(
      DriverType driver_type, std::uint32_t flags, std::span<const FeatureLevel> feature_levels,
      std::uint32_t sdk_version) = 0;
};

}  // namespace quorvex::platform::d3d11
