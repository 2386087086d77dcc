#include "platform/windows/d3d11_adapter.h"

#include <utility>
#include <vector>

#include "platform/windows/system_error.h"

namespace quorvex::platform::windows {
namespace {

// The native interface behind one of our adapters; null for an object of
// another platform.
template <class Adapter, class Object>
auto native_of(Object& object) -> decltype(std::declval<Adapter&>().native()) {
  auto* adapter = dynamic_cast<Adapter*>(&object);
  return adapter != nullptr ? adapter->native() : nullptr;
}

RECT to_native(const Rect& rect) { return RECT{rect.left, rect.top, rect.right, rect.bottom}; }

static_assert(d3d11::nominal_range_undefined == D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_UNDEFINED);
static_assert(d3d11::nominal_range_16_235 == D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_16_235);
static_assert(d3d11::nominal_range_0_255 == D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_0_255);

D3D11_VIDEO_PROCESSOR_COLOR_SPACE to_native(const d3d11::VideoProcessorColorSpace& color_space) {
  D3D11_VIDEO_PROCESSOR_COLOR_SPACE native{};
  native.Usage = color_space.usage;
  native.RGB_Range = color_space.rgb_range;
  native.YCbCr_Matrix = color_space.ycbcr_matrix;
  native.YCbCr_xvYCC = color_space.ycbcr_xvycc;
  native.Nominal_Range = color_space.nominal_range;
  return native;
}

// Asking a COM object for another of its interfaces.
template <class To, class From>
Result<ComPtr<To>> query(From* from) {
  ComPtr<To> to;
  const HRESULT hr = from->QueryInterface(__uuidof(To), reinterpret_cast<void**>(to.GetAddressOf()));
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return to;
}

// Queries for Native and wraps the answer in Adapter, seen as Interface.
template <class Interface, class Adapter, class Native, class From>
Result<std::shared_ptr<Interface>> query_wrapped(From* from) {
  auto native = query<Native>(from);
  if (!native) {
    return std::unexpected(native.error());
  }
  if (!*native) {
    return std::shared_ptr<Interface>();
  }
  return std::shared_ptr<Interface>(std::make_shared<Adapter>(std::move(*native)));
}

// Objects the program only holds and passes back.
template <class Base, class Native>
class Holder final : public Base {
 public:
  explicit Holder(ComPtr<Native> native) : native_(std::move(native)) {}
  [[nodiscard]] Native* native() const { return native_.Get(); }

 private:
  ComPtr<Native> native_;
};

using VideoProcessorEnumeratorAdapter =
    Holder<d3d11::VideoProcessorEnumerator, ID3D11VideoProcessorEnumerator>;
using VideoProcessorAdapter = Holder<d3d11::VideoProcessor, ID3D11VideoProcessor>;
using InputViewAdapter = Holder<d3d11::VideoProcessorInputView, ID3D11VideoProcessorInputView>;
using OutputViewAdapter = Holder<d3d11::VideoProcessorOutputView, ID3D11VideoProcessorOutputView>;

// Wraps a created object, keeping "success without an object" as an empty
// result for the caller to judge.
template <class Adapter, class Native>
std::shared_ptr<Adapter> wrap(ComPtr<Native> native) {
  if (!native) {
    return nullptr;
  }
  return std::make_shared<Adapter>(std::move(native));
}

class VideoDeviceAdapter final : public d3d11::VideoDevice {
 public:
  explicit VideoDeviceAdapter(ComPtr<ID3D11VideoDevice> native) : native_(std::move(native)) {}

  Result<std::shared_ptr<d3d11::VideoProcessorEnumerator>> create_video_processor_enumerator(
      const d3d11::VideoProcessorContentDesc& desc) override {
    D3D11_VIDEO_PROCESSOR_CONTENT_DESC native_desc{};
    native_desc.InputFrameFormat = static_cast<D3D11_VIDEO_FRAME_FORMAT>(desc.input_frame_format);
    native_desc.InputFrameRate = {desc.input_frame_rate.numerator, desc.input_frame_rate.denominator};
    native_desc.InputWidth = desc.input_width;
    native_desc.InputHeight = desc.input_height;
    native_desc.OutputFrameRate = {desc.output_frame_rate.numerator,
                                   desc.output_frame_rate.denominator};
    native_desc.OutputWidth = desc.output_width;
    native_desc.OutputHeight = desc.output_height;
    native_desc.Usage = static_cast<D3D11_VIDEO_USAGE>(desc.usage);
    ComPtr<ID3D11VideoProcessorEnumerator> enumerator;
    const HRESULT hr = native_->CreateVideoProcessorEnumerator(&native_desc, &enumerator);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return wrap<VideoProcessorEnumeratorAdapter>(std::move(enumerator));
  }

