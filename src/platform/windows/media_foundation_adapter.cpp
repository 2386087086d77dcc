#include "platform/windows/media_foundation_adapter.h"

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>
#include <wrl/client.h>

#include "platform/windows/com_ptr.h"
#include "platform/windows/d3d11_adapter.h"
#include "platform/windows/system_error.h"

namespace quorvex::platform::windows {
namespace {

using Microsoft::WRL::ComPtr;

template <class Adapter, class Native>
std::shared_ptr<Adapter> wrap(ComPtr<Native> native) {
  if (!native) {
    return nullptr;
  }
  return std::make_shared<Adapter>(std::move(native));
}

// IMFAttributes for the adapters whose interface derives from it.
template <class Base>
class AttributesOf : public Base {
 public:
  Status set_uint32(const Guid& key, std::uint32_t value) override {
    return check(attributes()->SetUINT32(to_native(key), value));
  }
  Status set_uint64(const Guid& key, std::uint64_t value) override {
    return check(attributes()->SetUINT64(to_native(key), value));
  }
  Status set_guid(const Guid& key, const Guid& value) override {
    return check(attributes()->SetGUID(to_native(key), to_native(value)));
  }
  Result<std::uint32_t> get_uint32(const Guid& key) override {
    UINT32 value = 0;
    const HRESULT hr = attributes()->GetUINT32(to_native(key), &value);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return value;
  }
  Result<std::uint64_t> get_uint64(const Guid& key) override {
    UINT64 value = 0;
    const HRESULT hr = attributes()->GetUINT64(to_native(key), &value);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return value;
  }
  Result<Guid> get_guid(const Guid& key) override {
    GUID value{};
    const HRESULT hr = attributes()->GetGUID(to_native(key), &value);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return from_native(value);
  }
  Result<std::vector<std::byte>> get_blob(const Guid& key) override {
    UINT32 size = 0;
    HRESULT hr = attributes()->GetBlobSize(to_native(key), &size);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    std::vector<std::byte> bytes(size);
    if (size > 0) {
      hr = attributes()->GetBlob(to_native(key), reinterpret_cast<UINT8*>(bytes.data()), size, &size);
      if (FAILED(hr)) {
        return hresult_failure(hr);
      }
      bytes.resize(size);
    }
    return bytes;
  }

 protected:
  [[nodiscard]] virtual IMFAttributes* attributes() const = 0;
};

class AttributesAdapter final : public AttributesOf<mf::Attributes> {
 public:
  explicit AttributesAdapter(ComPtr<IMFAttributes> native) : native_(std::move(native)) {}

 private:
  IMFAttributes* attributes() const override { return native_.Get(); }
  ComPtr<IMFAttributes> native_;
};

class MediaTypeAdapter final : public AttributesOf<mf::MediaType> {
 public:
  explicit MediaTypeAdapter(ComPtr<IMFMediaType> native) : native_(std::move(native)) {}
  [[nodiscard]] IMFMediaType* native() const { return native_.Get(); }

 private:
  IMFAttributes* attributes() const override { return native_.Get(); }
  ComPtr<IMFMediaType> native_;
};

class MediaBufferAdapter final : public mf::MediaBuffer {
 public:
  explicit MediaBufferAdapter(ComPtr<IMFMediaBuffer> native) : native_(std::move(native)) {}
  [[nodiscard]] IMFMediaBuffer* native() const { return native_.Get(); }

  Result<Locked> lock() override {
    BYTE* data = nullptr;
    DWORD max_length = 0;
    DWORD current_length = 0;
    const HRESULT hr = native_->Lock(&data, &max_length, &current_length);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return Locked{data, max_length, current_length};
  }
  Status unlock() override { return check(native_->Unlock()); }
  Result<std::uint32_t> get_current_length() override {
    DWORD length = 0;
    const HRESULT hr = native_->GetCurrentLength(&length);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return length;
  }
  Result<std::uint32_t> get_max_length() override {
    DWORD length = 0;
    const HRESULT hr = native_->GetMaxLength(&length);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return length;
  }
  Status set_current_length(std::uint32_t length) override {
    return check(native_->SetCurrentLength(length));
  }

