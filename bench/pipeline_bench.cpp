// End-to-end pipeline on the host stand-in against bare convert + encode of
// the same frames, at 1920x1080 and 30 and 60 fps.
//
// Pipeline: frames of the virtual display arrive at the frame rate through
// the capture handler (GPU converter, frame mailbox, pacer, libx264
// transform, event thread); latency runs from the capture time the handler
// takes at arrival to the moment the frame record is flushed.
// Bare: the same frames are converted by the same video processor and handed
// to a transform of the same settings, one at a time, on one thread; latency
// runs from the start of the conversion to the moment the output is taken.
//
// Also: the pacer's wake-ups per submitted frame, and process CPU time per
// frame (all threads, including the encoder's), for both.
//
// Usage: pipeline_bench [seconds per run, default 5]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/pipeline/capture_handler.h"
#include "app/pipeline/gpu_converter.h"
#include "platform/host/host_platform.h"
#include "platform/host/host_texture.h"
#include "platform/host/scene_painter.h"

namespace {

using namespace quorvex;
namespace d3d = platform::d3d11;
namespace mf = platform::mf;
namespace guids = platform::guids;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t width = 1920;
constexpr std::uint32_t height = 1080;
constexpr std::uint32_t bitrate = 8'000'000;

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  // Nearest rank.
  std::size_t rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
  rank = std::clamp<std::size_t>(rank, 1, values.size());
  return values[rank - 1];
}

// Timestamps every record as it is flushed; reads the capture time out of
// the record header (bytes 12..20, little-endian nanoseconds).
class TimingSink final : public sender::ByteSink {
 public:
  std::expected<void, sender::IoError> write_all(std::span<const std::byte> bytes) override {
    current_.insert(current_.end(), bytes.begin(), bytes.end());
    return {};
  }
  std::expected<void, sender::IoError> flush() override {
    const auto now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    std::uint64_t captured = 0;
    for (int i = 7; i >= 0; --i) {
      captured = (captured << 8) | std::to_integer<std::uint64_t>(current_[12 + static_cast<std::size_t>(i)]);
    }
    std::lock_guard lock(mutex_);
    latencies_ms_.push_back(static_cast<double>(static_cast<std::uint64_t>(now_ns) - captured) / 1e6);
    current_.clear();
    return {};
  }
  std::vector<double> latencies_ms() {
    std::lock_guard lock(mutex_);
    return latencies_ms_;
  }

 private:
  std::vector<std::byte> current_;  // only the event thread writes records
  std::mutex mutex_;
  std::vector<double> latencies_ms_;
};

