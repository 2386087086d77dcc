// The host video processor's pixels: BT.601 and BT.709 limited-range colours, black
// letterbox bars, exact crops, odd rectangles, and a frame-clock strip that
// still reads back after the picture was scaled.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "platform/host/bgra_to_nv12.h"
#include "platform/host/checked_rows.h"
#include "platform/host/host_platform.h"
#include "platform/host/host_texture.h"
#include "platform/host/scene_painter.h"
#include "testing/frame_clock.h"

namespace quorvex::platform::host {
namespace {

struct Rgb {
  std::uint8_t r, g, b;
};

struct Yuv {
  int y, u, v;
};

Yuv bt601(Rgb c) {
  const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
  return {static_cast<int>(std::lround(16 + 65.481 * r + 128.553 * g + 24.966 * b)),
          static_cast<int>(std::lround(128 - 37.797 * r - 74.203 * g + 112.0 * b)),
          static_cast<int>(std::lround(128 + 112.0 * r - 93.786 * g - 18.214 * b))};
}

// Rec. ITU-R BT.709, studio range, in floating point.
Yuv bt709(Rgb c) {
  constexpr double kr = 0.2126, kb = 0.0722, kg = 1 - kr - kb;
  const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
  const double y = kr * r + kg * g + kb * b;
  return {static_cast<int>(std::lround(16 + 219 * y)), static_cast<int>(std::lround(128 + 224 * (b - y) / (2 * (1 - kb)))),
          static_cast<int>(std::lround(128 + 224 * (r - y) / (2 * (1 - kr))))};
}

Yuv studio(Rgb c, std::uint32_t matrix) { return matrix == d3d11::ycbcr_matrix_bt709 ? bt709(c) : bt601(c); }

class Processor {
 public:
  Processor(int in_w, int in_h, int out_w, int out_h) {
    const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_1};
    auto created = platform_.d3d11().create_device(d3d11::DriverType::Hardware, d3d11::create_device_bgra_support,
                                                   levels, d3d11::sdk_version);
    device_ = created->device;
    video_device_ = *device_->query_video_device();
    context_ = *created->context->query_video_context();
    d3d11::Texture2DDesc desc;
    desc.width = static_cast<std::uint32_t>(in_w);
    desc.height = static_cast<std::uint32_t>(in_h);
    input_ = std::static_pointer_cast<HostTexture>(*device_->create_texture_2d(desc));
    desc.width = static_cast<std::uint32_t>(out_w);
    desc.height = static_cast<std::uint32_t>(out_h);
    desc.format = d3d11::Format::Nv12;
    output_ = std::static_pointer_cast<HostTexture>(*device_->create_texture_2d(desc));
    d3d11::VideoProcessorContentDesc content;
    content.input_width = desc.width;
    content.input_height = desc.height;
    content.output_width = desc.width;
    content.output_height = desc.height;
    enumerator_ = *video_device_->create_video_processor_enumerator(content);
    processor_ = *video_device_->create_video_processor(*enumerator_, 0);
    view_ = *video_device_->create_video_processor_output_view(**output_->query_resource(), *enumerator_, {});
    context_->video_processor_set_output_background_color(*processor_, false, {0, 0, 0, 0});
  }

  void paint(const std::function<Rgb(int, int)>& pixel) {
    for (int y = 0; y < input_->height(); ++y) {
      for (int x = 0; x < input_->width(); ++x) {
        const Rgb c = pixel(x, y);
        std::uint8_t* p = input_->data() + y * input_->pitch() + x * 4;
        p[0] = c.b;
        p[1] = c.g;
        p[2] = c.r;
        p[3] = 255;
      }
    }
  }

  void blit(std::optional<Rect> source, std::optional<Rect> dest) {
    if (source) context_->video_processor_set_stream_source_rect(*processor_, 0, true, *source);
    if (dest) context_->video_processor_set_stream_dest_rect(*processor_, 0, true, *dest);
    ASSERT_TRUE(try_blit().has_value());
  }

  Status try_blit() {
    auto input_view = video_device_->create_video_processor_input_view(**input_->query_resource(), *enumerator_, {});
    d3d11::VideoProcessorStream stream;
    stream.input_surface = *input_view;
    return context_->video_processor_blt(*processor_, *view_, 0, std::span(&stream, 1));
  }

