#include "app/pipeline/hardware_encoder.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "pipeline_support.h"

namespace quorvex::test {
namespace {

namespace guids = platform::guids;
namespace mf = platform::mf;
using platform::fake::AttributeSetting;
using platform::fake::FakeMediaFoundation;

using HardwareEncoderTest = FakePlatformTest;

const std::vector<std::string> five_setting_lines{
    "encoder_setting rate_control=cbr accepted=true",
    "encoder_setting mean_bitrate=8000000 accepted=true",
    "encoder_setting quality_vs_speed=33 accepted=true",
    "encoder_setting low_latency=true accepted=true",
    "encoder_setting low_latency=true verified=true",
};

const std::string fake_encoder_name = "Fake_H.264_Encoder_MFT";

std::string chosen(const std::string& name = fake_encoder_name, int index = 1, int candidates = 1) {
  return "encoder_candidate name=" + name + " index=" + std::to_string(index) +
         " candidates=" + std::to_string(candidates) + " accepted=true";
}
std::string rejected(const std::string& error, const std::string& name = fake_encoder_name, int index = 1,
                     int candidates = 1) {
  return "encoder_candidate name=" + name + " index=" + std::to_string(index) +
         " candidates=" + std::to_string(candidates) + " accepted=false error=" + error;
}

// The first `count` setting lines, then `more`: the lines of a setup that
// got that far.
std::vector<std::string> settings_then(std::size_t count, std::initializer_list<std::string> more) {
  std::vector<std::string> lines(five_setting_lines.begin(), five_setting_lines.begin() + count);
  lines.insert(lines.end(), more);
  return lines;
}

// The lines of a setup that succeeds with the one fake encoder.
std::vector<std::string> setup_lines() { return settings_then(5, {chosen()}); }

// The lines of a setup whose encoder reads low latency back as off.
std::vector<std::string> read_back_rejected_lines() {
  return settings_then(4, {"encoder_setting low_latency=true verified=false",
                           rejected("encoder rejected low-latency mode")});
}

std::uint64_t pair(std::uint32_t high, std::uint32_t low) { return (std::uint64_t{high} << 32) | low; }

AttributeSetting u32(const platform::Guid& key, std::uint32_t value) {
  return {key, AttributeSetting::Kind::UInt32, value, {}};
}
AttributeSetting u64(const platform::Guid& key, std::uint64_t value) {
  return {key, AttributeSetting::Kind::UInt64, value, {}};
}
AttributeSetting guid(const platform::Guid& key, const platform::Guid& value) {
  return {key, AttributeSetting::Kind::Guid, 0, value};
}

// A media type holds one value per key, in no order: compares the last
// setting of each key with the expected settings, and the keys with theirs.
void expect_media_type(const std::vector<AttributeSetting>& settings, const std::vector<AttributeSetting>& expected) {
  std::vector<AttributeSetting> type;
  for (const AttributeSetting& setting : settings) {
    auto same_key = [&](const AttributeSetting& s) { return s.key == setting.key; };
    std::erase_if(type, same_key);
    type.push_back(setting);
  }
  EXPECT_EQ(type.size(), expected.size()) << "keys set besides the expected ones";
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const AttributeSetting& want = expected[i];
    const auto got =
        std::find_if(type.begin(), type.end(), [&](const AttributeSetting& s) { return s.key == want.key; });
    if (got == type.end()) {
      ADD_FAILURE() << "expected attribute " << i << " is not set";
      continue;
    }
    EXPECT_EQ(got->kind, want.kind) << "attribute " << i;
    EXPECT_EQ(got->value, want.value) << "attribute " << i;
    EXPECT_EQ(got->guid_value, want.guid_value) << "attribute " << i;
  }
}

TEST_F(HardwareEncoderTest, SetupConfiguresAStreamingLowLatencyCbrEncoderAndNamesIt) {
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder) << encoder.error().message;
  EXPECT_EQ(outputs.lines(), setup_lines());

  // GOP size and B-frame count are codec properties too, with the types
  // Microsoft documents (the fake refuses any other).
  const auto values = transform().set_values();
  EXPECT_NE(std::find(values.begin(), values.end(), std::pair{guids::codecapi_av_enc_mpv_gop_size, mf::Variant::ui4(30)}),
            values.end());
  EXPECT_NE(std::find(values.begin(), values.end(),
                      std::pair{guids::codecapi_av_enc_mpv_default_b_picture_count, mf::Variant::ui4(0)}),
            values.end());

  EXPECT_EQ(media.calls("mf_startup"), 1u);
  EXPECT_TRUE(d3d.multithread_protected());
  EXPECT_EQ(transform().transform_attributes_set(), (std::vector<std::uint32_t>{1}));

