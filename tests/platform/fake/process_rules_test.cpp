// The Windows side of the parent's contract on the fake process calls: which
// parent is watched and when its end is told, and what standard output is.
#include "platform/process_rules.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "platform/fake/fake_win32_process.h"

namespace quorvex::platform {
namespace {

using fake::FakeProcessEntry;
using fake::FakeStdout;
using fake::FakeWin32Process;
using State = ParentLookup::State;

constexpr std::uint32_t self_id = 400;
constexpr std::uint32_t parent_id = 300;
constexpr std::uint64_t self_created = 2'000;
// Generous: the watch thread wakes within microseconds on an idle machine.
constexpr std::chrono::seconds wake_timeout{30};

// A parent started before us, and us.
std::shared_ptr<FakeWin32Process> family() {
  auto calls = std::make_shared<FakeWin32Process>();
  calls->add_process({.id = parent_id, .parent_id = 4, .created_100ns = 1'000, .open_error = std::nullopt});
  calls->add_process({.id = self_id, .parent_id = parent_id, .created_100ns = self_created, .open_error = std::nullopt});
  calls->set_current_process(self_id);
  return calls;
}

struct ParentCase {
  const char* fault;
  std::function<void(FakeWin32Process&)> arrange;
  State expected;
};

TEST(FindParentProcess, TellsAnEndedParentOnlyWhenItIsSureAndOpensTheRestForAWait) {
  const ParentCase cases[] = {
      {"parent running", [](FakeWin32Process&) {}, State::Running},
      {"no snapshot", [](FakeWin32Process& c) { c.faults().fail("process_snapshot", status::error_access_denied); },
       State::Unknown},
      {"not in the snapshot", [](FakeWin32Process& c) { c.set_current_process(401); }, State::Unknown},
      {"no parent id",
       [](FakeWin32Process& c) {
         c.add_process({.id = self_id, .parent_id = 0, .created_100ns = self_created, .open_error = std::nullopt});
       },
       State::Unknown},
      {"parent ended before the snapshot's open", [](FakeWin32Process& c) { c.end_process(parent_id); },
       State::Ended},
      {"parent of another user",
       [](FakeWin32Process& c) {
         c.add_process(
             {.id = parent_id, .parent_id = 4, .created_100ns = 1'000, .open_error = status::error_access_denied});
       },
       State::Unknown},
      {"parent's id reused by a younger process",
       [](FakeWin32Process& c) {
         c.add_process({.id = parent_id, .parent_id = 9, .created_100ns = 3'000, .open_error = std::nullopt});
       },
       State::Ended},
      {"creation time unreadable: waited on",
       [](FakeWin32Process& c) { c.faults().fail("get_process_times", status::error_access_denied); },
       State::Running},
  };
  for (const ParentCase& c : cases) {
    SCOPED_TRACE(c.fault);
    auto calls = family();
    c.arrange(*calls);
    const ParentLookup lookup = find_parent_process(*calls);
    EXPECT_EQ(lookup.state, c.expected);
    EXPECT_EQ(lookup.parent != nullptr, c.expected == State::Running);
    if (lookup.parent) {
      // Enough to wait and to read the creation time, and no more: a parent
      // of the same user grants these even when elevated.
      EXPECT_EQ(calls->last_open_access(), win32::synchronize | win32::process_query_limited_information);
    }
  }
}

TEST(WaitForParentExit, CallsBackOnlyOnceTheParentHasEnded) {
  auto calls = family();
  ParentLookup lookup = find_parent_process(*calls);
  ASSERT_EQ(lookup.state, State::Running);
  std::promise<void> called;
  std::thread waiter([&] { wait_for_parent_exit(*lookup.parent, [&] { called.set_value(); }); });
  calls->end_process(parent_id);
  EXPECT_EQ(called.get_future().wait_for(wake_timeout), std::future_status::ready);
  waiter.join();
}

// A wait that fails tells nothing about the parent: ending the session then
// would stop every capture of a parent that is alive and well.
TEST(WaitForParentExit, AFailedWaitIsNotTheParentsEnd) {
  auto calls = family();
  int exits = 0;
  {
    // A handle without SYNCHRONIZE: Windows refuses the wait.
    auto handle = calls->open_process(win32::process_query_limited_information, parent_id);
    ASSERT_TRUE(handle);
    wait_for_parent_exit(**handle, [&] { ++exits; });
  }
  {
    auto handle = calls->open_process(win32::synchronize, parent_id);
    ASSERT_TRUE(handle);
    calls->faults().fail("wait_for_single_object", win32::error_invalid_handle);
    wait_for_parent_exit(**handle, [&] { ++exits; });
  }
  EXPECT_EQ(exits, 0);
}

TEST(WatchParentProcess, EndsTheSessionWhenTheParentEndsOrHasEnded) {
  {
    auto calls = family();
    std::promise<void> called;
    ASSERT_TRUE(watch_parent_process(calls, [&] { called.set_value(); }));
    auto future = called.get_future();
    calls->end_process(parent_id);
    EXPECT_EQ(future.wait_for(wake_timeout), std::future_status::ready);
  }
  {
    auto calls = family();
    calls->end_process(parent_id);
    bool called = false;
    ASSERT_TRUE(watch_parent_process(calls, [&] { called = true; }));
    EXPECT_TRUE(called) << "a parent gone before the watch is told at once";
  }
  {
    auto calls = family();
    calls->faults().fail("process_snapshot", status::error_access_denied);
    bool called = false;
    ASSERT_TRUE(watch_parent_process(calls, [&] { called = true; }));
    EXPECT_FALSE(called);
    EXPECT_EQ(calls->faults().calls("wait_for_single_object"), 0u) << "nothing to wait on";
  }
}

TEST(StandardOutput, OnlyAPipeWhoseReaderClosedIsGoneAndOnlyAConsoleIsATerminal) {
  struct Case {
    FakeStdout kind;
    bool reader_gone;
    bool console;
  };
  const Case cases[] = {
      {FakeStdout::None, false, false},      {FakeStdout::Console, false, true},
      {FakeStdout::NulDevice, false, false}, {FakeStdout::DiskFile, false, false},
      {FakeStdout::Pipe, false, false},      {FakeStdout::PipeReaderGone, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    FakeWin32Process calls;
    calls.set_stdout(c.kind);
    EXPECT_EQ(stdout_reader_gone(calls), c.reader_gone);
    EXPECT_EQ(stdout_is_console(calls), c.console);
    // Only a pipe is written to: a zero-byte write to a file may still
    // touch its modification time, and a console has nothing to tell.
    const bool pipe = c.kind == FakeStdout::Pipe || c.kind == FakeStdout::PipeReaderGone;
    EXPECT_EQ(calls.faults().calls("write_file"), pipe ? 1u : 0u);
  }
}

TEST(StandardOutput, APipeWriteFailingForAnotherReasonIsNoGoneReader) {
  struct Case {
    std::uint32_t code;
    bool gone;
  };
  for (const Case c : {Case{win32::error_no_data, true}, Case{win32::error_broken_pipe, true},
                       Case{status::error_access_denied, false}, Case{win32::error_invalid_handle, false}}) {
    SCOPED_TRACE(c.code);
    FakeWin32Process calls;
    calls.set_stdout(FakeStdout::Pipe);
    calls.faults().fail("write_file", c.code);
    EXPECT_EQ(stdout_reader_gone(calls), c.gone);
  }
}

}  // namespace
}  // namespace quorvex::platform