  int y(int x, int row) const { return output_->data()[row * output_->pitch() + x]; }
  Yuv at(int x, int row) const {
    const std::uint8_t* uv = output_->chroma() + (row / 2) * output_->pitch() + (x / 2) * 2;
    return {y(x, row), uv[0], uv[1]};
  }
  d3d11::VideoContext& context() { return *context_; }
  d3d11::VideoProcessor& processor() { return *processor_; }
  HostTexture& input() { return *input_; }
  HostTexture& output() { return *output_; }
  d3d11::Device& device() { return *device_; }

 private:
  HostPlatform platform_;
  std::shared_ptr<d3d11::Device> device_;
  std::shared_ptr<d3d11::VideoDevice> video_device_;
  std::shared_ptr<d3d11::VideoContext> context_;
  std::shared_ptr<HostTexture> input_;
  std::shared_ptr<HostTexture> output_;
  std::shared_ptr<d3d11::VideoProcessorEnumerator> enumerator_;
  std::shared_ptr<d3d11::VideoProcessor> processor_;
  std::shared_ptr<d3d11::VideoProcessorOutputView> view_;
};

#define EXPECT_YUV_NEAR(actual, expected, tolerance)            \
  do {                                                          \
    const Yuv a_ = (actual), e_ = (expected);                   \
    EXPECT_NEAR(a_.y, e_.y, tolerance) << "Y";                  \
    EXPECT_NEAR(a_.u, e_.u, tolerance) << "U";                  \
    EXPECT_NEAR(a_.v, e_.v, tolerance) << "V";                  \
  } while (0)

const Rgb bars[] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                    {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};

struct BarsCase {
  const char* name;
  int out_w;
  int out_h;
  std::uint32_t matrix = d3d11::ycbcr_matrix_bt601;
};

class ColourBars : public ::testing::TestWithParam<BarsCase> {};

TEST_P(ColourBars, ComeOutInTheOutputsMatrixAndLimitedRangeWithoutAShiftFromScaling) {
  // Eight 16 px bars; the output is the same size, twice or half as big.
  Processor p(128, 16, GetParam().out_w, GetParam().out_h);
  p.paint([](int x, int) { return bars[x / 16]; });
  p.context().video_processor_set_output_color_space(
      p.processor(), {.ycbcr_matrix = GetParam().matrix, .nominal_range = d3d11::nominal_range_16_235});
  p.blit(std::nullopt, std::nullopt);
  const int bar_w = GetParam().out_w / 8;
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    const Yuv got = p.at(i * bar_w + bar_w / 2, GetParam().out_h / 2);
    EXPECT_YUV_NEAR(got, studio(bars[i], GetParam().matrix), 3);  // integer matrices
  }
  EXPECT_YUV_NEAR(p.at(bar_w / 2, 2), (Yuv{235, 128, 128}), 1);              // white
  EXPECT_YUV_NEAR(p.at(7 * bar_w + bar_w / 2, 2), (Yuv{16, 128, 128}), 1);  // black
}