  // 1920x1080 progressive at 30/1 fps, square pixels; H.264 baseline (66) at
  // 8,000,000 bit/s, no B-frames, a GOP of 30; and, for the stream's VUI,
  // what the converter produces: BT.709 (the matrix a player guesses for
  // 1920x1080) studio range of sRGB desktop pixels.
  const std::vector<AttributeSetting> picture{
      guid(guids::mf_mt_major_type, guids::mf_media_type_video),
      u64(guids::mf_mt_frame_size, pair(1920, 1080)),
      u64(guids::mf_mt_frame_rate, pair(30, 1)),
      u64(guids::mf_mt_pixel_aspect_ratio, pair(1, 1)),
      u32(guids::mf_mt_interlace_mode, mf::mf_video_interlace_progressive),
  };
  auto h264 = picture;
  h264.insert(h264.end(), {guid(guids::mf_mt_subtype, guids::mf_video_format_h264),
                           u32(guids::mf_mt_avg_bitrate, 8'000'000), u32(guids::mf_mt_mpeg2_profile, 66),
                           u32(guids::codecapi_av_enc_mpv_default_b_picture_count, 0),
                           u32(guids::codecapi_av_enc_mpv_gop_size, 30),
                           u32(guids::mf_mt_yuv_matrix, mf::mf_video_transfer_matrix_bt709),
                           u32(guids::mf_mt_video_nominal_range, mf::mf_nominal_range_16_235),
                           u32(guids::mf_mt_video_primaries, mf::mf_video_primaries_bt709),
                           u32(guids::mf_mt_transfer_function, mf::mf_video_trans_func_srgb)});
  expect_media_type(transform().output_type(), h264);
  auto nv12 = picture;
  nv12.push_back(guid(guids::mf_mt_subtype, guids::mf_video_format_nv12));
  expect_media_type(transform().input_type(), nv12);

