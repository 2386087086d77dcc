#include "platform/windows/graphics_capture_adapter.h"

#include <windows.h>
#include <combaseapi.h>
#include <roapi.h>
#include <winstring.h>
#include <wrl/client.h>

#include <string>

#include "platform/windows/com_delegate.h"
#include "platform/windows/d3d11_adapter.h"
#include "platform/windows/system_error.h"
#include "platform/windows/utf16.h"
#include "platform/windows/winrt_abi.h"

namespace quorvex::platform::windows {
namespace {

using Microsoft::WRL::ComPtr;

// An owned HSTRING.
class HString {
 public:
  HString() = default;
  ~HString() { WindowsDeleteString(value_); }
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;

  [[nodiscard]] static Result<HString> create(std::wstring_view text) {
    HString string;
    const HRESULT hr = WindowsCreateString(text.data(), static_cast<UINT32>(text.size()), &string.value_);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return string;
  }
  [[nodiscard]] static Result<HString> from_utf8(std::string_view text) {
    return create(to_wide(utf8_to_utf16(text)));
  }
  HString(HString&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  HString& operator=(HString&&) = delete;

  [[nodiscard]] HSTRING get() const { return value_; }

 private:
  HSTRING value_ = nullptr;
};

template <class T>
Result<ComPtr<T>> query(IUnknown* from) {
  ComPtr<T> to;
  const HRESULT hr = from->QueryInterface(T::iid, reinterpret_cast<void**>(to.GetAddressOf()));
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  if (!to) {
    return hresult_failure(E_NOINTERFACE);
  }
  return to;
}

template <class Factory>
Result<ComPtr<Factory>> activation_factory(const wchar_t* class_name) {
  auto name = HString::create(class_name);
  if (!name) {
    return std::unexpected(name.error());
  }
  ComPtr<Factory> factory;
  const HRESULT hr = RoGetActivationFactory(name->get(), Factory::iid,
                                            reinterpret_cast<void**>(factory.GetAddressOf()));
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  if (!factory) {
    return hresult_failure(E_NOINTERFACE);
  }
  return factory;
}

// Frames, pools and sessions are closed through IClosable, which they
// implement beside their own interface.
Status close_object(IUnknown* object) {
  auto closable = query<abi::IClosable>(object);
  if (!closable) {
    return std::unexpected(closable.error());
  }
  return check((*closable)->Close());
}

abi::SizeInt32 to_native(wgc::SizeInt32 size) { return {size.width, size.height}; }
wgc::SizeInt32 from_native(abi::SizeInt32 size) { return {size.Width, size.Height}; }
abi::Token to_native(wgc::EventRegistrationToken token) { return {token.value}; }

template <class Adapter, class Native>
std::shared_ptr<Adapter> wrap(ComPtr<Native> native) {
  if (!native) {
    return nullptr;
  }
  return std::make_shared<Adapter>(std::move(native));
}

class Direct3DDeviceAdapter final : public wgc::Direct3DDevice {
 public:
  explicit Direct3DDeviceAdapter(ComPtr<abi::IDirect3DDevice> native) : native_(std::move(native)) {}
  [[nodiscard]] abi::IDirect3DDevice* native() const { return native_.Get(); }

 private:
  ComPtr<abi::IDirect3DDevice> native_;
};

abi::IDirect3DDevice* native_device(wgc::Direct3DDevice& device) {
  auto* adapter = dynamic_cast<Direct3DDeviceAdapter*>(&device);
  return adapter != nullptr ? adapter->native() : nullptr;
}

class Direct3DSurfaceAdapter final : public wgc::Direct3DSurface {
 public:
  explicit Direct3DSurfaceAdapter(ComPtr<abi::IDirect3DSurface> native) : native_(std::move(native)) {}

  Result<std::shared_ptr<d3d11::Texture2D>> get_texture() override {
    auto access = query<abi::IDirect3DDxgiInterfaceAccess>(native_.Get());
    if (!access) {
      return std::unexpected(access.error());
    }
    ComPtr<ID3D11Texture2D> texture;
    const HRESULT hr = (*access)->GetInterface(__uuidof(ID3D11Texture2D),
                                               reinterpret_cast<void**>(texture.GetAddressOf()));
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<d3d11::Texture2D>(wrap<D3D11Texture2D>(std::move(texture)));
  }