  Result<std::shared_ptr<d3d11::VideoProcessor>> create_video_processor(
      d3d11::VideoProcessorEnumerator& enumerator, std::uint32_t rate_conversion_index) override {
    auto* native_enumerator = native_of<VideoProcessorEnumeratorAdapter>(enumerator);
    if (native_enumerator == nullptr) {
      return hresult_failure(E_INVALIDARG);
    }
    ComPtr<ID3D11VideoProcessor> processor;
    const HRESULT hr =
        native_->CreateVideoProcessor(native_enumerator, rate_conversion_index, &processor);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return wrap<VideoProcessorAdapter>(std::move(processor));
  }

  Result<std::shared_ptr<d3d11::VideoProcessorOutputView>> create_video_processor_output_view(
      d3d11::Resource& resource, d3d11::VideoProcessorEnumerator& enumerator,
      const d3d11::VideoProcessorOutputViewDesc& desc) override {
    auto* native_resource = native_of<D3D11Resource>(resource);
    auto* native_enumerator = native_of<VideoProcessorEnumeratorAdapter>(enumerator);
    if (native_resource == nullptr || native_enumerator == nullptr) {
      return hresult_failure(E_INVALIDARG);
    }
    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC native_desc{};
    native_desc.ViewDimension = static_cast<D3D11_VPOV_DIMENSION>(desc.view_dimension);
    native_desc.Texture2D.MipSlice = desc.mip_slice;
    ComPtr<ID3D11VideoProcessorOutputView> view;
    const HRESULT hr = native_->CreateVideoProcessorOutputView(native_resource, native_enumerator,
                                                               &native_desc, &view);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return wrap<OutputViewAdapter>(std::move(view));
  }

  Result<std::shared_ptr<d3d11::VideoProcessorInputView>> create_video_processor_input_view(
      d3d11::Resource& resource, d3d11::VideoProcessorEnumerator& enumerator,
      const d3d11::VideoProcessorInputViewDesc& desc) override {
    auto* native_resource = native_of<D3D11Resource>(resource);
    auto* native_enumerator = native_of<VideoProcessorEnumeratorAdapter>(enumerator);
    if (native_resource == nullptr || native_enumerator == nullptr) {
      return hresult_failure(E_INVALIDARG);
    }
    D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC native_desc{};
    native_desc.FourCC = desc.fourcc;
    native_desc.ViewDimension = static_cast<D3D11_VPIV_DIMENSION>(desc.view_dimension);
    native_desc.Texture2D.MipSlice = desc.mip_slice;
    native_desc.Texture2D.ArraySlice = desc.array_slice;
    ComPtr<ID3D11VideoProcessorInputView> view;
    const HRESULT hr = native_->CreateVideoProcessorInputView(native_resource, native_enumerator,
                                                              &native_desc, &view);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return wrap<InputViewAdapter>(std::move(view));
  }

 private:
  ComPtr<ID3D11VideoDevice> native_;
};

class VideoContextAdapter final : public d3d11::VideoContext {
 public:
  explicit VideoContextAdapter(ComPtr<ID3D11VideoContext> native) : native_(std::move(native)) {}

  void video_processor_set_stream_source_rect(d3d11::VideoProcessor& processor,
                                              std::uint32_t stream_index, bool enable,
                                              const Rect& rect) override {
    if (auto* native_processor = native_of<VideoProcessorAdapter>(processor)) {
      const RECT native_rect = to_native(rect);
      native_->VideoProcessorSetStreamSourceRect(native_processor, stream_index, enable ? TRUE : FALSE,
                                                 &native_rect);
    }
  }

  void video_processor_set_stream_dest_rect(d3d11::VideoProcessor& processor,
                                            std::uint32_t stream_index, bool enable,
                                            const Rect& rect) override {
    if (auto* native_processor = native_of<VideoProcessorAdapter>(processor)) {
      const RECT native_rect = to_native(rect);
      native_->VideoProcessorSetStreamDestRect(native_processor, stream_index, enable ? TRUE : FALSE,
                                               &native_rect);
    }
  }