 private:
  ComPtr<IMFMediaBuffer> native_;
};

class SampleAdapter final : public AttributesOf<mf::Sample> {
 public:
  explicit SampleAdapter(ComPtr<IMFSample> native) : native_(std::move(native)) {}
  [[nodiscard]] IMFSample* native() const { return native_.Get(); }

  Status add_buffer(std::shared_ptr<mf::MediaBuffer> buffer) override {
    auto* adapter = dynamic_cast<MediaBufferAdapter*>(buffer.get());
    if (adapter == nullptr) {
      return hresult_failure(E_INVALIDARG);
    }
    return check(native_->AddBuffer(adapter->native()));
  }
  Status set_sample_time(std::int64_t time_100ns) override {
    return check(native_->SetSampleTime(time_100ns));
  }
  Status set_sample_duration(std::int64_t duration_100ns) override {
    return check(native_->SetSampleDuration(duration_100ns));
  }
  Result<std::int64_t> get_sample_time() override {
    LONGLONG time = 0;
    const HRESULT hr = native_->GetSampleTime(&time);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return time;
  }
  Result<std::shared_ptr<mf::MediaBuffer>> convert_to_contiguous_buffer() override {
    ComPtr<IMFMediaBuffer> buffer;
    const HRESULT hr = native_->ConvertToContiguousBuffer(&buffer);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<mf::MediaBuffer>(wrap<MediaBufferAdapter>(std::move(buffer)));
  }

 private:
  IMFAttributes* attributes() const override { return native_.Get(); }
  ComPtr<IMFSample> native_;
};

class MediaEventAdapter final : public mf::MediaEvent {
 public:
  explicit MediaEventAdapter(ComPtr<IMFMediaEvent> native) : native_(std::move(native)) {}
  Result<std::uint32_t> get_type() override {
    MediaEventType type = 0;
    const HRESULT hr = native_->GetType(&type);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return type;
  }
  Result<std::uint32_t> get_status() override {
    HRESULT event_status = S_OK;
    const HRESULT hr = native_->GetStatus(&event_status);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return static_cast<std::uint32_t>(event_status);
  }

 private:
  ComPtr<IMFMediaEvent> native_;
};

class MediaEventGeneratorAdapter final : public mf::MediaEventGenerator {
 public:
  explicit MediaEventGeneratorAdapter(ComPtr<IMFMediaEventGenerator> native)
      : native_(std::move(native)) {}
  Result<std::shared_ptr<mf::MediaEvent>> get_event(std::uint32_t flags) override {
    ComPtr<IMFMediaEvent> event;
    const HRESULT hr = native_->GetEvent(flags, &event);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<mf::MediaEvent>(wrap<MediaEventAdapter>(std::move(event)));
  }

 private:
  ComPtr<IMFMediaEventGenerator> native_;
};

// Clears a VARIANT however it was filled.
class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&value); }
  ~ScopedVariant() { VariantClear(&value); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  VARIANT value;
};

class CodecApiAdapter final : public mf::CodecApi {
 public:
  explicit CodecApiAdapter(ComPtr<ICodecAPI> native) : native_(std::move(native)) {}

  // The value goes out with the type the caller chose; the encoder decides
  // whether it accepts that type for the property.
  Status set_value(const Guid& api, const mf::Variant& value) override {
    ScopedVariant variant;
    switch (value.type) {
      case mf::Variant::Type::Empty:
        break;
      case mf::Variant::Type::Bool:
        variant.value.vt = VT_BOOL;
        variant.value.boolVal = value.bool_val;
        break;
      case mf::Variant::Type::UI4:
        variant.value.vt = VT_UI4;
        variant.value.ulVal = static_cast<ULONG>(value.ui);
        break;
      case mf::Variant::Type::I4:
        variant.value.vt = VT_I4;
        variant.value.lVal = static_cast<LONG>(value.ui);
        break;
      case mf::Variant::Type::UI8:
        variant.value.vt = VT_UI8;
        variant.value.ullVal = value.ui;
        break;
      default:
        return hresult_failure(DISP_E_BADVARTYPE);
    }
    const GUID native_api = to_native(api);
    return check(native_->SetValue(&native_api, &variant.value));
  }

