// A small X client for the X11 desktop tests: it opens top-level windows
// with known titles and paints them with flat colour patches and the
// frame-clock strip, driven by one-line commands on stdin:
//
//   open <fps> <width> <height> <title>   ->  "window <id>" once it is shown
//   resize <id> <width> <height>          ->  "ok"
//   paint <id>                            ->  "ok"   (one more paint)
//   warp <x> <y>                          ->  "ok"   (moves the pointer on the root)
//   popup <width> <height> <title>        ->  "window <id>"  (override-redirect, painted once)
//   frame <id> <left> <right> <top> <bottom>
//                                         ->  "ok"   (puts the window in a frame window of
//                                                      its own, as a reparenting window
//                                                      manager does, and sets _NET_FRAME_EXTENTS)
//   clientlist [<id> ...]                 ->  "ok"   (sets the root's _NET_CLIENT_LIST as a
//                                                      window manager would; none: removes it)
//   unmap <id> | close <id>               ->  "ok"   (close destroys it)
//   iconify <id> | restore <id>           ->  "ok"   (minimises it as an ICCCM window manager
//                                                      does: WM_STATE IconicState and unmapped;
//                                                      restore maps it back)
//
// A window with fps 0 is painted once (and again on Expose) and then left
// alone; otherwise it is repainted fps times a second with a new strip. The
// client ends at the end of stdin.
//
// Picture of a window (client area, BGRX): grey (128,128,128) background,
// the strip at (0,0) (frame number = paints so far, wall-clock ms), and four
// 128x128 patches at y = 96, x = 32 + 160k: red, green, blue, yellow.
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testing/frame_clock.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Window {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int fps = 0;
  std::uint32_t paints = 0;
  Clock::time_point next_paint;
};

struct Patch {
  int x;
  std::uint8_t b, g, r;
};
constexpr Patch patches[] = {{32, 0, 0, 255}, {192, 0, 255, 0}, {352, 255, 0, 0}, {512, 0, 255, 255}};
constexpr int patch_top = 96;
constexpr int patch_size = 128;

