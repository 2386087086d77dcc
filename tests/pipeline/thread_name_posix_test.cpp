#include <gtest/gtest.h>
#include <pthread.h>

#include <string>

#include "app/pipeline/worker_thread.h"

namespace quorvex::test {
namespace {

std::string current_thread_name() {
  char name[16] = {};
  EXPECT_EQ(pthread_getname_np(pthread_self(), name, sizeof name), 0);
  return name;
}

TEST(ThreadName, WorkerThreadsCarryTheirNameAtTheSystemLevel) {
  for (const std::string full : {"frame-mailbox-pacer", "media-foundation-output"}) {
    std::string seen;
    auto worker = app::WorkerThread::start(full, [&] {
      seen = current_thread_name();
      return app::Result<void>();
    });
    ASSERT_TRUE(worker);
    ASSERT_TRUE(worker->join("panicked"));
    // Linux keeps the first 15 bytes.
    EXPECT_EQ(seen, full.substr(0, 15));
  }
}

}  // namespace
}  // namespace quorvex::test
