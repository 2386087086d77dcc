// The libx264 transform end to end: 300 frames of the virtual display, made
// the way the program makes them (composed at 1920x1080, scaled to NV12 by
// the video processor, handed over as DXGI-surface samples), encoded at
// 640x360 30 fps and decoded again by ffmpeg.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "platform/host/host_h264_transform.h"
#include "platform/host/host_platform.h"
#include "platform/host/scene_painter.h"
#include "testing/frame_clock.h"

namespace quorvex::platform::host {
namespace {

constexpr std::uint32_t width = 640;
constexpr std::uint32_t height = 360;
constexpr std::uint32_t fps = 30;
constexpr std::uint32_t gop = 30;
constexpr std::uint32_t bitrate = 1'000'000;
constexpr int frame_count = 300;  // 10 s of content
constexpr int forced_keyframe_at = 45;
constexpr int surfaces = 4;

struct AccessUnit {
  std::vector<std::uint8_t> bytes;
  bool clean_point = false;
  std::int64_t time_100ns = -1;
};

struct EncodeRun {
  std::vector<AccessUnit> units;
  int outputs_after_drain = 0;
  bool drain_completed = false;
  int max_delayed = -1;
  std::string failure;
};

std::string run_command(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

EncodeRun encode_virtual_display() {
  EncodeRun run;
  HostPlatform platform;
  auto& mf = platform.media_foundation();
  (void)mf.mf_startup(mf::mf_version, 0);
  const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_1};
  auto created = *platform.d3d11().create_device(d3d11::DriverType::Hardware, d3d11::create_device_bgra_support,
                                                 levels, d3d11::sdk_version);
  auto video_device = *created.device->query_video_device();
  auto video_context = *created.context->query_video_context();
  d3d11::Texture2DDesc desc;
  desc.width = 1920;
  desc.height = 1080;
  auto picture = *created.device->create_texture_2d(desc);
  HostTexture& bgra = *HostTexture::from(*picture);
  d3d11::VideoProcessorContentDesc content{0, {fps, 1}, 1920, 1080, {fps, 1}, width, height, 0};
  auto enumerator = *video_device->create_video_processor_enumerator(content);
  auto processor = *video_device->create_video_processor(*enumerator, 0);
  video_context->video_processor_set_stream_dest_rect(*processor, 0, true, Rect{0, 0, width, height});
  auto input_view = *video_device->create_video_processor_input_view(**picture->query_resource(), *enumerator, {});
  std::vector<std::shared_ptr<d3d11::Texture2D>> nv12;
  std::vector<std::shared_ptr<d3d11::VideoProcessorOutputView>> views;
  for (int i = 0; i < surfaces; ++i) {
    d3d11::Texture2DDesc d;
    d.width = width;
    d.height = height;
    d.format = d3d11::Format::Nv12;
    nv12.push_back(*created.device->create_texture_2d(d));
    views.push_back(*video_device->create_video_processor_output_view(**nv12.back()->query_resource(), *enumerator, {}));
  }

  auto transform = *(*mf.mft_enum_ex(guids::mft_category_video_encoder, 0x44,
                                     {guids::mf_media_type_video, guids::mf_video_format_nv12},
                                     {guids::mf_media_type_video, guids::mf_video_format_h264}))
                        .front()
                        ->activate_object();
  (void)(*transform->get_attributes())->set_uint32(guids::mf_transform_async_unlock, 1);
  auto events = *transform->query_event_generator();
  auto codec = *transform->query_codec_api();
  (void)codec->set_value(guids::codecapi_av_enc_common_rate_control_mode, mf::Variant::ui4(0));
  (void)codec->set_value(guids::codecapi_av_enc_common_mean_bit_rate, mf::Variant::ui4(bitrate));
  (void)codec->set_value(guids::codecapi_av_enc_common_quality_vs_speed, mf::Variant::ui4(33));
  (void)codec->set_value(guids::codecapi_av_low_latency_mode, mf::Variant::boolean(true));
  for (const Guid& subtype : {guids::mf_video_format_h264, guids::mf_video_format_nv12}) {
    auto type = *mf.mf_create_media_type();
    (void)type->set_guid(guids::mf_mt_major_type, guids::mf_media_type_video);
    (void)type->set_guid(guids::mf_mt_subtype, subtype);
    (void)type->set_uint64(guids::mf_mt_frame_size, (std::uint64_t{width} << 32) | height);
    (void)type->set_uint64(guids::mf_mt_frame_rate, (std::uint64_t{fps} << 32) | 1);
    if (subtype == guids::mf_video_format_h264) {
      (void)type->set_uint32(guids::mf_mt_avg_bitrate, bitrate);
      (void)type->set_uint32(guids::mf_mt_mpeg2_profile, mf::eav_enc_h264v_profile_base);
      (void)type->set_uint32(guids::codecapi_av_enc_mpv_default_b_picture_count, 0);
      (void)type->set_uint32(guids::codecapi_av_enc_mpv_gop_size, gop);
      // Labels only (nothing here reads colours): other ones than the
      // program's, and full range, so every mapping is seen at least once.
      (void)type->set_uint32(guids::mf_mt_video_primaries, mf::mf_video_primaries_bt2020);
      (void)type->set_uint32(guids::mf_mt_transfer_function, mf::mf_video_trans_func_709);
      (void)type->set_uint32(guids::mf_mt_yuv_matrix, mf::mf_video_transfer_matrix_bt709);
      (void)type->set_uint32(guids::mf_mt_video_nominal_range, mf::mf_nominal_range_0_255);
      if (auto set = transform->set_output_type(0, *type, 0); !set) run.failure = "output type: " + set.error().text();
    } else if (auto set = transform->set_input_type(0, *type, 0); !set) {
      run.failure = "input type: " + set.error().text();
    }
  }
  (void)transform->process_message(mf::MftMessage::NotifyBeginStreaming, nullptr);
  (void)transform->process_message(mf::MftMessage::NotifyStartOfStream, nullptr);

  ScenePainter painter;
  int submitted = 0;
  auto take_output = [&] {
    mf::OutputDataBuffer out;
    std::uint32_t st = 0;
    if (!transform->process_output(0, out, st) || !out.sample) {
      run.failure = "ProcessOutput failed";
      return;
    }
    AccessUnit unit;
    unit.clean_point = out.sample->get_uint32(guids::mf_sample_extension_clean_point).value_or(0) != 0;
    unit.time_100ns = out.sample->get_sample_time().value_or(-1);
    auto buffer = *out.sample->convert_to_contiguous_buffer();
    auto locked = *buffer->lock();
    unit.bytes.assign(locked.data, locked.data + locked.current_length);
    (void)buffer->unlock();
    run.units.push_back(std::move(unit));
  };
  // Every submitted frame must come out before the drain is asked for.
  for (int guard = 0; guard < 10 * frame_count && run.failure.empty(); ++guard) {
    if (static_cast<int>(run.units.size()) == frame_count) break;
    auto event = events->get_event(0);
    if (!event || (*event)->get_status().value_or(1) != 0) {
      run.failure = "event failed";
      break;
    }
    const std::uint32_t type = *(*event)->get_type();
    if (type == mf::me_transform_need_input && submitted < frame_count) {
      const testing::FrameClockStamp stamp{static_cast<std::uint32_t>(submitted), 1000u + submitted};
      painter.paint_display({bgra.data(), bgra.pitch(), 1920, 1080}, 1920, 1080, static_cast<std::uint32_t>(submitted), stamp);
      d3d11::VideoProcessorStream stream;
      stream.input_surface = input_view;
      (void)video_context->video_processor_blt(*processor, *views[submitted % surfaces], 0, std::span(&stream, 1));
      if (submitted == forced_keyframe_at) {
        (void)codec->set_value(guids::codecapi_av_enc_video_force_key_frame, mf::Variant::ui4(1));
      }
      auto sample = *mf.mf_create_sample();
      (void)sample->add_buffer(*mf.mf_create_dxgi_surface_buffer(nv12[submitted % surfaces], 0, false));
      (void)sample->set_sample_time(submitted * std::int64_t{10'000'000 / fps});
      (void)sample->set_sample_duration(10'000'000 / fps);
      if (auto in = transform->process_input(0, *sample, 0); !in) {
        run.failure = "ProcessInput: " + in.error().text();
      }
      ++submitted;
    } else if (type == mf::me_transform_have_output) {
      take_output();
    }
  }
  (void)transform->process_message(mf::MftMessage::NotifyEndOfStream, nullptr);
  (void)transform->process_message(mf::MftMessage::CommandDrain, nullptr);
  for (int guard = 0; guard < 100; ++guard) {
    const std::uint32_t type = *(*events->get_event(0))->get_type();
    if (type == mf::me_transform_drain_complete) {
      run.drain_completed = true;
      break;
    }
    if (type == mf::me_transform_have_output) {
      ++run.outputs_after_drain;
      take_output();
    }
  }
  run.max_delayed = dynamic_cast<HostH264Transform&>(*transform).max_delayed_frames();
  (void)mf.mf_shutdown();
  return run;
}

class HostH264Transform300Frames : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    run_ = new EncodeRun(encode_virtual_display());
    stream_path_ = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                             ("qvx-host-transform-" + std::to_string(::getpid()) + ".h264"));
    std::ofstream out(*stream_path_, std::ios::binary);
    for (const auto& unit : run_->units) {
      out.write(reinterpret_cast<const char*>(unit.bytes.data()), static_cast<std::streamsize>(unit.bytes.size()));
    }
  }
  static void TearDownTestSuite() {
    std::filesystem::remove(*stream_path_);
    delete stream_path_;
    delete run_;
  }
  static EncodeRun* run_;
  static std::filesystem::path* stream_path_;
};
EncodeRun* HostH264Transform300Frames::run_ = nullptr;
std::filesystem::path* HostH264Transform300Frames::stream_path_ = nullptr;

