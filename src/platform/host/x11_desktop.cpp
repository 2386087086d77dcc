#include "platform/host/x11_desktop.h"

#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <span>
#include <vector>

#include "platform/host/randr_monitors.h"
#include "platform/host/x11_connection.h"
#include "platform/host/x11_cursor_monitor.h"
#include "platform/host/x11_pixel_reader.h"
#include "platform/host/x11_text.h"
#include "platform/host/x11_window_model.h"
#include "platform/thread_safety.h"

namespace quorvex::platform::host {

namespace x11 {

namespace {
// An EDID base block is 128 bytes: 32 units.
constexpr std::uint32_t edid_units = 32;
// The monitors are read again when RandR tells of a change, and this often
// in case a server does not tell of every change.
constexpr auto monitor_recheck = std::chrono::seconds(1);
// A pointer unmoved for this many refreshes (a second) is looked at every
// sixth refresh only: the first move after a pause shows up to 100 ms late,
// the following ones at once.
constexpr std::uint32_t still_after_polls = 60;
constexpr std::uint32_t still_poll_after = 6;
}  // namespace

// Everything the desktop and its feeds share. The event thread writes the
// notices; the compositor and the program's threads read them.
struct DesktopParts {
  explicit DesktopParts(std::shared_ptr<X11Connection> connection)
      : x(std::move(connection)), windows(x), cursor(x) {}

  std::shared_ptr<X11Connection> x;
  X11WindowModel windows;
  X11CursorMonitor cursor;

  // Each damage object that has reported since it was last taken, with the
  // sequence number of the report.
  Mutex damage_mutex;
  std::map<xcb_damage_damage_t, std::uint32_t> damaged QVX_GUARDED_BY(damage_mutex);

  std::atomic<std::uint64_t> screen_changes{0};  // RandR notifications so far
  mutable Mutex monitors_mutex;
  std::vector<RandrMonitor> monitors QVX_GUARDED_BY(monitors_mutex);
  std::chrono::steady_clock::time_point monitors_read QVX_GUARDED_BY(monitors_mutex);
  std::uint64_t monitors_screen_changes QVX_GUARDED_BY(monitors_mutex) = ~0ULL;  // screen_changes when read

  Mutex listeners_mutex;
  std::map<std::uint64_t, std::function<void()>> listeners QVX_GUARDED_BY(listeners_mutex);
  std::uint64_t next_listener QVX_GUARDED_BY(listeners_mutex) = 1;

  void notify() {
    std::vector<std::function<void()>> copy;
    {
      const MutexLock lock(listeners_mutex);
      for (auto& [id, listener] : listeners) copy.push_back(listener);
    }
    for (auto& listener : copy) listener();
  }

  // Whether `damage` reported a change after the request numbered `cleared`
  // (its last DamageSubtract). A report already on its way when the region
  // was cleared tells of a change that the read after the clearing saw; it
  // would only send the same picture again.
  bool take_damage(xcb_damage_damage_t damage, std::uint32_t cleared) {
    const MutexLock lock(damage_mutex);
    const auto it = damaged.find(damage);
    if (it == damaged.end()) return false;
    // Sequence numbers wrap at 2^32; a difference holds for 2^31 requests.
    const bool after = static_cast<std::int32_t>(it->second - cleared) >= 0;
    damaged.erase(it);
    return after;
  }

  void forget_damage(xcb_damage_damage_t damage) {
    const MutexLock lock(damage_mutex);
    damaged.erase(damage);
  }

  // The monitors, with their EDID, as read last.
  std::vector<RandrMonitor> current_monitors() {
    const MutexLock lock(monitors_mutex);
    const auto now = std::chrono::steady_clock::now();
    const std::uint64_t changes = screen_changes.load();
    if (changes != monitors_screen_changes || now - monitors_read >= monitor_recheck) {
      monitors = read_monitors();
      monitors_read = now;
      monitors_screen_changes = changes;
    }
    return monitors;
  }

