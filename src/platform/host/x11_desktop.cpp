#include "platform/host/x11_desktop.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <span>
#include <vector>

#include "platform/host/randr_monitors.h"
#include "testing/frame_clock.h"

namespace quorvex::platform::host {

namespace {

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

bool succeeded(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  return ErrorReply(xcb_request_check(c, cookie)) == nullptr;
}

// The longest property the program reads, in 32-bit units: titles of up to
// 16 KiB and client lists of 4096 windows are plenty.
constexpr std::uint32_t max_property_units = 4096;
// An EDID base block is 128 bytes: 32 units.
constexpr std::uint32_t edid_units = 32;
constexpr std::uint32_t all_planes = ~0U;
// Polls (display refreshes) between two readings of the monitors when RandR
// reports no change: once a second.
constexpr int monitor_recheck_polls = 60;

std::u16string from_utf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
    char32_t code = length == 1 ? byte : length == 2 ? byte & 0x1F : length == 3 ? byte & 0x0F : byte & 0x07;
    bool valid = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not text.
    constexpr std::array<char32_t, 5> smallest{0, 0, 0x80, 0x800, 0x10000};
    valid = valid && code >= smallest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (!valid) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

std::u16string from_latin1(std::string_view text) {
  std::u16string out;
  for (const char c : text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

// The connection and what the program learned about the server once.
struct X11Connection {
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  bool shm = false;
  bool shm_fd = false;  // MIT-SHM 1.2: segments passed as file descriptors
  std::uint8_t damage_first_event = 0;
  std::uint8_t randr_first_event = 0;
  xcb_atom_t net_client_list = 0;
  xcb_atom_t net_wm_name = 0;
  xcb_atom_t utf8_string = 0;
  xcb_atom_t net_wm_pid = 0;
  xcb_atom_t net_frame_extents = 0;
  xcb_atom_t edid = 0;

  std::mutex mutex;
  std::set<xcb_damage_damage_t> damaged;  // guarded by mutex
  std::uint64_t screen_changes = 0;        // guarded by mutex: RandR notifications so far

  ~X11Connection() {
    if (c != nullptr) xcb_disconnect(c);
  }

  // Takes every event the server has sent: damage notifications are noted
  // for their feeds; errors of requests nobody checks (a window destroyed
  // under an unredirect, say) are dropped.
  void pump_events() {
    std::lock_guard lock(mutex);
    while (xcb_generic_event_t* raw = xcb_poll_for_event(c)) {
      Reply<xcb_generic_event_t> event(raw);
      const std::uint8_t type = event->response_type & 0x7F;
      if (type == damage_first_event + XCB_DAMAGE_NOTIFY) {
        damaged.insert(reinterpret_cast<xcb_damage_notify_event_t*>(event.get())->damage);
      } else if (type == randr_first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                 type == randr_first_event + XCB_RANDR_NOTIFY) {
        ++screen_changes;
      }
    }
  }

  std::uint64_t screen_change_count() {
    pump_events();
    std::lock_guard lock(mutex);
    return screen_changes;
  }

  bool take_damage(xcb_damage_damage_t damage) {
    pump_events();
    std::lock_guard lock(mutex);
    return damaged.erase(damage) != 0;
  }

  std::optional<std::string> property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type) const {
    auto r = reply<xcb_get_property_reply_t>(c, xcb_get_property(c, 0, window, name, type, 0, max_property_units),
                                             xcb_get_property_reply);
    if (!r || r->type == XCB_ATOM_NONE) return std::nullopt;
    return std::string(static_cast<const char*>(xcb_get_property_value(r.get())),
                       static_cast<std::size_t>(xcb_get_property_value_length(r.get())));
  }

  std::vector<RandrMonitor> monitors(bool with_edid) const {
    std::vector<RandrMonitor> out;
    auto r = reply<xcb_randr_get_monitors_reply_t>(c, xcb_randr_get_monitors(c, root, 1),
                                                   xcb_randr_get_monitors_reply);
    if (!r) return out;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
      const xcb_randr_monitor_info_t& m = *it.data;
      RandrMonitor monitor{m.name, m.primary != 0, m.x, m.y, m.width, m.height, {}};
      if (with_edid) {
        const std::span outputs(xcb_randr_monitor_info_outputs(it.data),
                                static_cast<std::size_t>(xcb_randr_monitor_info_outputs_length(it.data)));
        for (const xcb_randr_output_t output : outputs) {
          auto p = reply<xcb_randr_get_output_property_reply_t>(
              c, xcb_randr_get_output_property(c, output, edid, XCB_ATOM_ANY, 0, edid_units, 0, 0),
              xcb_randr_get_output_property_reply);
          if (!p || p->format != 8 || p->num_items == 0) continue;
          const std::uint8_t* data = xcb_randr_get_output_property_data(p.get());
          monitor.edid.assign(data, data + xcb_randr_get_output_property_data_length(p.get()));
          break;
        }
      }
      out.push_back(std::move(monitor));
    }
    return out;
  }

  // The ancestor of `window` that is a child of the root (itself when it is
  // one; a window manager's frame when it reparented the window).
  xcb_window_t top_level(xcb_window_t window) const {
    for (;;) {
      auto tree = reply<xcb_query_tree_reply_t>(c, xcb_query_tree(c, window), xcb_query_tree_reply);
      if (!tree || tree->parent == root || tree->parent == XCB_NONE) return window;
      window = tree->parent;
    }
  }

  std::optional<Rect> monitor_bounds(MonitorHandle handle) const {
    for (const DisplayState& d : displays_from_randr(monitors(false))) {
      if (d.handle == handle) return d.spec.bounds;
    }
    return std::nullopt;
  }

  // A window the program may list or capture: it exists, is an ordinary
  // mapped top-level window and has an area.
  std::optional<WindowState> describe(xcb_window_t window) const {
    if (window == root || window == 0) return std::nullopt;
    // Every request goes out before the first reply is awaited: one round trip.
    const auto attributes_cookie = xcb_get_window_attributes(c, window);
    const auto geometry_cookie = xcb_get_geometry(c, window);
    const auto origin_cookie = xcb_translate_coordinates(c, window, root, 0, 0);
    const auto net_name_cookie = xcb_get_property(c, 0, window, net_wm_name, utf8_string, 0, max_property_units);
    const auto name_cookie = xcb_get_property(c, 0, window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, max_property_units);
    const auto pid_cookie = xcb_get_property(c, 0, window, net_wm_pid, XCB_ATOM_CARDINAL, 0, 1);
    const auto extents_cookie = xcb_get_property(c, 0, window, net_frame_extents, XCB_ATOM_CARDINAL, 0, 4);
    auto attributes = reply<xcb_get_window_attributes_reply_t>(c, attributes_cookie, xcb_get_window_attributes_reply);
    auto geometry = reply<xcb_get_geometry_reply_t>(c, geometry_cookie, xcb_get_geometry_reply);
    auto origin = reply<xcb_translate_coordinates_reply_t>(c, origin_cookie, xcb_translate_coordinates_reply);
    auto net_name = reply<xcb_get_property_reply_t>(c, net_name_cookie, xcb_get_property_reply);
    auto name = reply<xcb_get_property_reply_t>(c, name_cookie, xcb_get_property_reply);
    auto pid = reply<xcb_get_property_reply_t>(c, pid_cookie, xcb_get_property_reply);
    auto extents = reply<xcb_get_property_reply_t>(c, extents_cookie, xcb_get_property_reply);
    if (!attributes || !geometry || !origin || attributes->override_redirect != 0 ||
        attributes->map_state != XCB_MAP_STATE_VIEWABLE || attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT ||
        geometry->width == 0 || geometry->height == 0) {
      return std::nullopt;
    }
    WindowState state;
    state.handle = WindowHandle{window};
    auto text = [](const xcb_get_property_reply_t& p) {
      return std::string_view(static_cast<const char*>(xcb_get_property_value(&p)),
                              static_cast<std::size_t>(xcb_get_property_value_length(&p)));
    };
    if (net_name && net_name->type == utf8_string && net_name->format == 8) {
      state.spec.title = from_utf8(text(*net_name));
    } else if (name && name->format == 8) {
      // WM_NAME is ISO Latin-1 (STRING); a COMPOUND_TEXT title keeps its ASCII.
      state.spec.title = name->type == utf8_string ? from_utf8(text(*name)) : from_latin1(text(*name));
    }
    if (pid && pid->format == 32 && xcb_get_property_value_length(pid.get()) >= 4) {
      state.spec.process_id = *static_cast<const std::uint32_t*>(xcb_get_property_value(pid.get()));
    }
    FrameInsets frame{0, 0, 0, 0};
    if (extents && extents->format == 32 && xcb_get_property_value_length(extents.get()) >= 16) {
      // _NET_FRAME_EXTENTS is left, right, top, bottom.
      const auto* e = static_cast<const std::uint32_t*>(xcb_get_property_value(extents.get()));
      frame = FrameInsets{static_cast<std::int32_t>(e[0]), static_cast<std::int32_t>(e[2]),
                          static_cast<std::int32_t>(e[1]), static_cast<std::int32_t>(e[3])};
    }
    state.spec.frame = frame;
    const std::int32_t x = origin->dst_x;
    const std::int32_t y = origin->dst_y;
    state.spec.bounds = Rect{x - frame.left, y - frame.top, x + geometry->width + frame.right,
                             y + geometry->height + frame.bottom};
    state.spec.visible = true;
    return state;
  }
};

namespace {

// A shared-memory segment the server writes images into.
class ShmSegment {
 public:
  explicit ShmSegment(std::shared_ptr<X11Connection> x) : x_(std::move(x)) {}
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;
  ~ShmSegment() { release(); }

