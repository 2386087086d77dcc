// Contract: the thread message queue (GetMessageW, PostThreadMessageW,
// PostQuitMessage, DispatchMessageW) as the capture loop relies on it.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "contract/contract_factory.h"

namespace quorvex::platform::contract {

template <class Factory>
class MessageQueueContract : public ::testing::Test {
 protected:
  std::unique_ptr<Platform> platform_ = Factory::create();
  Win32& win32() { return platform_->win32(); }
};
TYPED_TEST_SUITE_P(MessageQueueContract);

TYPED_TEST_P(MessageQueueContract, PostedMessagesComeOutInPostingOrder) {
  Win32& w = this->win32();
  const std::uint32_t self = w.get_current_thread_id();
  for (std::uint32_t i = 0; i < 5; ++i) {
    ASSERT_TRUE(w.post_thread_message(self, win32::wm_user + i, i, -static_cast<std::int64_t>(i)).has_value());
  }
  for (std::uint32_t i = 0; i < 5; ++i) {
    Message m;
    ASSERT_EQ(w.get_message(m), GetMessageResult::Message);
    EXPECT_EQ(m.message, win32::wm_user + i);
    EXPECT_EQ(m.wparam, i);
    EXPECT_EQ(m.lparam, -static_cast<std::int64_t>(i));
  }
}

TYPED_TEST_P(MessageQueueContract, QuitRequestWaitsBehindPostedMessagesAndCarriesExitCode) {
  Win32& w = this->win32();
  const std::uint32_t self = w.get_current_thread_id();
  ASSERT_TRUE(w.post_thread_message(self, win32::wm_user, 1, 0).has_value());
  w.post_quit_message(7);
  Message m;
  ASSERT_EQ(w.get_message(m), GetMessageResult::Message);
  EXPECT_EQ(m.message, win32::wm_user);
  ASSERT_EQ(w.get_message(m), GetMessageResult::Quit);
  EXPECT_EQ(m.message, win32::wm_quit);
  EXPECT_EQ(m.wparam, 7u);
}

TYPED_TEST_P(MessageQueueContract, PostedWmQuitEndsTheLoopOfAnotherThread) {
  Win32& w = this->win32();
  std::promise<std::uint32_t> id;
  std::vector<std::uint32_t> seen;
  std::thread loop([&] {
    // A queue call makes the thread's queue, as on Windows.
    (void)w.post_thread_message(w.get_current_thread_id(), win32::wm_user + 99, 0, 0);
    id.set_value(w.get_current_thread_id());
    Message m;
    while (w.get_message(m) == GetMessageResult::Message) {
      w.translate_message(m);
      w.dispatch_message(m);
      seen.push_back(m.message);
    }
  });
  const std::uint32_t target = id.get_future().get();
  ASSERT_TRUE(w.post_thread_message(target, win32::wm_user + 1, 0, 0).has_value());
  ASSERT_TRUE(w.post_thread_message(target, win32::wm_quit, 0, 0).has_value());
  loop.join();
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{win32::wm_user + 99, win32::wm_user + 1}));
}

REGISTER_TYPED_TEST_SUITE_P(MessageQueueContract, PostedMessagesComeOutInPostingOrder,
                            QuitRequestWaitsBehindPostedMessagesAndCarriesExitCode,
                            PostedWmQuitEndsTheLoopOfAnotherThread);

// A thread has a queue only once it made a queue call, and loses it when it
// ends; a post to it then fails instead of vanishing. A separate suite: a
// scripted fake that hands out its queues by thread id cannot see threads end.
template <class Factory>
class ThreadQueueLifetimeContract : public MessageQueueContract<Factory> {};
TYPED_TEST_SUITE_P(ThreadQueueLifetimeContract);

TYPED_TEST_P(ThreadQueueLifetimeContract, PostingToAThreadWithoutAQueueFails) {
  Win32& w = this->win32();
  std::uint32_t finished = 0;
  std::thread gone([&] { finished = w.get_current_thread_id(); });
  gone.join();
  EXPECT_FALSE(w.post_thread_message(finished, win32::wm_user, 0, 0).has_value());
}

REGISTER_TYPED_TEST_SUITE_P(ThreadQueueLifetimeContract, PostingToAThreadWithoutAQueueFails);

}  // namespace quorvex::platform::contract