TEST_F(HostH264Transform300Frames, EveryFrameComesOutBeforeTheDrainAndNothingIsDelayed) {
  ASSERT_EQ(run_->failure, "");
  EXPECT_EQ(run_->units.size(), static_cast<std::size_t>(frame_count));
  EXPECT_EQ(run_->outputs_after_drain, 0);
  EXPECT_TRUE(run_->drain_completed);
  EXPECT_EQ(run_->max_delayed, 0);
  for (int i = 0; i < static_cast<int>(run_->units.size()); ++i) {
    ASSERT_EQ(run_->units[i].time_100ns, i * std::int64_t{10'000'000 / fps}) << i;
  }
}

TEST_F(HostH264Transform300Frames, IdrEveryGopAndOnTheForcedKeyframe) {
  // Every 30 frames, at the forced keyframe 45, and every 30 frames from there.
  const std::set<int> expected{0, 30, 45, 75, 105, 135, 165, 195, 225, 255, 285};
  std::set<int> clean_points;
  for (int i = 0; i < static_cast<int>(run_->units.size()); ++i) {
    if (run_->units[i].clean_point) clean_points.insert(i);
    // Annex B, and an IDR slice (NAL type 5) exactly on clean points.
    const auto& b = run_->units[i].bytes;
    ASSERT_GE(b.size(), 5u);
    ASSERT_TRUE(b[0] == 0 && b[1] == 0 && (b[2] == 1 || (b[2] == 0 && b[3] == 1))) << i;
    bool idr_slice = false;
    for (std::size_t p = 0; p + 3 < b.size(); ++p) {
      if (b[p] == 0 && b[p + 1] == 0 && b[p + 2] == 1 && (b[p + 3] & 0x1F) == 5) idr_slice = true;
    }
    EXPECT_EQ(idr_slice, run_->units[i].clean_point) << i;
  }
  EXPECT_EQ(clean_points, expected);
}

