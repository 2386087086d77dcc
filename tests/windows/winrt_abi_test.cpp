#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/windows/com_delegate.h"
#include "platform/windows/delegate_iid.h"
#include "platform/windows/system_error.h"
#include "platform/windows/winrt_abi.h"

// The fakes below implement COM interfaces, which have no virtual destructor.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

namespace quorvex::platform::windows {
namespace {

std::string hex(const std::array<std::uint8_t, 20>& digest) {
  std::string text;
  for (auto byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

// Registry form, upper case, as the interface tables are written.
std::string registry_text(const GUID& guid) {
  const std::string braced = guid_signature(from_native(guid));
  std::string text = braced.substr(1, braced.size() - 2);
  for (char& c : text) {
    if (c >= 'a' && c <= 'f') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return text;
}

std::string registry_text(const Guid& guid) { return registry_text(to_native(guid)); }

TEST(Sha1, MatchesTheStandardVectorsAcrossBlockBoundaries) {
  EXPECT_EQ(hex(sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hex(sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  // 56 bytes: the length no longer fits the first block.
  EXPECT_EQ(hex(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
}

struct SignatureCase {
  const char* name;
  const char* signature;
  const char* iid;
};

class ParameterizedIid : public ::testing::TestWithParam<SignatureCase> {};

TEST_P(ParameterizedIid, GivesTheIdTheRuntimeUses) {
  EXPECT_EQ(registry_text(parameterized_iid(GetParam().signature)), GetParam().iid);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, ParameterizedIid,
    ::testing::Values(
        SignatureCase{"frame_pool_handler",
                      "pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};rc(Windows.Graphics.Capture."
                      "Direct3D11CaptureFramePool;{24eb6d22-1975-422e-82e7-780dbd8ddf24});"
                      "cinterface(IInspectable))",
                      "51A947F7-79CF-5A3E-A3A5-1289CFA6DFE8"},
        SignatureCase{"item_handler",
                      "pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};rc(Windows.Graphics.Capture."
                      "GraphicsCaptureItem;{79c3f95b-31f7-4ec2-a464-632ef5d30760});"
                      "cinterface(IInspectable))",
                      "E9C610C0-A68C-5BD9-8021-8589346EEEE2"},
        SignatureCase{"async_operation_boolean", "pinterface({9fc2b0bb-e446-44e2-aa61-9cab8f636af2};b1)",
                      "CDB5EFB3-5788-509D-9BE1-71CCB8A3362A"},
        SignatureCase{"handler_of_objects",
                      "pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};cinterface(IInspectable);"
                      "cinterface(IInspectable))",
                      "C7E65CE2-FAD5-5E3B-9C58-186CA8C1DD57"},
        SignatureCase{"vector_view_of_strings",
                      "pinterface({bbe1fa4c-b0e3-4583-baef-1f1b2e483e56};string)",
                      "2F13C006-A03A-5F69-B090-75A43E33423E"},
        // One slip each in the first signature gives another id.
        SignatureCase{"wrong_last_digit_of_typed_event_handler",
                      "pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53d};rc(Windows.Graphics.Capture."
                      "Direct3D11CaptureFramePool;{24eb6d22-1975-422e-82e7-780dbd8ddf24});"
                      "cinterface(IInspectable))",
                      "1DEDD60B-14A5-5A2E-B064-1F7E833F6F78"},
        SignatureCase{"upper_case_guids",
                      "pinterface({9DE1C534-6AE1-11E0-84E1-18A905BCC53F};rc(Windows.Graphics.Capture."
                      "Direct3D11CaptureFramePool;{24EB6D22-1975-422E-82E7-780DBD8DDF24});"
                      "cinterface(IInspectable))",
                      "CD4869B5-18DE-5A2A-ADE6-C6AF9C438753"},
        SignatureCase{"unbraced_class_interface",
                      "pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};rc(Windows.Graphics.Capture."
                      "Direct3D11CaptureFramePool;24eb6d22-1975-422e-82e7-780dbd8ddf24);"
                      "cinterface(IInspectable))",
                      "7935D590-3060-5326-B1F3-4FCFC2169F92"}),
    [](const auto& info) { return std::string(info.param.name); });

// The delegate ids the adapter registers must be what the algorithm gives
// for the class ids it declares, so a typo in either shows here.
TEST(DelegateIid, DeclaredHandlerIdsFollowFromTheDeclaredClassInterfaces) {
  const std::string typed_event_handler = "{9de1c534-6ae1-11e0-84e1-18a905bcc53f}";
  const auto handler_of = [&](const char* class_name, const GUID& default_interface) {
    return to_native(parameterized_iid("pinterface(" + typed_event_handler + ";rc(" + class_name + ";" +
                                       guid_signature(from_native(default_interface)) +
                                       ");cinterface(IInspectable))"));
  };
  EXPECT_EQ(registry_text(handler_of("Windows.Graphics.Capture.Direct3D11CaptureFramePool",
                                     abi::IDirect3D11CaptureFramePool::iid)),
            registry_text(abi::IFrameArrivedHandler::iid));
  EXPECT_EQ(registry_text(handler_of("Windows.Graphics.Capture.GraphicsCaptureItem",
                                     abi::IGraphicsCaptureItem::iid)),
            registry_text(abi::IItemClosedHandler::iid));
}

struct DeclaredIid {
  const char* name;
  GUID iid;
  const char* expected;
};

class InterfaceIds : public ::testing::TestWithParam<DeclaredIid> {};

TEST_P(InterfaceIds, MatchTheRegistryText) { EXPECT_EQ(registry_text(GetParam().iid), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Declared, InterfaceIds,
    ::testing::Values(
        DeclaredIid{"IClosable", abi::IClosable::iid, "30D5A829-7FA4-4026-83BB-D75BAE4EA99E"},
        DeclaredIid{"IAsyncAction", abi::IAsyncAction::iid, "5A648006-843A-4DA9-865B-9D26E5DFAD7B"},
        DeclaredIid{"AsyncActionCompletedHandler", abi::IAsyncActionCompletedHandler::iid,
                    "A4ED5C81-76C9-40BD-8BE6-B1D90FB20AE7"},
        DeclaredIid{"IApiInformationStatics", abi::IApiInformationStatics::iid,
                    "997439FE-F681-4A11-B416-C13A47E8BA36"},
        DeclaredIid{"IDispatcherQueueController", abi::IDispatcherQueueController::iid,
                    "22F34E66-50DB-4E36-A98D-61C01B384D20"},
        DeclaredIid{"IDirect3DDevice", abi::IDirect3DDevice::iid, "A37624AB-8D5F-4650-9D3E-9EAE3D9BC670"},
        DeclaredIid{"IDirect3DSurface", abi::IDirect3DSurface::iid, "0BF4A146-13C1-4694-BEE3-7ABF15EAF586"},
        DeclaredIid{"IDirect3DDxgiInterfaceAccess", abi::IDirect3DDxgiInterfaceAccess::iid,
                    "A9B3D012-3DF2-4EE3-B8D1-8695F457D3C1"},
        DeclaredIid{"IGraphicsCaptureItem", abi::IGraphicsCaptureItem::iid,
                    "79C3F95B-31F7-4EC2-A464-632EF5D30760"},
        DeclaredIid{"IGraphicsCaptureItemInterop", abi::IGraphicsCaptureItemInterop::iid,
                    "3628E81B-3CAC-4C60-B7F4-23CE0E0C3356"},
        DeclaredIid{"IDirect3D11CaptureFrame", abi::IDirect3D11CaptureFrame::iid,
                    "FA50C623-38DA-4B32-ACF3-FA9734AD800E"},
        DeclaredIid{"IDirect3D11CaptureFramePool", abi::IDirect3D11CaptureFramePool::iid,
                    "24EB6D22-1975-422E-82E7-780DBD8DDF24"},
        DeclaredIid{"IDirect3D11CaptureFramePoolStatics", abi::IDirect3D11CaptureFramePoolStatics::iid,
                    "7784056A-67AA-4D53-AE54-1088D5A8CA21"},
        DeclaredIid{"IGraphicsCaptureSession", abi::IGraphicsCaptureSession::iid,
                    "814E42A9-F70F-4AD7-939B-FDDCC6EB880D"},
        DeclaredIid{"IGraphicsCaptureSession2", abi::IGraphicsCaptureSession2::iid,
                    "2C39AE40-7D2E-5044-804E-8B6799D4CF9E"},
        DeclaredIid{"IGraphicsCaptureSession3", abi::IGraphicsCaptureSession3::iid,
                    "F2CDD966-22AE-5EA1-9596-3A289344C3BE"},
        DeclaredIid{"IGraphicsCaptureSessionStatics", abi::IGraphicsCaptureSessionStatics::iid,
                    "2224A540-5974-49AA-B232-0882536F4CB5"}),
    [](const auto& info) { return std::string(info.param.name); });

// Fakes of the hand-declared interfaces whose every method records its own
// name, called through the raw vtable slot the interface tables give: a
// declaration in the wrong order, an added virtual destructor or calls
// compiled into pure-virtual traps all land on the wrong name.
std::string called;

template <class Interface>
struct Recording : Interface {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

template <class Interface>
struct RecordingInspectable : Recording<Interface> {
  HRESULT STDMETHODCALLTYPE GetIids(ULONG*, IID**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel*) override { return E_NOTIMPL; }
};

#define QVX_RECORD(name, ...)                           \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
    called = #name;                                     \
    return S_OK;                                        \
  }

struct FakeAsyncAction final : RecordingInspectable<abi::IAsyncAction> {
  QVX_RECORD(put_Completed, abi::IAsyncActionCompletedHandler*)
  QVX_RECORD(get_Completed, abi::IAsyncActionCompletedHandler**)
  QVX_RECORD(GetResults)
};

struct FakeInterop final : Recording<abi::IGraphicsCaptureItemInterop> {
  QVX_RECORD(CreateForWindow, HWND, REFIID, void**)
  QVX_RECORD(CreateForMonitor, HMONITOR, REFIID, void**)
};

struct FakeController final : RecordingInspectable<abi::IDispatcherQueueController> {
  QVX_RECORD(get_DispatcherQueue, IInspectable**)
  QVX_RECORD(ShutdownQueueAsync, abi::IAsyncAction**)
};

struct FakePool final : RecordingInspectable<abi::IDirect3D11CaptureFramePool> {
  QVX_RECORD(Recreate, abi::IDirect3DDevice*, INT32, INT32, abi::SizeInt32)
  QVX_RECORD(TryGetNextFrame, abi::IDirect3D11CaptureFrame**)
  QVX_RECORD(add_FrameArrived, abi::IFrameArrivedHandler*, abi::Token*)
  QVX_RECORD(remove_FrameArrived, abi::Token)
  QVX_RECORD(CreateCaptureSession, abi::IGraphicsCaptureItem*, abi::IGraphicsCaptureSession**)
  QVX_RECORD(get_DispatcherQueue, IInspectable**)
};

struct FakeItem final : RecordingInspectable<abi::IGraphicsCaptureItem> {
  QVX_RECORD(get_DisplayName, HSTRING*)
  QVX_RECORD(get_Size, abi::SizeInt32*)
  QVX_RECORD(add_Closed, abi::IItemClosedHandler*, abi::Token*)
  QVX_RECORD(remove_Closed, abi::Token)
};

struct FakeFrame final : RecordingInspectable<abi::IDirect3D11CaptureFrame> {
  QVX_RECORD(get_Surface, abi::IDirect3DSurface**)
  QVX_RECORD(get_SystemRelativeTime, abi::TimeSpan*)
  QVX_RECORD(get_ContentSize, abi::SizeInt32*)
};

struct FakeSession3 final : RecordingInspectable<abi::IGraphicsCaptureSession3> {
  QVX_RECORD(get_IsBorderRequired, abi::Boolean*)
  QVX_RECORD(put_IsBorderRequired, abi::Boolean)
};

struct FakeApiInformation final : RecordingInspectable<abi::IApiInformationStatics> {
  QVX_RECORD(IsTypePresent, HSTRING, abi::Boolean*)
  QVX_RECORD(IsMethodPresent, HSTRING, HSTRING, abi::Boolean*)
  QVX_RECORD(IsMethodPresentWithArity, HSTRING, HSTRING, UINT32, abi::Boolean*)
  QVX_RECORD(IsEventPresent, HSTRING, HSTRING, abi::Boolean*)
  QVX_RECORD(IsPropertyPresent, HSTRING, HSTRING, abi::Boolean*)
  QVX_RECORD(IsReadOnlyPropertyPresent, HSTRING, HSTRING, abi::Boolean*)
  QVX_RECORD(IsWriteablePropertyPresent, HSTRING, HSTRING, abi::Boolean*)
  QVX_RECORD(IsEnumNamedValuePresent, HSTRING, HSTRING, abi::Boolean*)
  QVX_RECORD(IsApiContractPresentByMajor, HSTRING, UINT16, abi::Boolean*)
  QVX_RECORD(IsApiContractPresentByMajorAndMinor, HSTRING, UINT16, UINT16, abi::Boolean*)
};

struct FakePoolStatics final : RecordingInspectable<abi::IDirect3D11CaptureFramePoolStatics> {
  QVX_RECORD(Create, abi::IDirect3DDevice*, INT32, INT32, abi::SizeInt32, abi::IDirect3D11CaptureFramePool**)
};

struct FakeSession2 final : RecordingInspectable<abi::IGraphicsCaptureSession2> {
  QVX_RECORD(get_IsCursorCaptureEnabled, abi::Boolean*)
  QVX_RECORD(put_IsCursorCaptureEnabled, abi::Boolean)
};

struct FakeSessionStatics final : RecordingInspectable<abi::IGraphicsCaptureSessionStatics> {
  QVX_RECORD(IsSupported, abi::Boolean*)
};

struct FakeClosable final : RecordingInspectable<abi::IClosable> {
  QVX_RECORD(Close)
};

struct FakeInterfaceAccess final : Recording<abi::IDirect3DDxgiInterfaceAccess> {
  QVX_RECORD(GetInterface, REFIID, void**)
};

struct FakeFrameArrivedHandler final : Recording<abi::IFrameArrivedHandler> {
  QVX_RECORD(Invoke, abi::IDirect3D11CaptureFramePool*, IInspectable*)
};

#undef QVX_RECORD

// Calls slot `index` of the object's vtable as a method without arguments
// beyond the object; every recorded method ignores its arguments, and on
// x64 the missing ones are merely unread registers.
std::string call_slot(void* object, int index) {
  using Method = HRESULT(STDMETHODCALLTYPE*)(void*);
  void* entry = (*static_cast<void***>(object))[index];
  called.clear();
  reinterpret_cast<Method>(entry)(object);
  return called;
}

struct SlotCase {
  std::string interface_name;
  int slot;
  std::string method;
};

TEST(VtableSlots, EveryDeclaredMethodSitsInItsDocumentedSlot) {
  FakeAsyncAction action;
  FakeInterop interop;
  FakeController controller;
  FakePool pool;
  FakeItem item;
  FakeFrame frame;
  FakeSession3 session3;
  FakeApiInformation api_information;
  FakePoolStatics pool_statics;
  FakeSession2 session2;
  FakeSessionStatics session_statics;
  FakeClosable closable;
  FakeInterfaceAccess interface_access;
  FakeFrameArrivedHandler frame_arrived_handler;
  const std::pair<void*, std::vector<SlotCase>> table[] = {
      {&action, {{"IAsyncAction", 6, "put_Completed"}, {"IAsyncAction", 7, "get_Completed"},
                 {"IAsyncAction", 8, "GetResults"}}},
      {&interop, {{"Interop", 3, "CreateForWindow"}, {"Interop", 4, "CreateForMonitor"}}},
      {&controller,
       {{"Controller", 6, "get_DispatcherQueue"}, {"Controller", 7, "ShutdownQueueAsync"}}},
      {&pool, {{"Pool", 6, "Recreate"}, {"Pool", 7, "TryGetNextFrame"}, {"Pool", 8, "add_FrameArrived"},
               {"Pool", 9, "remove_FrameArrived"}, {"Pool", 10, "CreateCaptureSession"},
               {"Pool", 11, "get_DispatcherQueue"}}},
      {&item, {{"Item", 6, "get_DisplayName"}, {"Item", 7, "get_Size"}, {"Item", 8, "add_Closed"},
               {"Item", 9, "remove_Closed"}}},
      {&frame, {{"Frame", 6, "get_Surface"}, {"Frame", 7, "get_SystemRelativeTime"},
                {"Frame", 8, "get_ContentSize"}}},
      {&session3, {{"Session3", 6, "get_IsBorderRequired"}, {"Session3", 7, "put_IsBorderRequired"}}},
      {&api_information,
       {{"ApiInformation", 10, "IsPropertyPresent"}, {"ApiInformation", 14, "IsApiContractPresentByMajor"}}},
      {&pool_statics, {{"PoolStatics", 6, "Create"}}},
      {&session2, {{"Session2", 6, "get_IsCursorCaptureEnabled"}, {"Session2", 7, "put_IsCursorCaptureEnabled"}}},
      {&session_statics, {{"SessionStatics", 6, "IsSupported"}}},
      {&closable, {{"IClosable", 6, "Close"}}},
      {&interface_access, {{"DxgiInterfaceAccess", 3, "GetInterface"}}},
      {&frame_arrived_handler, {{"FrameArrivedHandler", 3, "Invoke"}}},
  };
  for (const auto& [object, slots] : table) {
    for (const auto& slot : slots) {
      EXPECT_EQ(call_slot(object, slot.slot), slot.method) << slot.interface_name << " slot " << slot.slot;
    }
  }
}

using ClosedDelegate = ComDelegate<abi::IItemClosedHandler, abi::IGraphicsCaptureItem*, IInspectable*>;

TEST(ComDelegate, AnswersItsOwnInterfaceUnknownAndAgileOnly) {
  auto delegate = ClosedDelegate::create([](abi::IGraphicsCaptureItem*, IInspectable*) { return S_OK; });
  const IID answered[] = {abi::IItemClosedHandler::iid, __uuidof(IUnknown), __uuidof(IAgileObject)};
  for (const IID& iid : answered) {
    void* object = nullptr;
    ASSERT_EQ(delegate->QueryInterface(iid, &object), S_OK) << registry_text(iid);
    EXPECT_EQ(object, static_cast<void*>(delegate.Get()));
    static_cast<IUnknown*>(object)->Release();
  }
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(delegate->QueryInterface(abi::IFrameArrivedHandler::iid, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(delegate->QueryInterface(__uuidof(IInspectable), &object), E_NOINTERFACE);
}

TEST(ComDelegate, InvokeHandsOverArgumentsAndReturnsTheFunctionsStatus) {
  abi::IGraphicsCaptureItem* seen = nullptr;
  FakeItem sender;
  auto delegate = ClosedDelegate::create([&](abi::IGraphicsCaptureItem* item, IInspectable*) {
    seen = item;
    return static_cast<HRESULT>(0x80004005);
  });
  EXPECT_EQ(delegate->Invoke(&sender, nullptr), static_cast<HRESULT>(0x80004005));
  EXPECT_EQ(seen, &sender);
}

TEST(ComDelegate, AnExceptionBecomesAFailureStatusInsteadOfUnwindingIntoTheCaller) {
  auto delegate = ClosedDelegate::create([](abi::IGraphicsCaptureItem*, IInspectable*) -> HRESULT {
    throw std::runtime_error("handler failed");
  });
  EXPECT_EQ(delegate->Invoke(nullptr, nullptr), E_UNEXPECTED);
}

TEST(ComDelegate, FunctionStateLivesUntilTheLastReferenceIsReleased) {
  auto state = std::make_shared<int>(0);
  std::weak_ptr<int> watch = state;
  auto delegate = ClosedDelegate::create(
      [state = std::move(state)](abi::IGraphicsCaptureItem*, IInspectable*) { return S_OK; });
  IUnknown* platform_reference = nullptr;
  ASSERT_EQ(delegate->QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(&platform_reference)), S_OK);
  delegate.Reset();
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(platform_reference->Release(), 0u);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace quorvex::platform::windows
