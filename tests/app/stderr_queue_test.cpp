// The standard-error queue against a reader that stops reading: the writer is
// held inside a write while lines arrive, as a full pipe would hold it.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "app/stderr_line.h"

namespace quorvex::app {
namespace {

// A stderr whose reader can be made to stop: while closed, a write blocks
// until it opens again.
class StalledReader {
 public:
  LineQueue::Writer writer() {
    return [this](std::string_view line) {
      std::unique_lock lock(mutex_);
      ++writes_started_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return open_; });
      written_.emplace_back(line);
      changed_.notify_all();
    };
  }
  void close() {
    const std::lock_guard lock(mutex_);
    open_ = false;
  }
  void open() {
    {
      const std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  // Waits until the writer is inside its n-th write.
  void wait_for_writes(int n) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return writes_started_ >= n; });
  }
  // Waits until n lines have been written.
  void wait_for_written(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return written_.size() >= n; });
  }
  std::vector<std::string> written() {
    const std::lock_guard lock(mutex_);
    return written_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
  int writes_started_ = 0;
  std::vector<std::string> written_;
};

// Room for three 6-byte droppable lines ("line1\n").
constexpr std::size_t three_lines = 18;

TEST(StderrQueue, StoppedQueueWritesEachLineAtOnceInOrder) {
  StalledReader reader;
  LineQueue queue(reader.writer(), three_lines);
  queue.write("first", LineFate::MayDrop);
  queue.write("second", LineFate::Keep);
  EXPECT_EQ(reader.written(), (std::vector<std::string>{"first\n", "second\n"}));
}

TEST(StderrQueue, AFullQueueDropsCountsAndReportsOnceThereIsRoomAndKeepsEndingLines) {
  StalledReader reader;
  LineQueue queue(reader.writer(), three_lines);
  queue.start();
  reader.close();
  queue.write("held", LineFate::MayDrop);  // the writer is stuck inside this one
  reader.wait_for_writes(1);
  for (const char* line : {"line1", "line2", "line3", "line4", "line5"}) {
    queue.write(line, LineFate::MayDrop);  // line4 and line5 find no room
  }
  queue.write("summary", LineFate::Keep);  // never dropped, even now
  queue.write("line6", LineFate::MayDrop);
  EXPECT_EQ(queue.dropped(), 3U);
  reader.open();
  // The writer's first line after the stall makes room: the count goes in
  // then, behind everything queued before it, and later lines follow it.
  reader.wait_for_written(6);
  queue.write("after", LineFate::MayDrop);
  queue.stop();
  EXPECT_EQ(reader.written(), (std::vector<std::string>{"held\n", "line1\n", "line2\n", "line3\n", "summary\n",
                                                        "diagnostics_dropped count=3\n", "after\n"}));
  EXPECT_EQ(queue.dropped(), 0U);
}

TEST(StderrQueue, StopWritesEverythingQueuedAndTheLastCountThenWritesDirectly) {
  StalledReader reader;
  LineQueue queue(reader.writer(), 0);  // no room at all for droppable lines
  queue.start();
  reader.close();
  queue.write("error: held", LineFate::Keep);
  reader.wait_for_writes(1);
  queue.write("lost", LineFate::MayDrop);
  queue.write("session_end", LineFate::Keep);
  reader.open();
  queue.stop();
  queue.write("later", LineFate::MayDrop);
  EXPECT_EQ(reader.written(), (std::vector<std::string>{"error: held\n", "session_end\n",
                                                        "diagnostics_dropped count=1\n", "later\n"}));
}

TEST(StderrQueue, RestartsAfterStop) {
  StalledReader reader;
  LineQueue queue(reader.writer(), three_lines);
  for (int round = 0; round < 2; ++round) {
    queue.start();
    queue.write("a", LineFate::MayDrop);
    queue.write("b", LineFate::Keep);
    queue.stop();
  }
  EXPECT_EQ(reader.written(), (std::vector<std::string>{"a\n", "b\n", "a\n", "b\n"}));
}

}  // namespace
}  // namespace quorvex::app
