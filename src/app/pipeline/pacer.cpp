#include "app/pipeline/pacer.h"

#include <chrono>
#include <cstdint>
#include <utility>

#include "app/platform_error.h"
#include "platform/platform.h"

namespace quorvex::app {
namespace {

// The system timer at its finest for as long as the pacer runs, which is the
// capture session. Windows ends a timed wait only on its timer tick (15.6 ms
// unless a process asks for less), so without this the pacer could wake a
// whole 60 fps interval late; on the host the same request gives the pacer
// thread the finest timer slack. Best effort: a refusal only makes the pacer
// wake later, so it ends nothing.
class FineSystemTimer {
 public:
  explicit FineSystemTimer(platform::Win32& win32) : win32_(win32) {
    // Windows 11 may ignore the request of a process whose windows are all
    // hidden or occluded, which a child helper's always are, unless it opts
    // out of that throttling. Systems before Windows 11 do not know the flag
    // and may refuse it, but honour the request anyway.
    static_cast<void>(
        win32_.set_process_power_throttling(platform::win32::process_power_throttling_ignore_timer_resolution, 0));
    raised_ = win32_.time_begin_period(period_ms).has_value();
  }
  ~FineSystemTimer() {
    if (raised_) {
      // Nothing left to do if the system refuses to lower it again.
      static_cast<void>(win32_.time_end_period(period_ms));
    }
  }
  FineSystemTimer(const FineSystemTimer&) = delete;
  FineSystemTimer& operator=(const FineSystemTimer&) = delete;

 private:
  // The finest period Windows grants.
  static constexpr std::uint32_t period_ms = 1;
  platform::Win32& win32_;
  bool raised_ = false;
};

Result<void> pace(SharedEncoderState& state, std::condition_variable& wake) {
  auto locked = lock_encoder_state(state);
  if (!locked) {
    return std::unexpected(locked.error());
  }
  EncoderStateLock& guard = *locked;
  if (guard->finishing) {
    return {};
  }
  for (;;) {
    if (guard->error) {
      return {};
    }
    // A BITRATE or FPS from the parent rings the bell, which wakes this
    // loop: the encoder takes it at once, frames or not.
    guard->take_rate_requests();
    const auto now = std::chrono::steady_clock::now();
    // Every pass recomputes the deadlines: a notification, a timeout and a
    // spurious wake-up are all handled alike.
    const auto repeat = guard->repeat_due(now);
    auto deadline = guard->mailbox.deadline();
    if (repeat && (!deadline || repeat->at < *deadline)) {
      deadline = repeat->at;
    }
    if (!deadline) {
      guard.wait(wake);
      ++guard->pacer_wakeups;
    } else if (*deadline > now) {
      guard.wait_until(wake, *deadline);
      ++guard->pacer_wakeups;
    } else if (repeat && repeat->at <= now) {
      // Nothing new came for a keyframe that was asked for, or for the idle
      // refresh time (a still screen): the last frame goes in again, through
      // the mailbox's rules.
      if (auto repeated = guard->repeat_last_frame(now); !repeated) {
        return repeated;
      }
    } else if (auto action = guard->mailbox.poll(now)) {
      MailboxActions actions;
      actions.push_back(std::move(*action));
      if (auto applied = guard->apply(std::move(actions)); !applied) {
        return applied;
      }
      ++guard->pacer_submissions;
    }
    if (guard.poisoned()) {
      return fail(std::string(lock_poisoned_message));
    }
    if (guard->finishing) {
      return {};
    }
  }
}

}  // namespace

Result<void> run_pacer(SharedEncoderState& state, std::condition_variable& wake) {
  platform::mf::MediaFoundation& media = platform::current().media_foundation();
  if (auto com = media.co_initialize_ex(platform::mf::coinit_multithreaded); !com) {
    return fail_platform(com.error());
  }
  Result<void> result;
  {
    const FineSystemTimer timer(platform::current().win32());
    result = pace(state, wake);
  }
  media.co_uninitialize();
  return result;
}

}  // namespace quorvex::app
