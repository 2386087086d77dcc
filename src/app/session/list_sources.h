// The source listing: the displays and capturable windows of the desktop as
// one JSON line on standard output, for the parent to offer to its user.
//
// Thread contract: main thread; reads the installed platform only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/error.h"

namespace quorvex::app {

// The JSON document (without its line feed). Only the two enumerations can
// fail it; a display or window that cannot be described is left out.
[[nodiscard]] Result<std::string> sources_document();

// Writes sources_document() and a line feed to standard output in one write.
[[nodiscard]] Result<void> list_sources();

// The number the listing gives a display as its "id": the one in its device
// name "\\.\DISPLAY{n}"; none for a name without one.
[[nodiscard]] std::optional<std::uint64_t> display_number(std::string_view device_name);

}  // namespace quorvex::app
