#include <gtest/gtest.h>

#include "platform/windows/d3d11_adapter.h"
#include "platform/windows/media_foundation_adapter.h"
#include "under_wine.h"

namespace quorvex::platform::windows {
namespace {

// The capture layer's request: BGRA support, every level from 11_1 down.
constexpr d3d11::FeatureLevel capture_levels[] = {
    d3d11::FeatureLevel::Level_11_1, d3d11::FeatureLevel::Level_11_0, d3d11::FeatureLevel::Level_10_1,
    d3d11::FeatureLevel::Level_10_0, d3d11::FeatureLevel::Level_9_3,  d3d11::FeatureLevel::Level_9_2,
    d3d11::FeatureLevel::Level_9_1};

class D3D11AdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto created = d3d11.create_device(d3d11::DriverType::Hardware, d3d11::create_device_bgra_support,
                                       capture_levels, d3d11::sdk_version);
    ASSERT_TRUE(created) << "no Direct3D 11 device: " << created.error().text() << testing::missing_device_hint();
    device = *created;
  }
  D3D11Adapter d3d11;
  d3d11::CreatedDevice device;
};

TEST_F(D3D11AdapterTest, DeviceComesWithContextAndAtLeastLevel11) {
  ASSERT_NE(device.device, nullptr);
  ASSERT_NE(device.context, nullptr);
  EXPECT_GE(static_cast<std::uint32_t>(device.feature_level),
            static_cast<std::uint32_t>(d3d11::FeatureLevel::Level_11_0));
}

TEST_F(D3D11AdapterTest, PreflightFormWithVideoSupportAlsoGivesLevel11) {
  const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_1, d3d11::FeatureLevel::Level_11_0};
  auto created = d3d11.create_device(d3d11::DriverType::Hardware,
                                     d3d11::create_device_bgra_support | d3d11::create_device_video_support,
                                     levels, d3d11::sdk_version);
  ASSERT_TRUE(created) << created.error().text();
  EXPECT_GE(static_cast<std::uint32_t>(created->feature_level),
            static_cast<std::uint32_t>(d3d11::FeatureLevel::Level_11_0));
}

TEST_F(D3D11AdapterTest, BgraTextureKeepsItsDescriptionAndIsAResource) {
  d3d11::Texture2DDesc desc;
  desc.width = 320;
  desc.height = 240;
  desc.format = d3d11::Format::B8G8R8A8Unorm;
  desc.bind_flags = d3d11::bind_render_target;
  auto texture = device.device->create_texture_2d(desc);
  ASSERT_TRUE(texture) << texture.error().text();
  ASSERT_NE(*texture, nullptr);
  EXPECT_EQ((*texture)->get_desc(), desc);
  auto resource = (*texture)->query_resource();
  ASSERT_TRUE(resource);
  EXPECT_NE(*resource, nullptr);
}

TEST_F(D3D11AdapterTest, MultithreadProtectionReportsThePreviousSetting) {
  auto multithread = device.context->query_multithread();
  ASSERT_TRUE(multithread) << multithread.error().text();
  const bool initial = (*multithread)->set_multithread_protected(true);
  EXPECT_TRUE((*multithread)->set_multithread_protected(initial));
}

TEST_F(D3D11AdapterTest, DxgiDeviceIsAvailableForTheCaptureService) {
  auto dxgi = device.device->query_dxgi_device();
  ASSERT_TRUE(dxgi) << dxgi.error().text();
  EXPECT_NE(*dxgi, nullptr);
}

// Wine 8's d3d11 has no video processor and refuses NV12 render targets;
// Windows must offer both for the conversion path.
TEST_F(D3D11AdapterTest, VideoProcessorPathIsThereOrCleanlyAbsent) {
  auto video_device = device.device->query_video_device();
  auto video_context = device.context->query_video_context();
  d3d11::Texture2DDesc nv12;
  nv12.width = 64;
  nv12.height = 64;
  nv12.format = d3d11::Format::Nv12;
  nv12.bind_flags = d3d11::bind_render_target | d3d11::bind_video_encoder;
  auto texture = device.device->create_texture_2d(nv12);
  if (testing::under_wine()) {
    ASSERT_FALSE(video_device);
    EXPECT_EQ(video_device.error().code(), status::e_nointerface);
    ASSERT_FALSE(video_context);
    EXPECT_EQ(video_context.error().code(), status::e_nointerface);
    ASSERT_FALSE(texture);
    EXPECT_EQ(texture.error().code(), status::e_invalidarg);
    return;
  }
  ASSERT_TRUE(video_device) << video_device.error().text();
  ASSERT_TRUE(video_context) << video_context.error().text();
  ASSERT_TRUE(texture) << texture.error().text();
  d3d11::VideoProcessorContentDesc content;
  content.input_width = content.output_width = 64;
  content.input_height = content.output_height = 64;
  content.input_frame_rate = content.output_frame_rate = {30, 1};
  auto enumerator = (*video_device)->create_video_processor_enumerator(content);
  ASSERT_TRUE(enumerator) << enumerator.error().text();
  auto processor = (*video_device)->create_video_processor(**enumerator, 0);
  ASSERT_TRUE(processor) << processor.error().text();
  auto resource = (*texture)->query_resource();
  ASSERT_TRUE(resource);
  auto view = (*video_device)->create_video_processor_output_view(**resource, **enumerator, {});
  ASSERT_TRUE(view) << view.error().text();
}

TEST_F(D3D11AdapterTest, SurfaceBufferWrapsATextureOfThisDevice) {
  MediaFoundationAdapter media_foundation;
  ASSERT_TRUE(media_foundation.mf_startup(mf::mf_version, mf::mfstartup_full));
  d3d11::Texture2DDesc desc;
  desc.width = 64;
  desc.height = 64;
  auto texture = device.device->create_texture_2d(desc);
  ASSERT_TRUE(texture);
  auto buffer = media_foundation.mf_create_dxgi_surface_buffer(*texture, 0, false);
  EXPECT_TRUE(buffer) << buffer.error().text();
  EXPECT_TRUE(media_foundation.mf_shutdown());
}

}  // namespace
}  // namespace quorvex::platform::windows
