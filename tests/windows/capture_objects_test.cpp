// The capture adapters driven by runtime objects of the test's own: Wine has
// no capture service, so this is where the event trampolines, the token
// round trips and the IClosable / Session2 / Session3 queries are exercised.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include <wrl/client.h>

#include "platform/windows/graphics_capture_adapter.h"
#include "platform/windows/winrt_abi.h"

// The fakes implement COM interfaces, which have no virtual destructor.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

namespace quorvex::platform::windows {
namespace {

using Microsoft::WRL::ComPtr;

// Reference counting without ownership: the fakes live on the test's stack.
template <class Interface>
struct Counted : Interface {
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE GetIids(ULONG*, IID**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel*) override { return E_NOTIMPL; }
  ULONG references = 1;
};

struct FakeClosable final : Counted<abi::IClosable> {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE Close() override {
    ++closes;
    return S_OK;
  }
  int closes = 0;
};

// Answers QI for its main interface and, when given, IClosable.
template <class Interface>
struct Closable : Counted<Interface> {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == Interface::iid) {
      *object = static_cast<Interface*>(this);
    } else if (iid == abi::IClosable::iid && offers_closable) {
      *object = &closable;
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*object)->AddRef();
    return S_OK;
  }
  FakeClosable closable;
  bool offers_closable = true;
};