  // A segment of at least `size` bytes attached on both sides; false when
  // the system or the server refuses one.
  bool reserve(std::size_t size) {
    if (size <= size_) return true;
    release();
    const int id = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return false;
    void* address = ::shmat(id, nullptr, 0);
    const xcb_shm_seg_t seg = xcb_generate_id(x_->c);
    const bool attached = address != reinterpret_cast<void*>(-1) &&
                          succeeded(x_->c, xcb_shm_attach_checked(x_->c, seg, static_cast<std::uint32_t>(id), 0));
    // Marked for removal at once: the segment goes when both sides detach,
    // even if this process dies.
    ::shmctl(id, IPC_RMID, nullptr);
    if (!attached) {
      if (address != reinterpret_cast<void*>(-1)) ::shmdt(address);
      return false;
    }
    seg_ = seg;
    address_ = static_cast<std::uint8_t*>(address);
    size_ = size;
    return true;
  }

  [[nodiscard]] xcb_shm_seg_t seg() const { return seg_; }
  [[nodiscard]] const std::uint8_t* data() const { return address_; }

 private:
  void release() {
    if (address_ == nullptr) return;
    xcb_shm_detach(x_->c, seg_);
    xcb_flush(x_->c);
    ::shmdt(address_);
    address_ = nullptr;
    size_ = 0;
  }