  EXPECT_EQ(transform().messages(),
            (std::vector<mf::MftMessage>{mf::MftMessage::SetD3DManager, mf::MftMessage::NotifyBeginStreaming,
                                         mf::MftMessage::NotifyStartOfStream}));
  {
    auto s = (*encoder)->state().lock();
    EXPECT_EQ(s->frame_duration_100ns, 333'333);
    EXPECT_EQ(s->mailbox.max_in_flight(), 2u);
    EXPECT_EQ(s->mailbox.frame_interval(), std::chrono::nanoseconds(33'333'333));
    EXPECT_EQ(s->output_buffer_size, 1'048'576u);
    EXPECT_FALSE(s->provides_samples);
    EXPECT_FALSE(s->converter.has_value());
  }
  ASSERT_TRUE((*encoder)->finish());
}

struct SetupFailure {
  const char* name;
  std::function<void(FakeMediaFoundation&, platform::fake::FakeD3D11&)> script;
  std::string error;
  std::vector<std::string> lines;
};

class SetupFailures : public HardwareEncoderTest, public ::testing::WithParamInterface<SetupFailure> {};

TEST_P(SetupFailures, FailWithTheirTextAndLinesAndStartNoThread) {
  GetParam().script(media, d3d);
  auto encoder = create_encoder();
  ASSERT_FALSE(encoder);
  EXPECT_EQ(encoder.error().message, GetParam().error);
  EXPECT_EQ(outputs.lines(), GetParam().lines);
  // The test thread's own apartment; no worker thread started.
  EXPECT_EQ(media.calls("co_initialize_ex"), 1u);
  // A failed setup leaves the framework started.
  EXPECT_EQ(media.calls("mf_shutdown"), 0u);
}

const std::string unspecified = "Unspecified error (0x80004005)";

INSTANTIATE_TEST_SUITE_P(
    Table, SetupFailures,
    ::testing::Values(
        SetupFailure{"NoHardwareEncoder",
                     [](FakeMediaFoundation& m, auto&) { m.enumeration = FakeMediaFoundation::Enumeration::NoEncoder; },
                     "hardware H.264 encoder unavailable; software fallback refused",
                     {}},
        SetupFailure{"OnlyEntryEmpty",
                     [](FakeMediaFoundation& m, auto&) {
                       m.enumeration = FakeMediaFoundation::Enumeration::OnlyEntryEmpty;
                     },
                     "hardware H.264 encoder activation is empty",
                     {rejected("hardware H.264 encoder activation is empty", "unnamed")}},
        SetupFailure{"RateControlRefused",
                     [](FakeMediaFoundation& m, auto&) { m.faults().fail("set_value.rate_control", 0x80004005); },
                     unspecified,
                     settings_then(0, {"encoder_setting rate_control=cbr accepted=false error=" + unspecified,
                                       rejected(unspecified)})},
        SetupFailure{"MeanBitrateRefused",
                     [](FakeMediaFoundation& m, auto&) { m.faults().fail("set_value.mean_bit_rate", 0x80004005); },
                     unspecified,
                     settings_then(1, {"encoder_setting mean_bitrate=8000000 accepted=false error=" + unspecified,
                                       rejected(unspecified)})},
        SetupFailure{"LowLatencyRefused",
                     [](FakeMediaFoundation& m, auto&) { m.faults().fail("set_value.low_latency", 0x80004001); },
                     "Not implemented (0x80004001)",
                     settings_then(3, {"encoder_setting low_latency=true accepted=false error=Not implemented "
                                       "(0x80004001)",
                                       rejected("Not implemented (0x80004001)")})},
        SetupFailure{"LowLatencyReadBackFails",
                     [](FakeMediaFoundation& m, auto&) { m.faults().fail("get_value", 0x80004005); },
                     unspecified,
                     settings_then(4, {"encoder_setting low_latency=true verified=false error=" + unspecified,
                                       rejected(unspecified)})},
        SetupFailure{"LowLatencyReadBackFalse",
                     [](FakeMediaFoundation& m, auto&) { m.encoder().low_latency_read_back = mf::Variant::boolean(false); },
                     "encoder rejected low-latency mode",
                     read_back_rejected_lines()},
        SetupFailure{"LowLatencyReadBackZero",
                     [](FakeMediaFoundation& m, auto&) { m.encoder().low_latency_read_back = mf::Variant::ui4(0); },
                     "encoder rejected low-latency mode",
                     read_back_rejected_lines()},
        SetupFailure{"LowLatencyReadBackEmpty",
                     [](FakeMediaFoundation& m, auto&) { m.encoder().low_latency_read_back = mf::Variant{}; },
                     "encoder rejected low-latency mode",
                     read_back_rejected_lines()},
        SetupFailure{"NoDeviceManager",
                     [](FakeMediaFoundation& m, auto&) { m.faults().return_empty("mf_create_dxgi_device_manager"); },
                     "Media Foundation returned no DXGI device manager",
                     settings_then(5, {rejected("Media Foundation returned no DXGI device manager")})},
        SetupFailure{"DeviceWithoutVideoSupport",
                     [](FakeMediaFoundation&, platform::fake::FakeD3D11& d) {
                       auto created = d.create_device(platform::d3d11::DriverType::Hardware,
                                                      platform::d3d11::create_device_bgra_support, {}, 7);
                       ASSERT_TRUE(created);
                     },
                     "The parameter is incorrect. (0x80070057)",
                     settings_then(5, {rejected("The parameter is incorrect. (0x80070057)")})},
        SetupFailure{"NoMultithreadInterface",
                     [](FakeMediaFoundation&, platform::fake::FakeD3D11& d) {
                       d.faults().return_empty("query_multithread");
                     },
                     "Invalid pointer (0x80004003)",
                     {}},
        SetupFailure{"StartupFails",
                     [](FakeMediaFoundation& m, auto&) { m.faults().fail("mf_startup", 0x80004005); },
                     unspecified,
                     {}},
        SetupFailure{"InputTypeRefused",
                     [](FakeMediaFoundation& m, auto&) { m.faults().fail("set_input_type", 0xC00D6D60); },
                     "A valid type has not been set for this stream or a stream that it depends on. (0xC00D6D60)",
                     settings_then(5, {rejected("A valid type has not been set for this stream or a stream "
                                                "that it depends on. (0xC00D6D60)")})},
        SetupFailure{"StartOfStreamRefused",
                     [](FakeMediaFoundation& m, auto&) {
                       m.faults().fail("process_message.start_of_stream", 0x80004005);
                     },
                     unspecified, settings_then(5, {rejected(unspecified)})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HardwareEncoderTest, RefusedOptionalPropertiesAreReportedAndSetupGoesOn) {
  media.faults().fail("set_value.quality_vs_speed", 0x80004001);
  media.faults().fail("set_value.gop_size", 0x80004001);
  media.faults().fail("set_value.b_picture_count", 0x80004001);
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder) << encoder.error().message;
  auto expected = five_setting_lines;
  expected[2] = "encoder_setting quality_vs_speed=33 accepted=false error=Not implemented (0x80004001)";
  expected.push_back("encoder_setting gop_size=30 accepted=false error=Not implemented (0x80004001)");
  expected.push_back("encoder_setting b_frames=0 accepted=false error=Not implemented (0x80004001)");
  expected.push_back(chosen());
  EXPECT_EQ(outputs.lines(), expected);
  EXPECT_TRUE((*encoder)->finish());
}

// The output type announces the matrix a player would guess for the size.
struct MatrixCase {
  std::uint32_t width, height, matrix;
};

class OutputTypeMatrix : public HardwareEncoderTest, public ::testing::WithParamInterface<MatrixCase> {};

TEST_P(OutputTypeMatrix, IsTheOneAPlayerGuessesForTheOutputSize) {
  auto encoder = create_encoder(30, GetParam().width, GetParam().height);
  ASSERT_TRUE(encoder) << encoder.error().message;
  const auto type = transform().output_type();
  const auto matrix = std::find_if(type.rbegin(), type.rend(),
                                   [](const AttributeSetting& s) { return s.key == guids::mf_mt_yuv_matrix; });
  ASSERT_NE(matrix, type.rend());
  EXPECT_EQ(matrix->value, GetParam().matrix);
  auto finished = (*encoder)->finish();
  EXPECT_TRUE(finished) << finished.error().message;
}

INSTANTIATE_TEST_SUITE_P(Sizes, OutputTypeMatrix,
                         ::testing::Values(MatrixCase{1280, 720, mf::mf_video_transfer_matrix_bt709},
                                           MatrixCase{640, 360, mf::mf_video_transfer_matrix_bt601}));

// Some encoders refuse an output type with colour attributes (Chromium,
// crbug.com/1446081): setup says so and sets the type again without them.
TEST_F(HardwareEncoderTest, OutputTypeRefusedWithColourAttributesIsSetWithoutThem) {
  constexpr std::uint32_t mf_e_invalidmediatype = 0xC00D36B4;
  media.faults().fail("set_output_type", mf_e_invalidmediatype, 1);
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder) << encoder.error().message;
  EXPECT_EQ(transform().output_types_set(), 1u);
  const auto refused = outputs.lines_starting("encoder_setting colour_matrix=");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_TRUE(refused[0].starts_with("encoder_setting colour_matrix=bt709 accepted=false error=")) << refused[0];
  EXPECT_TRUE(refused[0].ends_with("(0xC00D36B4)")) << refused[0];
  for (const AttributeSetting& s : transform().output_type()) {
    EXPECT_NE(s.key, guids::mf_mt_yuv_matrix);
    EXPECT_NE(s.key, guids::mf_mt_video_nominal_range);
  }
  EXPECT_TRUE((*encoder)->finish());
}

TEST_F(HardwareEncoderTest, SetupOnAThreadOutsideAnyApartmentIsRefused) {
  // Windows refuses activation there; Wine lets it pass.
  app::Result<std::unique_ptr<app::HardwareEncoder>> encoder = app::fail("not run");
  std::thread([&] { encoder = create_encoder(); }).join();
  ASSERT_FALSE(encoder);
  EXPECT_EQ(encoder.error().message, "CoInitialize has not been called. (0x800401F0)");
}

// Encoders answer the low-latency read-back with the type they like.
class LowLatencyReadBack : public HardwareEncoderTest, public ::testing::WithParamInterface<mf::Variant> {};

TEST_P(LowLatencyReadBack, AsAnyNonZeroIntegerOrTrueIsVerified) {
  transform().low_latency_read_back = GetParam();
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder) << encoder.error().message;
  EXPECT_EQ(outputs.lines(), setup_lines());
  EXPECT_TRUE((*encoder)->finish());
}

