// Reads an area of a drawable (the root, or a window's Composite pixmap)
// into a frame-pool buffer. The server writes pixels straight into the
// buffer (a memfd texture passed to MIT-SHM 1.2) when its rows are laid out
// as the image rows are; else they take one copy from a segment of the
// reader's own, or from a plain GetImage reply when the server has no
// MIT-SHM or cannot reach this host's memory (a forwarded display).
//
// Thread contract: one thread at a time; may be destroyed on any thread.
#pragma once

#include <xcb/shm.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/handles.h"
#include "platform/host/desktop_source.h"
#include "platform/host/host_texture.h"
#include "platform/host/x11_connection.h"

namespace quorvex::platform::host::x11 {

// A shared-memory segment the server writes images into.
class ShmSegment {
 public:
  explicit ShmSegment(std::shared_ptr<X11Connection> x) : x_(std::move(x)) {}
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;
  ~ShmSegment() { release(); }

  // A segment of at least `size` bytes attached on both sides; false when
  // the system or the server refuses one.
  bool reserve(std::size_t size);
  [[nodiscard]] xcb_shm_seg_t seg() const { return seg_; }
  [[nodiscard]] const std::uint8_t* data() const { return address_; }

 private:
  void release();

  std::shared_ptr<X11Connection> x_;
  xcb_shm_seg_t seg_ = 0;
  std::uint8_t* address_ = nullptr;
  std::size_t size_ = 0;
};

class X11PixelReader {
 public:
  explicit X11PixelReader(std::shared_ptr<X11Connection> x);
  X11PixelReader(const X11PixelReader&) = delete;
  X11PixelReader& operator=(const X11PixelReader&) = delete;
  ~X11PixelReader();

  // `area` of `drawable` into the top-left of `target`, clipped to it. A
  // temporary failure: the drawable changed under the read (a window
  // resized or went away); the caller finds out which at its next poll.
  [[nodiscard]] FeedOutcome read(xcb_drawable_t drawable, Rect area, HostTexture& target);

 private:
  std::optional<xcb_shm_seg_t> segment_of(HostTexture& texture);

  std::shared_ptr<X11Connection> x_;
  ShmSegment shm_;
  bool shm_usable_ = true;
  struct BufferSegment {
    std::weak_ptr<HostTexture> buffer;
    xcb_shm_seg_t seg = 0;
  };
  std::vector<BufferSegment> buffer_segments_;
  bool buffer_segments_usable_ = true;
};

}  // namespace quorvex::platform::host::x11
