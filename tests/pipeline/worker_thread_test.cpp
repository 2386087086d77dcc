#include "app/pipeline/worker_thread.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "app/pipeline/poisonable_mutex.h"

namespace quorvex::test {
namespace {

TEST(WorkerThread, ErrorResultIsReturnedUnchangedNotAsAbnormalEnd) {
  auto worker = app::WorkerThread::start("frame-mailbox-pacer", [] { return app::Result<void>(app::fail("submit refused")); });
  ASSERT_TRUE(worker);
  auto joined = worker->join("frame mailbox pacer thread panicked");
  ASSERT_FALSE(joined);
  EXPECT_EQ(joined.error().message, "submit refused");
}

TEST(WorkerThread, ExceptionEscapingTheBodyIsAnAbnormalEnd) {
  auto worker = app::WorkerThread::start("media-foundation-output", []() -> app::Result<void> {
    throw std::runtime_error("unexpected");
  });
  ASSERT_TRUE(worker);
  auto joined = worker->join("encoder event thread panicked");
  ASSERT_FALSE(joined);
  EXPECT_EQ(joined.error().message, "encoder event thread panicked");
}

TEST(WorkerThread, AbnormalEndWhileHoldingALockPoisonsIt) {
  app::PoisonableMutex<int> shared(0);
  auto worker = app::WorkerThread::start("frame-mailbox-pacer", [&]() -> app::Result<void> {
    auto guard = shared.lock();
    *guard = 1;
    throw std::runtime_error("unexpected");
  });
  ASSERT_TRUE(worker);
  EXPECT_FALSE(worker->join("frame mailbox pacer thread panicked"));
  EXPECT_TRUE(shared.lock().poisoned());
}

TEST(WorkerThread, SuccessAndSecondJoinAreSuccess) {
  auto worker = app::WorkerThread::start("frame-mailbox-pacer", [] { return app::Result<void>(); });
  ASSERT_TRUE(worker);
  EXPECT_TRUE(worker->join("x"));
  EXPECT_FALSE(worker->joinable());
  EXPECT_TRUE(worker->join("x"));
}

}  // namespace
}  // namespace quorvex::test