INSTANTIATE_TEST_SUITE_P(Types, LowLatencyReadBack,
                         ::testing::Values(mf::Variant::boolean(true), mf::Variant::ui4(1),
                                           mf::Variant{mf::Variant::Type::I4, ~std::uint64_t{0}, 0}));

struct CandidateCase {
  const char* name;
  std::function<void(FakeMediaFoundation&, platform::fake::FakeD3D11&)> script;
  std::vector<std::string> candidate_lines;
  // Which registered encoder ends up streaming (0 = the first).
  std::size_t streaming;
};

class EncoderChoice : public HardwareEncoderTest, public ::testing::WithParamInterface<CandidateCase> {};

TEST_P(EncoderChoice, TakesTheDevicesAdapterFirstAndFallsThroughFailures) {
  auto& second = media.add_encoder(u"Second GPU Encoder", platform::LocallyUniqueId{2, 0});
  GetParam().script(media, d3d);
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder) << encoder.error().message;
  std::vector<std::string> candidates;
  for (const auto& line : outputs.lines()) {
    if (line.starts_with("encoder_candidate")) {
      candidates.push_back(line);
    }
  }
  EXPECT_EQ(candidates, GetParam().candidate_lines);
  platform::fake::FakeEncoderTransform& streaming = GetParam().streaming == 0 ? transform() : second;
  platform::fake::FakeEncoderTransform& idle = GetParam().streaming == 0 ? second : transform();
  EXPECT_EQ(streaming.messages().back(), mf::MftMessage::NotifyStartOfStream);
  EXPECT_TRUE(idle.messages().empty() || idle.shut_down());
  ASSERT_TRUE((*encoder)->finish());
}

INSTANTIATE_TEST_SUITE_P(
    Table, EncoderChoice,
    ::testing::Values(
        // Each encoder on its own adapter, the device on the second.
        CandidateCase{"DevicesOwnAdapter",
                      [](FakeMediaFoundation&, platform::fake::FakeD3D11& d) {
                        d.set_adapter_luid(platform::LocallyUniqueId{2, 0});
                      },
                      {chosen("Second_GPU_Encoder")},
                      1},
        // Without MFTEnum2 the whole list is tried, best first; an encoder
        // that does not name its adapter (older systems) is taken on trust.
        CandidateCase{"NoAdapterEnumeration",
                      [](FakeMediaFoundation& m, platform::fake::FakeD3D11& d) {
                        d.set_adapter_luid(platform::LocallyUniqueId{2, 0});
                        m.faults().fail("mft_enum2", 0x80004001);
                        m.encoder().activation_reports_adapter = false;
                      },
                      {chosen(fake_encoder_name, 1, 2)},
                      0},
        // The whole list names another adapter first: that encoder is never
        // given the device, whatever it would say to the device manager.
        CandidateCase{"OtherAdaptersEncoderIsSkipped",
                      [](FakeMediaFoundation& m, platform::fake::FakeD3D11& d) {
                        d.set_adapter_luid(platform::LocallyUniqueId{2, 0});
                        m.faults().fail("mft_enum2", 0x80004001);
                      },
                      {rejected(std::string(app::other_adapter_message), fake_encoder_name, 1, 2),
                       chosen("Second_GPU_Encoder", 2, 2)},
                      1},
        CandidateCase{"EncoderWithoutDirect3D11IsSkipped",
                      [](FakeMediaFoundation& m, platform::fake::FakeD3D11& d) {
                        d.set_adapter_luid(platform::LocallyUniqueId{2, 0});
                        m.faults().fail("mft_enum2", 0x80004001);
                        m.encoder().activation_reports_adapter = false;
                        m.encoder().d3d11_aware.reset();
                      },
                      {rejected(std::string(app::not_d3d11_aware_message), fake_encoder_name, 1, 2),
                       chosen("Second_GPU_Encoder", 2, 2)},
                      1},
        // The first candidate cannot be activated: the next one is used.
        CandidateCase{"FirstCandidateFails",
                      [](FakeMediaFoundation& m, platform::fake::FakeD3D11& d) {
                        d.set_adapter_luid(platform::LocallyUniqueId{2, 0});
                        m.faults().fail("mft_enum2", 0x80004001);
                        m.encoder().activation_reports_adapter = false;
                        m.faults().fail("activate_object", 0x80004005, 1);
                      },
                      {rejected(unspecified, fake_encoder_name, 1, 2), chosen("Second_GPU_Encoder", 2, 2)},
                      1},
        CandidateCase{"FirstEntryEmpty",
                      [](FakeMediaFoundation& m, platform::fake::FakeD3D11& d) {
                        d.set_adapter_luid(platform::LocallyUniqueId{1, 0});
                        m.enumeration = FakeMediaFoundation::Enumeration::FirstEntryEmpty;
                      },
                      {rejected("hardware H.264 encoder activation is empty", "unnamed", 1, 2),
                       chosen(fake_encoder_name, 2, 2)},
                      0}),
    [](const auto& info) { return std::string(info.param.name); });

