#include "sender/frame_repeat.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

namespace quorvex::sender {
namespace {

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;
using Repeat = FrameRepeat<>;

constexpr auto interval = 33'333'333ns;
const TimePoint t0 = TimePoint{} + 1000s;

// A keyframe is asked for at t0 with the pipeline in a given situation.
struct SituationCase {
  const char* name;
  Repeat::Situation situation;
  bool due;
};

class RepeatSituations : public testing::TestWithParam<SituationCase> {};

TEST_P(RepeatSituations, LastFrameGoesAgainOneIntervalAfterTheRequestOnlyWhenNothingNewerCanCarryIt) {
  Repeat repeat(interval);
  repeat.keyframe_requested(t0);
  const auto due = repeat.due(GetParam().situation);
  ASSERT_EQ(due.has_value(), GetParam().due);
  if (due) {
    EXPECT_EQ(due->at, t0 + interval);
    EXPECT_EQ(due->reason, Repeat::Reason::Keyframe);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RepeatSituations,
    testing::Values(
        SituationCase{"StillScreen", {.last_frame_kept = true}, true},
        SituationCase{"NothingEverEncoded", {.last_frame_kept = false}, false},
        SituationCase{"FrameWaitingCarriesTheRequest", {.last_frame_kept = true, .frame_waiting = true}, false},
        SituationCase{"NewerFrameInsideTheEncoder", {.last_frame_kept = true, .frames_in_encoder = 1}, false},
        SituationCase{"Paused", {.last_frame_kept = true, .paused = true}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameRepeat, FirstSightingOfARequestCountsUntilAKeyframeIsForced) {
  Repeat repeat(interval);
  const Repeat::Situation still{.last_frame_kept = true};
  EXPECT_EQ(repeat.due(still), std::nullopt) << "nothing asked for";
  repeat.keyframe_requested(t0);
  // The pacer sees the same request again on every pass: the clock must
  // not restart, or a busy pipeline would push the repeat back for ever.
  repeat.keyframe_requested(t0 + 20ms);
  ASSERT_TRUE(repeat.due(still));
  EXPECT_EQ(repeat.due(still)->at, t0 + interval);
  repeat.keyframe_forced();
  EXPECT_EQ(repeat.due(still), std::nullopt);
  repeat.keyframe_requested(t0 + 1s);
  EXPECT_EQ(repeat.due(still)->at, t0 + 1s + interval);
}

}  // namespace
}  // namespace quorvex::sender