  Result<bool> is_supported(const Guid& api) override {
    const GUID native_api = to_native(api);
    const HRESULT hr = native_->IsSupported(&native_api);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return hr == S_OK;
  }

  Result<mf::Variant> get_value(const Guid& api) override {
    ScopedVariant variant;
    const GUID native_api = to_native(api);
    const HRESULT hr = native_->GetValue(&native_api, &variant.value);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    // The type travels as the VARIANT's own type code, so a value of a type
    // the program does not expect is seen as such rather than as a failed
    // read; integers keep their bits in `ui`.
    mf::Variant value;
    value.type = static_cast<mf::Variant::Type>(variant.value.vt);
    switch (variant.value.vt) {
      case VT_BOOL:
        value.bool_val = variant.value.boolVal;
        break;
      case VT_UI1:
        value.ui = variant.value.bVal;
        break;
      case VT_UI2:
        value.ui = variant.value.uiVal;
        break;
      case VT_UI4:
        value.ui = variant.value.ulVal;
        break;
      case VT_UINT:
        value.ui = variant.value.uintVal;
        break;
      case VT_UI8:
        value.ui = variant.value.ullVal;
        break;
      case VT_I1:
        value.ui = static_cast<std::uint64_t>(static_cast<std::int64_t>(variant.value.cVal));
        break;
      case VT_I2:
        value.ui = static_cast<std::uint64_t>(static_cast<std::int64_t>(variant.value.iVal));
        break;
      case VT_I4:
        value.ui = static_cast<std::uint64_t>(static_cast<std::int64_t>(variant.value.lVal));
        break;
      case VT_INT:
        value.ui = static_cast<std::uint64_t>(static_cast<std::int64_t>(variant.value.intVal));
        break;
      case VT_I8:
        value.ui = static_cast<std::uint64_t>(variant.value.llVal);
        break;
      default:
        break;
    }
    return value;
  }

 private:
  ComPtr<ICodecAPI> native_;
};

class DxgiDeviceManagerAdapter final : public mf::DxgiDeviceManager {
 public:
  explicit DxgiDeviceManagerAdapter(ComPtr<IMFDXGIDeviceManager> native)
      : native_(std::move(native)) {}
  [[nodiscard]] IMFDXGIDeviceManager* native() const { return native_.Get(); }

  Status reset_device(d3d11::Device& device, std::uint32_t reset_token) override {
    auto* adapter = dynamic_cast<D3D11Device*>(&device);
    if (adapter == nullptr) {
      return hresult_failure(E_INVALIDARG);
    }
    return check(native_->ResetDevice(adapter->native(), reset_token));
  }

 private:
  ComPtr<IMFDXGIDeviceManager> native_;
};

class TransformAdapter final : public mf::Transform {
 public:
  explicit TransformAdapter(ComPtr<IMFTransform> native) : native_(std::move(native)) {}

  Result<std::shared_ptr<mf::Attributes>> get_attributes() override {
    ComPtr<IMFAttributes> attributes;
    const HRESULT hr = native_->GetAttributes(&attributes);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<mf::Attributes>(wrap<AttributesAdapter>(std::move(attributes)));
  }

  Result<std::shared_ptr<mf::MediaEventGenerator>> query_event_generator() override {
    ComPtr<IMFMediaEventGenerator> generator;
    const HRESULT hr = native_.As(&generator);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<mf::MediaEventGenerator>(
        wrap<MediaEventGeneratorAdapter>(std::move(generator)));
  }