 private:
  ComPtr<abi::IDirect3DSurface> native_;
};

class CaptureFrameAdapter final : public wgc::CaptureFrame {
 public:
  explicit CaptureFrameAdapter(ComPtr<abi::IDirect3D11CaptureFrame> native)
      : native_(std::move(native)) {}

  Result<std::shared_ptr<wgc::Direct3DSurface>> get_surface() override {
    ComPtr<abi::IDirect3DSurface> surface;
    const HRESULT hr = native_->get_Surface(&surface);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<wgc::Direct3DSurface>(wrap<Direct3DSurfaceAdapter>(std::move(surface)));
  }
  Result<std::int64_t> get_system_relative_time() override {
    abi::TimeSpan time{};
    const HRESULT hr = native_->get_SystemRelativeTime(&time);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return time.Duration;
  }
  Result<wgc::SizeInt32> get_content_size() override {
    abi::SizeInt32 size{};
    const HRESULT hr = native_->get_ContentSize(&size);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return from_native(size);
  }
  Status close() override { return close_object(native_.Get()); }

 private:
  ComPtr<abi::IDirect3D11CaptureFrame> native_;
};

class CaptureItemAdapter final : public wgc::CaptureItem {
 public:
  explicit CaptureItemAdapter(ComPtr<abi::IGraphicsCaptureItem> native) : native_(std::move(native)) {}
  [[nodiscard]] abi::IGraphicsCaptureItem* native() const { return native_.Get(); }

  Result<wgc::SizeInt32> get_size() override {
    abi::SizeInt32 size{};
    const HRESULT hr = native_->get_Size(&size);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return from_native(size);
  }

  Result<wgc::EventRegistrationToken> add_closed(ClosedHandler handler) override {
    auto delegate = ComDelegate<abi::IItemClosedHandler, abi::IGraphicsCaptureItem*, IInspectable*>::create(
        [handler = std::move(handler)](abi::IGraphicsCaptureItem*, IInspectable*) {
          return static_cast<HRESULT>(handler());
        });
    abi::Token token{};
    const HRESULT hr = native_->add_Closed(delegate.Get(), &token);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return wgc::EventRegistrationToken{token.value};
  }

  Status remove_closed(wgc::EventRegistrationToken token) override {
    return check(native_->remove_Closed(to_native(token)));
  }

 private:
  ComPtr<abi::IGraphicsCaptureItem> native_;
};

class CaptureSessionAdapter final : public wgc::CaptureSession {
 public:
  explicit CaptureSessionAdapter(ComPtr<abi::IGraphicsCaptureSession> native)
      : native_(std::move(native)) {}

  Status start_capture() override { return check(native_->StartCapture()); }

  Status put_is_cursor_capture_enabled(bool enabled) override {
    auto session2 = query<abi::IGraphicsCaptureSession2>(native_.Get());
    if (!session2) {
      return std::unexpected(session2.error());
    }
    return check((*session2)->put_IsCursorCaptureEnabled(enabled ? 1 : 0));
  }

  Status put_is_border_required(bool required) override {
    auto session3 = query<abi::IGraphicsCaptureSession3>(native_.Get());
    if (!session3) {
      return std::unexpected(session3.error());
    }
    return check((*session3)->put_IsBorderRequired(required ? 1 : 0));
  }

  Status close() override { return close_object(native_.Get()); }

 private:
  ComPtr<abi::IGraphicsCaptureSession> native_;
};

class CaptureFramePoolAdapter final : public wgc::CaptureFramePool {
 public:
  explicit CaptureFramePoolAdapter(ComPtr<abi::IDirect3D11CaptureFramePool> native)
      : native_(std::move(native)) {}

  Status recreate(wgc::Direct3DDevice& device, std::int32_t pixel_format,
                  std::int32_t number_of_buffers, wgc::SizeInt32 size) override {
    abi::IDirect3DDevice* native = native_device(device);
    if (native == nullptr) {
      return hresult_failure(E_INVALIDARG);
    }
    return check(native_->Recreate(native, pixel_format, number_of_buffers, to_native(size)));
  }