  std::vector<RandrMonitor> read_monitors() const {
    xcb_connection_t* c = x->get();
    std::vector<RandrMonitor> out;
    auto r = reply<xcb_randr_get_monitors_reply_t>(c, xcb_randr_get_monitors(c, x->root(), 1),
                                                   xcb_randr_get_monitors_reply);
    if (!r) return out;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
      const xcb_randr_monitor_info_t& m = *it.data;
      RandrMonitor monitor{m.name, m.primary != 0, m.x, m.y, m.width, m.height, {}};
      const std::span outputs(xcb_randr_monitor_info_outputs(it.data),
                              static_cast<std::size_t>(xcb_randr_monitor_info_outputs_length(it.data)));
      for (const xcb_randr_output_t output : outputs) {
        auto p = reply<xcb_randr_get_output_property_reply_t>(
            c, xcb_randr_get_output_property(c, output, x->atoms().edid, XCB_ATOM_ANY, 0, edid_units, 0, 0),
            xcb_randr_get_output_property_reply);
        if (!p || p->format != 8 || p->num_items == 0) continue;
        const std::uint8_t* data = xcb_randr_get_output_property_data(p.get());
        monitor.edid.assign(data, data + xcb_randr_get_output_property_data_length(p.get()));
        break;
      }
      out.push_back(std::move(monitor));
    }
    return out;
  }

  std::optional<Rect> monitor_bounds(MonitorHandle handle) {
    for (const DisplayState& d : displays_from_randr(current_monitors())) {
      if (d.handle == handle) return d.spec.bounds;
    }
    return std::nullopt;
  }
};

namespace {

// What a display or window session shows, read from the server. A window's
// picture is that of its top-level ancestor: the window manager's frame
// around it when there is one (what Windows shows of a window too), else
// the window itself.
class X11PictureFeed final : public PictureFeed {
 public:
  X11PictureFeed(DesktopParts& desktop, CaptureTarget target)
      : desktop_(desktop), target_(target), window_(static_cast<xcb_window_t>(target.handle)), reader_(desktop.x) {
    if (target_.is_window) {
      desktop_.windows.watch(window_);
      attach(desktop_.windows.top_level(window_));
    } else {
      attach(desktop_.x->root());
    }
  }

  ~X11PictureFeed() override {
    detach();
    if (target_.is_window) desktop_.windows.unwatch(window_);
    xcb_flush(desktop_.x->get());
  }

  Poll poll(bool cursor) override {
    due_ = desktop_.take_damage(damage_, cleared_) || due_;
    return target_.is_window ? poll_window() : poll_display(cursor);
  }

  FeedOutcome paint(HostTexture& texture, std::uint32_t, bool cursor) override {
    xcb_connection_t* c = desktop_.x->get();
    if (target_.is_window && pixmap_ == 0) return FeedOutcome::TemporaryFailure;
    // Cleared before the read, so a change during the read is seen next time.
    cleared_ = xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE).sequence;
    const FeedOutcome read = reader_.read(target_.is_window ? pixmap_ : desktop_.x->root(), area_, texture);
    if (read != FeedOutcome::Ok) return read;
    if (cursor && !target_.is_window && cursor_) {
      const testing::PictureView target{texture.data(), texture.pitch(), texture.width(), texture.height()};
      const auto& image = *cursor_->image;
      blend_cursor(target, image, cursor_->x - image.xhot - area_.left, cursor_->y - image.yhot - area_.top);
    }
    due_ = false;
    return FeedOutcome::Ok;
  }

 private:
  Poll poll_window() {
    // The server is asked again only after a watched window changed.
    const std::uint64_t changes = desktop_.windows.changes();
    if (!described_ || changes != changes_seen_) {
      changes_seen_ = changes;
      const FeedOutcome outcome = describe();
      described_ = outcome == FeedOutcome::Ok;
      if (outcome != FeedOutcome::Ok) return {.outcome = outcome, .poll_after = 0};
    }
    if (pixmap_ == 0) return {.poll_after = 0};  // minimised: nothing to show until restored
    return {.due = due_, .size = size_, .poll_after = 0};
  }

  FeedOutcome describe() {
    const auto window = desktop_.windows.describe(window_);
    if (!window) return FeedOutcome::PermanentFailure;
    if (!window->viewable) {
      // A minimised window keeps its capture, as on Windows; a withdrawn
      // one is gone.
      if (!window->iconic) return FeedOutcome::PermanentFailure;
      release_pixmap();
      return FeedOutcome::Ok;
    }
    // A window manager that reparents the window (or leaves) moves it to
    // another top level: follow it.
    if (const xcb_window_t top = desktop_.windows.top_level(window_); top != drawn_) {
      detach();
      attach(top);
    }
    xcb_connection_t* c = desktop_.x->get();
    auto geometry = reply<xcb_get_geometry_reply_t>(c, xcb_get_geometry(c, drawn_), xcb_get_geometry_reply);
    if (!geometry) return FeedOutcome::TemporaryFailure;
    const wgc::SizeInt32 size{geometry->width, geometry->height};
    if (size != size_ || pixmap_ == 0) {
      // The pixmap belongs to one size of the window (and one mapping): name a new one.
      release_pixmap();
      pixmap_ = xcb_generate_id(c);
      if (!succeeded(c, xcb_composite_name_window_pixmap_checked(c, drawn_, pixmap_))) {
        pixmap_ = 0;
        return FeedOutcome::TemporaryFailure;
      }
      size_ = size;
      due_ = true;
    }
    area_ = Rect{0, 0, size.width, size.height};
    return FeedOutcome::Ok;
  }

