// Hand-written binary interfaces of the Windows Runtime types the capture
// adapter calls (mingw-w64 ships no headers for them and its
// windows.foundation.h does not compile as C++). Each struct lists its
// methods in vtable order after the IUnknown (slots 0-2) or IInspectable
// (slots 3-5) base; "requires" relations of the metadata are not
// inheritance, so IClosable and friends are reached with QueryInterface.
//
// Rules these declarations keep, because breaking one silently corrupts
// calls: no virtual destructor (it would add slots), external linkage (GCC
// may turn calls through an unimplemented interface in an anonymous
// namespace into pure-virtual traps), one name per method (no overloads,
// whose slot order differs between compilers), WinRT boolean is one byte,
// structs and enums go by value exactly as declared.
//
// Thread contract: declarations only.
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi.h>
#include <eventtoken.h>
#include <hstring.h>
#include <inspectable.h>

#include <cstdint>

// COM interfaces have no virtual destructor by design (one would add vtable
// slots the system does not have), so GCC's check for one does not apply.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

namespace quorvex::platform::windows::abi {

using Boolean = unsigned char;
static_assert(sizeof(Boolean) == 1);

struct SizeInt32 {
  INT32 Width;
  INT32 Height;
};
static_assert(sizeof(SizeInt32) == 8);

struct TimeSpan {
  INT64 Duration;  // 100-ns units
};
static_assert(sizeof(TimeSpan) == 8);

using Token = ::EventRegistrationToken;
static_assert(sizeof(Token) == 8);

struct Direct3DMultisampleDescription {
  INT32 Count;
  INT32 Quality;
};

struct Direct3DSurfaceDescription {
  INT32 Width;
  INT32 Height;
  INT32 Format;  // DirectXPixelFormat
  Direct3DMultisampleDescription MultisampleDescription;
};
static_assert(sizeof(Direct3DSurfaceDescription) == 20);

struct DispatcherQueueOptions {
  DWORD dwSize;
  INT32 threadType;     // DQTYPE_THREAD_DEDICATED 1, DQTYPE_THREAD_CURRENT 2
  INT32 apartmentType;  // DQTAT_COM_NONE 0, ASTA 1, STA 2
};
static_assert(sizeof(DispatcherQueueOptions) == 12);

enum class AsyncStatus : INT32 { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

// Windows.Foundation

struct IClosable : IInspectable {
  static constexpr GUID iid{0x30D5A829, 0x7FA4, 0x4026, {0x83, 0xBB, 0xD7, 0x5B, 0xAE, 0x4E, 0xA9, 0x9E}};
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

struct IAsyncAction;

// AsyncActionCompletedHandler.
struct IAsyncActionCompletedHandler : IUnknown {
  static constexpr GUID iid{0xA4ED5C81, 0x76C9, 0x40BD, {0x8B, 0xE6, 0xB1, 0xD9, 0x0F, 0xB2, 0x0A, 0xE7}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(IAsyncAction* async_info, AsyncStatus status) = 0;
};

struct IAsyncAction : IInspectable {
  static constexpr GUID iid{0x5A648006, 0x843A, 0x4DA9, {0x86, 0x5B, 0x9D, 0x26, 0xE5, 0xDF, 0xAD, 0x7B}};
  // The setter comes first in this interface.
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IAsyncActionCompletedHandler* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IAsyncActionCompletedHandler** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults() = 0;
};

// Windows.Foundation.Metadata

struct IApiInformationStatics : IInspectable {
  static constexpr GUID iid{0x997439FE, 0xF681, 0x4A11, {0xB4, 0x16, 0xC1, 0x3A, 0x47, 0xE8, 0xBA, 0x36}};
  virtual HRESULT STDMETHODCALLTYPE IsTypePresent(HSTRING type_name, Boolean* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsMethodPresent(HSTRING type_name, HSTRING method_name,
                                                    Boolean* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsMethodPresentWithArity(HSTRING type_name, HSTRING method_name,
                                                             UINT32 input_parameter_count,
                                                             Boolean* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsEventPresent(HSTRING type_name, HSTRING event_name,
                                                   Boolean* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsPropertyPresent(HSTRING type_name, HSTRING property_name,
                                                      Boolean* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsReadOnlyPropertyPresent(HSTRING type_name,
                                                              HSTRING property_name,
                                                              Boolean* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsWriteablePropertyPresent(HSTRING type_name,
                                                               HSTRING property_name,
                                                               Boolean* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsEnumNamedValuePresent(HSTRING enum_type_name,
                                                            HSTRING value_name, Boolean* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsApiContractPresentByMajor(HSTRING contract_name,
                                                                UINT16 major_version,
                                                                Boolean* present) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsApiContractPresentByMajorAndMinor(HSTRING contract_name,
                                                                        UINT16 major_version,
                                                                        UINT16 minor_version,
                                                                        Boolean* present) = 0;
};

// Windows.System

struct IDispatcherQueueController : IInspectable {
  static constexpr GUID iid{0x22F34E66, 0x50DB, 0x4E36, {0xA9, 0x8D, 0x61, 0xC0, 0x1B, 0x38, 0x4D, 0x20}};
  virtual HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable** queue) = 0;
  virtual HRESULT STDMETHODCALLTYPE ShutdownQueueAsync(IAsyncAction** action) = 0;
};

// CreateDispatcherQueueController, loaded from CoreMessaging.dll at run
// time (no import library carries it).
using CreateDispatcherQueueControllerFunction =
    HRESULT(WINAPI*)(DispatcherQueueOptions options, IDispatcherQueueController** controller);

// Windows.Graphics.DirectX.Direct3D11

struct IDirect3DDevice : IInspectable {
  static constexpr GUID iid{0xA37624AB, 0x8D5F, 0x4650, {0x9D, 0x3E, 0x9E, 0xAE, 0x3D, 0x9B, 0xC6, 0x70}};
  virtual HRESULT STDMETHODCALLTYPE Trim() = 0;
};

struct IDirect3DSurface : IInspectable {
  static constexpr GUID iid{0x0BF4A146, 0x13C1, 0x4694, {0xBE, 0xE3, 0x7A, 0xBF, 0x15, 0xEA, 0xF5, 0x86}};
  virtual HRESULT STDMETHODCALLTYPE get_Description(Direct3DSurfaceDescription* description) = 0;
};

struct IDirect3DDxgiInterfaceAccess : IUnknown {
  static constexpr GUID iid{0xA9B3D012, 0x3DF2, 0x4EE3, {0xB8, 0xD1, 0x86, 0x95, 0xF4, 0x57, 0xD3, 0xC1}};
  virtual HRESULT STDMETHODCALLTYPE GetInterface(REFIID iid_wanted, void** object) = 0;
};

// Windows.Graphics.Capture

struct IGraphicsCaptureItem;
struct IDirect3D11CaptureFramePool;
struct IGraphicsCaptureSession;

// TypedEventHandler<GraphicsCaptureItem, Object>.
struct IItemClosedHandler : IUnknown {
  static constexpr GUID iid{0xE9C610C0, 0xA68C, 0x5BD9, {0x80, 0x21, 0x85, 0x89, 0x34, 0x6E, 0xEE, 0xE2}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(IGraphicsCaptureItem* sender, IInspectable* args) = 0;
};

// TypedEventHandler<Direct3D11CaptureFramePool, Object>.
struct IFrameArrivedHandler : IUnknown {
  static constexpr GUID iid{0x51A947F7, 0x79CF, 0x5A3E, {0xA3, 0xA5, 0x12, 0x89, 0xCF, 0xA6, 0xDF, 0xE8}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(IDirect3D11CaptureFramePool* sender, IInspectable* args) = 0;
};

struct IGraphicsCaptureItem : IInspectable {
  static constexpr GUID iid{0x79C3F95B, 0x31F7, 0x4EC2, {0xA4, 0x64, 0x63, 0x2E, 0xF5, 0xD3, 0x07, 0x60}};
  virtual HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING* name) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(SizeInt32* size) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_Closed(IItemClosedHandler* handler, Token* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_Closed(Token token) = 0;
};

// Classic COM interop interface of the GraphicsCaptureItem factory.
struct IGraphicsCaptureItemInterop : IUnknown {
  static constexpr GUID iid{0x3628E81B, 0x3CAC, 0x4C60, {0xB7, 0xF4, 0x23, 0xCE, 0x0E, 0x0C, 0x33, 0x56}};
  // Window first, whatever the documentation's alphabetical listing says.
  virtual HRESULT STDMETHODCALLTYPE CreateForWindow(HWND window, REFIID iid_wanted, void** item) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateForMonitor(HMONITOR monitor, REFIID iid_wanted, void** item) = 0;
};

struct IDirect3D11CaptureFrame : IInspectable {
  static constexpr GUID iid{0xFA50C623, 0x38DA, 0x4B32, {0xAC, 0xF3, 0xFA, 0x97, 0x34, 0xAD, 0x80, 0x0E}};
  virtual HRESULT STDMETHODCALLTYPE get_Surface(IDirect3DSurface** surface) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SystemRelativeTime(TimeSpan* time) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ContentSize(SizeInt32* size) = 0;
};

struct IDirect3D11CaptureFramePool : IInspectable {
  static constexpr GUID iid{0x24EB6D22, 0x1975, 0x422E, {0x82, 0xE7, 0x78, 0x0D, 0xBD, 0x8D, 0xDF, 0x24}};
  virtual HRESULT STDMETHODCALLTYPE Recreate(IDirect3DDevice* device, INT32 pixel_format,
                                             INT32 number_of_buffers, SizeInt32 size) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryGetNextFrame(IDirect3D11CaptureFrame** frame) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_FrameArrived(IFrameArrivedHandler* handler, Token* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_FrameArrived(Token token) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateCaptureSession(IGraphicsCaptureItem* item,
                                                         IGraphicsCaptureSession** session) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable** queue) = 0;
};

struct IDirect3D11CaptureFramePoolStatics : IInspectable {
  static constexpr GUID iid{0x7784056A, 0x67AA, 0x4D53, {0xAE, 0x54, 0x10, 0x88, 0xD5, 0xA8, 0xCA, 0x21}};
  virtual HRESULT STDMETHODCALLTYPE Create(IDirect3DDevice* device, INT32 pixel_format,
                                           INT32 number_of_buffers, SizeInt32 size,
                                           IDirect3D11CaptureFramePool** pool) = 0;
};

struct IGraphicsCaptureSession : IInspectable {
  static constexpr GUID iid{0x814E42A9, 0xF70F, 0x4AD7, {0x93, 0x9B, 0xFD, 0xDC, 0xC6, 0xEB, 0x88, 0x0D}};
  virtual HRESULT STDMETHODCALLTYPE StartCapture() = 0;
};

struct IGraphicsCaptureSession2 : IInspectable {
  static constexpr GUID iid{0x2C39AE40, 0x7D2E, 0x5044, {0x80, 0x4E, 0x8B, 0x67, 0x99, 0xD4, 0xCF, 0x9E}};
  virtual HRESULT STDMETHODCALLTYPE get_IsCursorCaptureEnabled(Boolean* enabled) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsCursorCaptureEnabled(Boolean enabled) = 0;
};

struct IGraphicsCaptureSession3 : IInspectable {
  static constexpr GUID iid{0xF2CDD966, 0x22AE, 0x5EA1, {0x95, 0x96, 0x3A, 0x28, 0x93, 0x44, 0xC3, 0xBE}};
  virtual HRESULT STDMETHODCALLTYPE get_IsBorderRequired(Boolean* required) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsBorderRequired(Boolean required) = 0;
};

struct IGraphicsCaptureSessionStatics : IInspectable {
  static constexpr GUID iid{0x2224A540, 0x5974, 0x49AA, {0xB2, 0x32, 0x08, 0x82, 0x53, 0x6F, 0x4C, 0xB5}};
  virtual HRESULT STDMETHODCALLTYPE IsSupported(Boolean* supported) = 0;
};

// Runtime class names, for RoGetActivationFactory.
inline constexpr wchar_t graphics_capture_item_class[] = L"Windows.Graphics.Capture.GraphicsCaptureItem";
inline constexpr wchar_t frame_pool_class[] = L"Windows.Graphics.Capture.Direct3D11CaptureFramePool";
inline constexpr wchar_t capture_session_class[] = L"Windows.Graphics.Capture.GraphicsCaptureSession";
inline constexpr wchar_t api_information_class[] = L"Windows.Foundation.Metadata.ApiInformation";

}  // namespace quorvex::platform::windows::abi

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Exported by d3d11.dll (libd3d11.a has the import); no mingw-w64 header
// declares it.
extern "C" HRESULT WINAPI CreateDirect3D11DeviceFromDXGIDevice(IDXGIDevice* dxgi_device,
                                                                IInspectable** graphics_device);
