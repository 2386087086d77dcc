#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include <windows.h>
#include <mfapi.h>

#include "platform/windows/d3d11_adapter.h"
#include "platform/windows/delegate_iid.h"
#include "platform/windows/media_foundation_adapter.h"
#include "platform/windows/system_error.h"
#include "under_wine.h"

namespace quorvex::platform::windows {
namespace {

constexpr std::uint32_t coinit_apartmentthreaded = 2;

class MediaFoundationAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(media_foundation.co_initialize_ex(mf::coinit_multithreaded));
    ASSERT_TRUE(media_foundation.mf_startup(mf::mf_version, mf::mfstartup_full));
  }
  void TearDown() override {
    EXPECT_TRUE(media_foundation.mf_shutdown());
    media_foundation.co_uninitialize();
  }
  MediaFoundationAdapter media_foundation;
};

TEST_F(MediaFoundationAdapterTest, HardwareEncoderSearchSucceedsAndHoldsOnlyRealEntries) {
  auto found = media_foundation.mft_enum_ex(
      guids::mft_category_video_encoder, mf::mft_enum_flag_hardware | mf::mft_enum_flag_sortandfilter,
      {guids::mf_media_type_video, guids::mf_video_format_nv12},
      {guids::mf_media_type_video, guids::mf_video_format_h264});
  ASSERT_TRUE(found) << found.error().text();
  if (testing::under_wine()) {
    // Wine 8 registers no H.264 encoder at all, hardware or not.
    EXPECT_TRUE(found->empty());
  }
  for (const auto& activate : *found) {
    EXPECT_NE(activate, nullptr);
  }
}

TEST_F(MediaFoundationAdapterTest, MediaTypeKeepsWhatIsSetAndReportsMissingKeys) {
  auto type = media_foundation.mf_create_media_type();
  ASSERT_TRUE(type);
  ASSERT_NE(*type, nullptr);
  auto& media_type = **type;
  ASSERT_TRUE(media_type.set_guid(guids::mf_mt_major_type, guids::mf_media_type_video));
  ASSERT_TRUE(media_type.set_guid(guids::mf_mt_subtype, guids::mf_video_format_h264));
  ASSERT_TRUE(media_type.set_uint64(guids::mf_mt_frame_size, (std::uint64_t{1920} << 32) | 1080));
  ASSERT_TRUE(media_type.set_uint32(guids::mf_mt_avg_bitrate, 8'000'000));
  EXPECT_EQ(media_type.get_guid(guids::mf_mt_subtype).value(), guids::mf_video_format_h264);
  EXPECT_EQ(media_type.get_uint64(guids::mf_mt_frame_size).value(), (std::uint64_t{1920} << 32) | 1080);
  EXPECT_EQ(media_type.get_uint32(guids::mf_mt_avg_bitrate).value(), 8'000'000u);

  auto missing = media_type.get_uint32(guids::mf_mt_interlace_mode);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code(), status::mf_e_attributenotfound);
}

TEST_F(MediaFoundationAdapterTest, SampleCarriesBufferBytesTimesAndCleanPoint) {
  auto buffer = media_foundation.mf_create_memory_buffer(64);
  ASSERT_TRUE(buffer);
  ASSERT_NE(*buffer, nullptr);
  auto locked = (*buffer)->lock();
  ASSERT_TRUE(locked);
  EXPECT_GE(locked->max_length, 64u);
  std::memcpy(locked->data, "\x00\x00\x00\x01\x67", 5);
  ASSERT_TRUE((*buffer)->unlock());
  ASSERT_TRUE((*buffer)->set_current_length(5));
  EXPECT_EQ((*buffer)->get_current_length().value(), 5u);

  auto sample = media_foundation.mf_create_sample();
  ASSERT_TRUE(sample);
  ASSERT_TRUE((*sample)->add_buffer(*buffer));
  ASSERT_TRUE((*sample)->set_sample_time(333'333));
  ASSERT_TRUE((*sample)->set_sample_duration(333'333));
  ASSERT_TRUE((*sample)->set_uint32(guids::mf_sample_extension_clean_point, 1));
  EXPECT_EQ((*sample)->get_sample_time().value(), 333'333);
  EXPECT_EQ((*sample)->get_uint32(guids::mf_sample_extension_clean_point).value(), 1u);

  auto contiguous = (*sample)->convert_to_contiguous_buffer();
  ASSERT_TRUE(contiguous);
  auto bytes = (*contiguous)->lock();
  ASSERT_TRUE(bytes);
  ASSERT_EQ(bytes->current_length, 5u);
  EXPECT_EQ(std::memcmp(bytes->data, "\x00\x00\x00\x01\x67", 5), 0);
  EXPECT_TRUE((*contiguous)->unlock());
}

TEST_F(MediaFoundationAdapterTest, DeviceManagerTakesTheDirect3DDevice) {
  auto created = media_foundation.mf_create_dxgi_device_manager();
  ASSERT_TRUE(created) << created.error().text();
  ASSERT_NE(created->manager, nullptr);

  D3D11Adapter d3d11;
  const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_1, d3d11::FeatureLevel::Level_11_0};
  auto device = d3d11.create_device(d3d11::DriverType::Hardware,
                                    d3d11::create_device_bgra_support | d3d11::create_device_video_support,
                                    levels, d3d11::sdk_version);
  ASSERT_TRUE(device) << "no Direct3D 11 device: " << device.error().text() << testing::missing_device_hint();
  auto reset = created->manager->reset_device(*device->device, created->reset_token);
  EXPECT_TRUE(reset) << reset.error().text();
}

// The encoder thread and the pacer each initialise COM; a thread already in
// another apartment must get the system's refusal, not a silent success.
TEST_F(MediaFoundationAdapterTest, ComInitialisationReportsRepeatAndModeChange) {
  EXPECT_TRUE(media_foundation.co_initialize_ex(mf::coinit_multithreaded));
  media_foundation.co_uninitialize();
  auto changed = media_foundation.co_initialize_ex(coinit_apartmentthreaded);
  ASSERT_FALSE(changed);
  EXPECT_EQ(changed.error().code(), status::rpc_e_changed_mode);
}

// GetEvent's flag for a look without waiting, against the SDK.
static_assert(mf::mf_event_flag_no_wait == MF_EVENT_FLAG_NO_WAIT);

// The colour description the encoder's output type carries, against the SDK.
static_assert(mf::mf_video_transfer_matrix_bt601 == MFVideoTransferMatrix_BT601);
static_assert(mf::mf_nominal_range_16_235 == MFNominalRange_16_235);
static_assert(mf::mf_video_primaries_bt709 == MFVideoPrimaries_BT709);
static_assert(mf::mf_video_trans_func_srgb == MFVideoTransFunc_sRGB);

TEST(MediaFoundationColourAttributes, KeysAreTheSdks) {
  const std::pair<Guid, GUID> keys[] = {{guids::mf_mt_yuv_matrix, MF_MT_YUV_MATRIX},
                                        {guids::mf_mt_video_nominal_range, MF_MT_VIDEO_NOMINAL_RANGE},
                                        {guids::mf_mt_video_primaries, MF_MT_VIDEO_PRIMARIES},
                                        {guids::mf_mt_transfer_function, MF_MT_TRANSFER_FUNCTION}};
  for (const auto& [ours, sdk] : keys) {
    EXPECT_TRUE(IsEqualGUID(to_native(ours), sdk)) << guid_signature(ours);
  }
}

}  // namespace
}  // namespace quorvex::platform::windows
