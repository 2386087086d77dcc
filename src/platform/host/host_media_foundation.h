// Media Foundation and COM of the host stand-in: MFStartup/MFShutdown
// counting, one hardware NV12 -> H.264 encoder in MFTEnumEx (the libx264
// transform of host_h264_transform.h), the DXGI device manager, the data
// object factories and per-thread COM initialisation.
//
// Thread contract: every operation may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/media_foundation.h"

namespace quorvex::platform::host {

class HostMediaFoundation final : public mf::MediaFoundation {
 public:
  Status mf_startup(std::uint32_t version, std::uint32_t flags) override;
  Status mf_shutdown() override;
  Result<std::vector<std::shared_ptr<mf::Activate>>> mft_enum_ex(const Guid& category, std::uint32_t flags,
                                                                 const mf::RegisterTypeInfo& input_type,
                                                                 const mf::RegisterTypeInfo& output_type) override;
  Result<std::vector<std::shared_ptr<mf::Activate>>> mft_enum2(const Guid& category, std::uint32_t flags,
                                                              const mf::RegisterTypeInfo& input_type,
                                                              const mf::RegisterTypeInfo& output_type,
                                                              LocallyUniqueId adapter) override;
  Result<mf::CreatedDeviceManager> mf_create_dxgi_device_manager() override;
  Result<std::shared_ptr<mf::MediaType>> mf_create_media_type() override;
  Result<std::shared_ptr<mf::Sample>> mf_create_sample() override;
  Result<std::shared_ptr<mf::MediaBuffer>> mf_create_memory_buffer(std::uint32_t max_length) override;
  Result<std::shared_ptr<mf::MediaBuffer>> mf_create_dxgi_surface_buffer(std::shared_ptr<d3d11::Texture2D> texture,
                                                                         std::uint32_t subresource_index,
                                                                         bool bottom_up_when_linear) override;
  Status co_initialize_ex(std::uint32_t coinit) override;
  void co_uninitialize() override;

  // Startups not yet balanced by a shutdown.
  [[nodiscard]] int startup_count() const { return startups_.load(); }
  // A machine without a hardware encoder enumerates nothing.
  void set_hardware_encoder_available(bool available) { encoder_available_.store(available); }

 private:
  std::atomic<int> startups_{0};
  std::atomic<bool> encoder_available_{true};
  std::atomic<std::uint32_t> next_reset_token_{0x5EED};
};

}  // namespace quorvex::platform::host
