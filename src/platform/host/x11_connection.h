// The X11 desktop's connection to the server (over XCB): what the program
// learned about the server once (root, atoms, extensions), owned replies,
// and one thread that waits for events and hands each to the handler of its
// type. The other parts of the X11 desktop (x11_window_model.h,
// x11_cursor_monitor.h, x11_pixel_reader.h) make their requests on it from
// any thread; XCB serialises them.
//
// Thread contract: requests from any thread. Handlers are set before
// start_events() and run on the event thread ("qvx-x11-events") until
// stop_events() returns; stop_events() must not be called from a handler.
#pragma once

#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace quorvex::platform::host::x11 {

struct FreeReply {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeReply>;
using ErrorReply = Reply<xcb_generic_error_t>;

// Every reply and its error are owned; a reply is null when the request failed.
template <class T, class Cookie, class Fetch>
Reply<T> reply(xcb_connection_t* c, Cookie cookie, Fetch fetch) {
  xcb_generic_error_t* error = nullptr;
  Reply<T> result(fetch(c, cookie, &error));
  ErrorReply owned_error(error);
  return result;
}

inline bool succeeded(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  return ErrorReply(xcb_request_check(c, cookie)) == nullptr;
}

struct Atoms {
  xcb_atom_t net_client_list = 0;
  xcb_atom_t net_wm_name = 0;
  xcb_atom_t utf8_string = 0;
  xcb_atom_t net_wm_pid = 0;
  xcb_atom_t net_frame_extents = 0;
  xcb_atom_t wm_state = 0;
  xcb_atom_t edid = 0;
};

class X11Connection {
 public:
  using Handler = std::function<void(const xcb_generic_event_t&)>;

  // Connects to the display DISPLAY names and checks what the desktop needs.
  // The error is the program's message, e.g. "cannot open X display ':5'".
  [[nodiscard]] static std::expected<std::shared_ptr<X11Connection>, std::string> open();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;
  ~X11Connection();

  [[nodiscard]] xcb_connection_t* get() const { return c_; }
  [[nodiscard]] xcb_window_t root() const { return root_; }
  [[nodiscard]] const Atoms& atoms() const { return atoms_; }
  // MIT-SHM, and its 1.2 segments passed as file descriptors.
  [[nodiscard]] bool shm() const { return shm_; }
  [[nodiscard]] bool shm_fd() const { return shm_fd_; }
  // The first event code of an extension (its events are numbered from it).
  [[nodiscard]] std::uint8_t first_event(xcb_extension_t& extension) const;

  // The handler of events of `type` (the response type without the
  // sent-event bit). Errors of requests nobody checks (a window destroyed
  // under an unredirect, say) go to no handler and are dropped.
  void on_event(std::uint8_t type, Handler handler);
  void start_events();
  void stop_events();

  // A property's bytes; nothing when the window has none or is gone.
  [[nodiscard]] std::optional<std::string> property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type,
                                                    std::uint32_t max_units) const;

 private:
  X11Connection() = default;
  void run_events();

  xcb_connection_t* c_ = nullptr;
  xcb_window_t root_ = 0;
  xcb_window_t wake_window_ = 0;  // the event thread's stop message goes to it
  Atoms atoms_;
  bool shm_ = false;
  bool shm_fd_ = false;
  std::array<Handler, 128> handlers_;  // set before the event thread starts, read by it only
  std::thread events_;
};

}  // namespace quorvex::platform::host::x11