  Result<std::shared_ptr<wgc::CaptureFrame>> try_get_next_frame() override {
    ComPtr<abi::IDirect3D11CaptureFrame> frame;
    const HRESULT hr = native_->TryGetNextFrame(&frame);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    // An empty pool answers success without a frame.
    return std::shared_ptr<wgc::CaptureFrame>(wrap<CaptureFrameAdapter>(std::move(frame)));
  }

  Result<wgc::EventRegistrationToken> add_frame_arrived(FrameArrivedHandler handler) override {
    // The sender is handed on as a pool of its own for the call's length, so
    // the delegate holds no reference to this adapter, which the program may
    // release while the registration lives.
    auto delegate =
        ComDelegate<abi::IFrameArrivedHandler, abi::IDirect3D11CaptureFramePool*, IInspectable*>::create(
            [handler = std::move(handler)](abi::IDirect3D11CaptureFramePool* sender, IInspectable*) {
              if (sender == nullptr) {
                return E_POINTER;
              }
              CaptureFramePoolAdapter pool{ComPtr<abi::IDirect3D11CaptureFramePool>(sender)};
              return static_cast<HRESULT>(handler(pool));
            });
    abi::Token token{};
    const HRESULT hr = native_->add_FrameArrived(delegate.Get(), &token);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return wgc::EventRegistrationToken{token.value};
  }

  Status remove_frame_arrived(wgc::EventRegistrationToken token) override {
    return check(native_->remove_FrameArrived(to_native(token)));
  }

  Result<std::shared_ptr<wgc::CaptureSession>> create_capture_session(wgc::CaptureItem& item) override {
    auto* adapter = dynamic_cast<CaptureItemAdapter*>(&item);
    if (adapter == nullptr) {
      return hresult_failure(E_INVALIDARG);
    }
    ComPtr<abi::IGraphicsCaptureSession> session;
    const HRESULT hr = native_->CreateCaptureSession(adapter->native(), &session);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<wgc::CaptureSession>(wrap<CaptureSessionAdapter>(std::move(session)));
  }

  Status close() override { return close_object(native_.Get()); }

 private:
  ComPtr<abi::IDirect3D11CaptureFramePool> native_;
};

class AsyncActionAdapter final : public wgc::AsyncAction {
 public:
  explicit AsyncActionAdapter(ComPtr<abi::IAsyncAction> native) : native_(std::move(native)) {}

  Status put_completed(CompletedHandler handler) override {
    auto delegate =
        ComDelegate<abi::IAsyncActionCompletedHandler, abi::IAsyncAction*, abi::AsyncStatus>::create(
            [handler = std::move(handler)](abi::IAsyncAction*, abi::AsyncStatus status) {
              handler(static_cast<wgc::AsyncStatus>(status));
              return S_OK;
            });
    return check(native_->put_Completed(delegate.Get()));
  }

 private:
  ComPtr<abi::IAsyncAction> native_;
};

class DispatcherQueueControllerAdapter final : public wgc::DispatcherQueueController {
 public:
  explicit DispatcherQueueControllerAdapter(ComPtr<abi::IDispatcherQueueController> native)
      : native_(std::move(native)) {}

  Result<std::shared_ptr<wgc::AsyncAction>> shutdown_queue_async() override {
    ComPtr<abi::IAsyncAction> action;
    const HRESULT hr = native_->ShutdownQueueAsync(&action);
    if (FAILED(hr)) {
      return hresult_failure(hr);
    }
    return std::shared_ptr<wgc::AsyncAction>(wrap<AsyncActionAdapter>(std::move(action)));
  }

 private:
  ComPtr<abi::IDispatcherQueueController> native_;
};

// The apartment usage lives for the rest of the process: decrementing it
// from a destructor could run during static destruction, after COM's own
// teardown, so the cookie is deliberately never handed back.
class MtaUsageCookieAdapter final : public wgc::MtaUsageCookie {
 public:
  explicit MtaUsageCookieAdapter(CO_MTA_USAGE_COOKIE cookie) : cookie_(cookie) {}