// An adapter with no encoder of its own: the encoders of the others are
// listed, and none of them may have the device.
TEST_F(HardwareEncoderTest, EncodersOfOtherAdaptersNeverGetTheDevice) {
  auto& second = media.add_encoder(u"Second GPU Encoder", platform::LocallyUniqueId{2, 0});
  d3d.set_adapter_luid(platform::LocallyUniqueId{3, 0});
  auto encoder = create_encoder();
  ASSERT_FALSE(encoder);
  EXPECT_EQ(encoder.error().message, app::other_adapter_message);
  EXPECT_EQ(outputs.lines(),
            (std::vector<std::string>{rejected(std::string(app::other_adapter_message), fake_encoder_name, 1, 2),
                                      rejected(std::string(app::other_adapter_message), "Second_GPU_Encoder", 2, 2)}));
  EXPECT_TRUE(transform().messages().empty());
  EXPECT_TRUE(second.messages().empty());
}

// Vendor hints: set where IsSupported says so, with their documented VARIANT
// types; unknown ones are left alone, refused ones reported, and setup goes
// on either way.
struct HintCase {
  const char* name;
  std::function<void(FakeMediaFoundation&)> script;
  std::vector<std::pair<platform::Guid, mf::Variant>> hints_set;
  std::vector<std::string> extra_lines;  // before the five setting lines
};

class VendorHints : public HardwareEncoderTest, public ::testing::WithParamInterface<HintCase> {};

TEST_P(VendorHints, AreSetWhereSupportedAndNeverStopTheSetup) {
  GetParam().script(media);
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder) << encoder.error().message;
  std::vector<std::pair<platform::Guid, mf::Variant>> hints;
  for (const auto& [property, value] : transform().set_values()) {
    if (property == guids::codecapi_av_scenario_info || property == guids::codecapi_av_enc_video_temporal_layer_count) {
      hints.emplace_back(property, value);
    }
  }
  EXPECT_EQ(hints, GetParam().hints_set);
  std::vector<std::string> lines = GetParam().extra_lines;
  lines.insert(lines.end(), five_setting_lines.begin(), five_setting_lines.end());
  lines.push_back(chosen());
  EXPECT_EQ(outputs.lines(), lines);
  // B-frames stay off whatever the hints did.
  const auto set = transform().set_values();
  EXPECT_NE(std::ranges::find(set, std::pair{guids::codecapi_av_enc_mpv_default_b_picture_count, mf::Variant::ui4(0)}),
            set.end());
  EXPECT_TRUE((*encoder)->finish());
}

const std::pair<platform::Guid, mf::Variant> scenario_hint{guids::codecapi_av_scenario_info,
                                                           mf::Variant::ui4(mf::eav_scenario_info_display_remoting)};
const std::pair<platform::Guid, mf::Variant> layers_hint{guids::codecapi_av_enc_video_temporal_layer_count,
                                                         mf::Variant::ui4(1)};

