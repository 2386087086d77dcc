#include "platform/host/host_media_foundation.h"

#include "platform/host/host_d3d11.h"
#include "platform/host/host_h264_transform.h"
#include "platform/host/host_media_objects.h"
#include "platform/host/host_status.h"

namespace quorvex::platform::host {

namespace {

class HostActivate final : public mf::Activate {
 public:
  Result<std::shared_ptr<mf::Transform>> activate_object() override {
    auto transform = std::make_shared<HostH264Transform>();
    activated_ = transform;
    return std::shared_ptr<mf::Transform>(transform);
  }
  Result<std::u16string> get_friendly_name() override { return std::u16string(u"x264 H.264 Encoder (host stand-in)"); }
  // The one virtual adapter's encoder.
  Result<LocallyUniqueId> get_adapter_luid() override { return host_adapter_luid; }
  Status shutdown_object() override {
    if (auto transform = activated_.lock()) {
      transform->shutdown();
    }
    return {};
  }

 private:
  std::weak_ptr<HostH264Transform> activated_;
};

class HostDxgiDeviceManager final : public mf::DxgiDeviceManager {
 public:
  explicit HostDxgiDeviceManager(std::uint32_t token) : token_(token) {}
  Status reset_device(d3d11::Device& device, std::uint32_t reset_token) override {
    if (reset_token != token_ || dynamic_cast<HostDevice*>(&device) == nullptr) {
      return host_fail(status::e_invalidarg);
    }
    return {};
  }

 private:
  std::uint32_t token_;
};

// COM apartment of the calling thread: how often initialised, and how.
struct ComThreadState {
  int count = 0;
  std::uint32_t model = 0;
};
thread_local ComThreadState com_thread_state;

}  // namespace

Status HostMediaFoundation::mf_startup(std::uint32_t version, std::uint32_t) {
  if (version != mf::mf_version) {
    return host_fail(status_code::mf_e_bad_startup_version);
  }
  startups_.fetch_add(1);
  return {};
}

Status HostMediaFoundation::mf_shutdown() {
  int current = startups_.load();
  while (current > 0 && !startups_.compare_exchange_weak(current, current - 1)) {
  }
  return {};
}

Result<std::vector<std::shared_ptr<mf::Activate>>> HostMediaFoundation::mft_enum_ex(
    const Guid& category, std::uint32_t flags, const mf::RegisterTypeInfo& input_type,
    const mf::RegisterTypeInfo& output_type) {
  std::vector<std::shared_ptr<mf::Activate>> found;
  const bool wanted = category == guids::mft_category_video_encoder &&
                      (flags & mf::mft_enum_flag_hardware) != 0 &&
                      input_type.major_type == guids::mf_media_type_video &&
                      input_type.subtype == guids::mf_video_format_nv12 &&
                      output_type.major_type == guids::mf_media_type_video &&
                      output_type.subtype == guids::mf_video_format_h264;
  if (wanted && encoder_available_.load()) {
    found.push_back(std::make_shared<HostActivate>());
  }
  return found;
}

Result<std::vector<std::shared_ptr<mf::Activate>>> HostMediaFoundation::mft_enum2(
    const Guid& category, std::uint32_t flags, const mf::RegisterTypeInfo& input_type,
    const mf::RegisterTypeInfo& output_type, LocallyUniqueId adapter) {
  // The encoder belongs to the one virtual adapter.
  if (adapter != host_adapter_luid) {
    return std::vector<std::shared_ptr<mf::Activate>>{};
  }
  return mft_enum_ex(category, flags, input_type, output_type);
}

Result<mf::CreatedDeviceManager> HostMediaFoundation::mf_create_dxgi_device_manager() {
  const std::uint32_t token = next_reset_token_.fetch_add(1);
  return mf::CreatedDeviceManager{token, std::make_shared<HostDxgiDeviceManager>(token)};
}

Result<std::shared_ptr<mf::MediaType>> HostMediaFoundation::mf_create_media_type() {
  return std::shared_ptr<mf::MediaType>(std::make_shared<HostMediaType>());
}

Result<std::shared_ptr<mf::Sample>> HostMediaFoundation::mf_create_sample() {
  return std::shared_ptr<mf::Sample>(std::make_shared<HostSample>());
}

Result<std::shared_ptr<mf::MediaBuffer>> HostMediaFoundation::mf_create_memory_buffer(std::uint32_t max_length) {
  return std::shared_ptr<mf::MediaBuffer>(std::make_shared<HostMemoryBuffer>(max_length));
}

Result<std::shared_ptr<mf::MediaBuffer>> HostMediaFoundation::mf_create_dxgi_surface_buffer(
    std::shared_ptr<d3d11::Texture2D> texture, std::uint32_t subresource_index, bool) {
  if (!texture) {
    return host_fail(status::e_pointer);
  }
  HostTexture* host = HostTexture::from(*texture);
  if (host == nullptr || subresource_index != 0) {
    return host_fail(status::e_invalidarg);
  }
  return std::shared_ptr<mf::MediaBuffer>(std::make_shared<HostDxgiSurfaceBuffer>(host->shared_from_this()));
}

Status HostMediaFoundation::co_initialize_ex(std::uint32_t coinit) {
  ComThreadState& state = com_thread_state;
  if (state.count > 0 && state.model != coinit) {
    return host_fail(status::rpc_e_changed_mode);
  }
  state.model = coinit;
  ++state.count;
  return {};
}

void HostMediaFoundation::co_uninitialize() {
  if (com_thread_state.count > 0) {
    --com_thread_state.count;
  }
}

}  // namespace quorvex::platform::host
