// The whole pipeline on the host stand-in: frames of the virtual display go
// through the capture handler, the GPU converter, the mailbox, the libx264
// transform and the event thread, and come out as frame records whose
// payloads ffmpeg decodes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/pipeline/capture_handler.h"
#include "pipeline_support.h"
#include "platform/host/host_platform.h"
#include "platform/host/host_texture.h"
#include "platform/host/scene_painter.h"

namespace quorvex::test {
namespace {

namespace d3d = platform::d3d11;
using platform::host::HostTexture;

std::string run_command(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
      out.append(buffer, n);
    }
    ::pclose(pipe);
  }
  return out;
}

// NAL unit types of a start-code delimited access unit.
std::vector<int> nal_types(const std::vector<std::byte>& bytes) {
  std::vector<int> types;
  for (std::size_t p = 0; p + 3 < bytes.size(); ++p) {
    if (bytes[p] == std::byte{0} && bytes[p + 1] == std::byte{0} && bytes[p + 2] == std::byte{1}) {
      types.push_back(std::to_integer<int>(bytes[p + 3]) & 0x1F);
    }
  }
  return types;
}

TEST(HostPipeline, VirtualDisplayFramesBecomeDecodableRecordsStartingWithAKeyframe) {
  platform::host::HostPlatform host;
  platform::ScopedPlatform installed(host);
  MemoryOutputs outputs;
  constexpr int frames = 120;

  const d3d::FeatureLevel levels[] = {d3d::FeatureLevel::Level_11_1, d3d::FeatureLevel::Level_11_0};
  auto device = host.d3d11().create_device(d3d::DriverType::Hardware, d3d::create_device_bgra_support, levels,
                                           d3d::sdk_version);
  ASSERT_TRUE(device);
  app::Config config;
  config.fps = 60;
  auto capture = app::Capture::create(
      wgc_capture::HandlerContext<app::Config>{config, device->device, device->context}, outputs.streams());
  ASSERT_TRUE(capture) << capture.error().message;

  d3d::Texture2DDesc desc;
  desc.width = 1920;
  desc.height = 1080;
  auto picture = device->device->create_texture_2d(desc);
  ASSERT_TRUE(picture);
  HostTexture& pixels = *HostTexture::from(**picture);
  platform::host::ScenePainter painter;
  wgc_capture::CaptureControl control;
  for (int i = 0; i < frames; ++i) {
    painter.paint_display({pixels.data(), pixels.pitch(), 1920, 1080}, 1920, 1080, static_cast<std::uint32_t>(i),
                          testing::FrameClockStamp{static_cast<std::uint32_t>(i), 0});
    wgc_capture::Frame frame{*device->device, nullptr, *picture, *device->context, 0, 1920, 1080};
    ASSERT_TRUE((*capture)->on_frame_arrived(frame, control));
    // One frame at a time, so none is displaced and all 120 are encoded.
    ASSERT_TRUE(eventually([&] {
      return (*capture)->encoder().state().lock()->encoded_frames == static_cast<std::uint64_t>(i + 1);
    }));
  }
  ASSERT_TRUE((*capture)->finish_and_report());

  const auto records = outputs.records();
  ASSERT_EQ(records.size(), static_cast<std::size_t>(frames));
  EXPECT_TRUE(records[0].keyframe);
  const auto first = nal_types(records[0].payload);
  EXPECT_NE(std::find(first.begin(), first.end(), 7), first.end()) << "no SPS in the first record";
  EXPECT_NE(std::find(first.begin(), first.end(), 8), first.end()) << "no PPS in the first record";
  EXPECT_NE(std::find(first.begin(), first.end(), 5), first.end()) << "no IDR slice in the first record";

  const auto path = std::filesystem::temp_directory_path() /
                    ("qvx-pipeline-" + std::to_string(::getpid()) + ".h264");
  {
    std::ofstream out(path, std::ios::binary);
    for (const auto& record : records) {
      out.write(reinterpret_cast<const char*>(record.payload.data()),
                static_cast<std::streamsize>(record.payload.size()));
    }
  }
  const std::string report = run_command(std::string(QVX_FFPROBE) +
                                         " -v error -f h264 -count_frames -select_streams v:0 -show_entries "
                                         "stream=width,height,nb_read_frames -of default=nw=1 '" +
                                         path.string() + "' 2>&1");
  std::filesystem::remove(path);
  EXPECT_NE(report.find("width=1920"), std::string::npos) << report;
  EXPECT_NE(report.find("height=1080"), std::string::npos) << report;
  EXPECT_NE(report.find("nb_read_frames=120"), std::string::npos) << report;
  const auto summary = outputs.lines_starting("native_encoder_summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_NE(summary[0].find("captured_frames=120 encoded_frames=120 frames_replaced=0"), std::string::npos)
      << summary[0];
}

TEST(HostPipeline, ProbeSetsUpTheEncoderAndDropsItWithItsSettingLines) {
  platform::host::HostPlatform host;
  platform::ScopedPlatform installed(host);
  MemoryOutputs outputs;
  const d3d::FeatureLevel levels[] = {d3d::FeatureLevel::Level_11_1, d3d::FeatureLevel::Level_11_0};
  auto device = host.d3d11().create_device(d3d::DriverType::Hardware,
                                           d3d::create_device_bgra_support | d3d::create_device_video_support,
                                           levels, d3d::sdk_version);
  ASSERT_TRUE(device);
  auto encoder = app::HardwareEncoder::create(device->device, device->context, 1920, 1080, 30, 8'000'000,
                                              std::make_shared<std::atomic<bool>>(false), outputs.streams());
  ASSERT_TRUE(encoder) << encoder.error().message;
  encoder->reset();
  EXPECT_EQ(outputs.lines(), (std::vector<std::string>{"encoder_setting rate_control=cbr accepted=true",
                                                       "encoder_setting mean_bitrate=8000000 accepted=true",
                                                       "encoder_setting quality_vs_speed=33 accepted=true",
                                                       "encoder_setting low_latency=true accepted=true",
                                                       "encoder_setting low_latency=true verified=true",
                                                       "encoder_candidate name=x264_H.264_Encoder_(host_stand-in) "
                                                       "index=1 candidates=1 accepted=true"}));
}

}  // namespace
}  // namespace quorvex::test