  void video_processor_set_output_background_color(d3d11::VideoProcessor& processor, bool ycbcr,
                                                   const d3d11::VideoColor& color) override {
    if (auto* native_processor = native_of<VideoProcessorAdapter>(processor)) {
      D3D11_VIDEO_COLOR native_color{};
      if (ycbcr) {
        native_color.YCbCr = {color.r_or_y, color.g_or_cb, color.b_or_cr, color.a};
      } else {
        native_color.RGBA = {color.r_or_y, color.g_or_cb, color.b_or_cr, color.a};
      }
      native_->VideoProcessorSetOutputBackgroundColor(native_processor, ycbcr ? TRUE : FALSE,
                                                      &native_color);
    }
  }

  void video_processor_set_stream_color_space(d3d11::VideoProcessor& processor, std::uint32_t stream_index,
                                              const d3d11::VideoProcessorColorSpace& color_space) override {
    if (auto* native_processor = native_of<VideoProcessorAdapter>(processor)) {
      const D3D11_VIDEO_PROCESSOR_COLOR_SPACE native_color_space = to_native(color_space);
      native_->VideoProcessorSetStreamColorSpace(native_processor, stream_index, &native_color_space);
    }
  }

  void video_processor_set_output_color_space(d3d11::VideoProcessor& processor,
                                              const d3d11::VideoProcessorColorSpace& color_space) override {
    if (auto* native_processor = native_of<VideoProcessorAdapter>(processor)) {
      const D3D11_VIDEO_PROCESSOR_COLOR_SPACE native_color_space = to_native(color_space);
      native_->VideoProcessorSetOutputColorSpace(native_processor, &native_color_space);
    }
  }

  void video_processor_set_stream_auto_processing_mode(d3d11::VideoProcessor& processor,
                                                       std::uint32_t stream_index, bool enable) override {
    if (auto* native_processor = native_of<VideoProcessorAdapter>(processor)) {
      native_->VideoProcessorSetStreamAutoProcessingMode(native_processor, stream_index, enable ? TRUE : FALSE);
    }
  }

  Status video_processor_blt(d3d11::VideoProcessor& processor,
                             d3d11::VideoProcessorOutputView& output_view, std::uint32_t output_frame,
                             std::span<const d3d11::VideoProcessorStream> streams) override {
    auto* native_processor = native_of<VideoProcessorAdapter>(processor);
    auto* native_view = native_of<OutputViewAdapter>(output_view);
    if (native_processor == nullptr || native_view == nullptr) {
      return hresult_failure(E_INVALIDARG);
    }
    std::vector<D3D11_VIDEO_PROCESSOR_STREAM> native_streams(streams.size());
    for (std::size_t i = 0; i < streams.size(); ++i) {
      auto& native_stream = native_streams[i];
      native_stream.Enable = streams[i].enable ? TRUE : FALSE;
      native_stream.OutputIndex = streams[i].output_index;
      native_stream.InputFrameOrField = streams[i].input_frame_or_field;
      if (streams[i].input_surface) {
        native_stream.pInputSurface = native_of<InputViewAdapter>(*streams[i].input_surface);
      }
    }
    return check(native_->VideoProcessorBlt(native_processor, native_view, output_frame,
                                            static_cast<UINT>(native_streams.size()),
                                            native_streams.data()));
  }

 private:
  ComPtr<ID3D11VideoContext> native_;
};

class MultithreadAdapter final : public d3d11::Multithread {
 public:
  explicit MultithreadAdapter(ComPtr<ID3D11Multithread> native) : native_(std::move(native)) {}
  bool set_multithread_protected(bool protect) override {
    return native_->SetMultithreadProtected(protect ? TRUE : FALSE) != FALSE;
  }

 private:
  ComPtr<ID3D11Multithread> native_;
};

class DeviceContextAdapter final : public d3d11::DeviceContext {
 public:
  explicit DeviceContextAdapter(ComPtr<ID3D11DeviceContext> native) : native_(std::move(native)) {}

  Result<std::shared_ptr<d3d11::VideoContext>> query_video_context() override {
    return query_wrapped<d3d11::VideoContext, VideoContextAdapter, ID3D11VideoContext>(native_.Get());
  }

  Result<std::shared_ptr<d3d11::Multithread>> query_multithread() override {
    // IID_ID3D11Multithread is in no mingw-w64 import library; __uuidof is.
    return query_wrapped<d3d11::Multithread, MultithreadAdapter, ID3D11Multithread>(native_.Get());
  }

