// One capture session, the way the parent drives it, against every encoder
// personality: start, frames, KEYFRAME, PAUSE and RESUME, a resized source,
// and the end of the session. Whatever the encoder's habits, the records
// must keep coming, every keyframe record must start a stream a new viewer
// can decode, and the session must end with its summary and no error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/pipeline/capture_handler.h"
#include "manual_clock.h"
#include "pipeline_support.h"
#include "platform/fake/fake_encoder_personality.h"

namespace quorvex::test {
namespace {

using platform::fake::EncoderPersonality;

// NAL unit types of an Annex B access unit, in order.
std::vector<int> nal_types(const std::vector<std::byte>& bytes) {
  std::vector<int> types;
  for (std::size_t p = 0; p + 3 < bytes.size(); ++p) {
    if (bytes[p] == std::byte{0} && bytes[p + 1] == std::byte{0} && bytes[p + 2] == std::byte{1}) {
      types.push_back(std::to_integer<int>(bytes[p + 3]) & 0x1F);
      p += 2;
    }
  }
  return types;
}

// SPS (7) and PPS (8) before the first IDR slice (5): a decoder can start here.
bool starts_a_stream(const std::vector<std::byte>& payload) {
  const auto types = nal_types(payload);
  const auto idr = std::find(types.begin(), types.end(), 5);
  return idr != types.end() && std::find(types.begin(), idr, 7) != idr && std::find(types.begin(), idr, 8) != idr;
}

class PersonalitySession : public FakePlatformTest, public ::testing::WithParamInterface<EncoderPersonality> {
 protected:
  static constexpr std::uint32_t fps = 60;
  // A little more than the frame interval, so the pacer defers no frame for
  // long and none displaces another.
  static constexpr auto frame_spacing = std::chrono::milliseconds(20);
  // Frames a phase may take at most before its condition must hold.
  static constexpr int phase_frames = 60;

  void SetUp() override {
    GetParam().apply(transform());
    config.fps = fps;
  }

  void TearDown() override {
    // A failed assertion leaves the session running; end it before the fakes go.
    if (capture) {
      static_cast<void>(capture->finish_and_report());
    }
  }

  // One captured frame of the given size, as the capture layer delivers it.
  void frame(std::uint32_t width, std::uint32_t height) {
    auto texture = d3d.make_texture(width, height);
    wgc_capture::Frame f{*d3d.device(), nullptr, texture, *d3d.context(), 0, width, height};
    auto handled = capture->on_frame_arrived(f, control);
    ASSERT_TRUE(handled) << handled.error().message;
    std::this_thread::sleep_for(frame_spacing);
  }

  // Frames at the display's pace until `done` holds; false when it never did.
  bool frames_until(const std::function<bool()>& done, std::uint32_t width = 1920, std::uint32_t height = 1080) {
    for (int i = 0; i < phase_frames && !done(); ++i) {
      frame(width, height);
      if (::testing::Test::HasFatalFailure()) {
        return false;
      }
    }
    return eventually(done, std::chrono::seconds(2));
  }

  std::size_t keyframe_records() {
    std::size_t count = 0;
    for (const auto& record : outputs.records()) {
      count += record.keyframe ? 1 : 0;
    }
    return count;
  }
  std::uint64_t encoded_frames() { return capture->encoder().state().lock()->encoded_frames; }

  app::Config config;
  app::ManualClock clock;
  std::unique_ptr<app::Capture> capture;
  wgc_capture::CaptureControl control;
};

TEST_P(PersonalitySession, KeepsRecordsComingAndEveryKeyframeDecodable) {
  auto created = app::Capture::create(
      wgc_capture::HandlerContext<app::Config>{config, d3d.device(), d3d.context()}, outputs.streams(), clock);
  ASSERT_TRUE(created) << created.error().message;
  capture = std::move(*created);

  // Start: frames become records.
  ASSERT_TRUE(frames_until([&] { return outputs.record_count() >= 5; })) << "records: " << outputs.record_count();

  // KEYFRAME, as the control reader applies it.
  config.keyframe_request->store(true);
  ASSERT_TRUE(frames_until([&] { return keyframe_records() >= 2; })) << "no keyframe for the request";

  // PAUSE: the frames of a paused capture are not encoded.
  config.paused->store(true);
  const std::uint64_t before_pause = encoded_frames();
  for (int i = 0; i < 5; ++i) {
    ASSERT_NO_FATAL_FAILURE(frame(1920, 1080));
  }
  // A frame the pacer still held when the pause began may go in.
  EXPECT_LE(encoded_frames(), before_pause + 1);

  // RESUME, which also asks for a keyframe.
  config.paused->store(false);
  config.keyframe_request->store(true);
  ASSERT_TRUE(frames_until([&] { return keyframe_records() >= 3; })) << "no keyframe after RESUME";

  // The source changes size: frames of the new size reach the encoder.
  const std::uint64_t before_resize = encoded_frames();
  ASSERT_TRUE(frames_until(
      [&] {
        auto state = capture->encoder().state().lock();
        return state->converter && state->converter->input_width == 1280 &&
               state->encoded_frames >= before_resize + 3;
      },
      1280, 720))
      << "no frame of the new size was encoded";

  // Stop: every accepted frame comes out, the summary is printed once.
  auto finished = capture->finish_and_report();
  ASSERT_TRUE(finished) << finished.error().message;
  const auto records = outputs.records();
  EXPECT_EQ(records.size(), encoded_frames());
  ASSERT_FALSE(records.empty());
  EXPECT_TRUE(records.front().keyframe);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].keyframe) {
      EXPECT_TRUE(starts_a_stream(records[i].payload)) << "keyframe record " << i << " starts no stream";
    }
    if (i > 0) {
      EXPECT_LT(records[i - 1].timestamp_ns, records[i].timestamp_ns) << "record " << i;
    }
  }
  const auto summary = outputs.lines_starting("native_encoder_summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_NE(summary[0].find(" encoded_frames=" + std::to_string(records.size()) + " "), std::string::npos)
      << summary[0];
  EXPECT_EQ(outputs.lines_starting("error:"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Table, PersonalitySession, ::testing::ValuesIn(platform::fake::encoder_personalities),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvex::test