  std::shared_ptr<X11Connection> x_;
  xcb_shm_seg_t seg_ = 0;
  std::uint8_t* address_ = nullptr;
  std::size_t size_ = 0;
};

// Draws the cursor image (premultiplied ARGB, as XFixes gives it) over BGRA
// pixels; `left`, `top` is the image's corner in the picture.
void blend_cursor(testing::PictureView target, const xcb_xfixes_get_cursor_image_reply_t& cursor, int left,
                  int top) {
  const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(&cursor);
  for (int row = 0; row < cursor.height; ++row) {
    const int y = top + row;
    if (y < 0 || y >= target.height) continue;
    std::uint8_t* line = target.data + y * target.stride_bytes;
    for (int column = 0; column < cursor.width; ++column) {
      const int x = left + column;
      if (x < 0 || x >= target.width) continue;
      const std::uint32_t argb = pixels[row * cursor.width + column];
      const std::uint32_t alpha = argb >> 24;
      if (alpha == 0) continue;
      std::uint8_t* p = line + x * 4;
      for (int channel = 0; channel < 3; ++channel) {
        const std::uint32_t source = (argb >> (8 * channel)) & 0xFF;
        p[channel] = static_cast<std::uint8_t>(source + (p[channel] * (255 - alpha) + 127) / 255);
      }
    }
  }
}

// What a display or window session shows, read from the server. A window's
// picture is that of its top-level ancestor: the window manager's frame
// around it when there is one (what Windows shows of a window too), else
// the window itself.
class X11PictureFeed final : public PictureFeed {
 public:
  X11PictureFeed(std::shared_ptr<X11Connection> x, CaptureTarget target)
      : x_(std::move(x)), target_(target), shm_(x_) {
    attach(target_.is_window ? x_->top_level(static_cast<xcb_window_t>(target_.handle)) : x_->root);
  }

