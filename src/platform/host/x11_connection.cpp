#include "platform/host/x11_connection.h"

#include <pthread.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <cstring>

namespace quorvex::platform::host::x11 {

namespace {

xcb_atom_t intern(xcb_connection_t* c, std::string_view name) {
  auto r = reply<xcb_intern_atom_reply_t>(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data()), xcb_intern_atom_reply);
  return r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
}

bool has_extension(xcb_connection_t* c, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension);
  return data != nullptr && data->present != 0;
}

constexpr std::uint8_t client_message = XCB_CLIENT_MESSAGE;

}  // namespace

std::expected<std::shared_ptr<X11Connection>, std::string> X11Connection::open() {
  const char* display_name = std::getenv("DISPLAY");
  const std::string shown = display_name != nullptr ? display_name : "";
  std::shared_ptr<X11Connection> x(new X11Connection());
  int screen_number = 0;
  x->c_ = xcb_connect(nullptr, &screen_number);
  if (xcb_connection_has_error(x->c_) != 0) {
    return std::unexpected("cannot open X display '" + shown + "'");
  }
  xcb_connection_t* c = x->c_;
  auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screen_number && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem <= 0) return std::unexpected("cannot open X display '" + shown + "'");
  x->root_ = screens.data->root;

  // Every picture is read as 32-bit little-endian pixels (B, G, R, X).
  const xcb_setup_t* setup = xcb_get_setup(c);
  bool pixels_32 = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0; xcb_format_next(&f)) {
    if (f.data->depth == 24 && f.data->bits_per_pixel != 32) pixels_32 = false;
  }
  const auto missing = [&](std::string_view what) {
    return std::unexpected("X display '" + shown + "' lacks " + std::string(what));
  };
  if (!pixels_32) return missing("32-bit little-endian pixels");
  if (!has_extension(c, &xcb_randr_id)) return missing("the RandR extension");
  if (!has_extension(c, &xcb_composite_id)) return missing("the Composite extension");
  if (!has_extension(c, &xcb_damage_id)) return missing("the DAMAGE extension");
  if (!has_extension(c, &xcb_xfixes_id)) return missing("the XFIXES extension");
  x->shm_ = has_extension(c, &xcb_shm_id);
  if (x->shm_) {
    auto version = reply<xcb_shm_query_version_reply_t>(c, xcb_shm_query_version(c), xcb_shm_query_version_reply);
    x->shm_fd_ =
        version && (version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 2));
  }
  // Versions are negotiated before any other request of an extension.
  auto randr = reply<xcb_randr_query_version_reply_t>(c, xcb_randr_query_version(c, 1, 5),
                                                      xcb_randr_query_version_reply);
  if (!randr || randr->major_version < 1 || (randr->major_version == 1 && randr->minor_version < 5)) {
    return missing("RandR 1.5");
  }
  auto composite = reply<xcb_composite_query_version_reply_t>(c, xcb_composite_query_version(c, 0, 4),
                                                              xcb_composite_query_version_reply);
  if (!composite || (composite->major_version == 0 && composite->minor_version < 2)) {
    return missing("Composite 0.2");
  }
  auto damage = reply<xcb_damage_query_version_reply_t>(c, xcb_damage_query_version(c, 1, 1),
                                                        xcb_damage_query_version_reply);
  auto xfixes = reply<xcb_xfixes_query_version_reply_t>(c, xcb_xfixes_query_version(c, 4, 0),
                                                        xcb_xfixes_query_version_reply);
  if (!damage) return missing("the DAMAGE extension");
  if (!xfixes) return missing("the XFIXES extension");
  Atoms& atoms = x->atoms_;
  atoms.net_client_list = intern(c, "_NET_CLIENT_LIST");
  atoms.net_wm_name = intern(c, "_NET_WM_NAME");
  atoms.utf8_string = intern(c, "UTF8_STRING");
  atoms.net_wm_pid = intern(c, "_NET_WM_PID");
  atoms.net_frame_extents = intern(c, "_NET_FRAME_EXTENTS");
  atoms.wm_state = intern(c, "WM_STATE");
  atoms.edid = intern(c, "EDID");
  // A window of the program's own, never mapped: a client message sent to
  // it reaches this connection alone.
  x->wake_window_ = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, x->wake_window_, x->root_, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, 0, nullptr);
  xcb_flush(c);
  return x;
}

X11Connection::~X11Connection() {
  stop_events();
  if (c_ != nullptr) xcb_disconnect(c_);
}

std::uint8_t X11Connection::first_event(xcb_extension_t& extension) const {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(c_, &extension);
  return data != nullptr ? data->first_event : 0;
}

void X11Connection::on_event(std::uint8_t type, Handler handler) { handlers_.at(type & 0x7F) = std::move(handler); }

void X11Connection::start_events() {
  if (!events_.joinable()) events_ = std::thread([this] { run_events(); });
}

void X11Connection::stop_events() {
  if (!events_.joinable()) return;
  // With an empty event mask, a sent event goes to the creator of the
  // destination window: this connection.
  xcb_client_message_event_t stop{};
  stop.response_type = client_message;
  stop.format = 32;
  stop.window = wake_window_;
  stop.type = XCB_ATOM_NONE;
  xcb_send_event(c_, 0, wake_window_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&stop));
  xcb_flush(c_);
  events_.join();
}

void X11Connection::run_events() {
  pthread_setname_np(pthread_self(), "qvx-x11-events");
  // Blocks in XCB, which lets other threads' replies through meanwhile; a
  // connection that breaks (the server went away) ends the wait for good.
  while (xcb_generic_event_t* raw = xcb_wait_for_event(c_)) {
    const Reply<xcb_generic_event_t> event(raw);
    const std::uint8_t type = event->response_type & 0x7F;
    if (type == client_message &&
        reinterpret_cast<const xcb_client_message_event_t*>(event.get())->window == wake_window_) {
      return;
    }
    if (type != 0 && handlers_[type]) handlers_[type](*event);
  }
}

std::optional<std::string> X11Connection::property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type,
                                                   std::uint32_t max_units) const {
  auto r = reply<xcb_get_property_reply_t>(c_, xcb_get_property(c_, 0, window, name, type, 0, max_units),
                                           xcb_get_property_reply);
  if (!r || r->type == XCB_ATOM_NONE) return std::nullopt;
  return std::string(static_cast<const char*>(xcb_get_property_value(r.get())),
                     static_cast<std::size_t>(xcb_get_property_value_length(r.get())));
}

}  // namespace quorvex::platform::host::x11
