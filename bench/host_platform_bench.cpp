// The host stand-in against the bare libraries it is built on:
//  - the video processor (a blit through the D3D11 interfaces) against the
//    same libyuv calls made directly, for the capture sizes that matter;
//  - the encoder transform (ProcessInput ... METransformHaveOutput ...
//    ProcessOutput, one frame at a time) against x264_encoder_encode with the
//    same settings, at 1080p; the transform's run also reports the latency
//    from ProcessInput to METransformHaveOutput (p50/p95).
#include <benchmark/benchmark.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_uv.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "platform/host/host_platform.h"
#include "platform/host/host_texture.h"
#include "platform/host/scene_painter.h"
#include "platform/host/x264_encoder.h"

namespace quorvex::platform::host {
namespace {

struct BlitCase {
  int in_w, in_h;
  Rect dest;  // in a 1920x1080 output
};

const BlitCase blit_cases[] = {
    {1920, 1080, {0, 0, 1920, 1080}},
    {2560, 1440, {0, 0, 1920, 1080}},
    {1280, 1024, {285, 0, 1635, 1080}},  // letterboxed
};

void paint_scene(std::vector<std::uint8_t>& bgra, int w, int h) {
  ScenePainter painter;
  bgra.resize(static_cast<std::size_t>(w) * h * 4);
  painter.paint_display({bgra.data(), w * 4, w, h}, w, h, 10, {1, 2});
}

void BM_HostVideoProcessor(benchmark::State& state) {
  const BlitCase& c = blit_cases[state.range(0)];
  HostPlatform platform;
  const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_1};
  auto created = *platform.d3d11().create_device(d3d11::DriverType::Hardware, 0x20, levels, 7);
  auto video_device = *created.device->query_video_device();
  auto context = *created.context->query_video_context();
  d3d11::Texture2DDesc desc;
  desc.width = static_cast<std::uint32_t>(c.in_w);
  desc.height = static_cast<std::uint32_t>(c.in_h);
  auto input = *created.device->create_texture_2d(desc);
  HostTexture& in = *HostTexture::from(*input);
  std::vector<std::uint8_t> scene;
  paint_scene(scene, c.in_w, c.in_h);
  for (int y = 0; y < c.in_h; ++y) {
    std::copy_n(scene.data() + static_cast<std::size_t>(y) * c.in_w * 4, c.in_w * 4, in.data() + y * in.pitch());
  }
  desc.width = 1920;
  desc.height = 1080;
  desc.format = d3d11::Format::Nv12;
  auto output = *created.device->create_texture_2d(desc);
  d3d11::VideoProcessorContentDesc content{0, {60, 1}, static_cast<std::uint32_t>(c.in_w),
                                           static_cast<std::uint32_t>(c.in_h), {60, 1}, 1920, 1080, 0};
  auto enumerator = *video_device->create_video_processor_enumerator(content);
  auto processor = *video_device->create_video_processor(*enumerator, 0);
  auto view = *video_device->create_video_processor_output_view(**output->query_resource(), *enumerator, {});
  context->video_processor_set_stream_dest_rect(*processor, 0, true, c.dest);
  context->video_processor_set_output_background_color(*processor, false, {0, 0, 0, 0});
  // The matrix the program picks by output size: BT.601 goes through
  // libyuv, BT.709 through the stand-in's own converter.
  const bool bt709 = state.range(1) == 709;
  context->video_processor_set_output_color_space(
      *processor, {.ycbcr_matrix = bt709 ? d3d11::ycbcr_matrix_bt709 : d3d11::ycbcr_matrix_bt601,
                   .nominal_range = d3d11::nominal_range_16_235});
  for (auto _ : state) {
    // Per frame as the program does it: an input view, one blit.
    auto input_view = *video_device->create_video_processor_input_view(**input->query_resource(), *enumerator, {});
    d3d11::VideoProcessorStream stream;
    stream.input_surface = input_view;
    if (!context->video_processor_blt(*processor, *view, 0, std::span(&stream, 1))) state.SkipWithError("blit");
    benchmark::ClobberMemory();
  }
}

void BM_BareLibyuv(benchmark::State& state) {
  const BlitCase& c = blit_cases[state.range(0)];
  std::vector<std::uint8_t> src;
  paint_scene(src, c.in_w, c.in_h);
  std::vector<std::uint8_t> y(1920 * 1080), uv(1920 * 540);
  const int dw = c.dest.right - c.dest.left;
  const int dh = c.dest.bottom - c.dest.top;
  std::vector<std::uint8_t> scratch(static_cast<std::size_t>(c.in_w) * c.in_h * 3 / 2 + c.in_w * 2);
  for (auto _ : state) {
    if (c.in_w == dw && c.in_h == dh) {
      libyuv::ARGBToNV12(src.data(), c.in_w * 4, y.data(), 1920, uv.data(), 1920, dw, dh);
    } else {
      // Bars, conversion at the source size, then the planes scaled.
      libyuv::SetPlane(y.data(), 1920, c.dest.left, 1080, 16);
      libyuv::SetPlane(y.data() + c.dest.right, 1920, 1920 - c.dest.right, 1080, 16);
      libyuv::SetPlane(uv.data(), 1920, (c.dest.left / 2) * 2, 540, 128);
      libyuv::SetPlane(uv.data() + ((c.dest.right + 1) / 2) * 2, 1920, 1920 - ((c.dest.right + 1) / 2) * 2, 540, 128);
      std::uint8_t* sy = scratch.data();
      std::uint8_t* suv = sy + static_cast<std::size_t>(c.in_w) * c.in_h;
      libyuv::ARGBToNV12(src.data(), c.in_w * 4, sy, c.in_w, suv, c.in_w, c.in_w, c.in_h);
      libyuv::ScalePlane(sy, c.in_w, c.in_w, c.in_h, y.data() + c.dest.left, 1920, dw, dh, libyuv::kFilterBilinear);
      libyuv::UVScale(suv, c.in_w, c.in_w / 2, c.in_h / 2, uv.data() + (c.dest.left / 2) * 2, 1920,
                      (c.dest.right + 1) / 2 - c.dest.left / 2, dh / 2, libyuv::kFilterBilinear);
    }
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_HostVideoProcessor)
    ->ArgsProduct({{0, 1, 2}, {601, 709}})
    ->ArgNames({"case", "matrix"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareLibyuv)->DenseRange(0, 2)->ArgName("case")->Unit(benchmark::kMillisecond);

constexpr int enc_w = 1920;
constexpr int enc_h = 1080;
constexpr std::uint32_t enc_fps = 60;
constexpr std::uint32_t enc_bitrate = 8'000'000;
constexpr int distinct_frames = 16;

// Frames of the moving scene in NV12, converted once.
std::vector<std::vector<std::uint8_t>> nv12_frames() {
  std::vector<std::vector<std::uint8_t>> frames;
  ScenePainter painter;
  std::vector<std::uint8_t> bgra(static_cast<std::size_t>(enc_w) * enc_h * 4);
  for (int i = 0; i < distinct_frames; ++i) {
    painter.paint_display({bgra.data(), enc_w * 4, enc_w, enc_h}, enc_w, enc_h, static_cast<std::uint32_t>(i * 3),
                          {static_cast<std::uint32_t>(i), 0});
    std::vector<std::uint8_t> nv12(static_cast<std::size_t>(enc_w) * enc_h * 3 / 2);
    libyuv::ARGBToNV12(bgra.data(), enc_w * 4, nv12.data(), enc_w, nv12.data() + enc_w * enc_h, enc_w, enc_w, enc_h);
    frames.push_back(std::move(nv12));
  }
  return frames;
}

H264EncoderSettings bench_settings() {
  H264EncoderSettings s;
  s.width = enc_w;
  s.height = enc_h;
  s.fps_numerator = enc_fps;
  s.bitrate_bps = enc_bitrate;
  s.gop_size = enc_fps;
  s.quality_vs_speed = 33;
  return s;
}

void BM_BareX264(benchmark::State& state) {
  const auto frames = nv12_frames();
  x264_param_t params;
  if (!make_x264_params(bench_settings(), params)) return state.SkipWithError("params");
  x264_t* encoder = x264_encoder_open(&params);
  std::int64_t pts = 0;
  for (auto _ : state) {
    const auto& f = frames[pts % distinct_frames];
    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_NV12;
    in.img.i_plane = 2;
    in.img.plane[0] = const_cast<std::uint8_t*>(f.data());
    in.img.plane[1] = const_cast<std::uint8_t*>(f.data() + enc_w * enc_h);
    in.img.i_stride[0] = enc_w;
    in.img.i_stride[1] = enc_w;
    in.i_pts = pts++;
    x264_picture_t out;
    x264_nal_t* nals;
    int count;
    const int size = x264_encoder_encode(encoder, &nals, &count, &in, &out);
    // The same one copy the transform makes into its output sample.
    std::vector<std::uint8_t> unit(nals[0].p_payload, nals[0].p_payload + size);
    benchmark::DoNotOptimize(unit.data());
  }
  x264_encoder_close(encoder);
}

void BM_HostTransform(benchmark::State& state) {
  const auto frames = nv12_frames();
  HostPlatform platform;
  auto& mf = platform.media_foundation();
  (void)mf.mf_startup(mf::mf_version, 0);
  auto transform = *(*mf.mft_enum_ex(guids::mft_category_video_encoder, 0x44,
                                     {guids::mf_media_type_video, guids::mf_video_format_nv12},
                                     {guids::mf_media_type_video, guids::mf_video_format_h264}))
                        .front()
                        ->activate_object();
  (void)(*transform->get_attributes())->set_uint32(guids::mf_transform_async_unlock, 1);
  auto events = *transform->query_event_generator();
  auto codec = *transform->query_codec_api();
  (void)codec->set_value(guids::codecapi_av_enc_common_rate_control_mode, mf::Variant::ui4(0));
  (void)codec->set_value(guids::codecapi_av_enc_common_mean_bit_rate, mf::Variant::ui4(enc_bitrate));
  (void)codec->set_value(guids::codecapi_av_enc_common_quality_vs_speed, mf::Variant::ui4(33));
  for (const Guid& subtype : {guids::mf_video_format_h264, guids::mf_video_format_nv12}) {
    auto type = *mf.mf_create_media_type();
    (void)type->set_guid(guids::mf_mt_major_type, guids::mf_media_type_video);
    (void)type->set_guid(guids::mf_mt_subtype, subtype);
    (void)type->set_uint64(guids::mf_mt_frame_size, (std::uint64_t{enc_w} << 32) | enc_h);
    (void)type->set_uint64(guids::mf_mt_frame_rate, (std::uint64_t{enc_fps} << 32) | 1);
    if (subtype == guids::mf_video_format_h264) {
      (void)type->set_uint32(guids::codecapi_av_enc_mpv_gop_size, enc_fps);
      (void)transform->set_output_type(0, *type, 0);
    } else {
      (void)transform->set_input_type(0, *type, 0);
    }
  }
  (void)transform->process_message(mf::MftMessage::NotifyBeginStreaming, nullptr);
  (void)transform->process_message(mf::MftMessage::NotifyStartOfStream, nullptr);
  std::vector<std::shared_ptr<mf::MediaBuffer>> buffers;
  for (const auto& f : frames) {
    auto buffer = *mf.mf_create_memory_buffer(static_cast<std::uint32_t>(f.size()));
    auto locked = *buffer->lock();
    std::copy(f.begin(), f.end(), locked.data);
    (void)buffer->unlock();
    (void)buffer->set_current_length(static_cast<std::uint32_t>(f.size()));
    buffers.push_back(buffer);
  }
  std::vector<double> latencies_ms;
  bool requested = false;
  std::int64_t index = 0;
  for (auto _ : state) {
    while (!requested) {
      requested = *(*events->get_event(0))->get_type() == mf::me_transform_need_input;
    }
    auto sample = *mf.mf_create_sample();
    (void)sample->add_buffer(buffers[index % distinct_frames]);
    (void)sample->set_sample_time(index++ * 166'666);
    const auto submitted = std::chrono::steady_clock::now();
    if (!transform->process_input(0, *sample, 0)) return state.SkipWithError("ProcessInput");
    requested = false;
    for (;;) {
      const std::uint32_t type = *(*events->get_event(0))->get_type();
      if (type == mf::me_transform_need_input) {
        requested = true;
      } else if (type == mf::me_transform_have_output) {
        latencies_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - submitted).count());
        break;
      }
    }
    mf::OutputDataBuffer out;
    std::uint32_t st = 0;
    if (!transform->process_output(0, out, st)) return state.SkipWithError("ProcessOutput");
    benchmark::DoNotOptimize(out.sample.get());
  }
  std::sort(latencies_ms.begin(), latencies_ms.end());
  if (!latencies_ms.empty()) {
    // Nearest rank.
    auto rank = [&](double p) {
      const auto r = static_cast<std::size_t>(std::ceil(p * latencies_ms.size()));
      return latencies_ms[std::max<std::size_t>(r, 1) - 1];
    };
    state.counters["input_to_have_output_p50_ms"] = rank(0.50);
    state.counters["input_to_have_output_p95_ms"] = rank(0.95);
  }
  (void)mf.mf_shutdown();
}

BENCHMARK(BM_BareX264)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_HostTransform)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

}  // namespace
}  // namespace quorvex::platform::host
