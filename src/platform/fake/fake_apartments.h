// COM apartments as Windows keeps them, for the fakes: a thread is in the
// multithreaded apartment after CoInitializeEx or RoInitialize (until the
// matching uninitialise), and every thread of a process is implicitly in it
// while the process holds an MTA usage (CoIncrementMTAUsage). Activation
// (RoGetActivationFactory, IMFActivate::ActivateObject) on a thread in no
// apartment fails with CO_E_NOTINITIALIZED; Wine lets it pass, Windows
// does not. One instance is shared by the fakes of one test platform.
//
// Thread contract: every member may be called from any thread; the
// per-thread state is keyed by the calling thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/thread_safety.h"

namespace quorvex::platform::fake {

class FakeApartments {
 public:
  // CoInitializeEx / RoInitialize on the calling thread, and their undoing.
  void enter() {
    const MutexLock lock(mutex_);
    ++entered_[std::this_thread::get_id()];
  }
  void leave() {
    const MutexLock lock(mutex_);
    const auto it = entered_.find(std::this_thread::get_id());
    if (it == entered_.end() || it->second == 0) {
      violations_.emplace_back("CoUninitialize on a thread that never initialised COM");
      return;
    }
    if (--it->second == 0) {
      entered_.erase(it);
    }
  }
  void add_mta_usage() {
    const MutexLock lock(mutex_);
    ++mta_usage_;
  }
  void release_mta_usage() {
    const MutexLock lock(mutex_);
    --mta_usage_;
  }

  // Whether the calling thread may use COM objects now.
  [[nodiscard]] bool in_apartment() const {
    const MutexLock lock(mutex_);
    return mta_usage_ > 0 || entered_.contains(std::this_thread::get_id());
  }
  // 0, or CO_E_NOTINITIALIZED for activation on a thread in no apartment.
  [[nodiscard]] std::uint32_t activation_status() const {
    return in_apartment() ? status::ok : status::co_e_notinitialized;
  }

  // A rule of the platform the program broke (a COM object released outside
  // any apartment, an unbalanced uninitialise, ...). Windows does not always
  // report these; the fakes do, so a test can insist there are none.
  void report(std::string violation) {
    const MutexLock lock(mutex_);
    violations_.push_back(std::move(violation));
  }
  [[nodiscard]] std::vector<std::string> violations() const {
    const MutexLock lock(mutex_);
    return violations_;
  }

 private:
  mutable Mutex mutex_;
  std::map<std::thread::id, int> entered_;
  int mta_usage_ = 0;
  std::vector<std::string> violations_;
};

}  // namespace quorvex::platform::fake