  ~X11PictureFeed() override {
    detach();
    xcb_flush(x_->c);
    x_->pump_events();  // the errors of a window already gone
  }

  Poll poll(bool cursor) override {
    const bool damaged = x_->take_damage(damage_);
    due_ = due_ || damaged;
    if (target_.is_window) {
      if (!x_->describe(static_cast<xcb_window_t>(target_.handle))) return {State::Gone, {}};
      auto geometry = reply<xcb_get_geometry_reply_t>(x_->c, xcb_get_geometry(x_->c, drawn_), xcb_get_geometry_reply);
      if (!geometry) {
        // The frame went while the window stayed (its window manager left):
        // follow the window to its new top level.
        detach();
        attach(x_->top_level(static_cast<xcb_window_t>(target_.handle)));
        return {State::Unchanged, {}};
      }
      const wgc::SizeInt32 size{geometry->width, geometry->height};
      if (size != size_ || pixmap_ == 0) {
        // The pixmap belongs to one size of the window: name a new one.
        if (pixmap_ != 0) xcb_free_pixmap(x_->c, pixmap_);
        pixmap_ = xcb_generate_id(x_->c);
        if (!succeeded(x_->c, xcb_composite_name_window_pixmap_checked(x_->c, drawn_, pixmap_))) {
          pixmap_ = 0;
          return {State::Unchanged, {}};
        }
        size_ = size;
        due_ = true;
      }
      area_ = Rect{0, 0, size.width, size.height};
    } else {
      // The monitors are read again when RandR says the screen changed, and
      // once a second in case a server does not say so for monitors.
      const std::uint64_t changes = x_->screen_change_count();
      if (changes != screen_changes_seen_ || ++polls_since_monitors_ >= monitor_recheck_polls || size_.width == 0) {
        screen_changes_seen_ = changes;
        polls_since_monitors_ = 0;
        const auto bounds = x_->monitor_bounds(MonitorHandle{target_.handle});
        if (!bounds) return {State::Gone, {}};
        if (*bounds != area_) due_ = true;
        area_ = *bounds;
        size_ = wgc::SizeInt32{bounds->right - bounds->left, bounds->bottom - bounds->top};
      }
      if (cursor) poll_cursor();
    }
    if (!due_) return {State::Unchanged, {}};
    return {State::Due, size_};
  }

