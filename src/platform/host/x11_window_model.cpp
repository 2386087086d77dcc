#include "platform/host/x11_window_model.h"

#include <algorithm>
#include <string_view>

#include "platform/host/x11_text.h"
#include "platform/thread_safety.h"

namespace quorvex::platform::host::x11 {

namespace {

// The longest property the program reads, in 32-bit units: titles of up to
// 16 KiB and client lists of 4096 windows are plenty.
constexpr std::uint32_t max_property_units = 4096;
// ICCCM 4.1.3.1: WM_STATE's first field.
constexpr std::uint32_t iconic_state = 3;

std::string_view text(const xcb_get_property_reply_t& p) {
  return {static_cast<const char*>(xcb_get_property_value(&p)),
          static_cast<std::size_t>(xcb_get_property_value_length(&p))};
}

const std::uint32_t* cardinals(const Reply<xcb_get_property_reply_t>& p, int count) {
  if (!p || p->format != 32 || xcb_get_property_value_length(p.get()) < 4 * count) return nullptr;
  return static_cast<const std::uint32_t*>(xcb_get_property_value(p.get()));
}

}  // namespace

X11WindowModel::X11WindowModel(std::shared_ptr<X11Connection> x) : x_(std::move(x)) {}

std::optional<X11Window> X11WindowModel::describe(xcb_window_t window) const {
  xcb_connection_t* c = x_->get();
  const Atoms& atoms = x_->atoms();
  if (window == x_->root() || window == 0) return std::nullopt;
  // Every request goes out before the first reply is awaited: one round trip.
  const auto attributes_cookie = xcb_get_window_attributes(c, window);
  const auto geometry_cookie = xcb_get_geometry(c, window);
  const auto origin_cookie = xcb_translate_coordinates(c, window, x_->root(), 0, 0);
  const auto net_name_cookie = xcb_get_property(c, 0, window, atoms.net_wm_name, atoms.utf8_string, 0,
                                                max_property_units);
  const auto name_cookie = xcb_get_property(c, 0, window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, max_property_units);
  const auto pid_cookie = xcb_get_property(c, 0, window, atoms.net_wm_pid, XCB_ATOM_CARDINAL, 0, 1);
  const auto extents_cookie = xcb_get_property(c, 0, window, atoms.net_frame_extents, XCB_ATOM_CARDINAL, 0, 4);
  const auto wm_state_cookie = xcb_get_property(c, 0, window, atoms.wm_state, atoms.wm_state, 0, 1);
  auto attributes = reply<xcb_get_window_attributes_reply_t>(c, attributes_cookie, xcb_get_window_attributes_reply);
  auto geometry = reply<xcb_get_geometry_reply_t>(c, geometry_cookie, xcb_get_geometry_reply);
  auto origin = reply<xcb_translate_coordinates_reply_t>(c, origin_cookie, xcb_translate_coordinates_reply);
  auto net_name = reply<xcb_get_property_reply_t>(c, net_name_cookie, xcb_get_property_reply);
  auto name = reply<xcb_get_property_reply_t>(c, name_cookie, xcb_get_property_reply);
  auto pid = reply<xcb_get_property_reply_t>(c, pid_cookie, xcb_get_property_reply);
  auto extents = reply<xcb_get_property_reply_t>(c, extents_cookie, xcb_get_property_reply);
  auto wm_state = reply<xcb_get_property_reply_t>(c, wm_state_cookie, xcb_get_property_reply);
  if (!attributes || !geometry || !origin || attributes->override_redirect != 0 ||
      attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT || geometry->width == 0 || geometry->height == 0) {
    return std::nullopt;
  }
  X11Window result;
  result.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  const std::uint32_t* state_field = cardinals(wm_state, 1);
  result.iconic = !result.viewable && state_field != nullptr && state_field[0] == iconic_state;
  WindowState& state = result.state;
  state.handle = WindowHandle{window};
  if (net_name && net_name->type == atoms.utf8_string && net_name->format == 8) {
    state.spec.title = from_utf8(text(*net_name));
  } else if (name && name->format == 8) {
    // WM_NAME is ISO Latin-1 (STRING); a COMPOUND_TEXT title keeps its ASCII.
    state.spec.title = name->type == atoms.utf8_string ? from_utf8(text(*name)) : from_latin1(text(*name));
  }
  if (const std::uint32_t* value = cardinals(pid, 1)) state.spec.process_id = value[0];
  FrameInsets frame{0, 0, 0, 0};
  if (const std::uint32_t* e = cardinals(extents, 4)) {
    // _NET_FRAME_EXTENTS is left, right, top, bottom.
    frame = FrameInsets{static_cast<std::int32_t>(e[0]), static_cast<std::int32_t>(e[2]),
                        static_cast<std::int32_t>(e[1]), static_cast<std::int32_t>(e[3])};
  }
  state.spec.frame = frame;
  const std::int32_t left = origin->dst_x;
  const std::int32_t top = origin->dst_y;
  state.spec.bounds = Rect{left - frame.left, top - frame.top, left + geometry->width + frame.right,
                           top + geometry->height + frame.bottom};
  // A minimised window is still visible to Win32 (IsWindowVisible), just iconic.
  state.spec.visible = result.viewable || result.iconic;
  return result;
}

std::vector<WindowState> X11WindowModel::list() const {
  std::vector<xcb_window_t> candidates;
  xcb_connection_t* c = x_->get();
  auto clients = reply<xcb_get_property_reply_t>(
      c, xcb_get_property(c, 0, x_->root(), x_->atoms().net_client_list, XCB_ATOM_WINDOW, 0, max_property_units),
      xcb_get_property_reply);
  if (clients && clients->type == XCB_ATOM_WINDOW && clients->format == 32) {
    const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(clients.get()));
    candidates.assign(ids, ids + xcb_get_property_value_length(clients.get()) / 4);
  } else if (auto tree = reply<xcb_query_tree_reply_t>(c, xcb_query_tree(c, x_->root()), xcb_query_tree_reply)) {
    // Without a window manager: the root's children, topmost first as
    // EnumChildWindows reports them (the tree lists bottom to top).
    const auto* children = xcb_query_tree_children(tree.get());
    candidates.assign(children, children + xcb_query_tree_children_length(tree.get()));
    std::reverse(candidates.begin(), candidates.end());
  }
  std::vector<WindowState> windows;
  for (const xcb_window_t id : candidates) {
    if (auto window = describe(id); window && window->state.spec.visible) windows.push_back(std::move(window->state));
  }
  return windows;
}

xcb_window_t X11WindowModel::top_level(xcb_window_t window) const {
  xcb_connection_t* c = x_->get();
  for (;;) {
    auto tree = reply<xcb_query_tree_reply_t>(c, xcb_query_tree(c, window), xcb_query_tree_reply);
    if (!tree || tree->parent == x_->root() || tree->parent == XCB_NONE) return window;
    window = tree->parent;
  }
}

void X11WindowModel::watch(xcb_window_t window) {
  const MutexLock lock(mutex_);
  if (watched_[window]++ > 0) return;
  // The event mask is this client's own on that window; other clients'
  // selections are untouched.
  const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(x_->get(), window, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(x_->get());
}

void X11WindowModel::unwatch(xcb_window_t window) {
  const MutexLock lock(mutex_);
  const auto it = watched_.find(window);
  if (it == watched_.end() || --it->second > 0) return;
  watched_.erase(it);
  const std::uint32_t mask = XCB_EVENT_MASK_NO_EVENT;
  xcb_change_window_attributes(x_->get(), window, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(x_->get());
}

}  // namespace quorvex::platform::host::x11
