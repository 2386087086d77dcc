#include "app/pipeline/pacer.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "pipeline_support.h"
#include "platform/fake/fake_win32.h"

namespace quorvex::test {
namespace {

using std::chrono::steady_clock;

class PacerTest : public ManualEncoderStateTest {
 protected:
  std::future<app::Result<void>> start_pacer() {
    return std::async(std::launch::async, [this] { return app::run_pacer(*state, wake); });
  }
  // Two open requests, one frame submitted at `t0`, and one frame deferred
  // at t0 + `later`.
  void submit_then_defer(app::EncoderState& s, steady_clock::time_point t0, std::chrono::nanoseconds later) {
    ASSERT_TRUE(s.apply(s.mailbox.input_requested(t0)));
    ASSERT_TRUE(s.apply(s.mailbox.input_requested(t0)));
    ASSERT_TRUE(s.apply(s.mailbox.frame_converted(converted(s), t0)));
    ASSERT_TRUE(s.apply(s.mailbox.frame_converted(converted(s), t0 + later)));
    ASSERT_EQ(s.mailbox.frames_deferred(), 1u);
    ASSERT_TRUE(s.mailbox.pending().has_value());
  }
  void finish_pacer() {
    state->lock()->finishing = true;
    wake.notify_all();
  }
  // Waits until the pacer sleeps on `wake` and returns its wake-up count at
  // that moment. The pacer counts a wake-up under the lock and keeps the lock
  // until it waits again, so a count above zero seen under the lock means it
  // is inside a wait. Notifications go out only while the count is still
  // zero, under the lock: none can reach the wait the count was seen in.
  std::uint64_t park_pacer() {
    std::uint64_t wakeups = 0;
    EXPECT_TRUE(eventually([&] {
      auto s = state->lock();
      wakeups = s->pacer_wakeups;
      if (wakeups == 0) {
        wake.notify_all();
      }
      return wakeups > 0;
    })) << "the pacer never waited";
    return wakeups;
  }
  std::uint64_t wakeups() { return state->lock()->pacer_wakeups; }
  // The pacer's result; a pacer that does not end is told to finish, so the
  // test fails instead of hanging.
  app::Result<void> ended(std::future<app::Result<void>>& pacer) {
    if (pacer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the pacer did not end";
      finish_pacer();
    }
    return pacer.get();
  }