  Result<std::shared_ptr<mf::CodecApi>> query_codec_api() override {
    // mingw-w64 gives ICodecAPI no __uuidof; libstrmiids has the id.
    ComPtr<ICodecAPI> codec_api;
    const HRESULT hr =
        native_->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(codec_api.GetAddressOf()));
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<mf::CodecApi>(wrap<CodecApiAdapter>(std::move(codec_api)));
  }

  Status set_output_type(std::uint32_t stream_id, mf::MediaType& type, std::uint32_t flags) override {
    auto* adapter = dynamic_cast<MediaTypeAdapter*>(&type);
    if (adapter == nullptr) {
      return hresult_failure(E_INVALIDARG);
    }
    return check(native_->SetOutputType(stream_id, adapter->native(), flags));
  }

  Status set_input_type(std::uint32_t stream_id, mf::MediaType& type, std::uint32_t flags) override {
    auto* adapter = dynamic_cast<MediaTypeAdapter*>(&type);
    if (adapter == nullptr) {
      return hresult_failure(E_INVALIDARG);
    }
    return check(native_->SetInputType(stream_id, adapter->native(), flags));
  }

  Result<std::shared_ptr<mf::MediaType>> get_output_available_type(std::uint32_t stream_id,
                                                                   std::uint32_t type_index) override {
    ComPtr<IMFMediaType> type;
    const HRESULT hr = native_->GetOutputAvailableType(stream_id, type_index, &type);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<mf::MediaType>(wrap<MediaTypeAdapter>(std::move(type)));
  }

  Result<std::shared_ptr<mf::MediaType>> get_output_current_type(std::uint32_t stream_id) override {
    ComPtr<IMFMediaType> type;
    const HRESULT hr = native_->GetOutputCurrentType(stream_id, &type);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<mf::MediaType>(wrap<MediaTypeAdapter>(std::move(type)));
  }

  Result<mf::OutputStreamInfo> get_output_stream_info(std::uint32_t stream_id) override {
    MFT_OUTPUT_STREAM_INFO info{};
    const HRESULT hr = native_->GetOutputStreamInfo(stream_id, &info);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return mf::OutputStreamInfo{info.dwFlags, info.cbSize, info.cbAlignment};
  }

  Status process_message(mf::MftMessage message, mf::DxgiDeviceManager* manager) override {
    ULONG_PTR parameter = 0;
    if (manager != nullptr) {
      auto* adapter = dynamic_cast<DxgiDeviceManagerAdapter*>(manager);
      if (adapter == nullptr) {
        return hresult_failure(E_INVALIDARG);
      }
      // The message carries the manager as its IUnknown pointer.
      IUnknown* unknown = adapter->native();
      parameter = reinterpret_cast<ULONG_PTR>(unknown);
    }
    return check(native_->ProcessMessage(static_cast<MFT_MESSAGE_TYPE>(message), parameter));
  }

  Status process_input(std::uint32_t stream_id, mf::Sample& sample, std::uint32_t flags) override {
    auto* adapter = dynamic_cast<SampleAdapter*>(&sample);
    if (adapter == nullptr) {
      return hresult_failure(E_INVALIDARG);
    }
    return check(native_->ProcessInput(stream_id, adapter->native(), flags));
  }

  Status process_output(std::uint32_t flags, mf::OutputDataBuffer& buffer,
                        std::uint32_t& status) override {
    IMFSample* given = nullptr;
    if (buffer.sample) {
      auto* adapter = dynamic_cast<SampleAdapter*>(buffer.sample.get());
      if (adapter == nullptr) {
        return hresult_failure(E_INVALIDARG);
      }
      given = adapter->native();
    }
    MFT_OUTPUT_DATA_BUFFER native_buffer{};
    native_buffer.dwStreamID = buffer.stream_id;
    native_buffer.pSample = given;
    DWORD native_status = 0;
    const HRESULT hr = native_->ProcessOutput(flags, 1, &native_buffer, &native_status);

    // The event collection is ours to release whatever the outcome.
    const ComPtr<IMFCollection> events = adopt_reference(native_buffer.pEvents);
    // A sample the encoder allocated itself comes with a reference for us.
    ComPtr<IMFSample> produced;
    if (native_buffer.pSample != nullptr && native_buffer.pSample != given) {
      produced = adopt_reference(native_buffer.pSample);
    }
    buffer.status = native_buffer.dwStatus;
    status = native_status;
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    if (produced) {
      buffer.sample = wrap<SampleAdapter>(std::move(produced));
    }
    return {};
  }

 private:
  ComPtr<IMFTransform> native_;
};

