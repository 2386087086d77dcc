// Host-only behaviour around the contracts: what the stand-in refuses the
// way Windows does, and the knobs tests of the layers above turn.
#include <sys/prctl.h>

#include <gtest/gtest.h>

#include <thread>

#include "platform/host/host_platform.h"

namespace quorvex::platform::host {
namespace {

std::shared_ptr<mf::MediaType> video_type(HostPlatform& p, const Guid& subtype, std::uint32_t w, std::uint32_t h) {
  auto type = *p.media_foundation().mf_create_media_type();
  (void)type->set_guid(guids::mf_mt_major_type, guids::mf_media_type_video);
  (void)type->set_guid(guids::mf_mt_subtype, subtype);
  (void)type->set_uint64(guids::mf_mt_frame_size, (std::uint64_t{w} << 32) | h);
  return type;
}

std::shared_ptr<mf::Transform> encoder(HostPlatform& p) {
  auto found = *p.media_foundation().mft_enum_ex(guids::mft_category_video_encoder, 0x44,
                                                 {guids::mf_media_type_video, guids::mf_video_format_nv12},
                                                 {guids::mf_media_type_video, guids::mf_video_format_h264});
  return found.empty() ? nullptr : *found.front()->activate_object();
}

TEST(HostTransformMisuse, RefusedWithTheCodesWindowsUses) {
  HostPlatform p;
  auto t = encoder(p);
  ASSERT_TRUE(t);
  auto locked = t->set_output_type(0, *video_type(p, guids::mf_video_format_h264, 64, 64), 0);
  ASSERT_FALSE(locked.has_value());
  EXPECT_EQ(locked.error().code(), 0xC00D6D77u) << "an asynchronous MFT is locked until unlocked";
  ASSERT_TRUE((*t->get_attributes())->set_uint32(guids::mf_transform_async_unlock, 1).has_value());

  auto input_first = t->set_input_type(0, *video_type(p, guids::mf_video_format_nv12, 64, 64), 0);
  ASSERT_FALSE(input_first.has_value());
  EXPECT_EQ(input_first.error().code(), status::mf_e_transform_type_not_set);
  ASSERT_TRUE(t->set_output_type(0, *video_type(p, guids::mf_video_format_h264, 64, 64), 0).has_value());
  auto other_size = t->set_input_type(0, *video_type(p, guids::mf_video_format_nv12, 32, 32), 0);
  ASSERT_FALSE(other_size.has_value());
  EXPECT_EQ(other_size.error().code(), 0xC00D36B4u);  // MF_E_INVALIDMEDIATYPE
  auto odd = t->set_output_type(0, *video_type(p, guids::mf_video_format_h264, 63, 64), 0);
  EXPECT_FALSE(odd.has_value());

  auto info = t->get_output_stream_info(0);
  ASSERT_TRUE(info.has_value());
  EXPECT_NE(info->flags & mf::mft_output_stream_provides_samples, 0u);
}

TEST(HostTransformColour, OutputTypeIsRefusedForColoursH264HasNoCodeFor) {
  struct Case {
    Guid key;
    std::uint32_t value;
    bool accepted;
  };
  const Case cases[] = {
      {guids::mf_mt_yuv_matrix, mf::mf_video_transfer_matrix_bt601, true},
      {guids::mf_mt_yuv_matrix, 6, false},  // MFVideoTransferMatrix_Last
      {guids::mf_mt_video_nominal_range, mf::mf_nominal_range_16_235, true},
      {guids::mf_mt_video_nominal_range, mf::mf_nominal_range_0_255, true},
      {guids::mf_mt_video_nominal_range, 3, false},  // MFNominalRange_48_208
      {guids::mf_mt_video_primaries, mf::mf_video_primaries_bt709, true},
      {guids::mf_mt_video_primaries, 7, false},  // MFVideoPrimaries_EBU3213
      {guids::mf_mt_transfer_function, mf::mf_video_trans_func_srgb, true},
      {guids::mf_mt_transfer_function, 2, false},  // MFVideoTransFunc_18, gamma 1.8
  };
  HostPlatform p;
  auto t = encoder(p);
  ASSERT_TRUE(t);
  ASSERT_TRUE((*t->get_attributes())->set_uint32(guids::mf_transform_async_unlock, 1).has_value());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    auto type = video_type(p, guids::mf_video_format_h264, 64, 64);
    ASSERT_TRUE(type->set_uint32(c.key, c.value).has_value());
    auto set = t->set_output_type(0, *type, 0);
    EXPECT_EQ(set.has_value(), c.accepted);
    if (!c.accepted && !set) {
      EXPECT_EQ(set.error().code(), 0xC00D36B4u);  // MF_E_INVALIDMEDIATYPE
    }
  }
}

TEST(HostTransformCodecApi, AcceptsTheSetupPropertiesWithTheirDocumentedTypes) {
  HostPlatform p;
  auto t = encoder(p);
  auto codec = *t->query_codec_api();
  struct Case {
    const char* name;
    Guid api;
    mf::Variant value;
    bool accepted;
  };
  const Case cases[] = {
      {"cbr", guids::codecapi_av_enc_common_rate_control_mode, mf::Variant::ui4(0), true},
      {"vbr refused", guids::codecapi_av_enc_common_rate_control_mode, mf::Variant::ui4(1), false},
      {"mean bitrate", guids::codecapi_av_enc_common_mean_bit_rate, mf::Variant::ui4(8'000'000), true},
      {"zero bitrate", guids::codecapi_av_enc_common_mean_bit_rate, mf::Variant::ui4(0), false},
      {"quality", guids::codecapi_av_enc_common_quality_vs_speed, mf::Variant::ui4(33), true},
      {"quality over 100", guids::codecapi_av_enc_common_quality_vs_speed, mf::Variant::ui4(101), false},
      {"low latency", guids::codecapi_av_low_latency_mode, mf::Variant::boolean(true), true},
      {"low latency as number", guids::codecapi_av_low_latency_mode, mf::Variant::ui4(1), false},
      // Documented as VT_UI4; Windows encoders that check refuse a VT_BOOL.
      {"keyframe bool refused", guids::codecapi_av_enc_video_force_key_frame, mf::Variant::boolean(true), false},
      {"keyframe ui4", guids::codecapi_av_enc_video_force_key_frame, mf::Variant::ui4(1), true},
      // The rate buffer of "--rate-buffer-ms": bytes and bit/s, VT_UI4.
      {"max bitrate", guids::codecapi_av_enc_common_max_bit_rate, mf::Variant::ui4(4'000'000), true},
      {"max bitrate as bool", guids::codecapi_av_enc_common_max_bit_rate, mf::Variant::boolean(true), false},
      {"zero max bitrate", guids::codecapi_av_enc_common_max_bit_rate, mf::Variant::ui4(0), false},
      {"buffer size", guids::codecapi_av_enc_common_buffer_size, mf::Variant::ui4(16'500), true},
      {"buffer size as i4", guids::codecapi_av_enc_common_buffer_size, mf::Variant{mf::Variant::Type::I4, 16'500}, false},
      {"empty buffer", guids::codecapi_av_enc_common_buffer_size, mf::Variant::ui4(0), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(codec->set_value(c.api, c.value).has_value(), c.accepted) << c.name;
  }
  EXPECT_EQ(*codec->get_value(guids::codecapi_av_low_latency_mode), mf::Variant::boolean(true));
  EXPECT_EQ(*codec->get_value(guids::codecapi_av_enc_common_max_bit_rate), mf::Variant::ui4(4'000'000));
  EXPECT_EQ(*codec->get_value(guids::codecapi_av_enc_common_buffer_size), mf::Variant::ui4(16'500));
  for (const Guid& known : {guids::codecapi_av_enc_common_max_bit_rate, guids::codecapi_av_enc_common_buffer_size}) {
    EXPECT_TRUE(*codec->is_supported(known));
  }
}

TEST(HostMediaFoundation, CountsStartupsAndCanHideTheHardwareEncoder) {
  HostPlatform p;
  auto& mf = p.media_foundation();
  EXPECT_FALSE(mf.mf_startup(0x10070, 0).has_value());
  ASSERT_TRUE(mf.mf_startup(mf::mf_version, 0).has_value());
  ASSERT_TRUE(mf.mf_startup(mf::mf_version, 0).has_value());
  EXPECT_EQ(p.host_media_foundation().startup_count(), 2);
  ASSERT_TRUE(mf.mf_shutdown().has_value());
  EXPECT_EQ(p.host_media_foundation().startup_count(), 1);
  EXPECT_TRUE(encoder(p));
  p.host_media_foundation().set_hardware_encoder_available(false);
  EXPECT_FALSE(encoder(p));
}

TEST(HostD3D11, ReportsTheHighestOfferedLevelTheAdapterSupports) {
  HostPlatform p;
  const d3d11::FeatureLevel all[] = {d3d11::FeatureLevel::Level_11_1, d3d11::FeatureLevel::Level_11_0,
                                     d3d11::FeatureLevel::Level_10_1, d3d11::FeatureLevel::Level_10_0};
  const d3d11::FeatureLevel eleven[] = {d3d11::FeatureLevel::Level_11_1, d3d11::FeatureLevel::Level_11_0};
  EXPECT_EQ(p.d3d11().create_device(d3d11::DriverType::Hardware, 0x20, all, 7)->feature_level,
            d3d11::FeatureLevel::Level_11_1);
  p.host_d3d11().set_max_feature_level(d3d11::FeatureLevel::Level_10_1);
  EXPECT_EQ(p.d3d11().create_device(d3d11::DriverType::Hardware, 0x20, all, 7)->feature_level,
            d3d11::FeatureLevel::Level_10_1);
  auto refused = p.d3d11().create_device(d3d11::DriverType::Hardware, 0x820, eleven, 7);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code(), status::dxgi_error_unsupported);
}

TEST(HostGraphicsCapture, AnswersCapabilityQuestionsAndHonoursItsKnobs) {
  HostPlatform p;
  auto& c = p.graphics_capture();
  EXPECT_TRUE(*c.is_property_present(wgc::graphics_capture_session_type, wgc::is_border_required_property));
  EXPECT_TRUE(*c.is_property_present(wgc::graphics_capture_session_type, wgc::is_cursor_capture_enabled_property));
  EXPECT_TRUE(*c.is_api_contract_present_by_major(wgc::universal_api_contract, 8));
  EXPECT_TRUE(*c.is_supported());
  p.host_graphics_capture().set_property_present(wgc::is_cursor_capture_enabled_property, false);
  EXPECT_FALSE(*c.is_property_present(wgc::graphics_capture_session_type, wgc::is_cursor_capture_enabled_property));
  EXPECT_TRUE(*c.is_property_present(wgc::graphics_capture_session_type, wgc::is_border_required_property));
  // Runtime initialisation is per thread, as on Windows: a fresh thread
  // gets S_OK, a repeated call S_FALSE. Other tests may have initialised
  // this one already.
  std::thread([&c] {
    EXPECT_EQ(*c.ro_initialize_multithreaded(), status::ok);
    EXPECT_EQ(*c.ro_initialize_multithreaded(), status::s_false);
  }).join();
  // A frame pool needs the calling thread's dispatcher queue.
  const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_1};
  auto device = p.d3d11().create_device(d3d11::DriverType::Hardware, 0x20, levels, 7)->device;
  auto winrt = *c.create_direct3d11_device_from_dxgi_device(**device->query_dxgi_device());
  EXPECT_FALSE(c.create_frame_pool(*winrt, 87, 2, {64, 64}).has_value());
  auto controller = *c.create_dispatcher_queue_controller({});
  EXPECT_TRUE(c.create_frame_pool(*winrt, 87, 2, {64, 64}).has_value());
  EXPECT_FALSE(c.create_for_window(WindowHandle{0x1234}).has_value());
}

// Linux has no timer resolution to raise: the stand-in gives the calling
// thread the finest timer slack instead, for that thread only, and the end
// call gives it its default slack back.
TEST(HostWin32, RaisedTimerResolutionIsTheCallingThreadsFinestTimerSlack) {
  HostPlatform p;
  Win32& w = p.win32();
  const int default_slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  ASSERT_GT(default_slack, 1);
  std::thread([&w, default_slack] {
    ASSERT_TRUE(w.time_begin_period(1).has_value());
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1);
    ASSERT_TRUE(w.time_end_period(1).has_value());
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), default_slack);
    ASSERT_TRUE(w.time_begin_period(1).has_value());
  }).join();
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), default_slack) << "another thread's slack changed";
  auto zero = w.time_begin_period(0);
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error().code(), status::timerr_nocando);
  EXPECT_TRUE(w.set_process_power_throttling(win32::process_power_throttling_ignore_timer_resolution, 0));
}

}  // namespace
}  // namespace quorvex::platform::host