  bool paint(HostTexture& texture, std::uint32_t, bool cursor) override {
    const testing::PictureView target{texture.data(), texture.pitch(), texture.width(), texture.height()};
    xcb_connection_t* c = x_->c;
    // Cleared before the read, so a change during the read is seen next time.
    xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE);
    const auto drawable = target_.is_window ? pixmap_ : x_->root;
    const auto width = static_cast<std::uint16_t>(area_.right - area_.left);
    const auto height = static_cast<std::uint16_t>(area_.bottom - area_.top);
    const std::size_t pitch = std::size_t{width} * 4;
    // The server writes straight into a shareable buffer whose rows are laid
    // out as its image rows are: no copy at all.
    if (texture.shared_fd() >= 0 && width <= target.width && height <= target.height &&
        static_cast<std::ptrdiff_t>(pitch) == target.stride_bytes) {
      if (const auto seg = segment_of(texture)) {
        auto r = reply<xcb_shm_get_image_reply_t>(
            c,
            xcb_shm_get_image(c, drawable, static_cast<std::int16_t>(area_.left),
                              static_cast<std::int16_t>(area_.top), width, height, all_planes,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, *seg, 0),
            xcb_shm_get_image_reply);
        if (!r || (r->depth != 24 && r->depth != 32)) return false;
        finish(target, cursor);
        return true;
      }
    }
    const std::uint8_t* pixels = nullptr;
    Reply<xcb_get_image_reply_t> image;
    // A server that has MIT-SHM but cannot reach this host's memory (a
    // forwarded display) refuses the segment: plain GetImage from then on.
    shm_usable_ = shm_usable_ && x_->shm && shm_.reserve(pitch * height);
    if (shm_usable_) {
      auto r = reply<xcb_shm_get_image_reply_t>(
          c,
          xcb_shm_get_image(c, drawable, static_cast<std::int16_t>(area_.left), static_cast<std::int16_t>(area_.top),
                            width, height, all_planes, XCB_IMAGE_FORMAT_Z_PIXMAP, shm_.seg(), 0),
          xcb_shm_get_image_reply);
      if (!r || (r->depth != 24 && r->depth != 32)) return false;
      pixels = shm_.data();
    } else {
      image = reply<xcb_get_image_reply_t>(
          c,
          xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<std::int16_t>(area_.left),
                        static_cast<std::int16_t>(area_.top), width, height, all_planes),
          xcb_get_image_reply);
      if (!image || (image->depth != 24 && image->depth != 32) ||
          static_cast<std::size_t>(xcb_get_image_data_length(image.get())) < pitch * height) {
        return false;
      }
      pixels = xcb_get_image_data(image.get());
    }
    const int rows = std::min<int>(height, target.height);
    const std::size_t row_bytes = std::size_t{4} * static_cast<std::size_t>(std::min<int>(width, target.width));
    for (int y = 0; y < rows; ++y) {
      std::memcpy(target.data + y * target.stride_bytes, pixels + y * pitch, row_bytes);
    }
    finish(target, cursor);
    return true;
  }

 private:
  void finish(testing::PictureView target, bool cursor) {
    if (cursor && !target_.is_window && cursor_) {
      blend_cursor(target, *cursor_, cursor_->x - cursor_->xhot - area_.left, cursor_->y - cursor_->yhot - area_.top);
    }
    due_ = false;
  }

  // The server's segment for a shareable buffer, attached on first use;
  // segments of buffers that are gone (the pool was recreated) are detached.
  std::optional<xcb_shm_seg_t> segment_of(HostTexture& texture) {
    std::optional<xcb_shm_seg_t> found;
    std::erase_if(buffer_segments_, [&](const BufferSegment& b) {
      const auto buffer = b.buffer.lock();
      if (buffer.get() == &texture) found = b.seg;
      if (buffer) return false;
      xcb_shm_detach(x_->c, b.seg);
      return true;
    });
    if (found || !buffer_segments_usable_) return found;
    const xcb_shm_seg_t seg = xcb_generate_id(x_->c);
    // XCB sends the descriptor and closes it: it gets a copy of the buffer's.
    const int fd = ::fcntl(texture.shared_fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0 || !succeeded(x_->c, xcb_shm_attach_fd_checked(x_->c, seg, fd, 0))) {
      buffer_segments_usable_ = false;  // a server that refuses one refuses them all
      return std::nullopt;
    }
    buffer_segments_.push_back(BufferSegment{texture.weak_from_this(), seg});
    return seg;
  }

