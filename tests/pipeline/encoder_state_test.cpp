#include "app/pipeline/encoder_state.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "pipeline_support.h"

namespace quorvex::test {
namespace {

using platform::d3d11::Format;
namespace guids = platform::guids;

using EncoderStateTest = ManualEncoderStateTest;

struct TimelineCase {
  std::uint32_t fps;
  std::int64_t duration_100ns;
};

class SampleTimeline : public EncoderStateTest, public ::testing::WithParamInterface<TimelineCase> {};

TEST_P(SampleTimeline, SamplesSitOnAConstantRateTimelineWhateverTheCaptureTimes) {
  prepare(GetParam().fps);
  auto s = state->lock();
  std::vector<const platform::d3d11::Texture2D*> textures;
  for (int i = 0; i < 3; ++i) {
    app::PendingInput frame = converted(*s);
    textures.push_back(frame.surface.texture.get());
    ASSERT_TRUE(s->submit(std::move(frame)));
  }
  const auto inputs = transform().inputs();
  ASSERT_EQ(inputs.size(), 3u);
  const std::int64_t d = GetParam().duration_100ns;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(inputs[i].sample_time_100ns, static_cast<std::int64_t>(i) * d);
    EXPECT_EQ(inputs[i].sample_duration_100ns, d);
    // Zero copy: the encoder is handed the pool texture itself.
    EXPECT_EQ(inputs[i].texture, textures[i]);
  }
  EXPECT_EQ(s->encoded_frames, 3u);
  EXPECT_EQ(s->submitted.size(), 3u);
  EXPECT_TRUE(s->submitted.front().submitted_at.has_value());
}

INSTANTIATE_TEST_SUITE_P(Rates, SampleTimeline,
                         ::testing::Values(TimelineCase{30, 333'333}, TimelineCase{60, 166'666}));

TEST_F(EncoderStateTest, TwoKeyframeRequestsBeforeOneSubmissionForceOneKeyframe) {
  auto s = state->lock();
  s->keyframe_request->store(true);
  s->keyframe_request->store(true);
  ASSERT_TRUE(s->submit(converted(*s)));
  ASSERT_TRUE(s->submit(converted(*s)));

  int forced = 0;
  for (const auto& [api, value] : transform().set_values()) {
    if (api == guids::codecapi_av_enc_video_force_key_frame) {
      ++forced;
      EXPECT_EQ(value, platform::mf::Variant::ui4(1));
    }
  }
  EXPECT_EQ(forced, 1);
  EXPECT_EQ(outputs.lines(), (std::vector<std::string>{"encoder_control request=keyframe accepted=true"}));
  const auto inputs = transform().inputs();
  ASSERT_EQ(inputs.size(), 2u);
  EXPECT_TRUE(inputs[0].keyframe_forced);
  EXPECT_FALSE(inputs[1].keyframe_forced);
}

TEST_F(EncoderStateTest, RefusedKeyframeRecyclesTheFrameAndConsumesTheRequest) {
  media.faults().fail("set_value.force_key_frame", platform::status::e_fail);
  auto s = state->lock();
  s->keyframe_request->store(true);
  auto submitted = s->submit(converted(*s));
  ASSERT_FALSE(submitted);
  EXPECT_EQ(submitted.error().message, "Unspecified error (0x80004005)");
  EXPECT_EQ(s->converter->free_surfaces.size(), 4u);
  EXPECT_FALSE(s->keyframe_request->load());
  EXPECT_TRUE(transform().inputs().empty());
  EXPECT_TRUE(outputs.lines().empty());
}

// An encoder may refuse input it asked for (crbug.com/377749373): the frame
// waits for its next request, and the refused attempt counts nothing.
TEST_F(EncoderStateTest, RefusedInputWaitsInTheMailboxCountingNothing) {
  media.faults().fail("process_input", platform::status::mf_e_notaccepting, 1);
  auto s = state->lock();
  s->keyframe_request->store(true);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(s->apply(s->mailbox.input_requested(t0)));
  ASSERT_TRUE(s->apply(s->mailbox.frame_converted(converted(*s), t0)));
  EXPECT_TRUE(s->mailbox.pending().has_value());
  EXPECT_EQ(s->mailbox.in_flight(), 0u);
  EXPECT_EQ(s->mailbox.input_requests(), 1u);
  EXPECT_EQ(s->converter->free_surfaces.size(), 3u);
  EXPECT_EQ(s->encoded_frames, 0u);
  EXPECT_TRUE(s->submitted.empty());
  EXPECT_EQ(s->next_sample_time_100ns, 0);
  EXPECT_TRUE(s->keyframe_request->load()) << "the keyframe asked for went with the refused frame";

  ASSERT_TRUE(s->apply(s->mailbox.input_requested(t0 + std::chrono::milliseconds(1))));
  EXPECT_EQ(s->encoded_frames, 1u);
  EXPECT_EQ(s->submitted.size(), 1u);
  const auto inputs = transform().inputs();
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0].sample_time_100ns, 0) << "a hole in the timeline reads as a dropped frame";
  EXPECT_TRUE(inputs[0].keyframe_forced);
}

struct SampleFailure {
  const char* operation;
  bool empty;
  const char* message;
};

class SampleFailures : public EncoderStateTest, public ::testing::WithParamInterface<SampleFailure> {};