INSTANTIATE_TEST_SUITE_P(
    Table, VendorHints,
    ::testing::Values(
        HintCase{"BothSupported", [](FakeMediaFoundation&) {}, {scenario_hint, layers_hint}, {}},
        HintCase{"NeitherSupported",
                 [](FakeMediaFoundation& m) {
                   m.encoder().unsupported_properties = {guids::codecapi_av_scenario_info,
                                                         guids::codecapi_av_enc_video_temporal_layer_count};
                 },
                 {},
                 {}},
        HintCase{"QuestionFails",
                 [](FakeMediaFoundation& m) { m.faults().fail("is_supported", 0x80004001); },
                 {},
                 {}},
        HintCase{"BothRefused",
                 [](FakeMediaFoundation& m) {
                   m.faults().fail("set_value.scenario_info", 0x80070057);
                   m.faults().fail("set_value.temporal_layer_count", 0x80070057);
                 },
                 {scenario_hint, layers_hint},
                 {"encoder_setting scenario=display_remoting accepted=false error=The parameter is incorrect. "
                  "(0x80070057)",
                  "encoder_setting temporal_layers=1 accepted=false error=The parameter is incorrect. "
                  "(0x80070057)"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HardwareEncoderTest, TeardownShutsTheTransformDownAndReleasesEveryObjectBeforeMFShutdown) {
  {
    auto encoder = create_encoder();
    ASSERT_TRUE(encoder) << encoder.error().message;
    ASSERT_TRUE(hand_over(**encoder));
    ASSERT_TRUE((*encoder)->finish());
  }
  EXPECT_EQ(media.calls("mf_shutdown"), 1u);
  EXPECT_TRUE(transform().shut_down());
  EXPECT_EQ(media.live_objects(), 0);
  EXPECT_EQ(media.violations(), std::vector<std::string>{});
}

TEST_F(HardwareEncoderTest, EncoderThatStopsAnsweringEndsWithTheStallInsteadOfHanging) {
  transform().hold_outputs = true;
  transform().drain_complete_on_drain = false;
  {
    auto encoder = create_encoder();
    ASSERT_TRUE(encoder) << encoder.error().message;
    ASSERT_TRUE(hand_over(**encoder));
    ASSERT_TRUE(eventually([&] { return with_state(**encoder, [](auto& s) { return s.submitted.size(); }) == 1; }));
    auto finished = (*encoder)->finish();
    ASSERT_FALSE(finished);
    EXPECT_EQ(finished.error().message, "encoder stalled: no output for 2 s with 1 frame in flight");
  }
  // The destructor shut the transform down, so the event thread ended and
  // was joined rather than left waiting.
  EXPECT_TRUE(transform().shut_down());
  EXPECT_EQ(outputs.lines_starting("error: encoder finish failed: encoder stalled").size(), 1u);
  EXPECT_EQ(media.violations(), std::vector<std::string>{});
}

struct BufferCase {
  bool provides_samples;
  std::uint32_t reported;
  std::uint32_t used;
};

class OutputBufferSize : public HardwareEncoderTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(OutputBufferSize, IsTheReportedSizeButAtLeastOneMebibyte) {
  transform().provides_samples = GetParam().provides_samples;
  transform().output_buffer_size = GetParam().reported;
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder);
  {
    auto s = (*encoder)->state().lock();
    EXPECT_EQ(s->output_buffer_size, GetParam().used);
    EXPECT_EQ(s->provides_samples, GetParam().provides_samples);
  }
  EXPECT_TRUE((*encoder)->finish());
}

INSTANTIATE_TEST_SUITE_P(Sizes, OutputBufferSize,
                         ::testing::Values(BufferCase{false, 4'000'000, 4'000'000}, BufferCase{true, 0, 1'048'576},
                                           BufferCase{false, 1'048'575, 1'048'576}));

// Finish and teardown.

TEST_F(HardwareEncoderTest, FinishWithNothingSubmittedDrainsAndSucceeds) {
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder);
  ASSERT_TRUE((*encoder)->finish());
  const auto messages = transform().messages();
  ASSERT_GE(messages.size(), 5u);
  EXPECT_EQ(messages[3], mf::MftMessage::NotifyEndOfStream);
  EXPECT_EQ(messages[4], mf::MftMessage::CommandDrain);
  // Both threads have ended and uninitialised COM.
  EXPECT_EQ(media.co_uninitialize_calls(), 2u);
  encoder->reset();
  EXPECT_EQ(transform().messages().back(), mf::MftMessage::NotifyEndStreaming);
  EXPECT_EQ(media.calls("mf_shutdown"), 1u);
  EXPECT_EQ(outputs.lines(), setup_lines());
}

TEST_F(HardwareEncoderTest, FrameWaitingAtFinishIsRecycledNeverEncoded) {
  // The encoder never asks for input, so the frame stays in the mailbox.
  transform().need_input_on_start = 0;
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder);
  ASSERT_TRUE(hand_over(**encoder));
  ASSERT_TRUE((*encoder)->finish());
  EXPECT_TRUE(transform().inputs().empty());
  auto s = (*encoder)->state().lock();
  EXPECT_FALSE(s->mailbox.pending().has_value());
  EXPECT_EQ(s->converter->free_surfaces.size(), 4u);
  EXPECT_EQ(s->encoded_frames, 0u);
  EXPECT_EQ(s->mailbox.frames_replaced(), 0u);
}

TEST_F(HardwareEncoderTest, DrainCompleteWithAFrameMissingFailsAndTheDropSaysSoAgain) {
  transform().hold_outputs = true;
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder);
  ASSERT_TRUE(eventually([&] { return transform().wait_until_idle(std::chrono::milliseconds(1)); }));
  ASSERT_TRUE(hand_over(**encoder));
  ASSERT_EQ(transform().inputs().size(), 1u);

  auto finished = (*encoder)->finish();
  ASSERT_FALSE(finished);
  EXPECT_EQ(finished.error().message, "hardware encoder drain ended with pending inputs");
  encoder->reset();
  EXPECT_EQ(outputs.lines_starting("error:"),
            (std::vector<std::string>{"error: encoder finish failed: hardware encoder drain ended with pending inputs"}));
  EXPECT_EQ(media.calls("mf_shutdown"), 1u);
}

TEST_F(HardwareEncoderTest, SecondFinishAfterSuccessSucceedsAndTheDropPrintsNothing) {
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder);
  ASSERT_TRUE(eventually([&] { return transform().wait_until_idle(std::chrono::milliseconds(1)); }));
  ASSERT_TRUE(hand_over(**encoder));
  ASSERT_TRUE((*encoder)->finish());
  ASSERT_TRUE((*encoder)->finish());
  encoder->reset();
  EXPECT_TRUE(outputs.lines_starting("error:").empty());
  // Only the first finish drained.
  int drains = 0;
  for (auto m : transform().messages()) {
    drains += m == mf::MftMessage::CommandDrain ? 1 : 0;
  }
  EXPECT_EQ(drains, 1);
  EXPECT_EQ(outputs.records().size(), 1u);
}

TEST_F(HardwareEncoderTest, RefusedDrainIsReportedWithoutWaitingForTheEventThread) {
  transform().drain_complete_on_drain = false;
  media.faults().fail("process_message.drain", 0x80004005);
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder);
  auto finished = (*encoder)->finish();
  ASSERT_FALSE(finished);
  EXPECT_EQ(finished.error().message, unspecified);
  // The drop must not wait for an event that never comes either. Its own
  // finish repeats only the final checks, which pass: nothing was submitted.
  encoder->reset();
  EXPECT_TRUE(outputs.lines_starting("error:").empty());
  EXPECT_EQ(media.calls("mf_shutdown"), 1u);
  // Let the event thread left running end before the fakes go away.
  transform().shutdown_events();
  ASSERT_TRUE(eventually([&] { return media.co_uninitialize_calls() == 2; }));
}

