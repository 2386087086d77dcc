#include "app/session/probe.h"

#include <gtest/gtest.h>

#include <functional>

#include "test_platform.h"

namespace quorvex::testing {
namespace {

struct EncoderJournal {
  static inline int created = 0;
  static inline int destroyed = 0;
  static inline std::uint32_t width = 0, height = 0, fps = 0, bitrate = 0;
  static inline bool flag_was_clear = false;
  // Whether the creating thread could activate COM objects.
  static inline bool in_apartment = false;
  static inline std::optional<std::string> error;
};

class TestEncoder {
 public:
  static app::Result<std::unique_ptr<TestEncoder>> create(std::shared_ptr<platform::d3d11::Device> device,
                                                          std::shared_ptr<platform::d3d11::DeviceContext> context,
                                                          std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                                          std::uint32_t bitrate,
                                                          std::shared_ptr<std::atomic<bool>> keyframe_request) {
    if (!device || !context) {
      return app::fail("encoder got no device");
    }
    if (EncoderJournal::error) {
      return app::fail(*EncoderJournal::error);
    }
    EncoderJournal::width = width;
    EncoderJournal::height = height;
    EncoderJournal::fps = fps;
    EncoderJournal::bitrate = bitrate;
    EncoderJournal::flag_was_clear = keyframe_request && !keyframe_request->load();
    EncoderJournal::in_apartment =
        dynamic_cast<platform::fake::FakeMediaFoundation&>(platform::current().media_foundation())
            .apartments()
            .in_apartment();
    ++EncoderJournal::created;
    return std::make_unique<TestEncoder>();
  }
  ~TestEncoder() { ++EncoderJournal::destroyed; }
};

class ProbeTest : public ::testing::Test {
 protected:
  ProbeTest() { EncoderJournal::created = EncoderJournal::destroyed = 0, EncoderJournal::error.reset(); }

  std::pair<std::string, std::string> probe() {
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    const auto result = app::run_probe<TestEncoder>();
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    return {result ? "success" : result.error().message, err};
  }

  TestPlatform fake;
};

TEST_F(ProbeTest, SuccessfulProbeReportsCapabilitiesAndTearsTheEncoderDown) {
  const auto [result, err] = probe();
  EXPECT_EQ(result, "success");
  EXPECT_EQ(err,
            "capture_encoder encoder=media_foundation capture=windows_graphics_capture hardware=true "
            "software_fallback=false zero_copy=true async_mft=true low_latency=true b_frames=false\n");
  EXPECT_EQ(fake.d3d11_fake.flags, 0x820u);
  EXPECT_EQ(fake.d3d11_fake.levels, (std::vector<platform::d3d11::FeatureLevel>{
                                        platform::d3d11::FeatureLevel::Level_11_1,
                                        platform::d3d11::FeatureLevel::Level_11_0}));
  EXPECT_EQ(EncoderJournal::width, 1920u);
  EXPECT_EQ(EncoderJournal::height, 1080u);
  EXPECT_EQ(EncoderJournal::fps, 30u);
  EXPECT_EQ(EncoderJournal::bitrate, 8'000'000u);
  EXPECT_TRUE(EncoderJournal::flag_was_clear);
  EXPECT_EQ(EncoderJournal::destroyed, 1);
  // The encoder is activated through COM: the probe's thread joined an
  // apartment for it, and left it again once the encoder was gone.
  EXPECT_TRUE(EncoderJournal::in_apartment);
  EXPECT_FALSE(fake.apartments->in_apartment());
  EXPECT_EQ(fake.media_fake.violations(), std::vector<std::string>{});
}

struct ProbeFailure {
  const char* name;
  std::function<void(TestPlatform&)> arrange;
  std::string message;
};

class ProbeFailureTest : public ProbeTest, public ::testing::WithParamInterface<ProbeFailure> {};

TEST_P(ProbeFailureTest, FailsWithItsMessageAndPrintsNothing) {
  GetParam().arrange(fake);
  const auto [result, err] = probe();
  EXPECT_EQ(result, GetParam().message);
  EXPECT_EQ(err, "");
  EXPECT_EQ(EncoderJournal::created, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ProbeFailureTest,
    ::testing::Values(
        ProbeFailure{"DeviceCall",
                     [](TestPlatform& f) { f.d3d11_fake.faults.fail("create_device", platform::status::dxgi_error_unsupported); },
                     "The specified device interface or feature level is not supported on this system. (0x887A0004)"},
        ProbeFailure{"FeatureLevel",
                     [](TestPlatform& f) { f.d3d11_fake.level = platform::d3d11::FeatureLevel::Level_10_1; },
                     "Direct3D feature level 11 is required"},
        ProbeFailure{"FeatureLevelCheckedBeforeDevice",
                     [](TestPlatform& f) {
                       f.d3d11_fake.level = platform::d3d11::FeatureLevel::Level_10_0;
                       f.d3d11_fake.hand_out_device = false;
                     },
                     "Direct3D feature level 11 is required"},
        ProbeFailure{"NoDevice", [](TestPlatform& f) { f.d3d11_fake.hand_out_device = false; },
                     "D3D11 returned no device"},
        ProbeFailure{"NoContext", [](TestPlatform& f) { f.d3d11_fake.hand_out_context = false; },
                     "D3D11 returned no device context"},
        ProbeFailure{"Encoder", [](TestPlatform&) { EncoderJournal::error = "no hardware H.264 encoder found"; },
                     "no hardware H.264 encoder found"}),
    [](const ::testing::TestParamInfo<ProbeFailure>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvex::testing