// MFT_ENUM_ADAPTER_LUID, from the Windows SDK's mfapi.h (mingw-w64 10 lacks
// it): {1D39518C-E220-4DA8-A07F-BA172552D6B1}.
constexpr GUID mft_enum_adapter_luid = {0x1d39518c, 0xe220, 0x4da8, {0xa0, 0x7f, 0xba, 0x17, 0x25, 0x52, 0xd6, 0xb1}};

class ActivateAdapter final : public mf::Activate {
 public:
  explicit ActivateAdapter(ComPtr<IMFActivate> native) : native_(std::move(native)) {}
  Result<std::shared_ptr<mf::Transform>> activate_object() override {
    ComPtr<IMFTransform> transform;
    const HRESULT hr =
        native_->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(transform.GetAddressOf()));
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<mf::Transform>(wrap<TransformAdapter>(std::move(transform)));
  }
  Result<std::u16string> get_friendly_name() override {
    LPWSTR name = nullptr;
    UINT32 length = 0;
    const HRESULT hr = native_->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &name, &length);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    std::u16string text(reinterpret_cast<const char16_t*>(name), length);
    CoTaskMemFree(name);
    return text;
  }
  Result<LocallyUniqueId> get_adapter_luid() override {
    LUID luid{};
    UINT32 size = 0;
    const HRESULT hr =
        native_->GetBlob(mft_enum_adapter_luid, reinterpret_cast<UINT8*>(&luid), sizeof(luid), &size);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    if (size != sizeof(luid)) {
      return hresult_failure(MF_E_INVALIDTYPE);
    }
    return LocallyUniqueId{luid.LowPart, luid.HighPart};
  }
  Status shutdown_object() override { return check(native_->ShutdownObject()); }

 private:
  ComPtr<IMFActivate> native_;
};


// MFTEnum2 (mfplat.dll, Windows 10 1703 and later), looked up at run time so
// the program still starts where it is missing.
using MftEnum2Function = HRESULT(WINAPI*)(GUID, UINT32, const MFT_REGISTER_TYPE_INFO*, const MFT_REGISTER_TYPE_INFO*,
                                          IMFAttributes*, IMFActivate***, UINT32*);

MftEnum2Function find_mft_enum2() {
  HMODULE mfplat = GetModuleHandleW(L"mfplat.dll");
  if (mfplat == nullptr) {
    return nullptr;
  }
  void* address = reinterpret_cast<void*>(GetProcAddress(mfplat, "MFTEnum2"));
  return reinterpret_cast<MftEnum2Function>(address);
}

// Adapters for an MFTEnumEx / MFTEnum2 array; each entry's reference moves
// to its adapter and the array is freed.
std::vector<std::shared_ptr<mf::Activate>> adopt_activates(IMFActivate** array, UINT32 count) {
  std::vector<std::shared_ptr<mf::Activate>> activates;
  activates.reserve(count);
  for (UINT32 i = 0; i < count; ++i) {
    activates.push_back(wrap<ActivateAdapter>(adopt_reference(array[i])));
  }
  CoTaskMemFree(array);
  return activates;
}

MFT_REGISTER_TYPE_INFO to_native_type_info(const mf::RegisterTypeInfo& info) {
  return MFT_REGISTER_TYPE_INFO{to_native(info.major_type), to_native(info.subtype)};
}

}  // namespace

std::shared_ptr<mf::Transform> make_transform_adapter(IMFTransform* transform) {
  return wrap<TransformAdapter>(ComPtr<IMFTransform>(transform));
}

Status MediaFoundationAdapter::mf_startup(std::uint32_t version, std::uint32_t flags) {
  return check(MFStartup(version, flags));
}

Status MediaFoundationAdapter::mf_shutdown() { return check(MFShutdown()); }

Result<std::vector<std::shared_ptr<mf::Activate>>> MediaFoundationAdapter::mft_enum_ex(
    const Guid& category, std::uint32_t flags, const mf::RegisterTypeInfo& input_type,
    const mf::RegisterTypeInfo& output_type) {
  const MFT_REGISTER_TYPE_INFO native_input = to_native_type_info(input_type);
  const MFT_REGISTER_TYPE_INFO native_output = to_native_type_info(output_type);
  IMFActivate** array = nullptr;
  UINT32 count = 0;
  const HRESULT hr =
      MFTEnumEx(to_native(category), flags, &native_input, &native_output, &array, &count);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return adopt_activates(array, count);
}