 private:
  [[maybe_unused]] CO_MTA_USAGE_COOKIE cookie_;
};

struct CoreMessaging {
  abi::CreateDispatcherQueueControllerFunction create_controller = nullptr;
  HRESULT load_status = S_OK;
};

// CoreMessaging.dll is looked up once, from the system directory only, and
// stays loaded for the process.
const CoreMessaging& core_messaging() {
  static const CoreMessaging loaded = [] {
    CoreMessaging result;
    HMODULE module = LoadLibraryExW(L"CoreMessaging.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
      result.load_status = HRESULT_FROM_WIN32(GetLastError());
      return result;
    }
    // Through void*: a direct cast between function pointer types trips
    // -Wcast-function-type.
    void* address = reinterpret_cast<void*>(GetProcAddress(module, "CreateDispatcherQueueController"));
    if (address == nullptr) {
      result.load_status = HRESULT_FROM_WIN32(GetLastError());
      return result;
    }
    result.create_controller = reinterpret_cast<abi::CreateDispatcherQueueControllerFunction>(address);
    return result;
  }();
  return loaded;
}

Result<bool> ask_api_information(
    const std::function<HRESULT(abi::IApiInformationStatics&, abi::Boolean*)>& question) {
  auto statics = activation_factory<abi::IApiInformationStatics>(abi::api_information_class);
  if (!statics) {
    return std::unexpected(statics.error());
  }
  abi::Boolean present = 0;
  const HRESULT hr = question(*statics->Get(), &present);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return present != 0;
}

Result<std::shared_ptr<wgc::CaptureItem>> create_item(
    const std::function<HRESULT(abi::IGraphicsCaptureItemInterop&, void**)>& create) {
  auto interop = activation_factory<abi::IGraphicsCaptureItemInterop>(abi::graphics_capture_item_class);
  if (!interop) {
    return std::unexpected(interop.error());
  }
  ComPtr<abi::IGraphicsCaptureItem> item;
  const HRESULT hr = create(*interop->Get(), reinterpret_cast<void**>(item.GetAddressOf()));
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return std::shared_ptr<wgc::CaptureItem>(wrap<CaptureItemAdapter>(std::move(item)));
}

}  // namespace

std::shared_ptr<wgc::CaptureFramePool> make_frame_pool_adapter(abi::IDirect3D11CaptureFramePool* pool) {
  return wrap<CaptureFramePoolAdapter>(ComPtr<abi::IDirect3D11CaptureFramePool>(pool));
}

std::shared_ptr<wgc::CaptureItem> make_capture_item_adapter(abi::IGraphicsCaptureItem* item) {
  return wrap<CaptureItemAdapter>(ComPtr<abi::IGraphicsCaptureItem>(item));
}

std::shared_ptr<wgc::CaptureSession> make_capture_session_adapter(abi::IGraphicsCaptureSession* session) {
  return wrap<CaptureSessionAdapter>(ComPtr<abi::IGraphicsCaptureSession>(session));
}

Result<std::uint32_t> GraphicsCaptureAdapter::ro_initialize_multithreaded() {
  const HRESULT hr = RoInitialize(RO_INIT_MULTITHREADED);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return static_cast<std::uint32_t>(hr);
}

Result<std::shared_ptr<wgc::MtaUsageCookie>> GraphicsCaptureAdapter::co_increment_mta_usage() {
  CO_MTA_USAGE_COOKIE cookie = nullptr;
  const HRESULT hr = CoIncrementMTAUsage(&cookie);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return std::make_shared<MtaUsageCookieAdapter>(cookie);
}

Result<std::shared_ptr<wgc::DispatcherQueueController>>
GraphicsCaptureAdapter::create_dispatcher_queue_controller(const wgc::DispatcherQueueOptions& options) {
  const CoreMessaging& messaging = core_messaging();
  if (messaging.create_controller == nullptr) {
    return hresult_failure(messaging.load_status);
  }
  const abi::DispatcherQueueOptions native_options{options.size,
                                                   static_cast<INT32>(options.thread_type),
                                                   static_cast<INT32>(options.apartment_type)};
  ComPtr<abi::IDispatcherQueueController> controller;
  const HRESULT hr = messaging.create_controller(native_options, controller.GetAddressOf());
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return std::shared_ptr<wgc::DispatcherQueueController>(
      wrap<DispatcherQueueControllerAdapter>(std::move(controller)));
}

Result<bool> GraphicsCaptureAdapter::is_property_present(std::string_view type_name,
                                                         std::string_view property_name) {
  auto type = HString::from_utf8(type_name);
  auto property = HString::from_utf8(property_name);
  if (!type) {
    return std::unexpected(type.error());
  }
  if (!property) {
    return std::unexpected(property.error());
  }
  return ask_api_information([&](abi::IApiInformationStatics& statics, abi::Boolean* present) {
    return statics.IsPropertyPresent(type->get(), property->get(), present);
  });
}

Result<bool> GraphicsCaptureAdapter::is_api_contract_present_by_major(std::string_view contract_name,
                                                                      std::uint16_t major_version) {
  auto contract = HString::from_utf8(contract_name);
  if (!contract) {
    return std::unexpected(contract.error());
  }
  return ask_api_information([&](abi::IApiInformationStatics& statics, abi::Boolean* present) {
    return statics.IsApiContractPresentByMajor(contract->get(), major_version, present);
  });
}

Result<bool> GraphicsCaptureAdapter::is_supported() {
  auto statics = activation_factory<abi::IGraphicsCaptureSessionStatics>(abi::capture_session_class);
  if (!statics) {
    return std::unexpected(statics.error());
  }
  abi::Boolean supported = 0;
  const HRESULT hr = (*statics)->IsSupported(&supported);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return supported != 0;
}

Result<std::shared_ptr<wgc::CaptureItem>> GraphicsCaptureAdapter::create_for_window(WindowHandle window) {
  return create_item([window](abi::IGraphicsCaptureItemInterop& interop, void** item) {
    return interop.CreateForWindow(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window.value)),
                                   abi::IGraphicsCaptureItem::iid, item);
  });
}

