// Media Foundation's data objects in plain memory: attribute stores, media
// types, samples, system-memory buffers and the DXGI-surface buffer that
// lends an NV12 texture to the encoder without copying it.
//
// Thread contract: every object may be used from any thread; each guards its
// own state. A locked buffer's bytes belong to whoever locked it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "platform/host/host_status.h"
#include "platform/host/host_texture.h"
#include "platform/media_foundation.h"
#include "platform/thread_safety.h"

namespace quorvex::platform::host {

// The attribute store behind every attribute-bearing interface.
template <class Interface>
class HostAttributes : public Interface {
 public:
  using Value = std::variant<std::uint32_t, std::uint64_t, Guid>;

  Status set_uint32(const Guid& key, std::uint32_t value) override { return set(key, value); }
  Status set_uint64(const Guid& key, std::uint64_t value) override { return set(key, value); }
  Status set_guid(const Guid& key, const Guid& value) override { return set(key, value); }
  Result<std::uint32_t> get_uint32(const Guid& key) override { return get<std::uint32_t>(key); }
  Result<std::uint64_t> get_uint64(const Guid& key) override { return get<std::uint64_t>(key); }
  Result<Guid> get_guid(const Guid& key) override { return get<Guid>(key); }
  // Nothing in the stand-in carries a blob.
  Result<std::vector<std::byte>> get_blob(const Guid&) override { return host_fail(status::mf_e_attributenotfound); }

  [[nodiscard]] std::vector<std::pair<Guid, Value>> all_attributes() const {
    const MutexLock lock(attributes_mutex_);
    return attributes_;
  }
  void copy_attributes_from(const std::vector<std::pair<Guid, Value>>& values) {
    const MutexLock lock(attributes_mutex_);
    attributes_ = values;
  }

 private:
  Status set(const Guid& key, Value value) {
    const MutexLock lock(attributes_mutex_);
    for (auto& [k, v] : attributes_) {
      if (k == key) {
        v = value;
        return {};
      }
    }
    attributes_.emplace_back(key, value);
    return {};
  }
  template <class T>
  Result<T> get(const Guid& key) const {
    const MutexLock lock(attributes_mutex_);
    for (const auto& [k, v] : attributes_) {
      if (k == key) {
        if (const T* value = std::get_if<T>(&v)) {
          return *value;
        }
        return host_fail(status_code::mf_e_invalidtype);
      }
    }
    return host_fail(status::mf_e_attributenotfound);
  }

  mutable Mutex attributes_mutex_;
  std::vector<std::pair<Guid, Value>> attributes_ QVX_GUARDED_BY(attributes_mutex_);  // few entries
};

class HostAttributeStore final : public HostAttributes<mf::Attributes> {};
class HostMediaType final : public HostAttributes<mf::MediaType> {};

// MFCreateMemoryBuffer.
class HostMemoryBuffer final : public mf::MediaBuffer {
 public:
  explicit HostMemoryBuffer(std::uint32_t max_length) : bytes_(max_length) {}
  // A buffer that takes over bytes already made (the encoder's output).
  explicit HostMemoryBuffer(std::vector<std::uint8_t> bytes)
      : bytes_(std::move(bytes)), current_length_(static_cast<std::uint32_t>(bytes_.size())) {}

  Result<Locked> lock() override;
  Status unlock() override;
  Result<std::uint32_t> get_current_length() override;
  Result<std::uint32_t> get_max_length() override;
  Status set_current_length(std::uint32_t length) override;

 private:
  Mutex mutex_;
  std::vector<std::uint8_t> bytes_ QVX_GUARDED_BY(mutex_);  // (the bytes themselves by the lock count)
  std::uint32_t current_length_ QVX_GUARDED_BY(mutex_) = 0;
  int lock_count_ QVX_GUARDED_BY(mutex_) = 0;
};

// MFCreateDXGISurfaceBuffer: the buffer is the texture. Locking it exposes
// the texture's memory (luma plane, then chroma, at the texture's pitch).
class HostDxgiSurfaceBuffer final : public mf::MediaBuffer {
 public:
  explicit HostDxgiSurfaceBuffer(std::shared_ptr<HostTexture> texture) : texture_(std::move(texture)) {}
  [[nodiscard]] const std::shared_ptr<HostTexture>& texture() const { return texture_; }

  Result<Locked> lock() override;
  Status unlock() override;
  // Like the system's, the current length starts at 0 and the maximum is
  // the surface's size.
  Result<std::uint32_t> get_current_length() override;
  Result<std::uint32_t> get_max_length() override;
  Status set_current_length(std::uint32_t length) override;

 private:
  std::shared_ptr<HostTexture> texture_;
  Mutex mutex_;
  int lock_count_ QVX_GUARDED_BY(mutex_) = 0;
  std::uint32_t current_length_ QVX_GUARDED_BY(mutex_) = 0;
};

class HostSample final : public HostAttributes<mf::Sample> {
 public:
  Status add_buffer(std::shared_ptr<mf::MediaBuffer> buffer) override;
  Status set_sample_time(std::int64_t time_100ns) override;
  Status set_sample_duration(std::int64_t duration_100ns) override;
  Result<std::int64_t> get_sample_time() override;
  Result<std::shared_ptr<mf::MediaBuffer>> convert_to_contiguous_buffer() override;

  [[nodiscard]] std::vector<std::shared_ptr<mf::MediaBuffer>> buffers() const;
  [[nodiscard]] std::optional<std::int64_t> sample_duration() const;

 private:
  mutable Mutex mutex_;
  std::vector<std::shared_ptr<mf::MediaBuffer>> buffers_ QVX_GUARDED_BY(mutex_);
  std::optional<std::int64_t> time_100ns_ QVX_GUARDED_BY(mutex_);
  std::optional<std::int64_t> duration_100ns_ QVX_GUARDED_BY(mutex_);
};

}  // namespace quorvex::platform::host
