// The capture item a session resolved, as the session_start line tells the
// parent: a display by its listing number, or a window by its handle value
// and title.
//
// Thread contract: a plain value, owned by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace quorvex::app {

struct SessionSource {
  enum class Kind : std::uint8_t { Display, Window };
  Kind kind = Kind::Display;
  // Display: the number of its device name, the listing's "id"; absent when
  // the name carries none (such a display is not listed either).
  std::optional<std::uint64_t> display_number;
  // Window: the handle value as "--window-id" takes it, and the title when
  // the session began (empty when it cannot be read).
  std::uint64_t window_id = 0;
  std::string title;

  [[nodiscard]] static SessionSource display(std::optional<std::uint64_t> number) {
    return {Kind::Display, number, 0, {}};
  }
  [[nodiscard]] static SessionSource window(std::uint64_t id, std::string title) {
    return {Kind::Window, std::nullopt, id, std::move(title)};
  }
};

}  // namespace quorvex::app