  void attach(xcb_window_t drawn) {
    xcb_connection_t* c = x_->c;
    drawn_ = drawn;
    if (drawn_ != x_->root) {
      // Automatic redirection keeps the window on screen as before and gives
      // its contents a pixmap of their own, which covering windows leave intact.
      xcb_composite_redirect_window(c, drawn_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    }
    damage_ = xcb_generate_id(c);
    xcb_damage_create(c, damage_, drawn_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    xcb_flush(c);
    due_ = true;
  }

  void detach() {
    xcb_connection_t* c = x_->c;
    for (const BufferSegment& b : buffer_segments_) xcb_shm_detach(c, b.seg);
    buffer_segments_.clear();
    xcb_damage_destroy(c, damage_);
    if (pixmap_ != 0) xcb_free_pixmap(c, pixmap_);
    pixmap_ = 0;
    if (drawn_ != x_->root) xcb_composite_unredirect_window(c, drawn_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  }

  // A frame is due when the pointer moved or changed shape.
  void poll_cursor() {
    auto image = reply<xcb_xfixes_get_cursor_image_reply_t>(x_->c, xcb_xfixes_get_cursor_image(x_->c),
                                                            xcb_xfixes_get_cursor_image_reply);
    if (!image) return;
    if (!cursor_ || image->x != cursor_->x || image->y != cursor_->y || image->cursor_serial != cursor_->cursor_serial) {
      due_ = true;
    }
    cursor_ = std::move(image);
  }

  std::shared_ptr<X11Connection> x_;
  const CaptureTarget target_;
  ShmSegment shm_;
  xcb_window_t drawn_ = 0;  // the root, or the window's top-level ancestor
  xcb_damage_damage_t damage_ = 0;
  xcb_pixmap_t pixmap_ = 0;  // drawn_'s contents at size_
  wgc::SizeInt32 size_;
  Rect area_;  // what is read: the monitor in root coordinates, or the whole pixmap
  bool due_ = true;  // the first poll always delivers a picture
  bool shm_usable_ = true;
  struct BufferSegment {
    std::weak_ptr<HostTexture> buffer;
    xcb_shm_seg_t seg = 0;
  };
  std::vector<BufferSegment> buffer_segments_;
  bool buffer_segments_usable_ = true;
  std::uint64_t screen_changes_seen_ = 0;
  int polls_since_monitors_ = 0;
  Reply<xcb_xfixes_get_cursor_image_reply_t> cursor_;
};

xcb_atom_t intern(xcb_connection_t* c, std::string_view name) {
  auto r = reply<xcb_intern_atom_reply_t>(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data()), xcb_intern_atom_reply);
  return r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
}

bool has_extension(xcb_connection_t* c, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension);
  return data != nullptr && data->present != 0;
}

}  // namespace

std::expected<std::unique_ptr<X11Desktop>, std::string> X11Desktop::open() {
  const char* display_name = std::getenv("DISPLAY");
  const std::string shown = display_name != nullptr ? display_name : "";
  auto x = std::make_shared<X11Connection>();
  int screen_number = 0;
  x->c = xcb_connect(nullptr, &screen_number);
  if (xcb_connection_has_error(x->c) != 0) {
    return std::unexpected("cannot open X display '" + shown + "'");
  }
  xcb_connection_t* c = x->c;
  auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screen_number && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem <= 0) return std::unexpected("cannot open X display '" + shown + "'");
  x->root = screens.data->root;

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
  x->shm = has_extension(c, &xcb_shm_id);
  if (x->shm) {
    auto version = reply<xcb_shm_query_version_reply_t>(c, xcb_shm_query_version(c), xcb_shm_query_version_reply);
    x->shm_fd = version && (version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 2));
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
  x->damage_first_event = xcb_get_extension_data(c, &xcb_damage_id)->first_event;
  x->randr_first_event = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
  xcb_randr_select_input(c, x->root,
                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  x->net_client_list = intern(c, "_NET_CLIENT_LIST");
  x->net_wm_name = intern(c, "_NET_WM_NAME");
  x->utf8_string = intern(c, "UTF8_STRING");
  x->net_wm_pid = intern(c, "_NET_WM_PID");
  x->net_frame_extents = intern(c, "_NET_FRAME_EXTENTS");
  x->edid = intern(c, "EDID");
  return std::make_unique<X11Desktop>(std::move(x));
}

X11Desktop::X11Desktop(std::shared_ptr<X11Connection> connection) : x_(std::move(connection)) {}

X11Desktop::~X11Desktop() = default;

std::vector<DisplayState> X11Desktop::displays() const { return displays_from_randr(x_->monitors(true)); }

std::optional<DisplayState> X11Desktop::display(MonitorHandle display) const {
  for (DisplayState& d : displays()) {
    if (d.handle == display) return std::move(d);
  }
  return std::nullopt;
}

WindowHandle X11Desktop::desktop_window() const { return WindowHandle{x_->root}; }

std::vector<WindowState> X11Desktop::windows() const {
  std::vector<xcb_window_t> candidates;
  xcb_connection_t* c = x_->c;
  auto list = reply<xcb_get_property_reply_t>(
      c, xcb_get_property(c, 0, x_->root, x_->net_client_list, XCB_ATOM_WINDOW, 0, max_property_units),
      xcb_get_property_reply);
  if (list && list->type == XCB_ATOM_WINDOW && list->format == 32) {
    const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(list.get()));
    candidates.assign(ids, ids + xcb_get_property_value_length(list.get()) / 4);
  } else if (auto tree = reply<xcb_query_tree_reply_t>(c, xcb_query_tree(c, x_->root), xcb_query_tree_reply)) {
    // Without a window manager: the root's children, topmost first as
    // EnumChildWindows reports them (the tree lists bottom to top).
    const auto* children = xcb_query_tree_children(tree.get());
    candidates.assign(children, children + xcb_query_tree_children_length(tree.get()));
    std::reverse(candidates.begin(), candidates.end());
  }
  std::vector<WindowState> windows;
  for (const xcb_window_t id : candidates) {
    if (auto state = x_->describe(id)) windows.push_back(std::move(*state));
  }
  return windows;
}