TEST_P(SampleFailures, ReleaseTheSurfaceInsteadOfRecyclingIt) {
  if (GetParam().empty) {
    media.faults().return_empty(GetParam().operation);
  } else {
    media.faults().fail(GetParam().operation, platform::status::e_outofmemory);
  }
  auto s = state->lock();
  auto failed = s->submit(converted(*s));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message, GetParam().message);
  EXPECT_EQ(s->converter->free_surfaces.size(), 3u);
  EXPECT_EQ(d3d.live_textures(Format::Nv12), 3u);
  EXPECT_TRUE(transform().inputs().empty());
}

constexpr const char* out_of_memory =
    "Not enough memory resources are available to complete this operation. (0x8007000E)";

INSTANTIATE_TEST_SUITE_P(
    Table, SampleFailures,
    ::testing::Values(SampleFailure{"mf_create_dxgi_surface_buffer", false, out_of_memory},
                      SampleFailure{"mf_create_dxgi_surface_buffer", true, "Invalid pointer (0x80004003)"},
                      SampleFailure{"mf_create_sample", false, out_of_memory},
                      SampleFailure{"mf_create_sample", true, "Invalid pointer (0x80004003)"},
                      SampleFailure{"sample.add_buffer", false, out_of_memory},
                      SampleFailure{"sample.set_sample_time", false, out_of_memory},
                      SampleFailure{"sample.set_sample_duration", false, out_of_memory}));

TEST_F(EncoderStateTest, RecycleWithoutConverterReleasesTheSurface) {
  auto s = state->lock();
  app::PendingInput frame = converted(*s);
  s->converter.reset();
  ASSERT_EQ(d3d.live_textures(Format::Nv12), 1u);
  auto recycled = s->recycle(std::move(frame.surface));
  ASSERT_FALSE(recycled);
  EXPECT_EQ(recycled.error().message, "GPU converter is unavailable");
  EXPECT_EQ(d3d.live_textures(Format::Nv12), 0u);
}

TEST_F(EncoderStateTest, ApplyStopsAtTheFirstErrorAndReleasesTheActionsLeft) {
  auto s = state->lock();
  app::PendingInput displaced = converted(*s);
  app::PendingInput next = converted(*s);
  s->converter.reset();
  app::MailboxActions actions;
  actions.push_back(sender::MailboxAction<app::PendingInput>::recycle(std::move(displaced)));
  actions.push_back(sender::MailboxAction<app::PendingInput>::submit(std::move(next)));
  auto applied = s->apply(std::move(actions));
  ASSERT_FALSE(applied);
  EXPECT_EQ(applied.error().message, "GPU converter is unavailable");
  EXPECT_TRUE(transform().inputs().empty());
  EXPECT_EQ(d3d.live_textures(Format::Nv12), 0u);
}

TEST_F(EncoderStateTest, EncoderMaxDepthIsTheHighWaterMarkOfSubmitted) {
  auto s = state->lock();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(s->submit(converted(*s)));
  }
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(s->recycle(std::move(s->submitted.front().surface)));
    s->submitted.pop_front();
  }
  ASSERT_TRUE(s->submit(converted(*s)));
  EXPECT_EQ(s->submitted.size(), 2u);
  EXPECT_EQ(s->encoder_max_depth, 3u);
}

// Leaves the state's mutex poisoned: a holder unwinds with an exception.
void poison(app::SharedEncoderState& state) {
  std::thread([&] {
    try {
      auto guard = state.lock();
      guard->encoded_frames = 99;
      throw std::runtime_error("thread failed while holding the state");
    } catch (const std::runtime_error&) {
    }
  }).join();
}

TEST_F(EncoderStateTest, LockReleasedWhileUnwindingPoisonsEveryLaterLock) {
  poison(*state);
  for (int i = 0; i < 2; ++i) {
    auto locked = app::lock_encoder_state(*state);
    ASSERT_FALSE(locked);
    EXPECT_EQ(locked.error().message, "encoder state lock poisoned");
  }
  // The mutex itself is free again, and a direct lock sees the mark.
  auto direct = state->lock();
  EXPECT_TRUE(direct.poisoned());
}

TEST_F(EncoderStateTest, LockReleasedNormallyDoesNotPoison) {
  { auto guard = state->lock(); }
  try {
    auto guard = state->lock();
  } catch (...) {
  }
  EXPECT_TRUE(app::lock_encoder_state(*state));
}

TEST_F(EncoderStateTest, ThreadErrorsArePrintedAndTheLastOneIsStored) {
  std::condition_variable wake;
  app::record_thread_error(*state, wake, app::Result<void>{}, *outputs.streams().diagnostics);
  app::record_thread_error(*state, wake, app::fail("first failure"), *outputs.streams().diagnostics);
  app::record_thread_error(*state, wake, app::fail("second failure"), *outputs.streams().diagnostics);
  EXPECT_EQ(outputs.lines(), (std::vector<std::string>{"error: encoder thread failed: first failure",
                                                       "error: encoder thread failed: second failure"}));
  EXPECT_EQ(state->lock()->error, "second failure");
}

TEST_F(EncoderStateTest, ThreadErrorOnAPoisonedStateIsPrintedButNotStored) {
  poison(*state);
  std::condition_variable wake;
  app::record_thread_error(*state, wake, app::fail("late failure"), *outputs.streams().diagnostics);
  EXPECT_EQ(outputs.lines(), (std::vector<std::string>{"error: encoder thread failed: late failure"}));
  EXPECT_FALSE(state->lock()->error.has_value());
}

}  // namespace
}  // namespace quorvex::test