// Keeps the event thread's per-window latency breakdown lines.
class BreakdownLines final : public app::LineSink {
 public:
  void write_line(std::string_view line) override {
    if (line.starts_with("latency_breakdown")) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
    }
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

struct Scene {
  std::shared_ptr<d3d::Texture2D> picture;
  platform::host::HostTexture* pixels = nullptr;
  platform::host::ScenePainter painter;
  void paint(int i) {
    painter.paint_display({pixels->data(), pixels->pitch(), static_cast<int>(width), static_cast<int>(height)},
                          width, height, static_cast<std::uint32_t>(i),
                          testing::FrameClockStamp{static_cast<std::uint32_t>(i), 0});
  }
};

struct Figures {
  std::vector<double> latencies_ms;
  double cpu_ms_per_frame = 0;
  std::uint64_t frames = 0;
  std::uint64_t outputs = 0;
  std::uint64_t replaced = 0;
  std::uint64_t deferred = 0;
  std::uint64_t pacer_wakeups = 0;
  std::uint64_t pacer_submissions = 0;
  std::vector<std::string> breakdown;
};

d3d::CreatedDevice make_device(platform::host::HostPlatform& host) {
  const d3d::FeatureLevel levels[] = {d3d::FeatureLevel::Level_11_1, d3d::FeatureLevel::Level_11_0};
  auto device = host.d3d11().create_device(d3d::DriverType::Hardware, d3d::create_device_bgra_support, levels,
                                           d3d::sdk_version);
  if (!device) {
    std::fprintf(stderr, "no device: %s\n", device.error().text().c_str());
    std::exit(1);
  }
  return *device;
}

Scene make_scene(d3d::Device& device) {
  Scene scene;
  d3d::Texture2DDesc desc;
  desc.width = width;
  desc.height = height;
  scene.picture = *device.create_texture_2d(desc);
  scene.pixels = platform::host::HostTexture::from(*scene.picture);
  return scene;
}

Figures run_pipeline(std::uint32_t fps, int frames) {
  platform::host::HostPlatform host;
  platform::ScopedPlatform installed(host);
  auto device = make_device(host);
  auto sink = std::make_shared<TimingSink>();
  auto lines = std::make_shared<BreakdownLines>();
  app::OutputStreams streams{std::make_shared<app::RecordOutput>(sink), lines};
  app::Config config;
  config.fps = fps;
  config.width = width;
  config.height = height;
  config.bitrate = bitrate;
  auto capture = app::Capture::create(
      wgc_capture::HandlerContext<app::Config>{config, device.device, device.context}, streams);
  if (!capture) {
    std::fprintf(stderr, "pipeline: %s\n", capture.error().message.c_str());
    std::exit(1);
  }
  Scene scene = make_scene(*device.device);
  wgc_capture::CaptureControl control;
  const auto interval = std::chrono::nanoseconds(1'000'000'000 / fps);
  const double cpu_before = cpu_seconds();
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i) {
    scene.paint(i);
    std::this_thread::sleep_until(start + i * interval);
    wgc_capture::Frame frame{*device.device, nullptr, scene.picture, *device.context, 0, width, height};
    if (auto arrived = (*capture)->on_frame_arrived(frame, control); !arrived) {
      std::fprintf(stderr, "pipeline: %s\n", arrived.error().message.c_str());
      std::exit(1);
    }
  }
  std::this_thread::sleep_until(start + frames * interval);
  if (auto finished = (*capture)->finish_and_report(); !finished) {
    std::fprintf(stderr, "pipeline finish: %s\n", finished.error().message.c_str());
  }
  Figures figures;
  figures.frames = static_cast<std::uint64_t>(frames);
  {
    auto state = (*capture)->encoder().state().lock();
    figures.outputs = state->encoded_frames;
    figures.replaced = state->mailbox.frames_replaced;
    figures.deferred = state->mailbox.frames_deferred;
    figures.pacer_wakeups = state->pacer_wakeups;
    figures.pacer_submissions = state->pacer_submissions;
  }
  figures.cpu_ms_per_frame = (cpu_seconds() - cpu_before) * 1000.0 / frames;
  figures.latencies_ms = sink->latencies_ms();
  figures.breakdown = lines->lines();
  return figures;
}

Figures run_bare(std::uint32_t fps, int frames) {
  platform::host::HostPlatform host;
  platform::ScopedPlatform installed(host);
  auto device = make_device(host);
  mf::MediaFoundation& media = host.media_foundation();
  static_cast<void>(media.mf_startup(mf::mf_version, 0));
  auto transform = *(*media.mft_enum_ex(guids::mft_category_video_encoder, 0x44,
                                        {guids::mf_media_type_video, guids::mf_video_format_nv12},
                                        {guids::mf_media_type_video, guids::mf_video_format_h264}))
                        .front()
                        ->activate_object();
  static_cast<void>((*transform->get_attributes())->set_uint32(guids::mf_transform_async_unlock, 1));
  auto events = *transform->query_event_generator();
  auto codec = *transform->query_codec_api();
  static_cast<void>(codec->set_value(guids::codecapi_av_enc_common_rate_control_mode, mf::Variant::ui4(0)));
  static_cast<void>(codec->set_value(guids::codecapi_av_enc_common_mean_bit_rate, mf::Variant::ui4(bitrate)));
  static_cast<void>(codec->set_value(guids::codecapi_av_enc_common_quality_vs_speed, mf::Variant::ui4(33)));
  static_cast<void>(codec->set_value(guids::codecapi_av_low_latency_mode, mf::Variant::boolean(true)));
  for (const platform::Guid& subtype : {guids::mf_video_format_h264, guids::mf_video_format_nv12}) {
    auto type = *media.mf_create_media_type();
    static_cast<void>(app::configure_video_type(*type, subtype, width, height, fps));
    if (subtype == guids::mf_video_format_h264) {
      static_cast<void>(type->set_uint32(guids::mf_mt_avg_bitrate, bitrate));
      static_cast<void>(type->set_uint32(guids::mf_mt_mpeg2_profile, mf::eav_enc_h264v_profile_base));
      static_cast<void>(type->set_uint32(guids::codecapi_av_enc_mpv_default_b_picture_count, 0));
      static_cast<void>(type->set_uint32(guids::codecapi_av_enc_mpv_gop_size, fps));
      static_cast<void>(transform->set_output_type(0, *type, 0));
    } else {
      static_cast<void>(transform->set_input_type(0, *type, 0));
    }
  }
  static_cast<void>(transform->process_message(mf::MftMessage::NotifyBeginStreaming, nullptr));
  static_cast<void>(transform->process_message(mf::MftMessage::NotifyStartOfStream, nullptr));
  auto converter = *app::GpuConverter::build(*device.device, *device.context, width, height, width, height, fps);
  Scene scene = make_scene(*device.device);

  Figures figures;
  figures.frames = static_cast<std::uint64_t>(frames);
  const auto interval = std::chrono::nanoseconds(1'000'000'000 / fps);
  int input_requests = 0;
  const double cpu_before = cpu_seconds();
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i) {
    scene.paint(i);
    std::this_thread::sleep_until(start + i * interval);
    const auto t0 = Clock::now();
    auto surface = *converter.convert(*scene.picture, std::nullopt);
    auto buffer = *media.mf_create_dxgi_surface_buffer(surface.texture, 0, false);
    auto sample = *media.mf_create_sample();
    static_cast<void>(sample->add_buffer(buffer));
    static_cast<void>(sample->set_sample_time(i * std::int64_t{10'000'000 / fps}));
    static_cast<void>(sample->set_sample_duration(10'000'000 / fps));
    while (input_requests == 0) {
      auto event = *events->get_event(0);
      input_requests += *event->get_type() == mf::me_transform_need_input ? 1 : 0;
    }
    --input_requests;
    static_cast<void>(transform->process_input(0, *sample, 0));
    for (bool out = false; !out;) {
      auto event = *events->get_event(0);
      const auto type = *event->get_type();
      if (type == mf::me_transform_need_input) {
        ++input_requests;
      } else if (type == mf::me_transform_have_output) {
        mf::OutputDataBuffer data;
        auto offered = *media.mf_create_sample();
        static_cast<void>(offered->add_buffer(*media.mf_create_memory_buffer(4'000'000)));
        data.sample = offered;
        std::uint32_t status = 0;
        if (transform->process_output(0, data, status) && data.sample) {
          auto contiguous = *data.sample->convert_to_contiguous_buffer();
          auto locked = *contiguous->lock();
          std::vector<std::byte> copy(locked.current_length);
          std::memcpy(copy.data(), locked.data, locked.current_length);
          static_cast<void>(contiguous->unlock());
          out = true;
          ++figures.outputs;
        }
      }
    }
    figures.latencies_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    converter.free_surfaces.push_back(std::move(surface));
  }
  figures.cpu_ms_per_frame = (cpu_seconds() - cpu_before) * 1000.0 / frames;
  static_cast<void>(transform->process_message(mf::MftMessage::NotifyEndStreaming, nullptr));
  static_cast<void>(media.mf_shutdown());
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  std::printf("%-4s %-9s %7s %7s %8s %8s %9s %9s %9s %12s %10s\n", "fps", "path", "frames", "records",
              "p50_ms", "p95_ms", "cpu_ms/f", "replaced", "deferred", "wakeups/sub", "pacer_sub");
  for (std::uint32_t fps : {30u, 60u}) {
    const int frames = static_cast<int>(seconds * fps);
    const Figures bare = run_bare(fps, frames);
    const Figures pipe = run_pipeline(fps, frames);
    for (const auto& [name, f] : {std::pair{"bare", &bare}, std::pair{"pipeline", &pipe}}) {
      const double per_submit =
          f->outputs > 0 ? static_cast<double>(f->pacer_wakeups) / static_cast<double>(f->outputs) : 0.0;
      std::printf("%-4u %-9s %7llu %7zu %8.2f %8.2f %9.2f %9llu %9llu %12.2f %10llu\n", fps, name,
                  static_cast<unsigned long long>(f->frames), f->latencies_ms.size(),
                  percentile(f->latencies_ms, 0.5), percentile(f->latencies_ms, 0.95), f->cpu_ms_per_frame,
                  static_cast<unsigned long long>(f->replaced), static_cast<unsigned long long>(f->deferred),
                  per_submit, static_cast<unsigned long long>(f->pacer_submissions));
    }
    for (const auto& line : pipe.breakdown) {
      std::printf("     %s\n", line.c_str());
    }
    std::printf("%-4u ratio     p50 %.2f  p95 %.2f\n", fps,
                percentile(pipe.latencies_ms, 0.5) / std::max(percentile(bare.latencies_ms, 0.5), 1e-9),
                percentile(pipe.latencies_ms, 0.95) / std::max(percentile(bare.latencies_ms, 0.95), 1e-9));
  }
  return 0;
}
