// A reference-counted COM object implementing one WinRT delegate interface
// (an event handler) by calling a std::function. mingw-w64 has no WRL
// implements.h, and the delegates are simple enough to write out.
//
// The object answers QueryInterface for its own interface, IUnknown and
// IAgileObject: it is free-threaded (the function decides what is safe to
// do on the calling thread; in this program it only copies state and posts
// to the owning thread), and the platform may call it from any thread.
//
// Thread contract: AddRef/Release/QueryInterface/Invoke from any thread.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <utility>

#include "platform/windows/com_ptr.h"

// COM interfaces have no virtual destructor by design (one would add vtable
// slots the system does not have), so GCC's check for one does not apply.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

namespace quorvex::platform::windows {

template <class Interface, class... Args>
class ComDelegate final : public Interface {
 public:
  using Function = std::function<HRESULT(Args...)>;

  [[nodiscard]] static Microsoft::WRL::ComPtr<Interface> create(Function function) {
    // The new object starts with the one reference the pointer takes over.
    return adopt_reference<Interface>(new ComDelegate(std::move(function)));
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    if (iid == Interface::iid || iid == __uuidof(IUnknown) || iid == __uuidof(IAgileObject)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

  ULONG STDMETHODCALLTYPE AddRef() override {
    return references_.fetch_add(1, std::memory_order_relaxed) + 1;
  }

  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG remaining = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining == 0) {
      delete this;
    }
    return remaining;
  }

  HRESULT STDMETHODCALLTYPE Invoke(Args... args) override {
    // An exception must not unwind through the platform's frames.
    try {
      return function_(args...);
    } catch (...) {
      return E_UNEXPECTED;
    }
  }

 private:
  explicit ComDelegate(Function function) : function_(std::move(function)) {}
  ~ComDelegate() = default;

  std::atomic<ULONG> references_{1};
  Function function_;
};

}  // namespace quorvex::platform::windows

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
