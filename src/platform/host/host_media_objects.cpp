#include "platform/host/host_media_objects.h"

#include <cstring>

namespace quorvex::platform::host {

Result<mf::MediaBuffer::Locked> HostMemoryBuffer::lock() {
  const MutexLock lock(mutex_);
  ++lock_count_;
  return Locked{bytes_.data(), static_cast<std::uint32_t>(bytes_.size()), current_length_};
}

Status HostMemoryBuffer::unlock() {
  const MutexLock lock(mutex_);
  if (lock_count_ == 0) {
    return host_fail(status::e_unexpected);
  }
  --lock_count_;
  return {};
}

Result<std::uint32_t> HostMemoryBuffer::get_current_length() {
  const MutexLock lock(mutex_);
  return current_length_;
}

Result<std::uint32_t> HostMemoryBuffer::get_max_length() {
  const MutexLock lock(mutex_);
  return static_cast<std::uint32_t>(bytes_.size());
}

Status HostMemoryBuffer::set_current_length(std::uint32_t length) {
  const MutexLock lock(mutex_);
  if (length > bytes_.size()) {
    return host_fail(status::e_invalidarg);
  }
  current_length_ = length;
  return {};
}

Result<mf::MediaBuffer::Locked> HostDxgiSurfaceBuffer::lock() {
  const MutexLock lock(mutex_);
  ++lock_count_;
  const auto size = static_cast<std::uint32_t>(texture_->size_bytes());
  return Locked{texture_->data(), size, size};
}

Status HostDxgiSurfaceBuffer::unlock() {
  const MutexLock lock(mutex_);
  if (lock_count_ == 0) {
    return host_fail(status::e_unexpected);
  }
  --lock_count_;
  return {};
}

Result<std::uint32_t> HostDxgiSurfaceBuffer::get_current_length() {
  const MutexLock lock(mutex_);
  return current_length_;
}

Result<std::uint32_t> HostDxgiSurfaceBuffer::get_max_length() {
  return static_cast<std::uint32_t>(texture_->size_bytes());
}

Status HostDxgiSurfaceBuffer::set_current_length(std::uint32_t length) {
  if (length > texture_->size_bytes()) {
    return host_fail(status::e_invalidarg);
  }
  const MutexLock lock(mutex_);
  current_length_ = length;
  return {};
}

Status HostSample::add_buffer(std::shared_ptr<mf::MediaBuffer> buffer) {
  if (!buffer) {
    return host_fail(status::e_pointer);
  }
  const MutexLock lock(mutex_);
  buffers_.push_back(std::move(buffer));
  return {};
}

Status HostSample::set_sample_time(std::int64_t time_100ns) {
  const MutexLock lock(mutex_);
  time_100ns_ = time_100ns;
  return {};
}

Status HostSample::set_sample_duration(std::int64_t duration_100ns) {
  const MutexLock lock(mutex_);
  duration_100ns_ = duration_100ns;
  return {};
}

Result<std::int64_t> HostSample::get_sample_time() {
  const MutexLock lock(mutex_);
  if (!time_100ns_) {
    return host_fail(status_code::mf_e_no_sample_timestamp);
  }
  return *time_100ns_;
}

std::optional<std::int64_t> HostSample::sample_duration() const {
  const MutexLock lock(mutex_);
  return duration_100ns_;
}

std::vector<std::shared_ptr<mf::MediaBuffer>> HostSample::buffers() const {
  const MutexLock lock(mutex_);
  return buffers_;
}

Result<std::shared_ptr<mf::MediaBuffer>> HostSample::convert_to_contiguous_buffer() {
  const auto parts = buffers();
  if (parts.empty()) {
    return host_fail(status::e_unexpected);
  }
  if (parts.size() == 1) {
    return parts.front();
  }
  std::vector<std::uint8_t> joined;
  for (const auto& part : parts) {
    auto locked = part->lock();
    if (!locked) {
      return std::unexpected(locked.error());
    }
    joined.insert(joined.end(), locked->data, locked->data + locked->current_length);
    if (auto unlocked = part->unlock(); !unlocked) {
      return std::unexpected(unlocked.error());
    }
  }
  auto contiguous = std::make_shared<HostMemoryBuffer>(std::move(joined));
  {
    // Later calls see the one buffer, as Media Foundation replaces them.
    const MutexLock lock(mutex_);
    buffers_.assign(1, contiguous);
  }
  return std::shared_ptr<mf::MediaBuffer>(contiguous);
}

}  // namespace quorvex::platform::host
