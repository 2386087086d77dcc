// platform::mf over Media Foundation and COM.
//
// Thread contract: stateless; each object forwards to the COM object it
// holds, whose own threading rules apply (see platform/media_foundation.h).
#pragma once

#include "platform/media_foundation.h"

struct IMFTransform;

namespace quorvex::platform::windows {

// The adapter over a transform the caller holds (it takes a reference of its
// own). The program gets its transform from Activate; tests drive the
// adapter with a transform of their own.
[[nodiscard]] std::shared_ptr<mf::Transform> make_transform_adapter(IMFTransform* transform);

class MediaFoundationAdapter final : public mf::MediaFoundation {
 public:
  Status mf_startup(std::uint32_t version, std::uint32_t flags) override;
  Status mf_shutdown() override;
  Result<std::vector<std::shared_ptr<mf::Activate>>> mft_enum_ex(
      const Guid& category, std::uint32_t flags, const mf::RegisterTypeInfo& input_type,
      const mf::RegisterTypeInfo& output_type) override;
  Result<std::vector<std::shared_ptr<mf::Activate>>> mft_enum2(const Guid& category, std::uint32_t flags,
                                                              const mf::RegisterTypeInfo& input_type,
                                                              const mf::RegisterTypeInfo& output_type,
                                                              LocallyUniqueId adapter) override;
  Result<mf::CreatedDeviceManager> mf_create_dxgi_device_manager() override;
  Result<std::shared_ptr<mf::MediaType>> mf_create_media_type() override;
  Result<std::shared_ptr<mf::Sample>> mf_create_sample() override;
  Result<std::shared_ptr<mf::MediaBuffer>> mf_create_memory_buffer(std::uint32_t max_length) override;
  Result<std::shared_ptr<mf::MediaBuffer>> mf_create_dxgi_surface_buffer(
      std::shared_ptr<d3d11::Texture2D> texture, std::uint32_t subresource_index,
      bool bottom_up_when_linear) override;
  Status co_initialize_ex(std::uint32_t coinit) override;
  void co_uninitialize() override;
};

}  // namespace quorvex::platform::windows
