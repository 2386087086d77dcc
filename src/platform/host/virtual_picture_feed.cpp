// The virtual desktop's pictures: composed afresh at every refresh, because
// the scene moves all the time.
#include <chrono>

#include "platform/host/scene_painter.h"
#include "platform/host/virtual_desktop.h"

namespace quorvex::platform::host {

namespace {

class VirtualPictureFeed final : public PictureFeed {
 public:
  VirtualPictureFeed(VirtualDesktop& desktop, CaptureTarget target) : desktop_(desktop), target_(target) {}

  Poll poll(bool) override {
    window_.reset();
    if (target_.is_window) {
      window_ = desktop_.window(WindowHandle{target_.handle});
      if (!window_) return {.outcome = FeedOutcome::PermanentFailure};
      if (!window_->spec.visible) return {};
      const Rect& r = window_->spec.bounds;
      return due(r.right - r.left, r.bottom - r.top);
    }
    const auto display = desktop_.display(MonitorHandle{target_.handle});
    if (!display) return {.outcome = FeedOutcome::PermanentFailure};
    const Rect& r = display->spec.bounds;
    return due(r.right - r.left, r.bottom - r.top);
  }

  FeedOutcome paint(HostTexture& texture, std::uint32_t tick, bool) override {
    const testing::PictureView target{texture.data(), texture.pitch(), texture.width(), texture.height()};
    const auto wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    const testing::FrameClockStamp stamp{tick, static_cast<std::uint32_t>(wall_ms & 0xFFFFFFFF)};
    if (window_) {
      painter_.paint_window(target, *window_, tick, stamp);
    } else {
      painter_.paint_display(target, size_.width, size_.height, tick, stamp);
    }
    return FeedOutcome::Ok;
  }

 private:
  Poll due(std::int32_t width, std::int32_t height) {
    size_ = wgc::SizeInt32{width, height};
    if (width <= 0 || height <= 0) return {};
    return {.due = true, .size = size_};
  }

  VirtualDesktop& desktop_;
  const CaptureTarget target_;
  ScenePainter painter_;
  std::optional<WindowState> window_;  // as polled last
  wgc::SizeInt32 size_;                // as polled last
};

}  // namespace

std::unique_ptr<PictureFeed> VirtualDesktop::open_feed(CaptureTarget target) {
  return std::make_unique<VirtualPictureFeed>(*this, target);
}

}  // namespace quorvex::platform::host