Result<std::vector<std::shared_ptr<mf::Activate>>> MediaFoundationAdapter::mft_enum2(
    const Guid& category, std::uint32_t flags, const mf::RegisterTypeInfo& input_type,
    const mf::RegisterTypeInfo& output_type, LocallyUniqueId adapter) {
  const MftEnum2Function enum2 = find_mft_enum2();
  if (enum2 == nullptr) {
    return hresult_failure(E_NOTIMPL);
  }
  ComPtr<IMFAttributes> attributes;
  if (const HRESULT hr = MFCreateAttributes(&attributes, 1); FAILED(hr)) {
    return hresult_failure(hr);
  }
  LUID luid{};
  luid.LowPart = adapter.low_part;
  luid.HighPart = adapter.high_part;
  if (const HRESULT hr = attributes->SetBlob(mft_enum_adapter_luid, reinterpret_cast<const UINT8*>(&luid), sizeof(luid));
      FAILED(hr)) {
    return hresult_failure(hr);
  }
  const MFT_REGISTER_TYPE_INFO native_input = to_native_type_info(input_type);
  const MFT_REGISTER_TYPE_INFO native_output = to_native_type_info(output_type);
  IMFActivate** array = nullptr;
  UINT32 count = 0;
  const HRESULT hr =
      enum2(to_native(category), flags, &native_input, &native_output, attributes.Get(), &array, &count);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return adopt_activates(array, count);
}

Result<mf::CreatedDeviceManager> MediaFoundationAdapter::mf_create_dxgi_device_manager() {
  UINT reset_token = 0;
  ComPtr<IMFDXGIDeviceManager> manager;
  const HRESULT hr = MFCreateDXGIDeviceManager(&reset_token, &manager);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return mf::CreatedDeviceManager{reset_token, wrap<DxgiDeviceManagerAdapter>(std::move(manager))};
}

Result<std::shared_ptr<mf::MediaType>> MediaFoundationAdapter::mf_create_media_type() {
  ComPtr<IMFMediaType> type;
  const HRESULT hr = MFCreateMediaType(&type);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return std::shared_ptr<mf::MediaType>(wrap<MediaTypeAdapter>(std::move(type)));
}

Result<std::shared_ptr<mf::Sample>> MediaFoundationAdapter::mf_create_sample() {
  ComPtr<IMFSample> sample;
  const HRESULT hr = MFCreateSample(&sample);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return std::shared_ptr<mf::Sample>(wrap<SampleAdapter>(std::move(sample)));
}

Result<std::shared_ptr<mf::MediaBuffer>> MediaFoundationAdapter::mf_create_memory_buffer(
    std::uint32_t max_length) {
  ComPtr<IMFMediaBuffer> buffer;
  const HRESULT hr = MFCreateMemoryBuffer(max_length, &buffer);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return std::shared_ptr<mf::MediaBuffer>(wrap<MediaBufferAdapter>(std::move(buffer)));
}

Result<std::shared_ptr<mf::MediaBuffer>> MediaFoundationAdapter::mf_create_dxgi_surface_buffer(
    std::shared_ptr<d3d11::Texture2D> texture, std::uint32_t subresource_index,
    bool bottom_up_when_linear) {
  auto* adapter = dynamic_cast<D3D11Texture2D*>(texture.get());
  if (adapter == nullptr) {
    return hresult_failure(E_INVALIDARG);
  }
  ComPtr<IMFMediaBuffer> buffer;
  const HRESULT hr = MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), adapter->native(),
                                               subresource_index,
                                               bottom_up_when_linear ? TRUE : FALSE, &buffer);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return std::shared_ptr<mf::MediaBuffer>(wrap<MediaBufferAdapter>(std::move(buffer)));
}

Status MediaFoundationAdapter::co_initialize_ex(std::uint32_t coinit) {
  return check(CoInitializeEx(nullptr, coinit));
}

void MediaFoundationAdapter::co_uninitialize() { CoUninitialize(); }

}  // namespace quorvex::platform::windows
