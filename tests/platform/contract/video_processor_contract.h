// Contract: the video processor's rectangles as the GPU conversion uses
// them: the source rectangle picks what is shown, the destination rectangle
// where, the background fills the rest (black here), NV12 out.
#pragma once

#include <gtest/gtest.h>

#include "contract/contract_factory.h"

namespace quorvex::platform::contract {

template <class Factory>
class VideoProcessorContract : public ::testing::Test {
 protected:
  struct Setup {
    std::shared_ptr<d3d11::Texture2D> input;
    std::shared_ptr<d3d11::Texture2D> output;
    std::shared_ptr<d3d11::VideoContext> context;
    std::shared_ptr<d3d11::VideoProcessorEnumerator> enumerator;
    std::shared_ptr<d3d11::VideoProcessor> processor;
    std::shared_ptr<d3d11::VideoProcessorOutputView> output_view;
  };

  Setup make(std::uint32_t in_w, std::uint32_t in_h, std::uint32_t out_w, std::uint32_t out_h) {
    Setup s;
    const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_1};
    auto created = platform_->d3d11().create_device(d3d11::DriverType::Hardware, d3d11::create_device_bgra_support,
                                                    levels, d3d11::sdk_version);
    EXPECT_TRUE(created.has_value());
    device_ = created->device;
    context_ = created->context;
    auto video_device = *device_->query_video_device();
    s.context = *context_->query_video_context();
    d3d11::Texture2DDesc in_desc;
    in_desc.width = in_w;
    in_desc.height = in_h;
    in_desc.format = d3d11::Format::B8G8R8A8Unorm;
    s.input = *device_->create_texture_2d(in_desc);
    d3d11::Texture2DDesc out_desc = in_desc;
    out_desc.width = out_w;
    out_desc.height = out_h;
    out_desc.format = d3d11::Format::Nv12;
    out_desc.bind_flags = d3d11::bind_render_target | d3d11::bind_video_encoder;
    s.output = *device_->create_texture_2d(out_desc);
    d3d11::VideoProcessorContentDesc content;
    content.input_frame_rate = {30, 1};
    content.input_width = in_w;
    content.input_height = in_h;
    content.output_frame_rate = {30, 1};
    content.output_width = out_w;
    content.output_height = out_h;
    s.enumerator = *video_device->create_video_processor_enumerator(content);
    s.processor = *video_device->create_video_processor(*s.enumerator, 0);
    s.output_view = *video_device->create_video_processor_output_view(**s.output->query_resource(), *s.enumerator,
                                                                       d3d11::VideoProcessorOutputViewDesc{});
    s.context->video_processor_set_output_background_color(*s.processor, false, d3d11::VideoColor{0, 0, 0, 0});
    video_device_ = video_device;
    return s;
  }

  Status blit(Setup& s) {
    auto input_view = video_device_->create_video_processor_input_view(**s.input->query_resource(), *s.enumerator,
                                                                        d3d11::VideoProcessorInputViewDesc{});
    EXPECT_TRUE(input_view.has_value());
    d3d11::VideoProcessorStream stream;
    stream.input_surface = *input_view;
    return s.context->video_processor_blt(*s.processor, *s.output_view, 0, std::span(&stream, 1));
  }

  std::uint8_t luma(Setup& s, int x, int y) { return Factory::luma(*platform_, *s.output, x, y); }

  std::unique_ptr<Platform> platform_ = Factory::create();
  std::shared_ptr<d3d11::Device> device_;
  std::shared_ptr<d3d11::DeviceContext> context_;
  std::shared_ptr<d3d11::VideoDevice> video_device_;
};
TYPED_TEST_SUITE_P(VideoProcessorContract);

// White picture, black background: luma tells picture from bars.
constexpr std::uint8_t white_luma_min = 234;
constexpr std::uint8_t black_luma_max = 17;

TYPED_TEST_P(VideoProcessorContract, DestinationRectangleGetsPictureAndTheRestIsBlack) {
  auto s = this->make(64, 64, 128, 64);
  TypeParam::write_bgra(*this->platform_, *s.input, [](int, int) { return std::array<std::uint8_t, 4>{255, 255, 255, 255}; });
  s.context->video_processor_set_stream_dest_rect(*s.processor, 0, true, Rect{32, 0, 96, 64});
  ASSERT_TRUE(this->blit(s).has_value());
  for (int x : {0, 31, 96, 127}) {
    EXPECT_LE(this->luma(s, x, 10), black_luma_max) << "x=" << x;
  }
  for (int x : {32, 64, 95}) {
    EXPECT_GE(this->luma(s, x, 10), white_luma_min) << "x=" << x;
  }
}

TYPED_TEST_P(VideoProcessorContract, SourceRectangleSelectsOnlyThatPartOfTheInput) {
  auto s = this->make(64, 64, 64, 64);
  // Left half white, right half black; the source rectangle takes the right half.
  TypeParam::write_bgra(*this->platform_, *s.input, [](int x, int) {
    const std::uint8_t v = x < 32 ? 255 : 0;
    return std::array<std::uint8_t, 4>{v, v, v, 255};
  });
  s.context->video_processor_set_stream_source_rect(*s.processor, 0, true, Rect{32, 0, 64, 64});
  s.context->video_processor_set_stream_dest_rect(*s.processor, 0, true, Rect{0, 0, 64, 64});
  ASSERT_TRUE(this->blit(s).has_value());
  for (int x : {0, 16, 32, 63}) {
    EXPECT_LE(this->luma(s, x, 32), black_luma_max) << "x=" << x;
  }
}

TYPED_TEST_P(VideoProcessorContract, RectanglesStayForLaterBlits) {
  auto s = this->make(64, 64, 64, 64);
  TypeParam::write_bgra(*this->platform_, *s.input, [](int, int) { return std::array<std::uint8_t, 4>{255, 255, 255, 255}; });
  s.context->video_processor_set_stream_dest_rect(*s.processor, 0, true, Rect{0, 0, 32, 64});
  ASSERT_TRUE(this->blit(s).has_value());
  ASSERT_TRUE(this->blit(s).has_value());
  EXPECT_GE(this->luma(s, 10, 10), white_luma_min);
  EXPECT_LE(this->luma(s, 40, 10), black_luma_max);
}

REGISTER_TYPED_TEST_SUITE_P(VideoProcessorContract, DestinationRectangleGetsPictureAndTheRestIsBlack,
                            SourceRectangleSelectsOnlyThatPartOfTheInput, RectanglesStayForLaterBlits);

}  // namespace quorvex::platform::contract