 private:
  ComPtr<ID3D11DeviceContext> native_;
};

}  // namespace

d3d11::Texture2DDesc D3D11Texture2D::get_desc() {
  D3D11_TEXTURE2D_DESC native_desc{};
  native_->GetDesc(&native_desc);
  d3d11::Texture2DDesc desc;
  desc.width = native_desc.Width;
  desc.height = native_desc.Height;
  desc.mip_levels = native_desc.MipLevels;
  desc.array_size = native_desc.ArraySize;
  desc.format = static_cast<d3d11::Format>(native_desc.Format);
  desc.sample_count = native_desc.SampleDesc.Count;
  desc.sample_quality = native_desc.SampleDesc.Quality;
  desc.usage = static_cast<std::uint32_t>(native_desc.Usage);
  desc.bind_flags = native_desc.BindFlags;
  desc.cpu_access_flags = native_desc.CPUAccessFlags;
  desc.misc_flags = native_desc.MiscFlags;
  return desc;
}

Result<std::shared_ptr<d3d11::Resource>> D3D11Texture2D::query_resource() {
  return query_wrapped<d3d11::Resource, D3D11Resource, ID3D11Resource>(native_.Get());
}

Result<std::shared_ptr<d3d11::Texture2D>> D3D11Device::create_texture_2d(
    const d3d11::Texture2DDesc& desc) {
  D3D11_TEXTURE2D_DESC native_desc{};
  native_desc.Width = desc.width;
  native_desc.Height = desc.height;
  native_desc.MipLevels = desc.mip_levels;
  native_desc.ArraySize = desc.array_size;
  native_desc.Format = static_cast<DXGI_FORMAT>(desc.format);
  native_desc.SampleDesc.Count = desc.sample_count;
  native_desc.SampleDesc.Quality = desc.sample_quality;
  native_desc.Usage = static_cast<D3D11_USAGE>(desc.usage);
  native_desc.BindFlags = desc.bind_flags;
  native_desc.CPUAccessFlags = desc.cpu_access_flags;
  native_desc.MiscFlags = desc.misc_flags;
  ComPtr<ID3D11Texture2D> texture;
  const HRESULT hr = native_->CreateTexture2D(&native_desc, nullptr, &texture);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return wrap<D3D11Texture2D>(std::move(texture));
}

Result<std::shared_ptr<d3d11::VideoDevice>> D3D11Device::query_video_device() {
  return query_wrapped<d3d11::VideoDevice, VideoDeviceAdapter, ID3D11VideoDevice>(native_.Get());
}

Result<std::shared_ptr<d3d11::DxgiDevice>> D3D11Device::query_dxgi_device() {
  return query_wrapped<d3d11::DxgiDevice, DxgiDeviceAdapter, IDXGIDevice>(native_.Get());
}

Status D3D11Device::get_device_removed_reason() { return check(native_->GetDeviceRemovedReason()); }

Result<d3d11::CreatedDevice> D3D11Adapter::create_device(
    d3d11::DriverType driver_type, std::uint32_t flags,
    std::span<const d3d11::FeatureLevel> feature_levels, std::uint32_t sdk_version) {
  std::vector<D3D_FEATURE_LEVEL> levels;
  levels.reserve(feature_levels.size());
  for (auto level : feature_levels) {
    levels.push_back(static_cast<D3D_FEATURE_LEVEL>(level));
  }
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  D3D_FEATURE_LEVEL obtained{};
  const HRESULT hr = D3D11CreateDevice(nullptr, static_cast<D3D_DRIVER_TYPE>(driver_type), nullptr,
                                       flags, levels.empty() ? nullptr : levels.data(),
                                       static_cast<UINT>(levels.size()), sdk_version, &device,
                                       &obtained, &context);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  d3d11::CreatedDevice created;
  created.device = wrap<D3D11Device>(std::move(device));
  created.feature_level = static_cast<d3d11::FeatureLevel>(obtained);
  created.context = wrap<DeviceContextAdapter>(std::move(context));
  return created;
}

Result<LocallyUniqueId> DxgiDeviceAdapter::get_adapter_luid() {
  ComPtr<IDXGIAdapter> adapter;
  if (const HRESULT hr = native_->GetAdapter(&adapter); FAILED(hr)) {
    return hresult_failure(hr);
  }
  DXGI_ADAPTER_DESC desc{};
  if (const HRESULT hr = adapter->GetDesc(&desc); FAILED(hr)) {
    return hresult_failure(hr);
  }
  return LocallyUniqueId{desc.AdapterLuid.LowPart, desc.AdapterLuid.HighPart};
}

}  // namespace quorvex::platform::windows
