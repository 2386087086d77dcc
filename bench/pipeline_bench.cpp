// End-to-end pipeline on the host stand-in against bare convert + encode of
// the same frames, at 1920x1080 and 30 and 60 fps, for both pacing rules.
//
// Pipeline: frames of a 60 Hz source (as the virtual desktop composes) arrive
// through the capture handler (GPU converter, frame mailbox, pacer, libx264
// transform, event thread); latency runs from the capture time the handler
// takes at arrival to the moment the frame record is flushed. The mailbox
// wait runs from the end of the frame's capture callback (the mailbox has it
// then) to its submission, which the run notes as the pipeline wraps the
// frame's surface for the encoder.
// Bare: frames at the target rate are converted by the same video processor
// and handed to a transform of the same settings, one at a time, on one
// thread; latency runs from the start of the conversion to the moment the
// output is taken.
//
// Also: frames replaced per minute, the most submissions in any one-second
// window, the pacer's wake-ups per submitted frame, and process CPU time per
// source frame (all threads, including the encoder's).
//
// Usage: pipeline_bench [seconds per run, default 10]
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
#include "platform/composite_platform.h"
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
  struct Record {
    std::uint64_t captured_ns;
    double latency_ms;
  };

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
    records_.push_back({captured, static_cast<double>(static_cast<std::uint64_t>(now_ns) - captured) / 1e6});
    current_.clear();
    return {};
  }
  std::vector<Record> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }

 private:
  std::vector<std::byte> current_;  // only the event thread writes records
  std::mutex mutex_;
  std::vector<Record> records_;
};

// The host's media framework, noting the moment of every submission: the
// pipeline wraps each frame's surface in a buffer right before it hands the
// frame to the encoder.
class SubmissionClock final : public mf::MediaFoundation {
 public:
  explicit SubmissionClock(mf::MediaFoundation& inner) : inner_(inner) {}

  platform::Status mf_startup(std::uint32_t version, std::uint32_t flags) override {
    return inner_.mf_startup(version, flags);
  }
  platform::Status mf_shutdown() override { return inner_.mf_shutdown(); }
  platform::Result<std::vector<std::shared_ptr<mf::Activate>>> mft_enum_ex(
      const platform::Guid& category, std::uint32_t flags, const mf::RegisterTypeInfo& input_type,
      const mf::RegisterTypeInfo& output_type) override {
    return inner_.mft_enum_ex(category, flags, input_type, output_type);
  }
  platform::Result<std::vector<std::shared_ptr<mf::Activate>>> mft_enum2(const platform::Guid& category,
                                                                         std::uint32_t flags,
                                                                         const mf::RegisterTypeInfo& input_type,
                                                                         const mf::RegisterTypeInfo& output_type,
                                                                         platform::LocallyUniqueId adapter) override {
    return inner_.mft_enum2(category, flags, input_type, output_type, adapter);
  }
  platform::Result<mf::CreatedDeviceManager> mf_create_dxgi_device_manager() override {
    return inner_.mf_create_dxgi_device_manager();
  }
  platform::Result<std::shared_ptr<mf::MediaType>> mf_create_media_type() override {
    return inner_.mf_create_media_type();
  }
  platform::Result<std::shared_ptr<mf::Sample>> mf_create_sample() override { return inner_.mf_create_sample(); }
  platform::Result<std::shared_ptr<mf::MediaBuffer>> mf_create_memory_buffer(std::uint32_t max_length) override {
    return inner_.mf_create_memory_buffer(max_length);
  }
  platform::Result<std::shared_ptr<mf::MediaBuffer>> mf_create_dxgi_surface_buffer(
      std::shared_ptr<d3d::Texture2D> texture, std::uint32_t subresource_index,
      bool bottom_up_when_linear) override {
    {
      std::lock_guard lock(mutex_);
      submissions_.push_back(Clock::now());
    }
    return inner_.mf_create_dxgi_surface_buffer(std::move(texture), subresource_index, bottom_up_when_linear);
  }
  platform::Status co_initialize_ex(std::uint32_t coinit) override { return inner_.co_initialize_ex(coinit); }
  void co_uninitialize() override { inner_.co_uninitialize(); }

  std::vector<Clock::time_point> submissions() {
    std::lock_guard lock(mutex_);
    return submissions_;
  }

 private:
  mf::MediaFoundation& inner_;
  std::mutex mutex_;
  std::vector<Clock::time_point> submissions_;
};

// Standard error of the pipeline: nothing of it is needed here.
class NoLines final : public app::diagnostics::Sink {
 public:
  void write(const app::diagnostics::Line&) override {}
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
  std::vector<double> waits_ms;
  double cpu_ms_per_frame = 0;
  double seconds = 0;
  std::uint64_t replaced = 0;
  std::uint64_t pacer_wakeups = 0;
  std::uint64_t outputs = 0;
  std::size_t max_per_second = 0;
};

// The most instants (in order) that fit in any window of one second.
std::size_t max_in_one_second(const std::vector<Clock::time_point>& instants) {
  std::size_t most = 0;
  std::size_t first = 0;
  for (std::size_t last = 0; last < instants.size(); ++last) {
    while (instants[last] - instants[first] >= std::chrono::seconds(1)) {
      ++first;
    }
    most = std::max(most, last - first + 1);
  }
  return most;
}

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

// The rate the virtual desktop composes at.
constexpr std::uint32_t source_hz = 60;