class Client {
 public:
  Client() {
    c_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c_) != 0) {
      std::fprintf(stderr, "x11_test_client: cannot connect\n");
      std::exit(2);
    }
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, screen_->root, 0, nullptr);
    net_wm_name_ = intern("_NET_WM_NAME");
    utf8_string_ = intern("UTF8_STRING");
    net_wm_pid_ = intern("_NET_WM_PID");
    net_client_list_ = intern("_NET_CLIENT_LIST");
    net_frame_extents_ = intern("_NET_FRAME_EXTENTS");
    wm_state_ = intern("WM_STATE");
    // Requests are limited in size; big pictures go in bands of rows.
    max_request_bytes_ = std::size_t{xcb_get_maximum_request_length(c_)} * 4;
  }

  int run() {
    std::string pending;
    bool input_open = true;
    while (input_open) {
      pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {xcb_get_file_descriptor(c_), POLLIN, 0}};
      ::poll(fds, 2, timeout_ms());
      if (fds[0].revents != 0) {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
          input_open = false;
        } else {
          pending.append(buffer, static_cast<std::size_t>(n));
          for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            command(pending.substr(0, end));
            pending.erase(0, end + 1);
          }
        }
      }
      while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
        if ((event->response_type & 0x7F) == XCB_EXPOSE) {
          const auto* expose = reinterpret_cast<xcb_expose_event_t*>(event);
          if (expose->count == 0 && windows_.contains(expose->window)) paint(expose->window);
        }
        std::free(event);
      }
      const auto now = Clock::now();
      for (auto& [id, w] : windows_) {
        if (w.fps > 0 && now >= w.next_paint) {
          paint(id);
          w.next_paint += std::chrono::nanoseconds(1'000'000'000 / w.fps);
          if (w.next_paint < now) w.next_paint = now;
        }
      }
      xcb_flush(c_);
    }
    xcb_disconnect(c_);
    return 0;
  }

 private:
  int timeout_ms() const {
    auto timeout = std::chrono::milliseconds(1000);
    const auto now = Clock::now();
    for (const auto& [id, w] : windows_) {
      if (w.fps > 0) {
        timeout = std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(std::max(w.next_paint - now, Clock::duration{})));
      }
    }
    return static_cast<int>(timeout.count());
  }

  void command(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "open" || verb == "popup") {
      Window w;
      if (verb == "open") in >> w.fps;
      in >> w.width >> w.height;
      std::string title;
      std::getline(in >> std::ws, title);
      const xcb_window_t id = open(w, title, verb == "popup");
      std::printf("window %u\n", id);
    } else if (verb == "frame") {
      xcb_window_t id = 0;
      std::uint32_t extents[4] = {};  // left, right, top, bottom
      in >> id >> extents[0] >> extents[1] >> extents[2] >> extents[3];
      const Window& w = windows_.at(id);
      const xcb_window_t frame = xcb_generate_id(c_);
      // A dark blue frame (BGRX), easy to tell from the window's grey.
      const std::uint32_t values[] = {0x00202080};
      xcb_create_window(c_, XCB_COPY_FROM_PARENT, frame, screen_->root, 40, 40,
                        static_cast<std::uint16_t>(w.width + extents[0] + extents[1]),
                        static_cast<std::uint16_t>(w.height + extents[2] + extents[3]), 0,
                        XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, XCB_CW_BACK_PIXEL, values);
      xcb_reparent_window(c_, id, frame, static_cast<std::int16_t>(extents[0]), static_cast<std::int16_t>(extents[2]));
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, id, net_frame_extents_, XCB_ATOM_CARDINAL, 32, 4, extents);
      xcb_map_window(c_, frame);
      frames_[id] = frame;
      paint(id);
      std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
      std::printf("ok\n");
    } else if (verb == "clientlist") {
      std::vector<xcb_window_t> ids;
      for (xcb_window_t id = 0; in >> id;) ids.push_back(id);
      if (ids.empty()) {
        xcb_delete_property(c_, screen_->root, net_client_list_);
      } else {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, screen_->root, net_client_list_, XCB_ATOM_WINDOW, 32,
                            static_cast<std::uint32_t>(ids.size()), ids.data());
      }
      std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
      std::printf("ok\n");
    } else if (verb == "iconify" || verb == "restore") {
      // What an ICCCM window manager does to minimise a window and bring it
      // back: WM_STATE (IconicState 3, NormalState 1) and the mapping.
      xcb_window_t id = 0;
      in >> id;
      const std::uint32_t state[] = {verb == "iconify" ? 3U : 1U, XCB_NONE};
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, id, wm_state_, wm_state_, 32, 2, state);
      if (verb == "iconify") {
        xcb_unmap_window(c_, id);
      } else {
        xcb_map_window(c_, id);
        paint(id);
      }
      std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
      std::printf("ok\n");
    } else if (verb == "resize" || verb == "unmap" || verb == "close" || verb == "paint") {
      xcb_window_t id = 0;
      in >> id;
      if (verb == "resize") {
        Window& w = windows_.at(id);
        in >> w.width >> w.height;
        const std::uint32_t size[] = {w.width, w.height};
        xcb_configure_window(c_, id, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
        paint(id);
      } else if (verb == "paint") {
        paint(id);
      } else if (verb == "unmap") {
        xcb_unmap_window(c_, id);
      } else {
        // A framed window goes with its frame.
        const auto frame = frames_.find(id);
        xcb_destroy_window(c_, frame != frames_.end() ? frame->second : id);
        if (frame != frames_.end()) frames_.erase(frame);
        windows_.erase(id);
      }
      std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));  // the server has done it
      std::printf("ok\n");
    } else if (verb == "warp") {
      std::int16_t x = 0;
      std::int16_t y = 0;
      in >> x >> y;
      xcb_warp_pointer(c_, XCB_NONE, screen_->root, 0, 0, 0, 0, x, y);
      std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
      std::printf("ok\n");
    } else {
      std::printf("unknown command\n");
    }
    std::fflush(stdout);
  }

  xcb_window_t open(Window w, const std::string& title, bool override_redirect) {
    const xcb_window_t id = xcb_generate_id(c_);
    // Values in the order of their mask bits.
    const std::uint32_t values[] = {screen_->black_pixel, override_redirect ? 1U : 0U, XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, id, screen_->root, 40, 40, static_cast<std::uint16_t>(w.width),
                      static_cast<std::uint16_t>(w.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, id, net_wm_name_, utf8_string_, 8,
                        static_cast<std::uint32_t>(title.size()), title.data());
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(title.size()), title.data());
    const auto pid = static_cast<std::uint32_t>(::getpid());
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, id, net_wm_pid_, XCB_ATOM_CARDINAL, 32, 1, &pid);
    xcb_map_window(c_, id);
    w.next_paint = Clock::now();
    windows_[id] = w;
    paint(id);
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    return id;
  }

  void paint(xcb_window_t id) {
    Window& w = windows_.at(id);
    const int width = static_cast<int>(w.width);
    const int height = static_cast<int>(w.height);
    const std::size_t pitch = std::size_t{w.width} * 4;
    pixels_.assign(pitch * w.height, 128);
    for (const Patch& p : patches) {
      for (int y = patch_top; y < std::min(height, patch_top + patch_size); ++y) {
        for (int x = p.x; x < std::min(width, p.x + patch_size); ++x) {
          std::uint8_t* px = pixels_.data() + y * pitch + x * 4;
          px[0] = p.b;
          px[1] = p.g;
          px[2] = p.r;
        }
      }
    }
    const auto wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    quorvex::testing::draw_frame_clock_bgra({pixels_.data(), static_cast<std::ptrdiff_t>(pitch), width, height}, 0, 0,
                                            {w.paints++, static_cast<std::uint32_t>(wall_ms & 0xFFFFFFFF)});
    // The request header is 24 bytes; leave room for it in every band.
    const std::size_t rows_per_band = std::max<std::size_t>(1, (max_request_bytes_ - 64) / pitch);
    for (std::size_t top = 0; top < w.height; top += rows_per_band) {
      const std::size_t rows = std::min<std::size_t>(rows_per_band, w.height - top);
      xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, id, gc_, static_cast<std::uint16_t>(w.width),
                    static_cast<std::uint16_t>(rows), 0, static_cast<std::int16_t>(top), 0, screen_->root_depth,
                    static_cast<std::uint32_t>(rows * pitch), pixels_.data() + top * pitch);
    }
  }

  xcb_atom_t intern(const char* name) {
    auto* r = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
                                    nullptr);
    const xcb_atom_t atom = r != nullptr ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(r);
    return atom;
  }

  xcb_connection_t* c_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  xcb_gcontext_t gc_ = 0;
  xcb_atom_t net_wm_name_ = 0;
  xcb_atom_t utf8_string_ = 0;
  xcb_atom_t net_wm_pid_ = 0;
  xcb_atom_t net_client_list_ = 0;
  xcb_atom_t net_frame_extents_ = 0;
  xcb_atom_t wm_state_ = 0;
  std::size_t max_request_bytes_ = 0;
  std::map<xcb_window_t, Window> windows_;
  std::map<xcb_window_t, xcb_window_t> frames_;  // window -> the frame it was put in
  std::vector<std::uint8_t> pixels_;
};

}  // namespace

int main() { return Client().run(); }
