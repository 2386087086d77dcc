#include "app/pipeline/pacer.h"

#include <chrono>
#include <utility>

#include "app/platform_error.h"
#include "platform/platform.h"

namespace quorvex::app {
namespace {

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
    const auto now = std::chrono::steady_clock::now();
    // Every pass recomputes the deadline: a notification, a timeout and a
    // spurious wake-up are all handled alike.
    const auto deadline = guard->mailbox.deadline();
    if (!deadline) {
      wake.wait(guard.unique_lock());
      ++guard->pacer_wakeups;
    } else if (*deadline > now) {
      wake.wait_until(guard.unique_lock(), *deadline);
      ++guard->pacer_wakeups;
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
  Result<void> result = pace(state, wake);
  media.co_uninitialize();
  return result;
}

}  // namespace quorvex::app