Result<std::shared_ptr<wgc::CaptureItem>> GraphicsCaptureAdapter::create_for_monitor(
    MonitorHandle monitor) {
  return create_item([monitor](abi::IGraphicsCaptureItemInterop& interop, void** item) {
    return interop.CreateForMonitor(
        reinterpret_cast<HMONITOR>(static_cast<std::uintptr_t>(monitor.value)),
        abi::IGraphicsCaptureItem::iid, item);
  });
}

Result<std::shared_ptr<wgc::Direct3DDevice>> GraphicsCaptureAdapter::create_direct3d11_device_from_dxgi_device(
    d3d11::DxgiDevice& dxgi_device) {
  auto* adapter = dynamic_cast<DxgiDeviceAdapter*>(&dxgi_device);
  if (adapter == nullptr) {
    return hresult_failure(E_INVALIDARG);
  }
  ComPtr<IInspectable> inspectable;
  const HRESULT hr = CreateDirect3D11DeviceFromDXGIDevice(adapter->native(), &inspectable);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  if (!inspectable) {
    return std::shared_ptr<wgc::Direct3DDevice>();
  }
  auto device = query<abi::IDirect3DDevice>(inspectable.Get());
  if (!device) {
    return std::unexpected(device.error());
  }
  return std::shared_ptr<wgc::Direct3DDevice>(wrap<Direct3DDeviceAdapter>(std::move(*device)));
}

Result<std::shared_ptr<wgc::CaptureFramePool>> GraphicsCaptureAdapter::create_frame_pool(
    wgc::Direct3DDevice& device, std::int32_t pixel_format, std::int32_t number_of_buffers,
    wgc::SizeInt32 size) {
  abi::IDirect3DDevice* native = native_device(device);
  if (native == nullptr) {
    return hresult_failure(E_INVALIDARG);
  }
  auto statics = activation_factory<abi::IDirect3D11CaptureFramePoolStatics>(abi::frame_pool_class);
  if (!statics) {
    return std::unexpected(statics.error());
  }
  ComPtr<abi::IDirect3D11CaptureFramePool> pool;
  const HRESULT hr = (*statics)->Create(native, pixel_format, number_of_buffers, to_native(size), &pool);
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return std::shared_ptr<wgc::CaptureFramePool>(wrap<CaptureFramePoolAdapter>(std::move(pool)));
}

}  // namespace quorvex::platform::windows