  Poll poll_display(bool cursor) {
    const auto bounds = desktop_.monitor_bounds(MonitorHandle{target_.handle});
    if (!bounds) return {.outcome = FeedOutcome::PermanentFailure, .poll_after = 0};
    if (*bounds != area_) due_ = true;
    area_ = *bounds;
    size_ = wgc::SizeInt32{bounds->right - bounds->left, bounds->bottom - bounds->top};
    if (!cursor) return {.due = due_, .size = size_, .poll_after = 0};
    // The pointer's moves have no event: it is looked at every refresh while
    // it moves, and ten times a second once it has been still for a second.
    auto sample = desktop_.cursor.sample();
    const bool moved = sample && (!cursor_ || !sample->same_as(*cursor_));
    due_ = due_ || moved;
    cursor_ = std::move(sample);
    still_polls_ = moved ? 0 : still_polls_ + 1;
    return {.due = due_, .size = size_, .poll_after = still_polls_ >= still_after_polls ? still_poll_after : 1U};
  }

  void attach(xcb_window_t drawn) {
    xcb_connection_t* c = desktop_.x->get();
    drawn_ = drawn;
    if (drawn_ != desktop_.x->root()) {
      // Automatic redirection keeps the window on screen as before and gives
      // its contents a pixmap of their own, which covering windows leave intact.
      xcb_composite_redirect_window(c, drawn_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
      desktop_.windows.watch(drawn_);
    }
    damage_ = xcb_generate_id(c);
    xcb_damage_create(c, damage_, drawn_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    // The server reports a window's whole area as damaged when the damage
    // object is made. The first picture is due anyway: without this clearing
    // that report came in after it and a still window sent it twice.
    cleared_ = xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE).sequence;
    xcb_flush(c);
    due_ = true;
  }

  void detach() {
    xcb_connection_t* c = desktop_.x->get();
    xcb_damage_destroy(c, damage_);
    desktop_.forget_damage(damage_);
    release_pixmap();
    if (drawn_ != desktop_.x->root()) {
      xcb_composite_unredirect_window(c, drawn_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
      desktop_.windows.unwatch(drawn_);
    }
  }

  void release_pixmap() {
    if (pixmap_ != 0) xcb_free_pixmap(desktop_.x->get(), pixmap_);
    pixmap_ = 0;
  }

  DesktopParts& desktop_;
  const CaptureTarget target_;
  const xcb_window_t window_;
  X11PixelReader reader_;
  xcb_window_t drawn_ = 0;  // the root, or the window's top-level ancestor
  xcb_damage_damage_t damage_ = 0;
  std::uint32_t cleared_ = 0;  // the sequence number of damage_'s last DamageSubtract
  xcb_pixmap_t pixmap_ = 0;  // drawn_'s contents at size_; none while minimised
  wgc::SizeInt32 size_;
  Rect area_;  // what is read: the monitor in root coordinates, or the whole pixmap
  bool due_ = true;  // the first poll always delivers a picture
  bool described_ = false;
  std::uint64_t changes_seen_ = 0;
  std::optional<CursorSample> cursor_;
  std::uint32_t still_polls_ = 0;  // polls since the pointer last moved
};

}  // namespace

}  // namespace x11

std::expected<std::unique_ptr<X11Desktop>, std::string> X11Desktop::open() {
  auto connection = x11::X11Connection::open();
  if (!connection) return std::unexpected(std::move(connection.error()));
  return std::make_unique<X11Desktop>(std::move(*connection));
}

X11Desktop::X11Desktop(std::shared_ptr<x11::X11Connection> connection)
    : parts_(std::make_unique<x11::DesktopParts>(std::move(connection))) {
  x11::DesktopParts& parts = *parts_;
  x11::X11Connection& x = *parts.x;
  // Event dispatch by type: each notification updates what it is about,
  // then the listeners (the compositor) look again.
  x.on_event(static_cast<std::uint8_t>(x.first_event(xcb_damage_id) + XCB_DAMAGE_NOTIFY),
             [&parts](const xcb_generic_event_t& event) {
               {
                 const MutexLock lock(parts.damage_mutex);
                 // xcb widens the event's 16-bit sequence number into full_sequence.
                 parts.damaged.insert_or_assign(reinterpret_cast<const xcb_damage_notify_event_t&>(event).damage,
                                                event.full_sequence);
               }
               parts.notify();
             });
  for (const std::uint8_t type : x11::X11WindowModel::notifications) {
    x.on_event(type, [&parts](const xcb_generic_event_t&) {
      parts.windows.note_change();
      parts.notify();
    });
  }
  // The shape alone makes no frame: a display showing the cursor looks at
  // the pointer every refresh anyway.
  x.on_event(static_cast<std::uint8_t>(x.first_event(xcb_xfixes_id) + XCB_XFIXES_CURSOR_NOTIFY),
             [&parts](const xcb_generic_event_t&) { parts.cursor.note_shape_change(); });
  const std::uint8_t randr = x.first_event(xcb_randr_id);
  for (const std::uint8_t type : {static_cast<std::uint8_t>(randr + XCB_RANDR_SCREEN_CHANGE_NOTIFY),
                                  static_cast<std::uint8_t>(randr + XCB_RANDR_NOTIFY)}) {
    x.on_event(type, [&parts](const xcb_generic_event_t&) {
      parts.screen_changes.fetch_add(1);
      parts.notify();
    });
  }
  xcb_randr_select_input(x.get(), x.root(),
                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  xcb_flush(x.get());
  x.start_events();
}

X11Desktop::~X11Desktop() { parts_->x->stop_events(); }

std::vector<DisplayState> X11Desktop::displays() const { return displays_from_randr(parts_->current_monitors()); }

std::optional<DisplayState> X11Desktop::display(MonitorHandle display) const {
  for (DisplayState& d : displays()) {
    if (d.handle == display) return std::move(d);
  }
  return std::nullopt;
}

WindowHandle X11Desktop::desktop_window() const { return WindowHandle{parts_->x->root()}; }

std::vector<WindowState> X11Desktop::windows() const { return parts_->windows.list(); }

std::optional<WindowState> X11Desktop::window(WindowHandle window) const {
  if (window.value > 0xFFFFFFFFu) return std::nullopt;  // X ids are 32-bit
  auto found = parts_->windows.describe(static_cast<xcb_window_t>(window.value));
  if (!found) return std::nullopt;
  return std::move(found->state);
}

std::uint32_t X11Desktop::own_process_id() const { return static_cast<std::uint32_t>(::getpid()); }

std::optional<std::u16string> X11Desktop::process_executable(std::uint32_t process_id) const {
  if (process_id == 0) return std::nullopt;
  const std::string proc = "/proc/" + std::to_string(process_id);
  std::array<char, 4096> path{};
  const ssize_t n = ::readlink((proc + "/exe").c_str(), path.data(), path.size() - 1);
  if (n > 0) {
    const std::string_view full(path.data(), static_cast<std::size_t>(n));
    return x11::from_utf8(full.substr(full.find_last_of('/') + 1));
  }
  // Another user's process hides its executable; its command name is public.
  std::ifstream comm(proc + "/comm");
  std::string name;
  if (std::getline(comm, name) && !name.empty()) return x11::from_utf8(name);
  return std::nullopt;
}

Result<std::shared_ptr<HostTexture>> X11Desktop::create_buffer(const d3d11::Texture2DDesc& desc) {
  return parts_->x->shm_fd() ? HostTexture::create_shareable(desc) : HostTexture::create(desc);
}

std::unique_ptr<PictureFeed> X11Desktop::open_feed(CaptureTarget target) {
  return std::make_unique<x11::X11PictureFeed>(*parts_, target);
}

std::uint64_t X11Desktop::add_listener(std::function<void()> listener) {
  const MutexLock lock(parts_->listeners_mutex);
  const std::uint64_t id = parts_->next_listener++;
  parts_->listeners[id] = std::move(listener);
  return id;
}

void X11Desktop::remove_listener(std::uint64_t id) {
  const MutexLock lock(parts_->listeners_mutex);
  parts_->listeners.erase(id);
}

}  // namespace quorvex::platform::host
