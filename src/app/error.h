// The application's error: a message text that any thread can produce and
// hand to another, printed once by main as "error: {message}".
//
// Thread contract: a plain value; copy or move it between threads freely.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace quorvex::app {

struct Error {
  std::string message;

  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

// Lets a function write `return fail("...")` for any Result<T>.
[[nodiscard]] inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected(Error{std::move(message)});
}

}  // namespace quorvex::app
