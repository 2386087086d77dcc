#include "platform/host/x11_pixel_reader.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "testing/frame_clock.h"

namespace quorvex::platform::host::x11 {

namespace {
constexpr std::uint32_t all_planes = ~0U;

bool depth_readable(std::uint8_t depth) { return depth == 24 || depth == 32; }
}  // namespace

bool ShmSegment::reserve(std::size_t size) {
  if (size <= size_) return true;
  release();
  const int id = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (id < 0) return false;
  void* address = ::shmat(id, nullptr, 0);
  xcb_connection_t* c = x_->get();
  const xcb_shm_seg_t seg = xcb_generate_id(c);
  const bool attached = address != reinterpret_cast<void*>(-1) &&
                        succeeded(c, xcb_shm_attach_checked(c, seg, static_cast<std::uint32_t>(id), 0));
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

void ShmSegment::release() {
  if (address_ == nullptr) return;
  xcb_shm_detach(x_->get(), seg_);
  xcb_flush(x_->get());
  ::shmdt(address_);
  address_ = nullptr;
  size_ = 0;
}

X11PixelReader::X11PixelReader(std::shared_ptr<X11Connection> x) : x_(std::move(x)), shm_(x_) {}

X11PixelReader::~X11PixelReader() {
  for (const BufferSegment& b : buffer_segments_) xcb_shm_detach(x_->get(), b.seg);
  xcb_flush(x_->get());
}

FeedOutcome X11PixelReader::read(xcb_drawable_t drawable, Rect area, HostTexture& texture) {
  const testing::PictureView target{texture.data(), texture.pitch(), texture.width(), texture.height()};
  xcb_connection_t* c = x_->get();
  const auto left = static_cast<std::int16_t>(area.left);
  const auto top = static_cast<std::int16_t>(area.top);
  const auto width = static_cast<std::uint16_t>(area.right - area.left);
  const auto height = static_cast<std::uint16_t>(area.bottom - area.top);
  const std::size_t pitch = std::size_t{width} * 4;
  // The server writes straight into a shareable buffer whose rows are laid
  // out as its image rows are: no copy at all.
  if (texture.shared_fd() >= 0 && width <= target.width && height <= target.height &&
      static_cast<std::ptrdiff_t>(pitch) == target.stride_bytes) {
    if (const auto seg = segment_of(texture)) {
      auto r = reply<xcb_shm_get_image_reply_t>(
          c, xcb_shm_get_image(c, drawable, left, top, width, height, all_planes, XCB_IMAGE_FORMAT_Z_PIXMAP, *seg, 0),
          xcb_shm_get_image_reply);
      return r && depth_readable(r->depth) ? FeedOutcome::Ok : FeedOutcome::TemporaryFailure;
    }
  }
  const std::uint8_t* pixels = nullptr;
  Reply<xcb_get_image_reply_t> image;
  // A server that has MIT-SHM but cannot reach this host's memory refuses
  // the segment: plain GetImage from then on.
  shm_usable_ = shm_usable_ && x_->shm() && shm_.reserve(pitch * height);
  if (shm_usable_) {
    auto r = reply<xcb_shm_get_image_reply_t>(
        c,
        xcb_shm_get_image(c, drawable, left, top, width, height, all_planes, XCB_IMAGE_FORMAT_Z_PIXMAP, shm_.seg(), 0),
        xcb_shm_get_image_reply);
    if (!r || !depth_readable(r->depth)) return FeedOutcome::TemporaryFailure;
    pixels = shm_.data();
  } else {
    image = reply<xcb_get_image_reply_t>(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, left, top, width, height, all_planes),
        xcb_get_image_reply);
    if (!image || !depth_readable(image->depth) ||
        static_cast<std::size_t>(xcb_get_image_data_length(image.get())) < pitch * height) {
      return FeedOutcome::TemporaryFailure;
    }
    pixels = xcb_get_image_data(image.get());
  }
  const int rows = std::min<int>(height, target.height);
  const std::size_t row_bytes = std::size_t{4} * static_cast<std::size_t>(std::min<int>(width, target.width));
  for (int y = 0; y < rows; ++y) {
    std::memcpy(target.data + y * target.stride_bytes, pixels + y * pitch, row_bytes);
  }
  return FeedOutcome::Ok;
}

// The server's segment for a shareable buffer, attached on first use;
// segments of buffers that are gone (the pool was recreated) are detached.
std::optional<xcb_shm_seg_t> X11PixelReader::segment_of(HostTexture& texture) {
  xcb_connection_t* c = x_->get();
  std::optional<xcb_shm_seg_t> found;
  std::erase_if(buffer_segments_, [&](const BufferSegment& b) {
    const auto buffer = b.buffer.lock();
    if (buffer.get() == &texture) found = b.seg;
    if (buffer) return false;
    xcb_shm_detach(c, b.seg);
    return true;
  });
  if (found || !buffer_segments_usable_) return found;
  const xcb_shm_seg_t seg = xcb_generate_id(c);
  // XCB sends the descriptor and closes it: it gets a copy of the buffer's.
  const int fd = ::fcntl(texture.shared_fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0 || !succeeded(c, xcb_shm_attach_fd_checked(c, seg, fd, 0))) {
    buffer_segments_usable_ = false;  // a server that refuses one refuses them all
    return std::nullopt;
  }
  buffer_segments_.push_back(BufferSegment{texture.weak_from_this(), seg});
  return seg;
}

}  // namespace quorvex::platform::host::x11