struct FakeFrame final : Closable<abi::IDirect3D11CaptureFrame> {
  HRESULT STDMETHODCALLTYPE get_Surface(abi::IDirect3DSurface**) override { return E_FAIL; }
  HRESULT STDMETHODCALLTYPE get_SystemRelativeTime(abi::TimeSpan* time) override {
    time->Duration = 123'456'789;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ContentSize(abi::SizeInt32* size) override {
    *size = {800, 600};
    return S_OK;
  }
};

struct FakePool final : Closable<abi::IDirect3D11CaptureFramePool> {
  HRESULT STDMETHODCALLTYPE Recreate(abi::IDirect3DDevice*, INT32, INT32, abi::SizeInt32) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE TryGetNextFrame(abi::IDirect3D11CaptureFrame** out) override {
    *out = next_frame;
    if (next_frame != nullptr) {
      next_frame->AddRef();
      next_frame = nullptr;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE add_FrameArrived(abi::IFrameArrivedHandler* added, abi::Token* token) override {
    handler = added;
    token->value = 42;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE remove_FrameArrived(abi::Token token) override {
    removed_token = token.value;
    handler.Reset();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateCaptureSession(abi::IGraphicsCaptureItem*,
                                                 abi::IGraphicsCaptureSession**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable**) override { return E_NOTIMPL; }

  // What the platform does when a frame is ready.
  HRESULT raise_frame_arrived() { return handler->Invoke(this, nullptr); }

  abi::IDirect3D11CaptureFrame* next_frame = nullptr;
  ComPtr<abi::IFrameArrivedHandler> handler;
  INT64 removed_token = 0;
};

struct FakeItem final : Closable<abi::IGraphicsCaptureItem> {
  HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Size(abi::SizeInt32* size) override {
    *size = {1920, 1080};
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE add_Closed(abi::IItemClosedHandler* added, abi::Token* token) override {
    handler = added;
    token->value = -7;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE remove_Closed(abi::Token token) override {
    removed_token = token.value;
    handler.Reset();
    return S_OK;
  }
  ComPtr<abi::IItemClosedHandler> handler;
  INT64 removed_token = 0;
};

struct FakeSession2 final : Counted<abi::IGraphicsCaptureSession2> {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE get_IsCursorCaptureEnabled(abi::Boolean*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_IsCursorCaptureEnabled(abi::Boolean enabled) override {
    values.push_back(enabled);
    return S_OK;
  }
  std::vector<abi::Boolean> values;
};

struct FakeSession3 final : Counted<abi::IGraphicsCaptureSession3> {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE get_IsBorderRequired(abi::Boolean*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_IsBorderRequired(abi::Boolean required) override {
    values.push_back(required);
    return S_OK;
  }
  std::vector<abi::Boolean> values;
};

struct FakeSession final : Counted<abi::IGraphicsCaptureSession> {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == abi::IGraphicsCaptureSession::iid) {
      *object = static_cast<abi::IGraphicsCaptureSession*>(this);
    } else if (iid == abi::IGraphicsCaptureSession2::iid && offers_session2) {
      *object = &session2;
    } else if (iid == abi::IGraphicsCaptureSession3::iid && offers_session3) {
      *object = &session3;
    } else if (iid == abi::IClosable::iid) {
      *object = &closable;
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*object)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE StartCapture() override {
    ++starts;
    return S_OK;
  }
  FakeSession2 session2;
  FakeSession3 session3;
  FakeClosable closable;
  bool offers_session2 = true;
  bool offers_session3 = true;
  int starts = 0;
};

TEST(CaptureFramePoolAdapter, FrameArrivedReachesTheHandlerWithTheSenderAndReturnsItsStatus) {
  FakePool pool;
  FakeFrame frame;
  auto adapter = make_frame_pool_adapter(&pool);
  std::int64_t time = 0;
  wgc::SizeInt32 size;
  auto token = adapter->add_frame_arrived([&](wgc::CaptureFramePool& sender) -> std::uint32_t {
    auto taken = sender.try_get_next_frame();
    if (!taken || *taken == nullptr) {
      return 0x80004005;
    }
    time = (*taken)->get_system_relative_time().value();
    size = (*taken)->get_content_size().value();
    EXPECT_TRUE((*taken)->close());
    return 0;
  });
  ASSERT_TRUE(token);
  EXPECT_EQ(token->value, 42);

  // The program may let go of its pool adapter while the registration lives.
  adapter.reset();
  pool.next_frame = &frame;
  EXPECT_EQ(pool.raise_frame_arrived(), S_OK);
  EXPECT_EQ(time, 123'456'789);
  EXPECT_EQ(size, (wgc::SizeInt32{800, 600}));
  EXPECT_EQ(frame.closable.closes, 1);
  EXPECT_EQ(frame.references, 1u);

  // An empty pool answers success without a frame; the handler's status
  // goes back to the platform.
  EXPECT_EQ(pool.raise_frame_arrived(), static_cast<HRESULT>(0x80004005));
}

TEST(CaptureFramePoolAdapter, RemovingTheRegistrationHandsBackTheTokenAndReleasesTheHandler) {
  FakePool pool;
  auto state = std::make_shared<int>(0);
  std::weak_ptr<int> watch = state;
  {
    auto adapter = make_frame_pool_adapter(&pool);
    auto token = adapter->add_frame_arrived([state = std::move(state)](wgc::CaptureFramePool&) { return 0u; });
    ASSERT_TRUE(token);
    ASSERT_TRUE(adapter->remove_frame_arrived(*token));
    ASSERT_TRUE(adapter->close());
  }
  EXPECT_EQ(pool.removed_token, 42);
  EXPECT_EQ(pool.closable.closes, 1);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(pool.references, 1u);
}

TEST(CaptureFramePoolAdapter, ObjectsWithoutIClosableReportNoInterface) {
  FakePool pool;
  pool.offers_closable = false;
  auto closed = make_frame_pool_adapter(&pool)->close();
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().code(), status::e_nointerface);
}

// Frames from another platform's device cannot reach the runtime.
TEST(CaptureFramePoolAdapter, RecreateWithAForeignDeviceIsRefused) {
  struct ForeignDevice final : wgc::Direct3DDevice {};
  FakePool pool;
  ForeignDevice device;
  auto recreated = make_frame_pool_adapter(&pool)->recreate(device, 87, 2, {640, 480});
  ASSERT_FALSE(recreated);
  EXPECT_EQ(recreated.error().code(), status::e_invalidarg);
}

TEST(CaptureItemAdapter, ClosedHandlerRunsOnWhateverThreadTheRuntimeUses) {
  FakeItem item;
  auto adapter = make_capture_item_adapter(&item);
  EXPECT_EQ(adapter->get_size().value(), (wgc::SizeInt32{1920, 1080}));
  int calls = 0;
  auto token = adapter->add_closed([&] {
    ++calls;
    return 0u;
  });
  ASSERT_TRUE(token);
  HRESULT result = E_FAIL;
  std::thread runtime([&] { result = item.handler->Invoke(&item, nullptr); });
  runtime.join();
  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(adapter->remove_closed(*token));
  EXPECT_EQ(item.removed_token, -7);
}

// WinRT booleans are one byte holding 0 or 1.
TEST(CaptureSessionAdapter, CursorAndBorderSettingsGoThroughSession2And3AsOneByteBooleans) {
  FakeSession session;
  auto adapter = make_capture_session_adapter(&session);
  ASSERT_TRUE(adapter->start_capture());
  ASSERT_TRUE(adapter->put_is_cursor_capture_enabled(true));
  ASSERT_TRUE(adapter->put_is_cursor_capture_enabled(false));
  ASSERT_TRUE(adapter->put_is_border_required(false));
  ASSERT_TRUE(adapter->put_is_border_required(true));
  ASSERT_TRUE(adapter->close());
  EXPECT_EQ(session.starts, 1);
  EXPECT_EQ(session.session2.values, (std::vector<abi::Boolean>{1, 0}));
  EXPECT_EQ(session.session3.values, (std::vector<abi::Boolean>{0, 1}));
  EXPECT_EQ(session.closable.closes, 1);
  adapter.reset();
  EXPECT_EQ(session.references, 1u);
  EXPECT_EQ(session.session2.references, 1u);
  EXPECT_EQ(session.session3.references, 1u);
}

TEST(CaptureSessionAdapter, OlderSystemsWithoutSession2Or3ReportNoInterface) {
  FakeSession session;
  session.offers_session2 = false;
  session.offers_session3 = false;
  auto adapter = make_capture_session_adapter(&session);
  auto cursor = adapter->put_is_cursor_capture_enabled(true);
  ASSERT_FALSE(cursor);
  EXPECT_EQ(cursor.error().code(), status::e_nointerface);
  auto border = adapter->put_is_border_required(false);
  ASSERT_FALSE(border);
  EXPECT_EQ(border.error().code(), status::e_nointerface);
}

}  // namespace
}  // namespace quorvex::platform::windows
