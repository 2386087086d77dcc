#include "sender/frame_mailbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace quorvex::sender {
namespace {

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;

// Stands in for a frame holding a GPU surface: move-only, and a frame that is
// destroyed without having been handed over (submitted or recycled) is
// reported as lost, the way a surface would leak out of the pool.
class Frame {
 public:
  Frame(int id, std::vector<int>* lost) : id_(id), lost_(lost) {}
  Frame(Frame&& other) noexcept : id_(other.id_), lost_(std::exchange(other.lost_, nullptr)) {}
  Frame& operator=(Frame&& other) noexcept {
    if (this != &other) {
      report_if_live();
      id_ = other.id_;
      lost_ = std::exchange(other.lost_, nullptr);
    }
    return *this;
  }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
  ~Frame() { report_if_live(); }

  [[nodiscard]] int id() const { return id_; }
  // Ends the frame's life on purpose (it went back to the pool).
  void release() { lost_ = nullptr; }

 private:
  void report_if_live() {
    if (lost_ != nullptr) lost_->push_back(id_);
  }
  int id_;
  std::vector<int>* lost_;
};

constexpr auto interval = 33'333'333ns;
const TimePoint t0 = TimePoint{} + 1000s;

// Carries out the mailbox's actions the way the encoder state does: a
// submitted frame enters the encoder, a recycled one goes back to the pool.
// Every frame must end in exactly one place.
class FrameMailboxTest : public testing::Test {
 protected:
  void TearDown() override {
    // The owner's teardown recycles a waiting frame; frames in the encoder end with it.
    if (mailbox.pending) mailbox.pending->release();
    for (Frame& frame : in_encoder) frame.release();
    EXPECT_THAT(lost, testing::IsEmpty()) << "frames dropped without Submit or Recycle";
  }

  Frame frame() { return Frame(next_id_++, &lost); }

  std::vector<std::string> apply(ActionList<Frame> actions) {
    std::vector<std::string> log;
    for (MailboxAction<Frame>& action : actions) log.push_back(apply_one(std::move(action)));
    return log;
  }
  std::vector<std::string> apply(std::optional<MailboxAction<Frame>> action) {
    if (!action) return {};
    return {apply_one(std::move(*action))};
  }

  std::vector<std::string> converted(TimePoint now) { return apply(mailbox.frame_converted(frame(), now)); }
  std::vector<std::string> requested(TimePoint now) { return apply(mailbox.input_requested(now)); }
  std::vector<std::string> produced(TimePoint now) {
    if (!in_encoder.empty()) {
      in_encoder.front().release();
      in_encoder.pop_front();
    }
    return apply(mailbox.output_produced(now));
  }

  FrameMailbox<Frame> mailbox{interval, 2};
  std::vector<int> lost;
  std::deque<Frame> in_encoder;
  std::vector<int> recycled;

 private:
  std::string apply_one(MailboxAction<Frame>&& action) {
    const int id = action.frame.id();
    if (action.kind == MailboxAction<Frame>::Kind::Submit) {
      in_encoder.push_back(std::move(action.frame));
      return "submit " + std::to_string(id);
    }
    action.frame.release();
    recycled.push_back(id);
    return "recycle " + std::to_string(id);
  }
  int next_id_ = 1;
};

using Log = std::vector<std::string>;

TEST_F(FrameMailboxTest, FirstFrameBeforeAnyRequestWaitsUncountedThenGoesInOnTheRequest) {
  EXPECT_EQ(converted(t0), Log{});
  EXPECT_EQ(mailbox.frames_deferred, 0U);
  EXPECT_EQ(mailbox.deadline(), std::nullopt);
  EXPECT_EQ(requested(t0 + 1ms), Log{"submit 1"});
  EXPECT_EQ(mailbox.last_submit, t0 + 1ms);
  EXPECT_EQ(mailbox.in_flight, 1U);
  EXPECT_EQ(mailbox.input_requests, 0U);
}

TEST_F(FrameMailboxTest, NewerFrameDisplacesWaitingOneWhichIsRecycledNotLost) {
  EXPECT_EQ(converted(t0), Log{});
  EXPECT_EQ(converted(t0 + 16ms), Log{"recycle 1"});
  EXPECT_EQ(mailbox.frames_replaced, 1U);
  EXPECT_EQ(mailbox.frames_deferred, 0U);
  EXPECT_EQ(requested(t0 + 20ms), Log{"submit 2"});
}

TEST_F(FrameMailboxTest, FrameInsideTheIntervalIsDeferredUntilThePollAtTheDeadline) {
  requested(t0);
  requested(t0);
  ASSERT_EQ(converted(t0), Log{"submit 1"});
  EXPECT_EQ(converted(t0 + 10ms), Log{});
  EXPECT_EQ(mailbox.frames_deferred, 1U);
  ASSERT_EQ(mailbox.deadline(), t0 + interval);
  EXPECT_EQ(apply(mailbox.poll(t0 + interval - 1ns)), Log{});
  // Reaching the deadline exactly is enough.
  EXPECT_EQ(apply(mailbox.poll(t0 + interval)), Log{"submit 2"});
  EXPECT_EQ(mailbox.last_submit, t0 + interval);
  EXPECT_EQ(mailbox.deadline(), std::nullopt);
}

TEST_F(FrameMailboxTest, DeferredFrameDisplacedAfterTheIntervalYieldsRecycleThenSubmit) {
  requested(t0);
  requested(t0);
  converted(t0);
  converted(t0 + 10ms);
  EXPECT_EQ(converted(t0 + 40ms), (Log{"recycle 2", "submit 3"}));
  EXPECT_EQ(mailbox.frames_replaced, 1U);
  EXPECT_EQ(mailbox.frames_deferred, 1U);
}

TEST_F(FrameMailboxTest, RequestsBeyondTheEncoderCapacityAreForgotten) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(requested(t0), Log{});
  EXPECT_EQ(mailbox.input_requests, 2U);
}