INSTANTIATE_TEST_SUITE_P(Sizes, ColourBars,
                         ::testing::Values(BarsCase{"same", 128, 16}, BarsCase{"up", 256, 32},
                                           BarsCase{"down", 64, 8},
                                           BarsCase{"same_bt709", 128, 16, d3d11::ycbcr_matrix_bt709},
                                           BarsCase{"up_bt709", 256, 32, d3d11::ycbcr_matrix_bt709},
                                           BarsCase{"down_bt709", 64, 8, d3d11::ycbcr_matrix_bt709}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ColorSpaceCase {
  const char* name;
  d3d11::VideoProcessorColorSpace stream;
  d3d11::VideoProcessorColorSpace output;
  bool converts;  // else the blit is refused rather than giving other colours
  std::uint32_t matrix = d3d11::ycbcr_matrix_bt601;
};

constexpr d3d11::VideoProcessorColorSpace bt601_studio{.ycbcr_matrix = d3d11::ycbcr_matrix_bt601,
                                                       .nominal_range = d3d11::nominal_range_16_235};

class ColorSpaces : public ::testing::TestWithParam<ColorSpaceCase> {};

TEST_P(ColorSpaces, AreHonouredOrTheBlitIsRefused) {
  const ColorSpaceCase c = GetParam();
  Processor p(128, 16, 128, 16);
  p.paint([](int x, int) { return bars[x / 16]; });
  p.context().video_processor_set_stream_color_space(p.processor(), 0, c.stream);
  p.context().video_processor_set_output_color_space(p.processor(), c.output);
  p.context().video_processor_set_stream_auto_processing_mode(p.processor(), 0, false);
  auto blitted = p.try_blit();
  if (!c.converts) {
    ASSERT_FALSE(blitted.has_value());
    EXPECT_EQ(blitted.error().code(), status::e_notimpl);
    return;
  }
  ASSERT_TRUE(blitted.has_value()) << blitted.error().text();
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    EXPECT_YUV_NEAR(p.at(i * 16 + 8, 8), studio(bars[i], c.matrix), 3);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ColorSpaces,
    ::testing::Values(
        ColorSpaceCase{"initial_state", {}, {}, true},
        ColorSpaceCase{"the_gpu_converters", {}, bt601_studio, true},
        ColorSpaceCase{"video_processing_usage", {.usage = 1},
                       {.usage = 1, .ycbcr_matrix = d3d11::ycbcr_matrix_bt601,
                        .nominal_range = d3d11::nominal_range_16_235},
                       true},
        ColorSpaceCase{"limited_range_rgb_input", {.rgb_range = d3d11::rgb_range_limited}, bt601_studio, false},
        ColorSpaceCase{"bt709_output", {}, {.ycbcr_matrix = d3d11::ycbcr_matrix_bt709}, true,
                       d3d11::ycbcr_matrix_bt709},
        ColorSpaceCase{"the_gpu_converters_for_hd",
                       {},
                       {.ycbcr_matrix = d3d11::ycbcr_matrix_bt709, .nominal_range = d3d11::nominal_range_16_235},
                       true,
                       d3d11::ycbcr_matrix_bt709},
        ColorSpaceCase{"full_range_output", {}, {.nominal_range = d3d11::nominal_range_0_255}, false},
        ColorSpaceCase{"xvycc_output", {}, {.ycbcr_xvycc = 1}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HostVideoProcessor, LetterboxBarsAreBlackAndThePictureFillsTheRest) {
  // 1280x1024 into 1920x1080 as the program letterboxes it.
  Processor p(1280, 1024, 1920, 1080);
  p.paint([](int, int) { return Rgb{255, 255, 255}; });
  p.blit(std::nullopt, Rect{285, 0, 1635, 1080});
  for (int x : {0, 100, 283, 284, 1635, 1800, 1919}) {
    SCOPED_TRACE(x);
    EXPECT_YUV_NEAR(p.at(x, 540), (Yuv{16, 128, 128}), 1);
  }
  for (int x : {285, 286, 960, 1633, 1634}) {
    EXPECT_NEAR(p.y(x, 540), 235, 1) << "x=" << x;
  }
}

TEST(HostVideoProcessor, CropShowsExactlyTheSourceRectangle) {
  // Quadrants: red, green / blue, white. The crop takes the green one.
  Processor p(64, 64, 64, 64);
  p.paint([](int x, int y) {
    if (y < 32) return x < 32 ? Rgb{255, 0, 0} : Rgb{0, 255, 0};
    return x < 32 ? Rgb{0, 0, 255} : Rgb{255, 255, 255};
  });
  p.blit(Rect{32, 0, 64, 32}, Rect{0, 0, 64, 64});
  const Yuv green = bt601({0, 255, 0});
  for (int row = 0; row < 64; ++row) {
    for (int x = 0; x < 64; ++x) {
      ASSERT_NEAR(p.y(x, row), green.y, 1) << x << "," << row;
    }
  }
  EXPECT_YUV_NEAR(p.at(0, 0), green, 2);
  EXPECT_YUV_NEAR(p.at(63, 63), green, 2);
}

TEST(HostVideoProcessor, OddDestinationRectangleIsExactInLumaAndBlendsStraddlingChroma) {
  Processor p(64, 48, 64, 48);
  const Rgb red{255, 0, 0};
  p.paint([&](int, int) { return red; });
  const Rect dest{3, 5, 61, 41};
  p.blit(std::nullopt, dest);
  const Yuv pic = bt601(red);
  for (int row : {4, 5, 20, 40, 41}) {
    for (int x : {2, 3, 30, 60, 61}) {
      const bool inside = x >= dest.left && x < dest.right && row >= dest.top && row < dest.bottom;
      EXPECT_NEAR(p.y(x, row), inside ? pic.y : 16, 1) << x << "," << row;
    }
  }
  // libyuv's integer matrix lands within 3 of the exact red; blends are
  // measured against what it gives inside the picture.
  const int inside_v = p.at(30, 20).v;
  EXPECT_NEAR(inside_v, pic.v, 3);
  // Chroma sample 1 covers columns 2 (bar) and 3 (picture): half of each.
  EXPECT_NEAR(p.at(3, 20).v, (128 + inside_v) / 2, 1);
  // Top-left corner sample: a quarter picture.
  EXPECT_NEAR(p.at(3, 5).v, 128 + (inside_v - 128) / 4, 1);
  EXPECT_NEAR(p.at(0, 0).v, 128, 1);
}

TEST(HostVideoProcessor, OddSizedNv12TexturesAreRefused) {
  Processor p(16, 16, 16, 16);
  d3d11::Texture2DDesc desc;
  desc.width = 63;
  desc.height = 48;
  desc.format = d3d11::Format::Nv12;
  auto odd = p.device().create_texture_2d(desc);
  ASSERT_FALSE(odd.has_value());
  EXPECT_EQ(odd.error().code(), status::e_invalidarg);
}

struct StripCase {
  const char* name;
  int in_w, in_h;     // the captured picture
  bool window;        // a window picture (strip at the client origin)
  int out_w, out_h;   // the encoder's size; the picture is letterboxed into it
};

class FrameClockAfterScaling : public ::testing::TestWithParam<StripCase> {};

TEST_P(FrameClockAfterScaling, DecodesToTheStampThatWasDrawn) {
  const StripCase c = GetParam();
  Processor p(c.in_w, c.in_h, c.out_w, c.out_h);
  ScenePainter painter;
  const testing::FrameClockStamp stamp{0x89ABCDEFu, 0x13579BDFu};
  testing::PictureView view{p.input().data(), p.input().pitch(), c.in_w, c.in_h};
  int strip_x = 0;
  int strip_y = 0;
  if (c.window) {
    WindowState window;
    window.spec.title = default_window_title;
    window.spec.bounds = Rect{0, 0, c.in_w, c.in_h};
    painter.paint_window(view, window, 77, stamp);
    strip_x = window.spec.frame.left;
    strip_y = window.spec.frame.top;
  } else {
    painter.paint_display(view, c.in_w, c.in_h, 77, stamp);
  }
  // The letterbox rectangle: aspect kept, centred.
  const double scale = std::min(static_cast<double>(c.out_w) / c.in_w, static_cast<double>(c.out_h) / c.in_h);
  const int w = static_cast<int>(std::lround(c.in_w * scale));
  const int h = static_cast<int>(std::lround(c.in_h * scale));
  const Rect dest{(c.out_w - w) / 2, (c.out_h - h) / 2, (c.out_w - w) / 2 + w, (c.out_h - h) / 2 + h};
  p.blit(std::nullopt, dest);
  const auto placement = testing::strip_placement(strip_x, strip_y, 0, 0, c.in_w, c.in_h, dest.left, dest.top,
                                                  dest.right - dest.left, dest.bottom - dest.top);
  const auto decoded = testing::decode_frame_clock_luma(
      {p.output().data(), p.output().pitch(), c.out_w, c.out_h}, placement);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, stamp);
  // The BGRA source reads back too.
  const auto source = testing::decode_frame_clock_bgra(
      {p.input().data(), p.input().pitch(), c.in_w, c.in_h}, testing::StripPlacement{double(strip_x), double(strip_y), 1, 1});
  EXPECT_EQ(source, stamp);
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, FrameClockAfterScaling,
    ::testing::Values(StripCase{"display_1080p_to_1080p", 1920, 1080, false, 1920, 1080},
                      StripCase{"display_1080p_to_360p", 1920, 1080, false, 640, 360},
                      StripCase{"display2_letterboxed_to_360p", 1280, 1024, false, 640, 360},
                      StripCase{"window_to_360p", 1296, 759, true, 640, 360}),
    [](const auto& info) { return std::string(info.param.name); });

// The converter's loops are not instrumented under the sanitizers; the rows
// they declare are. A source one row short must still be caught.
TEST(CheckedRows, AnOverreadOfTheConvertersSourceIsReportedUnderAddressSanitizer) {
#if defined(QVX_CHECKED_ROWS_ASAN)
  constexpr int width = 64;
  constexpr int height = 32;
  const std::vector<std::uint8_t> short_source(std::size_t{width} * 4 * (height - 1), 128);
  std::vector<std::uint8_t> luma(std::size_t{width} * height);
  std::vector<std::uint8_t> chroma(std::size_t{width} * height / 2);
  EXPECT_DEATH(bgra_to_nv12_bt709(short_source.data(), width * 4, luma.data(), width, chroma.data(), width, width,
                                  height),
               "heap-buffer-overflow");
#else
  GTEST_SKIP() << "only an AddressSanitizer build can read past a buffer safely";
#endif
}

}  // namespace
}  // namespace quorvex::platform::host
