// The capture tests lean on the fake's message queue behaving like Win32's;
// these pin the parts they rely on.
#include <gtest/gtest.h>

#include <thread>

#include "test_platform.h"

namespace quorvex::testing {
namespace {

using platform::GetMessageResult;
using platform::Message;

TEST(FakeMessageQueueTest, PostQuitMessageArrivesOnlyAfterPostedMessages) {
  TestPlatform fake;
  auto& win32 = fake.win32_fake;
  // As the dispatcher queue controller makes it for the capture thread.
  win32.create_message_queue();
  const std::uint32_t me = win32.get_current_thread_id();
  int ran = 0;
  ASSERT_TRUE(win32.post_task(me, [&ran] { ++ran; }).has_value());
  win32.post_quit_message(0);
  ASSERT_TRUE(win32.post_task(me, [&ran] { ++ran; }).has_value());

  Message m;
  ASSERT_EQ(win32.get_message(m), GetMessageResult::Message);
  win32.dispatch_message(m);
  ASSERT_EQ(win32.get_message(m), GetMessageResult::Message);
  win32.dispatch_message(m);
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(win32.get_message(m), GetMessageResult::Quit);
}

TEST(FakeMessageQueueTest, PostedQuitKeepsItsPlaceInTheQueue) {
  TestPlatform fake;
  auto& win32 = fake.win32_fake;
  // As the dispatcher queue controller makes it for the capture thread.
  win32.create_message_queue();
  const std::uint32_t me = win32.get_current_thread_id();
  ASSERT_TRUE(win32.post_thread_message(me, platform::win32::wm_quit, 0, 0).has_value());
  ASSERT_TRUE(win32.post_task(me, [] {}).has_value());
  Message m;
  EXPECT_EQ(win32.get_message(m), GetMessageResult::Quit);
  EXPECT_EQ(win32.get_message(m), GetMessageResult::Message);
}

TEST(FakeMessageQueueTest, TasksRunOnTheQueueOwnersThread) {
  TestPlatform fake;
  auto& win32 = fake.win32_fake;
  // As the dispatcher queue controller makes it for the capture thread.
  win32.create_message_queue();
  const std::uint32_t me = win32.get_current_thread_id();
  std::thread::id ran_on;
  std::thread poster([&] {
    ASSERT_TRUE(win32.post_task(me, [&ran_on] { ran_on = std::this_thread::get_id(); }).has_value());
    ASSERT_TRUE(win32.post_thread_message(me, platform::win32::wm_quit, 0, 0).has_value());
  });
  Message m;
  while (win32.get_message(m) == GetMessageResult::Message) {
    win32.dispatch_message(m);
  }
  poster.join();
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

// GetCurrentThreadId is no USER call: a thread that only asked for its id
// has no queue yet.
TEST(FakeMessageQueueTest, ThreadHasAQueueOnlyAfterAUserCall) {
  TestPlatform fake;
  auto& win32 = fake.win32_fake;
  std::uint32_t id = 0;
  std::thread([&] { id = win32.get_current_thread_id(); }).join();
  const auto posted = win32.post_thread_message(id, platform::win32::wm_user, 0, 0);
  ASSERT_FALSE(posted.has_value());
  EXPECT_EQ(posted.error().code(), platform::fake::FakeWin32::error_invalid_thread_id);
  std::thread([&] {
    platform::Message m;
    ASSERT_TRUE(win32.post_thread_message(win32.get_current_thread_id(), platform::win32::wm_quit, 0, 0));
    EXPECT_EQ(win32.get_message(m), GetMessageResult::Quit);
    id = win32.get_current_thread_id();
  }).join();
  EXPECT_TRUE(win32.post_thread_message(id, platform::win32::wm_user, 0, 0).has_value());
}

TEST(FakeMessageQueueTest, PostingToAThreadWithoutQueueFails) {
  TestPlatform fake;
  const auto posted = fake.win32_fake.post_thread_message(0xFFFF, platform::win32::wm_quit, 0, 0);
  ASSERT_FALSE(posted.has_value());
  EXPECT_EQ(posted.error().code(), platform::fake::FakeWin32::error_invalid_thread_id);
}

}  // namespace
}  // namespace quorvex::testing