  std::condition_variable wake;
  // The pacer's timer requests go to the Win32 fake.
  platform::fake::FakeWin32 timer;
  platform::CompositePlatform with_timer{timer, d3d, media, capture_service};
  platform::ScopedPlatform timer_installed{with_timer};
};

TEST_F(PacerTest, HoldsTheFinestSystemTimerExactlyWhileItRuns) {
  auto pacer = start_pacer();
  ASSERT_TRUE(eventually([&] { return timer.timer_periods() == std::vector<std::uint32_t>{1}; }));
  const auto throttling = timer.power_throttling();
  ASSERT_TRUE(throttling.has_value()) << "a hidden process must opt out of timer throttling";
  EXPECT_EQ(*throttling, (std::pair<std::uint32_t, std::uint32_t>{
                             platform::win32::process_power_throttling_ignore_timer_resolution, 0}));
  finish_pacer();
  EXPECT_TRUE(pacer.get());
  EXPECT_TRUE(timer.timer_periods().empty()) << "the period must be ended with the pacer";
  EXPECT_EQ(timer.faults().calls("time_end_period"), 1u);
}

// Either refusal only makes the pacer wake later: it still submits, and it
// ends exactly what it began.
class PacerTimerRefusal : public PacerTest, public testing::WithParamInterface<const char*> {};

TEST_P(PacerTimerRefusal, KeepsPacingAndEndsOnlyWhatItBegan) {
  timer.faults().fail(GetParam(), platform::status::timerr_nocando);
  {
    auto s = state->lock();
    submit_then_defer(*s, steady_clock::now() - std::chrono::seconds(1), std::chrono::milliseconds(1));
  }
  auto pacer = start_pacer();
  ASSERT_TRUE(eventually([&] { return transform().inputs().size() == 2; }));
  finish_pacer();
  EXPECT_TRUE(pacer.get());
  EXPECT_TRUE(timer.timer_periods().empty());
  EXPECT_EQ(timer.faults().calls("time_end_period"), timer.faults().calls("time_begin_period") -
                                                          (std::string_view(GetParam()) == "time_begin_period"));
}

INSTANTIATE_TEST_SUITE_P(Refusals, PacerTimerRefusal,
                         testing::Values("time_begin_period", "set_process_power_throttling"));

TEST_F(PacerTest, DeferredFrameIsSubmittedOnceTheIntervalHasPassedNeverEarlier) {
  const auto t0 = steady_clock::now();
  {
    auto s = state->lock();
    submit_then_defer(*s, t0, std::chrono::milliseconds(10));
  }
  auto pacer = start_pacer();
  ASSERT_TRUE(eventually([&] { return transform().inputs().size() == 2; }));
  {
    auto s = state->lock();
    ASSERT_EQ(s->submitted.size(), 2u);
    EXPECT_GE(*s->submitted[1].submitted_at, t0 + std::chrono::nanoseconds(33'333'333));
    EXPECT_GE(*s->mailbox.last_submit(), t0 + std::chrono::nanoseconds(33'333'333));
    EXPECT_EQ(s->mailbox.frames_deferred(), 1u);
  }
  finish_pacer();
  EXPECT_TRUE(pacer.get());
}

TEST_F(PacerTest, NotificationMakesAnIdlePacerLookAgain) {
  auto pacer = start_pacer();
  const std::uint64_t parked = park_pacer();
  {
    auto s = state->lock();
    // Both instants lie in the past, so the deadline has passed already.
    submit_then_defer(*s, steady_clock::now() - std::chrono::seconds(1), std::chrono::milliseconds(1));
  }
  wake.notify_all();
  EXPECT_TRUE(eventually([&] { return transform().inputs().size() == 2; }))
      << "the notified pacer did not submit the waiting frame";
  EXPECT_GT(wakeups(), parked);
  finish_pacer();
  EXPECT_TRUE(ended(pacer));
}

TEST_F(PacerTest, FinishingEndsThePacerWithSuccessAndLeavesTheWaitingFrame) {
  {
    auto s = state->lock();
    s->mailbox.set_frame_interval(std::chrono::hours(1));
    submit_then_defer(*s, steady_clock::now(), std::chrono::milliseconds(1));
  }
  auto pacer = start_pacer();
  finish_pacer();
  EXPECT_TRUE(pacer.get());
  EXPECT_TRUE(state->lock()->mailbox.pending().has_value());
  EXPECT_EQ(transform().inputs().size(), 1u);
}

TEST_F(PacerTest, ErrorRecordedByAnotherThreadEndsThePacerWithSuccess) {
  auto pacer = start_pacer();
  app::record_thread_error(*state, wake, app::fail("encoder event failed"), *outputs.streams().diagnostics);
  EXPECT_TRUE(pacer.get());
  EXPECT_EQ(state->lock()->error, "encoder event failed");
}

TEST_F(PacerTest, FailedSubmissionEndsThePacerWithThatErrorAndRecyclesTheFrame) {
  media.faults().fail("process_input", platform::status::e_fail, 2);
  {
    auto s = state->lock();
    submit_then_defer(*s, steady_clock::now() - std::chrono::seconds(1), std::chrono::milliseconds(1));
  }
  auto result = start_pacer().get();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "Unspecified error (0x80004005)");
  auto s = state->lock();
  EXPECT_EQ(s->converter->free_surfaces.size(), 3u);  // one frame still inside the encoder
  EXPECT_EQ(s->encoded_frames, 1u);
}

TEST_F(PacerTest, PoisonedLockAfterAWaitEndsThePacer) {
  auto pacer = start_pacer();
  const std::uint64_t parked = park_pacer();
  std::thread([&] {
    try {
      auto guard = state->lock();
      throw std::runtime_error("holder failed");
    } catch (const std::runtime_error&) {
    }
  }).join();
  wake.notify_all();
  auto result = ended(pacer);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "encoder state lock poisoned");
  EXPECT_GT(wakeups(), parked) << "the pacer must have ended at a wake-up";
  EXPECT_EQ(media.co_uninitialize_calls(), 1u);
}

TEST_F(PacerTest, PoisonedLockAtStartEndsThePacer) {
  std::thread([&] {
    try {
      auto guard = state->lock();
      throw std::runtime_error("holder failed");
    } catch (const std::runtime_error&) {
    }
  }).join();
  auto result = start_pacer().get();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "encoder state lock poisoned");
  EXPECT_EQ(media.co_uninitialize_calls(), 1u);
}

TEST_F(PacerTest, ComInitialisationFailureEndsAtOnceWithoutUninitialising) {
  media.faults().fail("co_initialize_ex", platform::status::rpc_e_changed_mode);
  auto result = start_pacer().get();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "Cannot change thread mode after it is set. (0x80010106)");
  EXPECT_EQ(media.co_uninitialize_calls(), 0u);
}

TEST_F(PacerTest, AlreadyFinishingEndsAtOnce) {
  state->lock()->finishing = true;
  EXPECT_TRUE(start_pacer().get());
  EXPECT_EQ(media.co_uninitialize_calls(), 1u);
}

}  // namespace
}  // namespace quorvex::test
