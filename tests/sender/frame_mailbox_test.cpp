#include "sender/frame_mailbox.h"
#include "test_times.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <ostream>
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

using test_times::interval;
using test_times::t0;

// Carries out the mailbox's actions the way the encoder state does: a
// submitted frame enters the encoder, a recycled one goes back to the pool.
// Every frame must end in exactly one place.
class FrameMailboxTest : public testing::Test {
 protected:
  void TearDown() override {
    // The owner's teardown recycles a waiting frame; frames in the encoder end with it.
    if (auto waiting = mailbox.withdraw()) waiting->release();
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
  // The encoder refuses the frame of the last Submit.
  std::vector<std::string> refused() {
    Frame frame = std::move(in_encoder.back());
    in_encoder.pop_back();
    return apply(mailbox.input_refused(std::move(frame)));
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
  EXPECT_EQ(mailbox.frames_deferred(), 0U);
  EXPECT_EQ(mailbox.deadline(), std::nullopt);
  EXPECT_EQ(requested(t0 + 1ms), Log{"submit 1"});
  EXPECT_EQ(mailbox.last_submit(), t0 + 1ms);
  EXPECT_EQ(mailbox.in_flight(), 1U);
  EXPECT_EQ(mailbox.input_requests(), 0U);
}

TEST_F(FrameMailboxTest, NewerFrameDisplacesWaitingOneWhichIsRecycledNotLost) {
  EXPECT_EQ(converted(t0), Log{});
  EXPECT_EQ(converted(t0 + 16ms), Log{"recycle 1"});
  EXPECT_EQ(mailbox.frames_replaced(), 1U);
  EXPECT_EQ(mailbox.frames_deferred(), 0U);
  EXPECT_EQ(requested(t0 + 20ms), Log{"submit 2"});
}

TEST_F(FrameMailboxTest, FrameInsideTheIntervalIsDeferredUntilThePollAtTheDeadline) {
  requested(t0);
  requested(t0);
  ASSERT_EQ(converted(t0), Log{"submit 1"});
  EXPECT_EQ(converted(t0 + 10ms), Log{});
  EXPECT_EQ(mailbox.frames_deferred(), 1U);
  ASSERT_EQ(mailbox.deadline(), t0 + interval);
  EXPECT_EQ(apply(mailbox.poll(t0 + interval - 1ns)), Log{});
  // Reaching the deadline exactly is enough.
  EXPECT_EQ(apply(mailbox.poll(t0 + interval)), Log{"submit 2"});
  EXPECT_EQ(mailbox.last_submit(), t0 + interval);
  EXPECT_EQ(mailbox.deadline(), std::nullopt);
}

TEST_F(FrameMailboxTest, DeferredFrameDisplacedAfterTheIntervalYieldsRecycleThenSubmit) {
  requested(t0);
  requested(t0);
  converted(t0);
  converted(t0 + 10ms);
  EXPECT_EQ(converted(t0 + 40ms), (Log{"recycle 2", "submit 3"}));
  EXPECT_EQ(mailbox.frames_replaced(), 1U);
  EXPECT_EQ(mailbox.frames_deferred(), 1U);
}

TEST_F(FrameMailboxTest, EveryInputRequestIsACreditEvenBeyondTheInFlightLimit) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(requested(t0), Log{});
  EXPECT_EQ(mailbox.input_requests(), 3U);
  ASSERT_EQ(converted(t0), Log{"submit 1"});
  produced(t0 + 1ms);
  ASSERT_EQ(converted(t0 + interval), Log{"submit 2"});
  produced(t0 + interval + 1ms);
  EXPECT_EQ(converted(t0 + 2 * interval), Log{"submit 3"}) << "the third request was not forgotten";
  EXPECT_EQ(mailbox.input_requests(), 0U);
}

// An encoder that asks for four inputs before it gives its first output
// (a look-ahead) stalls for ever at a limit of two unless the limit grows;
// one that answers within a frame or two keeps the limit of two.
TEST_F(FrameMailboxTest, EncoderThatWantsFourInputsBeforeItsFirstOutputGetsThem) {
  for (int i = 0; i < 4; ++i) requested(t0);
  TimePoint now = t0;
  for (int i = 0; i < 30 && in_encoder.size() < 4; ++i, now += interval) {
    converted(now);
    if (const auto deadline = mailbox.deadline(); deadline && *deadline <= now + interval) {
      apply(mailbox.poll(*deadline));
    }
  }
  EXPECT_EQ(in_encoder.size(), 4U) << "still waiting at " << (now - t0) / interval << " intervals";
  EXPECT_EQ(mailbox.max_in_flight(), 4U);
  // Its outputs come now, one per input as it asks for the next: the limit
  // stays where the encoder needed it.
  for (int i = 0; i < 10; ++i, now += interval) {
    produced(now);
    requested(now);
    converted(now + 1ms);
    apply(mailbox.poll(now + interval - 1ns));
  }
  EXPECT_EQ(mailbox.max_in_flight(), 4U);
}

TEST_F(FrameMailboxTest, SlowEncoderThatAnswersKeepsTheLimit) {
  for (int i = 0; i < 3; ++i) requested(t0);
  TimePoint now = t0;
  // Outputs come two and a half intervals after their input, and each
  // input is answered by a request at once.
  std::deque<TimePoint> due;
  const auto answer = [&](const Log& log) {
    for (const std::string& entry : log) {
      if (entry.starts_with("submit")) {
        due.push_back(now + 5 * interval / 2);
        requested(now);
      }
    }
  };
  for (int i = 0; i < 120; ++i, now += interval) {
    while (!due.empty() && due.front() <= now) {
      due.pop_front();
      answer(produced(now));
    }
    answer(converted(now));
  }
  EXPECT_GT(mailbox.frames_deferred() + recycled.size(), 0U) << "the encoder never held a frame back";
  EXPECT_EQ(mailbox.max_in_flight(), 2U);
}

TEST_F(FrameMailboxTest, RefusedInputWaitsForTheNextRequestAndGoesInThen) {
  requested(t0);
  requested(t0);
  ASSERT_EQ(converted(t0), Log{"submit 1"});
  EXPECT_EQ(refused(), Log{});
  EXPECT_EQ(mailbox.in_flight(), 0U);
  EXPECT_EQ(mailbox.input_requests(), 2U);
  EXPECT_EQ(mailbox.last_submit(), std::nullopt) << "the refused submission set the pace";
  EXPECT_EQ(mailbox.deadline(), std::nullopt) << "the pacer would retry at once, and be refused again";
  EXPECT_EQ(apply(mailbox.poll(t0 + 1s)), Log{});
  EXPECT_EQ(produced(t0 + 1s), Log{});
  EXPECT_EQ(requested(t0 + 1s), Log{"submit 1"});
  EXPECT_EQ(mailbox.in_flight(), 1U);
  EXPECT_EQ(mailbox.input_requests(), 2U);
}

TEST_F(FrameMailboxTest, RefusedInputGivesWayToANewerWaitingFrame) {
  requested(t0);
  requested(t0);
  ASSERT_EQ(converted(t0), Log{"submit 1"});
  Frame first = std::move(in_encoder.back());
  in_encoder.pop_back();
  // A newer frame arrived between the submission and its refusal.
  ASSERT_EQ(converted(t0 + 10ms), Log{});
  EXPECT_EQ(apply(mailbox.input_refused(std::move(first))), Log{"recycle 1"});
  EXPECT_EQ(mailbox.frames_replaced(), 1U);
  EXPECT_EQ(requested(t0 + interval), Log{"submit 2"});
}

TEST_F(FrameMailboxTest, OutputWithNothingInFlightDoesNotWrapTheCount) {
  EXPECT_EQ(produced(t0), Log{});
  EXPECT_EQ(mailbox.in_flight(), 0U);
}

TEST_F(FrameMailboxTest, FullEncoderHoldsTheFrameUntilAnOutputFreesASlot) {
  requested(t0);
  requested(t0);
  ASSERT_EQ(converted(t0), Log{"submit 1"});
  ASSERT_EQ(converted(t0 + interval), Log{"submit 2"});
  requested(t0 + interval);
  EXPECT_EQ(converted(t0 + 3 * interval), Log{});
  EXPECT_EQ(mailbox.frames_deferred(), 0U);
  EXPECT_EQ(mailbox.deadline(), std::nullopt);
  EXPECT_EQ(produced(t0 + 3 * interval), Log{"submit 3"});
  EXPECT_EQ(mailbox.in_flight(), 2U);
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
  EXPECT_EQ(mailbox.input_requests(), 1U);
  EXPECT_EQ(mailbox.in_flight(), 0U);
  EXPECT_EQ(mailbox.last_submit(), std::nullopt);
}

// The owner takes the waiting frame out when the session ends (withdraw) or
// when the frame no longer fits the stream (displace, counted as replaced).
// Either way the frame is handed back, and nothing waits afterwards.
TEST_F(FrameMailboxTest, OwnerTakesTheWaitingFrameOutCountedOnlyWhenDisplaced) {
  for (const bool displaced : {false, true}) {
    SCOPED_TRACE(displaced ? "displace" : "withdraw");
    mailbox = FrameMailbox<Frame>(interval, 2);
    ASSERT_EQ(converted(t0), Log{});
    std::optional<Frame> taken = displaced ? mailbox.displace() : mailbox.withdraw();
    ASSERT_TRUE(taken.has_value());
    taken->release();
    EXPECT_EQ(mailbox.frames_replaced(), displaced ? 1U : 0U);
    EXPECT_FALSE(mailbox.pending().has_value());
    EXPECT_EQ(requested(t0 + 1ms), Log{}) << "a frame taken out still went in";
    EXPECT_FALSE((displaced ? mailbox.displace() : mailbox.withdraw()).has_value());
    EXPECT_EQ(mailbox.frames_replaced(), displaced ? 1U : 0U) << "an empty slot was counted";
  }
}

// Random interleavings of the three event sources: no frame is ever lost or
// handed out twice, submissions keep their spacing and the limits hold.
TEST_F(FrameMailboxTest, NoInterleavingLosesDuplicatesOrCrowdsFrames) {
  std::mt19937 random(12345);
  TimePoint now = t0;
  int frames_made = 0;
  bool just_submitted = false;
  std::optional<TimePoint> previous_submit;
  for (int step = 0; step < 20'000; ++step) {
    now += std::chrono::microseconds(random() % 20'000);
    Log log;
    switch (random() % 5) {
      case 0: log = converted(now); ++frames_made; break;
      case 1: log = requested(now); break;
      case 2: log = produced(now); break;
      case 3:
        // The encoder refuses a submission as it is made: right after one.
        if (just_submitted) {
          log = refused();
          previous_submit = mailbox.last_submit();
        }
        break;
      default: log = apply(mailbox.poll(now)); break;
    }
    just_submitted = !log.empty() && log.back().starts_with("submit");
    for (const std::string& entry : log) {
      if (entry.starts_with("submit")) {
        if (previous_submit) {
          ASSERT_GE(now - *previous_submit, interval);
        }
        previous_submit = now;
      }
    }
    ASSERT_LE(mailbox.max_in_flight(), (FrameMailbox<Frame>::in_flight_ceiling));
    ASSERT_LE(mailbox.in_flight(), mailbox.max_in_flight());
    ASSERT_EQ(mailbox.in_flight(), in_encoder.size());
    if (mailbox.deadline()) {
      ASSERT_TRUE(mailbox.pending().has_value());
    }
  }
  ASSERT_THAT(lost, testing::IsEmpty());
  EXPECT_EQ(mailbox.frames_replaced(), recycled.size());
  EXPECT_GT(mailbox.frames_deferred(), 0U);
}

// The grid rule, driven through explicit instants: a source delivers frames
// at given offsets, the encoder returns each output `encode_time` after its
// submission (later when stalled) and asks for the next input, and the pacer
// polls at each deadline, `pacer_lateness` late when it had to sleep.
struct GridCase {
  const char* name;
  std::uint32_t fps;
  std::chrono::nanoseconds source_period;
  // Offsets added to the source's instants, repeated over the run.
  std::vector<std::chrono::nanoseconds> jitter;
  std::chrono::nanoseconds pacer_lateness;
  // Outputs due inside [stall_from, stall_until) come at stall_until.
  std::chrono::nanoseconds stall_from{0};
  std::chrono::nanoseconds stall_until{0};
  // Expected: frames replaced (-1: not checked), the longest wait of a
  // submitted frame, and of the frames of the run's last second.
  int replaced;
  std::chrono::nanoseconds max_wait;
  std::chrono::nanoseconds settled_max_wait;
  // Added to every frame after the first, which sets the grid.
  std::chrono::nanoseconds phase_after_first{0};

  friend void PrintTo(const GridCase& c, std::ostream* os) { *os << c.name; }
};

struct GridRun {
  std::vector<TimePoint> submissions;
  std::vector<std::chrono::nanoseconds> waits;
  std::uint64_t replaced = 0;
};

GridRun run_grid(const GridCase& c, std::chrono::nanoseconds length) {
  constexpr auto encode_time = 4ms;
  FrameMailbox<int> mailbox(frame_interval_for_fps(c.fps), 2, PacingRule::Grid);
  GridRun run;
  std::vector<TimePoint> arrivals;
  for (std::size_t k = 0; k * c.source_period < length; ++k) {
    arrivals.push_back(t0 + k * c.source_period + c.jitter[k % c.jitter.size()] +
                       (k > 0 ? c.phase_after_first : 0ns));
  }
  std::deque<TimePoint> outputs;
  std::size_t next_arrival = 0;
  std::optional<TimePoint> pacer_wake;
  const auto execute = [&](auto actions, TimePoint now) {
    for (auto& action : actions) {
      if (action.kind == MailboxAction<int>::Kind::Submit) {
        run.submissions.push_back(now);
        run.waits.push_back(now - arrivals[static_cast<std::size_t>(action.frame)]);
        TimePoint out = now + encode_time;
        if (out >= t0 + c.stall_from && out < t0 + c.stall_until) out = t0 + c.stall_until;
        outputs.push_back(std::max(out, outputs.empty() ? out : outputs.back()));
      }
    }
  };
  static_cast<void>(mailbox.input_requested(t0 - 1s));
  static_cast<void>(mailbox.input_requested(t0 - 1s));
  for (TimePoint now = t0; next_arrival < arrivals.size() || !outputs.empty();) {
    // The earliest event; on a tie a frame arrives before the encoder
    // reports, and both before the pacer looks.
    const TimePoint arrival = next_arrival < arrivals.size() ? arrivals[next_arrival] : TimePoint::max();
    const TimePoint output = outputs.empty() ? TimePoint::max() : outputs.front();
    const TimePoint pacer = pacer_wake.value_or(TimePoint::max());
    now = std::min({arrival, output, pacer});
    if (now == arrival) {
      execute(mailbox.frame_converted(static_cast<int>(next_arrival++), now), now);
    } else if (now == output) {
      outputs.pop_front();
      execute(mailbox.output_produced(now), now);
      execute(mailbox.input_requested(now), now);
    } else {
      ActionList<int> polled;
      if (auto action = mailbox.poll(now)) polled.push_back(std::move(*action));
      execute(std::move(polled), now);
    }
    // The pacer recomputes its deadline after every event.
    const auto deadline = mailbox.deadline();
    pacer_wake.reset();
    if (deadline) pacer_wake = *deadline > now ? *deadline + c.pacer_lateness : now;
  }
  run.replaced = mailbox.frames_replaced();
  return run;
}

class GridPacing : public testing::TestWithParam<GridCase> {};

TEST_P(GridPacing, KeepsTheGridWithoutBurstsOrDrift) {
  const GridCase& c = GetParam();
  constexpr auto length = 60s;
  const GridRun run = run_grid(c, length);
  ASSERT_FALSE(run.submissions.empty());
  const auto interval = frame_interval_for_fps(c.fps);
  const auto tolerance = grid_jitter_tolerance(interval);
  const std::size_t per_second = c.fps;
  auto window_start = run.submissions.begin();
  for (auto it = run.submissions.begin(); it != run.submissions.end(); ++it) {
    if (it != run.submissions.begin()) {
      ASSERT_GE(*it - *std::prev(it), interval - tolerance) << "submission " << (it - run.submissions.begin());
    }
    while (*it - *window_start >= 1s) ++window_start;
    ASSERT_LE(static_cast<std::size_t>(it - window_start) + 1, per_second + 1) << "one-second window ending at "
                                                                               << (it - run.submissions.begin());
  }
  if (c.replaced >= 0) {
    EXPECT_EQ(run.replaced, static_cast<std::uint64_t>(c.replaced));
  }
  EXPECT_LE(*std::ranges::max_element(run.waits), c.max_wait);
  const auto last_second = static_cast<std::ptrdiff_t>(per_second);
  EXPECT_LE(*std::max_element(run.waits.end() - last_second, run.waits.end()), c.settled_max_wait);
}

// Every 16.7 ms, as a 60 Hz desktop composes.
constexpr auto source_60hz = 16'666'667ns;

INSTANTIATE_TEST_SUITE_P(
    Cases, GridPacing,
    testing::Values(
        // Equal rates: every frame goes in on arrival, none is ever replaced,
        // however late the pacer is.
        GridCase{"EqualRates", 60, source_60hz, {0ns}, 110us, 0ns, 0ns, 0, 0ns, 0ns},
        // Arrivals jitter half a millisecond either way around the grid the
        // first one set: the early ones wait for their slot, none is lost.
        GridCase{"EqualRatesJittered", 60, source_60hz, {0ns, -500us, 300us, -200us, 500us}, 110us, 0ns, 0ns,
                 0, 610us, 610us},
        // Every frame after the first is 300 us early, so the pacer submits
        // each at its slot, 110 us late: the strict rule would carry that
        // lateness into every later frame until one was thrown away.
        GridCase{"LatePacerWakeUpsDoNotDrift", 60, source_60hz, {0ns, -300us}, 110us, 0ns, 0ns, 0, 410us,
                 410us},
        // A 60 Hz source at 30 fps: every second frame, the one due at the
        // slot, goes in at once; the one between is replaced, never sent a
        // source interval stale.
        // (The run's last frame is one of those between, still waiting.)
        GridCase{"SixtyHertzAtThirtyFps", 30, source_60hz, {0ns}, 110us, 0ns, 0ns, 1799, 0ns, 0ns},
        // Frames due at a slot arrive up to 0.6 ms early or 0.5 ms late, the
        // late ones after the pacer has woken for the frame between: that
        // one still holds off for the tolerance, and the due frame takes the slot.
        GridCase{"SixtyHertzAtThirtyFpsJittered", 30, source_60hz,
                 {0ns, 400us, 500us, 200us, 0ns, -300us, -600us, 100us}, 110us, 0ns, 0ns, 1799, 710us, 710us},
        // The first frame came 4 ms earlier than all later ones, so the grid
        // it set has its slots 4 ms before the frames due at them, beyond the
        // tolerance: once stale frames have filled two slots in a row, the
        // next arrival moves the grid onto the source's phase. The same with
        // a grid 4 ms late for a source at its own rate.
        GridCase{"SixtyHertzAtThirtyFpsOffPhaseRelocks", 30, source_60hz, {0ns}, 110us, 0ns, 0ns, -1, 15ms, 0ns,
                 4ms},
        GridCase{"EqualRatesLateGridRelocks", 60, source_60hz, {0ns}, 110us, 0ns, 0ns, -1, 7ms, 0ns, -4ms},
        // Some frames come 3 ms early (beyond the tolerance: they hold off
        // past the slot), the next 1 ms early: jitter, not a phase error, so
        // the grid stays and no frame is thrown away.
        GridCase{"EqualRatesEarlyBeyondTheToleranceLoseNothing", 60, source_60hz, {0ns, -3ms, -1ms}, 110us, 0ns,
                 0ns, 0, 5110us, 5110us},
        // The encoder returns nothing for 310 ms, 10 ms past a frame: the grid
        // restarts on that frame's arrival, not on the end of the stall, so
        // without a burst frames go in on arrival again.
        GridCase{"LongStallRestartsTheGridOnTheSourcesPhase", 60, source_60hz, {0ns}, 110us, 10s, 10s + 310ms,
                 -1, 17ms, 0ns},
        // Wildly jittered and faster sources: the spacing and the rate cap hold.
        GridCase{"HeavyJitter", 60, source_60hz, {0ns, 6ms, -7ms, 2ms, -3ms, 8ms, -5ms}, 110us, 0ns, 0ns, -1,
                 1s, 1s},
        GridCase{"FasterSource", 60, 15ms, {0ns, 1ms, -1ms}, 110us, 0ns, 0ns, -1, 1s, 1s}),
    [](const testing::TestParamInfo<GridCase>& info) { return std::string(info.param.name); });

TEST(FrameMailbox, GridToleranceIsAnEighthOfTheIntervalAtMostTwoMilliseconds) {
  EXPECT_EQ(grid_jitter_tolerance(frame_interval_for_fps(30)), 2ms);
  EXPECT_EQ(grid_jitter_tolerance(frame_interval_for_fps(60)), 2ms);
  EXPECT_EQ(grid_jitter_tolerance(frame_interval_for_fps(120)), 1'041'666ns);
}

class GridMailboxTest : public FrameMailboxTest {
 protected:
  GridMailboxTest() { mailbox = FrameMailbox<Frame>(interval, 2, PacingRule::Grid); }
};

TEST_F(GridMailboxTest, StaleFrameHoldsOffForTheToleranceAndALoneFrameAfterIdleGoesInAtOnce) {
  requested(t0);
  requested(t0);
  ASSERT_EQ(converted(t0), Log{"submit 1"});
  EXPECT_EQ(converted(t0 + 1ms), Log{});
  // Waiting long before its slot: held until the tolerance has passed it.
  const auto tolerance = grid_jitter_tolerance(interval);
  ASSERT_EQ(mailbox.deadline(), t0 + interval + tolerance);
  EXPECT_EQ(apply(mailbox.poll(t0 + interval + tolerance - 1ns)), Log{});
  EXPECT_EQ(apply(mailbox.poll(t0 + interval + tolerance)), Log{"submit 2"});
  produced(t0 + interval + 5ms);
  requested(t0 + interval + 5ms);
  // Seconds later nothing moves the grid out of its way.
  EXPECT_EQ(converted(t0 + 5s), Log{"submit 3"});
}

// Random interleavings under the grid rule: nothing is lost, submissions keep
// the grid's spacing, and the pacer's deadline is exactly when the waiting
// frame may go: a poll just before it submits nothing, a poll at it does.
TEST_F(GridMailboxTest, NoInterleavingLosesCrowdsOrMissesTheDeadline) {
  std::mt19937 random(54321);
  TimePoint now = t0;
  std::optional<TimePoint> previous_submit;
  const auto spacing = interval - grid_jitter_tolerance(interval);
  for (int step = 0; step < 20'000; ++step) {
    now += std::chrono::microseconds(random() % 40'000);
    Log log;
    switch (random() % 4) {
      case 0: log = converted(now); break;
      case 1: log = requested(now); break;
      case 2: log = produced(now); break;
      default:
        if (const auto deadline = mailbox.deadline(); deadline && *deadline > now) {
          ASSERT_EQ(apply(mailbox.poll(*deadline - 1ns)), Log{});
          now = *deadline;
          log = apply(mailbox.poll(now));
          ASSERT_EQ(log.size(), 1U) << "nothing submitted at the deadline";
        } else {
          log = apply(mailbox.poll(now));
        }
        break;
    }
    for (const std::string& entry : log) {
      if (entry.starts_with("submit")) {
        if (previous_submit) {
          ASSERT_GE(now - *previous_submit, spacing);
        }
        previous_submit = now;
      }
    }
    ASSERT_EQ(mailbox.in_flight(), in_encoder.size());
  }
  EXPECT_EQ(mailbox.frames_replaced(), recycled.size());
}

// A refused input undoes the grid's step too: the frame that goes in at the
// next request restarts the grid on its own arrival, and the frame after it
// is held only for the spacing, not for a slot the refused submission had
// already moved on.
TEST_F(GridMailboxTest, RefusedInputLeavesTheGridAsBefore) {
  requested(t0);
  requested(t0);
  ASSERT_EQ(converted(t0), Log{"submit 1"});
  ASSERT_EQ(refused(), Log{});
  ASSERT_EQ(requested(t0 + 5ms), Log{"submit 1"});
  EXPECT_EQ(converted(t0 + interval), Log{});
  EXPECT_EQ(mailbox.deadline(), t0 + 5ms + interval - grid_jitter_tolerance(interval));
}

// The FPS command: the submission after the change is spaced by the new
// interval under either rule, and the grid absorbs the new interval's
// jitter tolerance (2 ms at 30 fps, about 1 ms at 120).
struct IntervalChangeCase {
  const char* name;
  PacingRule rule;
  std::uint32_t from_fps;
  std::uint32_t to_fps;
  // After the first submission at t0 and a frame 1 ms later.
  std::chrono::nanoseconds deadline;

  friend void PrintTo(const IntervalChangeCase& c, std::ostream* os) { *os << c.name; }
};

class FrameIntervalChange : public testing::TestWithParam<IntervalChangeCase> {};

TEST_P(FrameIntervalChange, SpacesTheNextSubmissionByTheNewInterval) {
  const IntervalChangeCase& c = GetParam();
  FrameMailbox<int> mailbox(frame_interval_for_fps(c.from_fps), 2, c.rule);
  static_cast<void>(mailbox.input_requested(t0));
  static_cast<void>(mailbox.input_requested(t0));
  ASSERT_EQ(mailbox.frame_converted(1, t0).size(), 1U);
  mailbox.set_frame_interval(frame_interval_for_fps(c.to_fps));
  EXPECT_EQ(mailbox.frame_interval(), frame_interval_for_fps(c.to_fps));
  ASSERT_TRUE(mailbox.frame_converted(2, t0 + 1ms).empty());
  EXPECT_EQ(mailbox.deadline(), t0 + c.deadline);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameIntervalChange,
    testing::Values(IntervalChangeCase{"StrictSlower", PacingRule::Strict, 120, 30, 33'333'333ns},
                    IntervalChangeCase{"StrictFaster", PacingRule::Strict, 30, 120, 8'333'333ns},
                    // One interval less the 2 ms tolerance of 30 fps.
                    IntervalChangeCase{"GridSlower", PacingRule::Grid, 120, 30, 31'333'333ns},
                    // The slot the first submission set (t0 + 33.3 ms) still
                    // stands; the stale frame holds off the new tolerance past it.
                    IntervalChangeCase{"GridFaster", PacingRule::Grid, 30, 120, 34'374'999ns}),
    [](const testing::TestParamInfo<IntervalChangeCase>& info) { return std::string(info.param.name); });

TEST(FrameMailbox, AtLeastOneFrameMayBeInFlight) {
  const FrameMailbox<std::unique_ptr<int>> mailbox(interval, 0);
  EXPECT_EQ(mailbox.max_in_flight(), 1U);
  EXPECT_EQ(mailbox.frame_interval(), interval);
  EXPECT_EQ(mailbox.last_submit(), std::nullopt);
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
