// The X11 desktop's capture cost per display frame at 1920x1080 against the
// bare read it is built on, in the same run:
//  - BM_BareShmGetImage: xcb_shm_get_image of the root into a segment;
//  - BM_X11DisplayFeed: the desktop source's feed for the display: polled
//    when the damage notice arrives, XShm read into a frame-pool buffer of the
//    source (written by the server itself when it takes memfd segments).
// Both first draw one pixel on the root from a second connection and wait
// for it, so every iteration has damage to deliver; the ratio of the two is
// the feed's overhead. Needs DISPLAY (bench/x11_measure.py starts an Xvfb).
#include <benchmark/benchmark.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/host/host_texture.h"
#include "platform/host/randr_monitors.h"
#include "platform/host/x11_desktop.h"

namespace quorvex::platform::host {
namespace {

constexpr std::uint16_t width = 1920;
constexpr std::uint16_t height = 1080;

// A second client that changes one pixel of the root per call, alternating
// its colour, and waits until the server has done it.
class Scribbler {
 public:
  Scribbler() : c_(xcb_connect(nullptr, nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, screen_->root, 0, nullptr);
  }
  ~Scribbler() { xcb_disconnect(c_); }
  [[nodiscard]] bool ok() const { return xcb_connection_has_error(c_) == 0; }
  void scribble() {
    const std::uint32_t colour = (++n_ & 1) != 0 ? screen_->white_pixel : screen_->black_pixel;
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t pixel{static_cast<std::int16_t>(n_ % 100), 500, 1, 1};
    xcb_poly_fill_rectangle(c_, screen_->root, gc_, 1, &pixel);
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
  }
  [[nodiscard]] xcb_connection_t* connection() const { return c_; }
  [[nodiscard]] xcb_window_t root() const { return screen_->root; }

 private:
  xcb_connection_t* c_;
  xcb_screen_t* screen_ = nullptr;
  xcb_gcontext_t gc_ = 0;
  std::uint32_t n_ = 0;
};

void BM_BareShmGetImage(benchmark::State& state) {
  Scribbler scribbler;
  if (!scribbler.ok()) return state.SkipWithError("no X display");
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const std::size_t size = std::size_t{width} * height * 4;
  const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  void* address = shmat(id, nullptr, 0);
  const xcb_shm_seg_t seg = xcb_generate_id(c);
  std::free(xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<std::uint32_t>(id), 0)));
  shmctl(id, IPC_RMID, nullptr);
  for (auto _ : state) {
    scribbler.scribble();
    auto* reply = xcb_shm_get_image_reply(
        c, xcb_shm_get_image(c, root, 0, 0, width, height, ~0U, XCB_IMAGE_FORMAT_Z_PIXMAP, seg, 0), nullptr);
    benchmark::DoNotOptimize(reply);
    std::free(reply);
    benchmark::DoNotOptimize(static_cast<volatile std::uint8_t*>(address)[size / 2]);
  }
  xcb_shm_detach(c, seg);
  xcb_disconnect(c);
  shmdt(address);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareShmGetImage)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_X11DisplayFeed(benchmark::State& state) {
  Scribbler scribbler;
  auto desktop = X11Desktop::open();
  if (!scribbler.ok() || !desktop) return state.SkipWithError("no X display");
  const auto displays = (*desktop)->displays();
  if (displays.empty()) return state.SkipWithError("no monitor");
  auto feed = (*desktop)->open_feed(CaptureTarget{false, displays.front().handle.value});
  d3d11::Texture2DDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = d3d11::Format::B8G8R8A8Unorm;
  auto texture = *(*desktop)->create_buffer(desc);
  // The damage notice wakes the poll, as it wakes the compositor.
  std::mutex mutex;
  std::condition_variable noticed;
  std::uint64_t notices = 0;
  const std::uint64_t listener = (*desktop)->add_listener([&] {
    {
      std::lock_guard lock(mutex);
      ++notices;
    }
    noticed.notify_all();
  });
  std::uint64_t missed = 0;
  for (auto _ : state) {
    std::unique_lock lock(mutex);
    const std::uint64_t before = notices;
    lock.unlock();
    scribbler.scribble();
    PictureFeed::Poll poll = feed->poll(false);
    if (!poll.due) {
      lock.lock();
      noticed.wait_for(lock, std::chrono::milliseconds(100), [&] { return notices != before; });
      lock.unlock();
      poll = feed->poll(false);
    }
    if (!poll.due) ++missed;
    benchmark::DoNotOptimize(feed->paint(*texture, 0, false));
  }
  (*desktop)->remove_listener(listener);
  state.counters["missed_damage"] = static_cast<double>(missed);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_X11DisplayFeed)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace quorvex::platform::host

BENCHMARK_MAIN();
