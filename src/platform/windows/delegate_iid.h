// The interface ids of parameterised WinRT interfaces (TypedEventHandler
// instances and the like): an RFC 4122 version-5 UUID over the type's
// signature string in the WinRT namespace. The capture adapter declares its
// delegate ids as constants; these functions exist so tests can prove those
// constants against the algorithm.
//
// Thread contract: pure functions.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/guid.h"

namespace quorvex::platform::windows {

[[nodiscard]] std::array<std::uint8_t, 20> sha1(std::string_view bytes);

// The id of the parameterised type whose signature is given, e.g.
// "pinterface({9de1c534-...};rc(Name;{...});cinterface(IInspectable))".
[[nodiscard]] Guid parameterized_iid(std::string_view signature);

// The signature text of a GUID: lower-case, 8-4-4-4-12, in braces.
[[nodiscard]] std::string guid_signature(const Guid& guid);

}  // namespace quorvex::platform::windows
