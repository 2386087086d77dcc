// The knobs every fake shares: tell an operation to fail with a status code,
// or to succeed without an object, every time or only at its Nth call; and
// count the calls. Fakes ask the plan at the top of each operation.
//
// Thread contract: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/thread_safety.h"

namespace quorvex::platform::fake {

class FaultPlan {
 public:
  enum class Outcome { Normal, Fail, Empty };
  struct Decision {
    Outcome outcome = Outcome::Normal;
    std::uint32_t code = 0;
    [[nodiscard]] bool normal() const { return outcome == Outcome::Normal; }
  };

  // `operation` fails with `code` at every call (nth == 0) or only at its
  // nth call, counting from 1.
  void fail(std::string_view operation, std::uint32_t code, std::uint64_t nth = 0) {
    const MutexLock lock(mutex_);
    scripts_[std::string(operation)] = Script{Outcome::Fail, code, nth};
  }

  // `operation` reports success but hands back no object.
  void return_empty(std::string_view operation, std::uint64_t nth = 0) {
    const MutexLock lock(mutex_);
    scripts_[std::string(operation)] = Script{Outcome::Empty, 0, nth};
  }

  void reset(std::string_view operation) {
    const MutexLock lock(mutex_);
    scripts_.erase(std::string(operation));
  }

  // Counts the call and says how it should end.
  [[nodiscard]] Decision on_call(std::string_view operation) {
    const MutexLock lock(mutex_);
    const std::uint64_t n = ++calls_[std::string(operation)];
    const auto it = scripts_.find(operation);
    if (it == scripts_.end()) {
      return {};
    }
    const Script& s = it->second;
    if (s.nth != 0 && s.nth != n) {
      return {};
    }
    return {s.outcome, s.code};
  }

  [[nodiscard]] std::uint64_t calls(std::string_view operation) const {
    const MutexLock lock(mutex_);
    const auto it = calls_.find(operation);
    return it == calls_.end() ? 0 : it->second;
  }

 private:
  struct Script {
    Outcome outcome = Outcome::Normal;
    std::uint32_t code = 0;
    std::uint64_t nth = 0;
  };
  mutable Mutex mutex_;
  std::map<std::string, Script, std::less<>> scripts_;
  std::map<std::string, std::uint64_t, std::less<>> calls_;
};

}  // namespace quorvex::platform::fake