TEST_F(HardwareEncoderTest, WorkerFailureIsWhatFinishReports) {
  auto encoder = create_encoder();
  ASSERT_TRUE(encoder);
  transform().push_event(mf::me_transform_have_output, 0x80004005);
  ASSERT_TRUE(eventually([&] { return (*encoder)->state().lock()->error.has_value(); }));
  auto finished = (*encoder)->finish();
  ASSERT_FALSE(finished);
  EXPECT_EQ(finished.error().message, unspecified);
  EXPECT_EQ(outputs.lines_starting("error: encoder thread failed:"),
            (std::vector<std::string>{"error: encoder thread failed: " + unspecified}));
}

TEST_F(HardwareEncoderTest, KeyframeCellIsSharedNotCopied) {
  auto keyframe = std::make_shared<std::atomic<bool>>(false);
  auto encoder = create_encoder(30, 1920, 1080, 8'000'000, keyframe);
  ASSERT_TRUE(encoder);
  ASSERT_TRUE(eventually([&] { return transform().wait_until_idle(std::chrono::milliseconds(1)); }));
  ASSERT_TRUE(hand_over(**encoder));
  keyframe->store(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  ASSERT_TRUE(hand_over(**encoder));
  ASSERT_TRUE(eventually([&] { return transform().inputs().size() == 2; }));
  ASSERT_TRUE((*encoder)->finish());
  EXPECT_FALSE(keyframe->load());
  const auto inputs = transform().inputs();
  EXPECT_FALSE(inputs[0].keyframe_forced);
  EXPECT_TRUE(inputs[1].keyframe_forced);
  const auto records = outputs.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(records[0].keyframe);
  EXPECT_TRUE(records[1].keyframe);
}

// ---- shaping the stream: rate buffer, keyframe interval, live rates ----

class ShapedEncoderTest : public FakePlatformTest {
 protected:
  // 30 fps at 4 Mbit/s, shaped as given.
  [[nodiscard]] app::Result<std::unique_ptr<app::HardwareEncoder>> create_shaped(const app::StreamShaping& shaping) {
    return app::HardwareEncoder::create(d3d.device(), d3d.context(), 1280, 720, 30, 4'000'000,
                                        std::make_shared<std::atomic<bool>>(false), outputs.streams(),
                                        sender::PacingRule::Strict, shaping);
  }
  [[nodiscard]] std::vector<std::pair<platform::Guid, mf::Variant>> values_of(const platform::Guid& property) {
    std::vector<std::pair<platform::Guid, mf::Variant>> found;
    for (const auto& value : transform().set_values()) {
      if (value.first == property) {
        found.push_back(value);
      }
    }
    return found;
  }
  [[nodiscard]] std::vector<std::string> lines_starting(std::string_view prefix) {
    std::vector<std::string> found;
    for (const std::string& line : outputs.lines()) {
      if (line.starts_with(prefix)) {
        found.push_back(line);
      }
    }
    return found;
  }
};

// One frame interval of 4 Mbit/s is 16,500 bytes: the buffer in bytes, as
// H.264 encoders take it, with the peak rate equal to the mean; "never" is
// the longest GOP, since a GOP size of 0 lets the encoder choose. All VT_UI4
// (the fake refuses any other type).
TEST_F(ShapedEncoderTest, RateBufferAndKeyframesOnRequestReachTheEncoderWithTheirDocumentedTypes) {
  auto encoder = create_shaped({.rate_buffer = std::chrono::milliseconds(33), .keyframe_interval = 0});
  ASSERT_TRUE(encoder) << encoder.error().message;
  EXPECT_EQ(values_of(guids::codecapi_av_enc_common_max_bit_rate),
            (std::vector{std::pair{guids::codecapi_av_enc_common_max_bit_rate, mf::Variant::ui4(4'000'000)}}));
  EXPECT_EQ(values_of(guids::codecapi_av_enc_common_buffer_size),
            (std::vector{std::pair{guids::codecapi_av_enc_common_buffer_size, mf::Variant::ui4(16'500)}}));
  EXPECT_EQ(values_of(guids::codecapi_av_enc_mpv_gop_size),
            (std::vector{std::pair{guids::codecapi_av_enc_mpv_gop_size, mf::Variant::ui4(0xFFFF'FFFFu)}}));
  const auto& type = transform().output_type();
  const auto gop = std::find_if(type.rbegin(), type.rend(), [](const AttributeSetting& a) {
    return a.key == guids::codecapi_av_enc_mpv_gop_size;
  });
  ASSERT_NE(gop, type.rend());
  EXPECT_EQ(gop->value, 0xFFFF'FFFFu);
  EXPECT_EQ(outputs.lines(), (std::vector<std::string>{
                                 "encoder_setting rate_control=cbr accepted=true",
                                 "encoder_setting mean_bitrate=4000000 accepted=true",
                                 "encoder_setting max_bitrate=4000000 accepted=true",
                                 "encoder_setting buffer_size=16500 accepted=true",
                                 "encoder_setting quality_vs_speed=33 accepted=true",
                                 "encoder_setting low_latency=true accepted=true",
                                 "encoder_setting low_latency=true verified=true",
                                 chosen(),
                             }));
}

TEST_F(ShapedEncoderTest, WithoutTheOptionsTheEncoderKeepsItsBufferAndOneKeyframeASecond) {
  auto encoder = create_shaped({});
  ASSERT_TRUE(encoder) << encoder.error().message;
  EXPECT_TRUE(values_of(guids::codecapi_av_enc_common_max_bit_rate).empty());
  EXPECT_TRUE(values_of(guids::codecapi_av_enc_common_buffer_size).empty());
  EXPECT_EQ(values_of(guids::codecapi_av_enc_mpv_gop_size),
            (std::vector{std::pair{guids::codecapi_av_enc_mpv_gop_size, mf::Variant::ui4(30)}}));
}

// The rate buffer is a wish: an encoder that refuses it keeps its own and the
// session goes on, told on standard error.
TEST_F(ShapedEncoderTest, RefusedRateBufferIsToldAndSetupGoesOn) {
  media.faults().fail("set_value.buffer_size", 0x80070057);
  auto encoder = create_shaped({.rate_buffer = std::chrono::milliseconds(100), .keyframe_interval = 120});
  ASSERT_TRUE(encoder) << encoder.error().message;
  EXPECT_EQ(lines_starting("encoder_setting buffer_size"),
            (std::vector<std::string>{
                "encoder_setting buffer_size=50000 accepted=false error=The parameter is incorrect. (0x80070057)"}));
  EXPECT_EQ(values_of(guids::codecapi_av_enc_mpv_gop_size),
            (std::vector{std::pair{guids::codecapi_av_enc_mpv_gop_size, mf::Variant::ui4(120)}}));
}

// BITRATE and FPS from the parent, as the pacer hands them to the running
// encoder: the mean rate scaled by configured ÷ paced frame rate, the peak
// rising before the mean and falling after it, the buffer kept at its
// duration, and the pace of submissions following FPS.
TEST_F(ShapedEncoderTest, LiveRatesReachTheRunningEncoderInASafeOrder) {
  auto encoder = create_shaped({.rate_buffer = std::chrono::milliseconds(33), .keyframe_interval = std::nullopt});
  ASSERT_TRUE(encoder) << encoder.error().message;
  auto requests = std::make_shared<app::RateRequests>();
  {
    auto s = (*encoder)->state().lock();
    s->rate_request = requests;
  }
  const auto rates_from = [this](std::size_t first) {
    const auto all = transform().set_values();
    std::vector<std::pair<platform::Guid, mf::Variant>> rates;
    for (std::size_t i = first; i < all.size(); ++i) {
      rates.push_back(all[i]);
    }
    return rates;
  };
  const auto change = [&](std::uint32_t bitrate, std::uint32_t fps) {
    const std::size_t told_before = lines_starting("encoder_rate").size();
    if (bitrate != 0) requests->bitrate.store(bitrate);
    if (fps != 0) requests->fps.store(fps);
    // The pacer takes the requests when woken, as the control bell does.
    { auto s = (*encoder)->state().lock(); }
    (*encoder)->wake().notify_all();
    ASSERT_TRUE(eventually([&] {
      return requests->bitrate.load() == 0 && requests->fps.load() == 0 &&
             lines_starting("encoder_rate").size() >= told_before + (bitrate != 0) + (fps != 0);
    }));
  };
  using Value = std::pair<platform::Guid, mf::Variant>;
  const auto mean = [](std::uint32_t v) { return Value{guids::codecapi_av_enc_common_mean_bit_rate, mf::Variant::ui4(v)}; };
  const auto peak = [](std::uint32_t v) { return Value{guids::codecapi_av_enc_common_max_bit_rate, mf::Variant::ui4(v)}; };
  const auto buffer = [](std::uint32_t v) { return Value{guids::codecapi_av_enc_common_buffer_size, mf::Variant::ui4(v)}; };

  std::size_t first = transform().set_values().size();
  change(2'000'000, 0);
  EXPECT_EQ(rates_from(first), (std::vector{mean(2'000'000), peak(2'000'000), buffer(8'250)}));
  std::vector<std::string> told{"encoder_rate bitrate=2000000 encoder_bitrate=2000000 accepted=true"};
  EXPECT_EQ(lines_starting("encoder_rate"), told);

  first = transform().set_values().size();
  change(0, 10);
  // 2 Mbit/s at 10 of the configured 30 frames a second: 6 Mbit/s to the
  // encoder, which budgets per configured frame; rising, the peak goes first.
  EXPECT_EQ(rates_from(first), (std::vector{peak(6'000'000), mean(6'000'000), buffer(24'750)}));
  told.push_back("encoder_rate fps=10 encoder_bitrate=6000000 accepted=true");
  EXPECT_EQ(lines_starting("encoder_rate"), told);
  {
    auto s = (*encoder)->state().lock();
    EXPECT_EQ(s->mailbox.frame_interval(), sender::frame_interval_for_fps(10));
    EXPECT_EQ(s->paced_fps, 10u);
    EXPECT_EQ(s->target_bitrate, 2'000'000u);
  }

  // Refused: the line says so with the encoder's error, and neither the rate
  // nor the pace changes.
  media.faults().fail("set_value.mean_bit_rate", 0x80070057);
  change(0, 30);
  told.push_back("encoder_rate fps=30 encoder_bitrate=2000000 accepted=false error=The parameter is incorrect. "
                 "(0x80070057)");
  EXPECT_EQ(lines_starting("encoder_rate"), told);
  {
    auto s = (*encoder)->state().lock();
    EXPECT_EQ(s->mailbox.frame_interval(), sender::frame_interval_for_fps(10));
    EXPECT_EQ(s->encoder_bitrate, 6'000'000u);
  }
}

}  // namespace
}  // namespace quorvex::test
