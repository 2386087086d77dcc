// Taking over a COM reference that the caller already owns (a new object, an
// out-parameter the system filled). mingw-w64 10's ComPtr::Attach adds a
// reference of its own, unlike Microsoft's, so code that must behave the
// same with both never calls Attach.
//
// Thread contract: pure function.
#pragma once

#include <wrl/client.h>

namespace quorvex::platform::windows {

template <class T>
[[nodiscard]] Microsoft::WRL::ComPtr<T> adopt_reference(T* owned) {
  Microsoft::WRL::ComPtr<T> pointer;
  *pointer.GetAddressOf() = owned;
  return pointer;
}

}  // namespace quorvex::platform::windows