std::optional<WindowState> X11Desktop::window(WindowHandle window) const {
  if (window.value > 0xFFFFFFFFu) return std::nullopt;  // X ids are 32-bit
  return x_->describe(static_cast<xcb_window_t>(window.value));
}

std::uint32_t X11Desktop::own_process_id() const { return static_cast<std::uint32_t>(::getpid()); }

std::optional<std::u16string> X11Desktop::process_executable(std::uint32_t process_id) const {
  if (process_id == 0) return std::nullopt;
  const std::string proc = "/proc/" + std::to_string(process_id);
  std::array<char, 4096> path{};
  const ssize_t n = ::readlink((proc + "/exe").c_str(), path.data(), path.size() - 1);
  if (n > 0) {
    const std::string_view full(path.data(), static_cast<std::size_t>(n));
    return from_utf8(full.substr(full.find_last_of('/') + 1));
  }
  // Another user's process hides its executable; its command name is public.
  std::ifstream comm(proc + "/comm");
  std::string name;
  if (std::getline(comm, name) && !name.empty()) return from_utf8(name);
  return std::nullopt;
}

Result<std::shared_ptr<HostTexture>> X11Desktop::create_buffer(const d3d11::Texture2DDesc& desc) {
  return x_->shm_fd ? HostTexture::create_shareable(desc) : HostTexture::create(desc);
}

std::unique_ptr<PictureFeed> X11Desktop::open_feed(CaptureTarget target) {
  return std::make_unique<X11PictureFeed>(x_, target);
}

}  // namespace quorvex::platform::host
