#include "app/pipeline/gpu_converter.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "pipeline_support.h"

namespace quorvex::test {
namespace {

using platform::Rect;
using platform::d3d11::Format;

class GpuConverterTest : public FakePlatformTest {
 protected:
  app::Result<app::GpuConverter> build(std::uint32_t in_w, std::uint32_t in_h) {
    return app::GpuConverter::build(*d3d.device(), *d3d.context(), in_w, in_h, 1920, 1080, 30);
  }
};

struct LetterboxCase {
  std::uint32_t width;
  std::uint32_t height;
  Rect dest;
};

class LetterboxDestination : public GpuConverterTest, public ::testing::WithParamInterface<LetterboxCase> {};

TEST_P(LetterboxDestination, BlitLandsInTheLetterboxOfTheCaptureSize) {
  auto converter = build(GetParam().width, GetParam().height);
  ASSERT_TRUE(converter) << converter.error().message;
  auto source = d3d.make_texture(GetParam().width, GetParam().height);
  auto surface = converter->convert(*source, std::nullopt);
  ASSERT_TRUE(surface) << surface.error().message;

  const auto blits = d3d.blits();
  ASSERT_EQ(blits.size(), 1u);
  EXPECT_EQ(blits[0].dest_rect, GetParam().dest);
  EXPECT_FALSE(blits[0].source_rect.has_value());
  EXPECT_EQ(blits[0].input_texture, platform::fake::FakeD3D11::texture_id(*source));
  EXPECT_EQ(blits[0].output_texture, platform::fake::FakeD3D11::texture_id(*surface->texture));
}

INSTANTIATE_TEST_SUITE_P(Sizes, LetterboxDestination,
                         ::testing::Values(LetterboxCase{2560, 1440, {0, 0, 1920, 1080}},
                                           LetterboxCase{1280, 1024, {285, 0, 1635, 1080}},
                                           LetterboxCase{1920, 800, {0, 140, 1920, 940}}));

TEST_F(GpuConverterTest, BuildDescribesProcessorAndFourEncoderReadableNv12Surfaces) {
  auto converter = build(2560, 1440);
  ASSERT_TRUE(converter) << converter.error().message;
  EXPECT_EQ(converter->free_surfaces.size(), 4u);

  const auto descs = d3d.enumerator_descs();
  ASSERT_EQ(descs.size(), 1u);
  EXPECT_EQ(descs[0].input_width, 2560u);
  EXPECT_EQ(descs[0].input_height, 1440u);
  EXPECT_EQ(descs[0].output_width, 1920u);
  EXPECT_EQ(descs[0].output_height, 1080u);
  EXPECT_EQ(descs[0].input_frame_rate, (platform::d3d11::Rational{30, 1}));
  EXPECT_EQ(descs[0].output_frame_rate, (platform::d3d11::Rational{30, 1}));

  const auto textures = d3d.created_textures();
  ASSERT_EQ(textures.size(), 4u);
  for (const auto& desc : textures) {
    EXPECT_EQ(desc.format, Format::Nv12);
    EXPECT_EQ(desc.width, 1920u);
    EXPECT_EQ(desc.height, 1080u);
    EXPECT_EQ(desc.bind_flags, 0x420u);
    EXPECT_EQ(desc.mip_levels, 1u);
  }
  // Black bars: RGBA zero.
  const auto colors = d3d.background_colors();
  ASSERT_EQ(colors.size(), 1u);
  EXPECT_EQ(colors[0].r_or_y + colors[0].g_or_cb + colors[0].b_or_cr + colors[0].a, 0.0f);
  EXPECT_EQ(d3d.live_output_views(), 4u);

  // Colours left to no driver default: full-range RGB in, studio range out
  // with the matrix a player guesses for 1920x1080 (BT.709), no automatic
  // enhancements, all on the one processor.
  using Setting = platform::fake::FakeD3D11::ColorSetting;
  const platform::d3d11::VideoProcessorColorSpace rgb_full{.rgb_range = platform::d3d11::rgb_range_full};
  const platform::d3d11::VideoProcessorColorSpace bt709_studio{
      .ycbcr_matrix = platform::d3d11::ycbcr_matrix_bt709, .nominal_range = platform::d3d11::nominal_range_16_235};
  auto settings = d3d.color_settings();
  ASSERT_EQ(settings.size(), 3u);
  const std::uint64_t processor = settings[0].processor;
  for (auto& setting : settings) {
    EXPECT_EQ(setting.processor, processor);
    setting.processor = 0;
  }
  EXPECT_EQ(settings, (std::vector<Setting>{{0, Setting::Call::StreamColorSpace, 0, rgb_full, false},
                                            {0, Setting::Call::OutputColorSpace, 0, bt709_studio, false},
                                            {0, Setting::Call::StreamAutoProcessingMode, 0, {}, false}}));
}

// Below the HD sizes a player guesses BT.601, and the converter converts
// with it; the rule follows the output, never the capture size.
TEST_F(GpuConverterTest, SmallOutputsConvertWithBt601) {
  auto converter = app::GpuConverter::build(*d3d.device(), *d3d.context(), 1920, 1080, 640, 360, 30);
  ASSERT_TRUE(converter) << converter.error().message;
  using Setting = platform::fake::FakeD3D11::ColorSetting;
  const auto settings = d3d.color_settings();
  const auto output = std::find_if(settings.begin(), settings.end(),
                                   [](const Setting& s) { return s.call == Setting::Call::OutputColorSpace; });
  ASSERT_NE(output, settings.end());
  EXPECT_EQ(output->color_space.ycbcr_matrix, platform::d3d11::ycbcr_matrix_bt601);
  EXPECT_EQ(output->color_space.nominal_range, platform::d3d11::nominal_range_16_235);
}

TEST_F(GpuConverterTest, CropIsLetterboxedByItsOwnAspectAndStaysForLaterFrames) {
  auto converter = build(1920, 1080);
  ASSERT_TRUE(converter);
  auto source = d3d.make_texture(1920, 1080);
  ASSERT_TRUE(converter->convert(*source, sender::FrameRect{100, 50, 740, 530}));
  ASSERT_TRUE(converter->convert(*source, std::nullopt));

  const auto blits = d3d.blits();
  ASSERT_EQ(blits.size(), 2u);
  for (const auto& blit : blits) {
    EXPECT_EQ(blit.source_rect, (Rect{100, 50, 740, 530}));
    EXPECT_EQ(blit.dest_rect, (Rect{240, 0, 1680, 1080}));
  }
}

TEST_F(GpuConverterTest, FifthConvertWithoutReturnsFindsNoFreeSurface) {
  auto converter = build(1920, 1080);
  ASSERT_TRUE(converter);
  auto source = d3d.make_texture(1920, 1080);
  std::vector<app::GpuSurface> held;
  for (int i = 0; i < 4; ++i) {
    auto surface = converter->convert(*source, std::nullopt);
    ASSERT_TRUE(surface);
    held.push_back(std::move(*surface));
  }
  auto fifth = converter->convert(*source, std::nullopt);
  ASSERT_FALSE(fifth);
  EXPECT_EQ(fifth.error().message, "no free NV12 surface although the frame mailbox holds at most two");
}

TEST_F(GpuConverterTest, FailedBlitPutsTheSurfaceBackAtTheEnd) {
  auto converter = build(1920, 1080);
  ASSERT_TRUE(converter);
  const auto* first = converter->free_surfaces.front().texture.get();
  d3d.faults().fail("video_processor_blt", platform::status::e_invalidarg, 1);
  auto source = d3d.make_texture(1920, 1080);
  auto failed = converter->convert(*source, std::nullopt);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message, "The parameter is incorrect. (0x80070057)");
  EXPECT_EQ(converter->free_surfaces.size(), 4u);
  EXPECT_EQ(converter->free_surfaces.back().texture.get(), first);
}

struct BuildFailure {
  const char* operation;
  bool empty;  // success without an object, else E_FAIL
  std::uint64_t nth;  // 0: every call
  const char* message;
};

class BuildFailures : public GpuConverterTest, public ::testing::WithParamInterface<BuildFailure> {};

TEST_P(BuildFailures, ReportTheirTextAndReleaseEverythingMade) {
  const BuildFailure& c = GetParam();
  if (c.empty) {
    d3d.faults().return_empty(c.operation, c.nth);
  } else {
    d3d.faults().fail(c.operation, platform::status::e_fail, c.nth);
  }
  auto converter = build(1920, 1080);
  ASSERT_FALSE(converter);
  EXPECT_EQ(converter.error().message, c.message);
  EXPECT_EQ(d3d.live_textures(Format::Nv12), 0u);
  EXPECT_EQ(d3d.live_output_views(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BuildFailures,
    ::testing::Values(BuildFailure{"create_texture_2d", true, 3, "D3D11 returned no NV12 texture"},
                      BuildFailure{"create_video_processor_output_view", true, 3,
                                   "D3D11 returned no video processor output view"},
                      BuildFailure{"create_texture_2d", false, 4, "Unspecified error (0x80004005)"},
                      BuildFailure{"create_video_processor", false, 0, "Unspecified error (0x80004005)"},
                      BuildFailure{"query_video_device", false, 0, "Unspecified error (0x80004005)"},
                      BuildFailure{"query_video_context", true, 0, "Invalid pointer (0x80004003)"}));

TEST_F(GpuConverterTest, EmptyInputViewIsReportedByItsText) {
  auto converter = build(1920, 1080);
  ASSERT_TRUE(converter);
  d3d.faults().return_empty("create_video_processor_input_view");
  auto source = d3d.make_texture(1920, 1080);
  auto failed = converter->convert(*source, std::nullopt);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message, "D3D11 returned no video processor input view");
  EXPECT_TRUE(d3d.blits().empty());
}

}  // namespace
}  // namespace quorvex::test