TEST_F(HostH264Transform300Frames, AverageBitRateStaysWithinTenPercentOfTheTarget) {
  std::size_t bytes = 0;
  for (const auto& unit : run_->units) bytes += unit.bytes.size();
  const double seconds = static_cast<double>(frame_count) / fps;
  const double bits_per_second = bytes * 8.0 / seconds;
  EXPECT_LE(bits_per_second, 1.1 * bitrate);
  EXPECT_GE(bits_per_second, 0.5 * bitrate) << "a CBR stream of moving content far below its target";
}

TEST_F(HostH264Transform300Frames, FfprobeDecodesEveryFrameAsConstrainedBaselineAtTheConfiguredSizeAndColours) {
  const std::string report = run_command(std::string(QVX_FFPROBE) +
                                         " -v error -f h264 -count_frames -select_streams v:0 -show_entries "
                                         "stream=width,height,profile,nb_read_frames,color_range,color_space,"
                                         "color_transfer,color_primaries -of default=nw=1 '" +
                                         stream_path_->string() + "' 2>&1");
  EXPECT_NE(report.find("width=640"), std::string::npos) << report;
  EXPECT_NE(report.find("height=360"), std::string::npos) << report;
  EXPECT_NE(report.find("profile=Constrained Baseline"), std::string::npos) << report;
  EXPECT_NE(report.find("nb_read_frames=300"), std::string::npos) << report;
  EXPECT_NE(report.find("color_range=pc"), std::string::npos) << report;
  EXPECT_NE(report.find("color_space=bt709"), std::string::npos) << report;
  EXPECT_NE(report.find("color_transfer=bt709"), std::string::npos) << report;
  EXPECT_NE(report.find("color_primaries=bt2020"), std::string::npos) << report;
}

TEST_F(HostH264Transform300Frames, FrameClockStripSurvivesDownscalingAndH264) {
  const std::string raw = run_command(std::string(QVX_FFMPEG) + " -v error -f h264 -i '" + stream_path_->string() +
                                      "' -f rawvideo -pix_fmt gray - 2>/dev/null");
  const std::size_t frame_bytes = std::size_t{width} * height;
  ASSERT_EQ(raw.size(), frame_bytes * frame_count);
  const auto placement = testing::strip_placement(0, 0, 0, 0, 1920, 1080, 0, 0, width, height);
  int read = 0;
  for (int i = 0; i < frame_count; ++i) {
    const auto stamp = testing::decode_frame_clock_luma(
        {reinterpret_cast<const std::uint8_t*>(raw.data()) + i * frame_bytes, width, width, height}, placement);
    if (stamp) {
      EXPECT_EQ(stamp->frame_number, static_cast<std::uint32_t>(i));
      EXPECT_EQ(stamp->wall_time_ms, 1000u + i);
      ++read;
    }
  }
  // Allow the odd frame to be refused as unreadable, never misread.
  EXPECT_GE(read, frame_count * 95 / 100);
}

}  // namespace
}  // namespace quorvex::platform::host
