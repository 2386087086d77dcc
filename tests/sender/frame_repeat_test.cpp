#include "sender/frame_repeat.h"
#include "test_times.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

namespace quorvex::sender {
namespace {

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;
using Repeat = FrameRepeat<>;

using test_times::interval;
using test_times::t0;

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

// Idle refresh: the last frame went in at t0 and nothing since.
struct RefreshCase {
  const char* name;
  std::optional<std::chrono::nanoseconds> idle_refresh;
  // A keyframe asked for this long after t0; none when not asked.
  std::optional<std::chrono::nanoseconds> keyframe_after;
  Repeat::Situation situation;
  std::optional<Repeat::Due> due;
};

class RefreshSituations : public testing::TestWithParam<RefreshCase> {};

TEST_P(RefreshSituations, LastFrameGoesAgainOnceTheRefreshTimePassedWithoutInput) {
  const auto& c = GetParam();
  Repeat repeat(interval);
  repeat.idle_refresh = c.idle_refresh;
  repeat.frame_submitted(t0);
  if (c.keyframe_after) {
    repeat.keyframe_requested(t0 + *c.keyframe_after);
  }
  const auto due = repeat.due(c.situation);
  ASSERT_EQ(due.has_value(), c.due.has_value());
  if (due) {
    EXPECT_EQ(due->at, c.due->at);
    EXPECT_EQ(due->reason, c.due->reason);
  }
}

constexpr auto refresh = 500ms;
const Repeat::Situation still{.last_frame_kept = true};

INSTANTIATE_TEST_SUITE_P(
    Table, RefreshSituations,
    testing::Values(
        RefreshCase{"Off", std::nullopt, std::nullopt, still, std::nullopt},
        RefreshCase{"StillScreen", refresh, std::nullopt, still, Repeat::Due{t0 + refresh, Repeat::Reason::IdleRefresh}},
        RefreshCase{"NothingKept", refresh, std::nullopt, {}, std::nullopt},
        RefreshCase{"FrameWaiting", refresh, std::nullopt, {.last_frame_kept = true, .frame_waiting = true},
                    std::nullopt},
        RefreshCase{"FrameInsideTheEncoder", refresh, std::nullopt, {.last_frame_kept = true, .frames_in_encoder = 1},
                    std::nullopt},
        RefreshCase{"Paused", refresh, std::nullopt, {.last_frame_kept = true, .paused = true}, std::nullopt},
        // The earlier instant wins, whichever asks.
        RefreshCase{"KeyframeAskedBeforeTheRefresh", refresh, 100ms, still,
                    Repeat::Due{t0 + 100ms + interval, Repeat::Reason::Keyframe}},
        RefreshCase{"KeyframeAskedAfterTheRefresh", refresh, 490ms, still,
                    Repeat::Due{t0 + refresh, Repeat::Reason::IdleRefresh}},
        RefreshCase{"TieGoesToTheKeyframe", refresh, refresh - interval, still,
                    Repeat::Due{t0 + refresh, Repeat::Reason::Keyframe}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameRepeat, EachInputPushesTheRefreshBackSoItComesAtMostOncePerRefreshTime) {
  Repeat repeat(interval);
  repeat.idle_refresh = refresh;
  EXPECT_EQ(repeat.due(still), std::nullopt) << "nothing went in yet";
  repeat.frame_submitted(t0);
  EXPECT_EQ(repeat.due(still)->at, t0 + refresh);
  // New frames keep coming: no refresh while they do.
  repeat.frame_submitted(t0 + 400ms);
  EXPECT_EQ(repeat.due(still)->at, t0 + 900ms);
  // The refresh itself goes in, and the next one is a whole time later.
  repeat.frame_submitted(t0 + 900ms);
  EXPECT_EQ(repeat.due(still)->at, t0 + 1400ms);
  EXPECT_EQ(repeat.due(still)->reason, Repeat::Reason::IdleRefresh);
}

}  // namespace
}  // namespace quorvex::sender