TEST_F(FrameMailboxTest, OutputWithNothingInFlightDoesNotWrapTheCount) {
  EXPECT_EQ(produced(t0), Log{});
  EXPECT_EQ(mailbox.in_flight, 0U);
}

TEST_F(FrameMailboxTest, FullEncoderHoldsTheFrameUntilAnOutputFreesASlot) {
  requested(t0);
  requested(t0);
  ASSERT_EQ(converted(t0), Log{"submit 1"});
  ASSERT_EQ(converted(t0 + interval), Log{"submit 2"});
  requested(t0 + interval);
  EXPECT_EQ(converted(t0 + 3 * interval), Log{});
  EXPECT_EQ(mailbox.frames_deferred, 0U);
  EXPECT_EQ(mailbox.deadline(), std::nullopt);
  EXPECT_EQ(produced(t0 + 3 * interval), Log{"submit 3"});
  EXPECT_EQ(mailbox.in_flight, 2U);
}

TEST_F(FrameMailboxTest, OutputInsideTheIntervalLeavesTheFrameToThePacer) {
  requested(t0);
  requested(t0);
  converted(t0);
  converted(t0 + interval);
  requested(t0 + interval);
  converted(t0 + interval + 1ms);
  EXPECT_EQ(produced(t0 + interval + 2ms), Log{});
  EXPECT_EQ(mailbox.deadline(), t0 + 2 * interval);
}

TEST_F(FrameMailboxTest, DeadlineIsAbsentWheneverOnlyTheEncoderCanUnblock) {
  EXPECT_EQ(mailbox.deadline(), std::nullopt) << "empty slot";
  converted(t0);
  EXPECT_EQ(mailbox.deadline(), std::nullopt) << "no request open, never submitted";
  requested(t0);  // submits frame 1
  converted(t0 + 1ms);
  EXPECT_EQ(mailbox.deadline(), std::nullopt) << "no request open";
  requested(t0 + 2ms);
  EXPECT_EQ(mailbox.deadline(), t0 + interval);
  ASSERT_EQ(apply(mailbox.poll(t0 + interval)), Log{"submit 2"});
  requested(t0 + interval);
  converted(t0 + interval + 1ms);
  EXPECT_EQ(mailbox.deadline(), std::nullopt) << "encoder full";
}

TEST_F(FrameMailboxTest, PollWithoutAWaitingFrameConsumesNothing) {
  requested(t0);
  EXPECT_EQ(apply(mailbox.poll(t0 + 1s)), Log{});
  EXPECT_EQ(mailbox.input_requests, 1U);
  EXPECT_EQ(mailbox.in_flight, 0U);
  EXPECT_EQ(mailbox.last_submit, std::nullopt);
}

// Random interleavings of the three event sources: no frame is ever lost or
// handed out twice, submissions keep their spacing and the limits hold.
TEST_F(FrameMailboxTest, NoInterleavingLosesDuplicatesOrCrowdsFrames) {
  std::mt19937 random(12345);
  TimePoint now = t0;
  int frames_made = 0;
  std::optional<TimePoint> previous_submit;
  for (int step = 0; step < 20'000; ++step) {
    now += std::chrono::microseconds(random() % 20'000);
    Log log;
    switch (random() % 4) {
      case 0: log = converted(now); ++frames_made; break;
      case 1: log = requested(now); break;
      case 2: log = produced(now); break;
      default: log = apply(mailbox.poll(now)); break;
    }
    for (const std::string& entry : log) {
      if (entry.starts_with("submit")) {
        if (previous_submit) {
          ASSERT_GE(now - *previous_submit, interval);
        }
        previous_submit = now;
      }
    }
    ASSERT_LE(mailbox.input_requests, mailbox.max_in_flight);
    ASSERT_LE(mailbox.in_flight, mailbox.max_in_flight);
    ASSERT_EQ(mailbox.in_flight, in_encoder.size());
    if (mailbox.deadline()) {
      ASSERT_TRUE(mailbox.pending.has_value());
    }
  }
  ASSERT_THAT(lost, testing::IsEmpty());
  EXPECT_EQ(mailbox.frames_replaced, recycled.size());
  EXPECT_GT(mailbox.frames_deferred, 0U);
}

TEST(FrameMailbox, AtLeastOneFrameMayBeInFlight) {
  const FrameMailbox<std::unique_ptr<int>> mailbox(interval, 0);
  EXPECT_EQ(mailbox.max_in_flight, 1U);
  EXPECT_EQ(mailbox.frame_interval, interval);
  EXPECT_EQ(mailbox.last_submit, std::nullopt);
}

struct IntervalCase {
  std::uint32_t fps;
  std::int64_t interval_ns;
};

class FrameIntervalForFps : public testing::TestWithParam<IntervalCase> {};

TEST_P(FrameIntervalForFps, RoundsTheDoubleToTheNearestNanosecondOnce) {
  EXPECT_EQ(frame_interval_for_fps(GetParam().fps).count(), GetParam().interval_ns);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameIntervalForFps,
    testing::Values(IntervalCase{30, 33'333'333}, IntervalCase{60, 16'666'667},
                    IntervalCase{1, 1'000'000'000}, IntervalCase{0, 1'000'000'000},
                    // An exact tie goes to the even neighbour.
                    IntervalCase{1024, 976'562},
                    // Just above a tie: rounding the double product first would
                    // land on the tie and then round down.
                    IntervalCase{5120, 195'313}, IntervalCase{3'200'000, 313},
                    IntervalCase{400'000'000, 3}));

}  // namespace
}  // namespace quorvex::sender