Figures run_pipeline(std::uint32_t fps, sender::PacingRule pacing, double seconds) {
  platform::host::HostPlatform host;
  SubmissionClock media(host.media_foundation());
  platform::CompositePlatform composite(host.win32(), host.d3d11(), media, host.graphics_capture());
  platform::ScopedPlatform installed(composite);
  auto device = make_device(host);
  auto sink = std::make_shared<TimingSink>();
  app::OutputStreams streams{std::make_shared<app::RecordOutput>(sink), std::make_shared<NoLines>()};
  app::Config config;
  config.fps = fps;
  config.width = width;
  config.height = height;
  config.bitrate = bitrate;
  config.pacing = pacing;
  auto capture = app::Capture::create(
      wgc_capture::HandlerContext<app::Config>{config, device.device, device.context}, streams);
  if (!capture) {
    std::fprintf(stderr, "pipeline: %s\n", capture.error().message.c_str());
    std::exit(1);
  }
  Scene scene = make_scene(*device.device);
  wgc_capture::CaptureControl control;
  const auto interval = sender::frame_interval_for_fps(source_hz);
  const int frames = static_cast<int>(seconds * source_hz);
  // Per source frame: the wall clock just before its callback (the record's
  // capture time is taken inside it) and the end of the callback.
  std::vector<std::uint64_t> called_ns(static_cast<std::size_t>(frames));
  std::vector<Clock::time_point> returned(static_cast<std::size_t>(frames));
  const double cpu_before = cpu_seconds();
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i) {
    scene.paint(i);
    std::this_thread::sleep_until(start + i * interval);
    wgc_capture::Frame frame{*device.device, nullptr, scene.picture, *device.context, 0, width, height};
    called_ns[static_cast<std::size_t>(i)] = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    if (auto arrived = (*capture)->on_frame_arrived(frame, control); !arrived) {
      std::fprintf(stderr, "pipeline: %s\n", arrived.error().message.c_str());
      std::exit(1);
    }
    returned[static_cast<std::size_t>(i)] = Clock::now();
  }
  std::this_thread::sleep_until(start + frames * interval);
  if (auto finished = (*capture)->finish_and_report(); !finished) {
    std::fprintf(stderr, "pipeline finish: %s\n", finished.error().message.c_str());
  }
  Figures figures;
  figures.seconds = seconds;
  {
    auto state = (*capture)->encoder().state().lock();
    figures.outputs = state->encoded_frames;
    figures.replaced = state->mailbox.frames_replaced();
    figures.pacer_wakeups = state->pacer_wakeups;
  }
  figures.cpu_ms_per_frame = (cpu_seconds() - cpu_before) * 1000.0 / frames;
  // Records come out in submission order, so the k-th record is the k-th
  // submission; its capture time tells which source frame it is.
  const auto records = sink->records();
  const auto submissions = media.submissions();
  for (std::size_t k = 0; k < records.size() && k < submissions.size(); ++k) {
    figures.latencies_ms.push_back(records[k].latency_ms);
    const auto after = std::upper_bound(called_ns.begin(), called_ns.end(), records[k].captured_ns);
    if (after == called_ns.begin()) {
      continue;
    }
    const Clock::time_point in_mailbox = returned[static_cast<std::size_t>(after - called_ns.begin() - 1)];
    figures.waits_ms.push_back(
        std::max(0.0, std::chrono::duration<double, std::milli>(submissions[k] - in_mailbox).count()));
  }
  figures.max_per_second = max_in_one_second(submissions);
  return figures;
}

Figures run_bare(std::uint32_t fps, double seconds) {
  const int frames = static_cast<int>(seconds * fps);
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
  figures.seconds = seconds;
  const auto interval = sender::frame_interval_for_fps(fps);
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

void print_row(std::uint32_t fps, const char* path, const Figures& f, const Figures& bare) {
  const double p50 = percentile(f.latencies_ms, 0.5);
  const double p95 = percentile(f.latencies_ms, 0.95);
  std::printf("%-4u %-7s %7zu %7.2f %7.2f %8.2f %8.2f", fps, path, f.latencies_ms.size(), p50, p95,
              p50 / std::max(percentile(bare.latencies_ms, 0.5), 1e-9),
              p95 / std::max(percentile(bare.latencies_ms, 0.95), 1e-9));
  if (f.waits_ms.empty()) {
    std::printf("%9s %9s %13s %7s %11s", "-", "-", "-", "-", "-");
  } else {
    std::printf("%9.2f %9.2f %13.1f %7zu %11.2f", percentile(f.waits_ms, 0.5), percentile(f.waits_ms, 0.95),
                static_cast<double>(f.replaced) * 60.0 / f.seconds, f.max_per_second,
                f.outputs > 0 ? static_cast<double>(f.pacer_wakeups) / static_cast<double>(f.outputs) : 0.0);
  }
  std::printf(" %9.2f\n", f.cpu_ms_per_frame);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  std::printf("source %u Hz, %.0f s per run; ratios against the bare loop of the same run\n", source_hz, seconds);
  std::printf("%-4s %-7s %7s %7s %7s %8s %8s %9s %9s %13s %7s %11s %9s\n", "fps", "path", "records", "p50_ms",
              "p95_ms", "ratio50", "ratio95", "wait_p50", "wait_p95", "replaced/min", "max/1s", "wakeups/sub",
              "cpu_ms/f");
  for (std::uint32_t fps : {30u, 60u}) {
    const Figures bare = run_bare(fps, seconds);
    const Figures strict = run_pipeline(fps, sender::PacingRule::Strict, seconds);
    const Figures grid = run_pipeline(fps, sender::PacingRule::Grid, seconds);
    print_row(fps, "bare", bare, bare);
    print_row(fps, "strict", strict, bare);
    print_row(fps, "grid", grid, bare);
  }
  return 0;
}
