// Costs of the per-frame work of the sender library: the frame mailbox (every
// captured frame, encoder request and output passes through it under the
// encoder-state lock) and writing a frame record. Allocations are counted by
// replacing the global operator new; the mailbox must report 0 per operation.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "sender/frame_mailbox.h"
#include "sender/windows_encoder.h"

namespace {

std::atomic<std::uint64_t> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace quorvex::sender;
using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;

// A frame as the program holds it: move-only, owning a surface slot.
class Surface {
 public:
  explicit Surface(int slot) : slot_(slot) {}
  Surface(Surface&& other) noexcept : slot_(std::exchange(other.slot_, -1)) {}
  Surface& operator=(Surface&& other) noexcept {
    slot_ = std::exchange(other.slot_, -1);
    return *this;
  }
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;
  [[nodiscard]] int slot() const { return slot_; }

 private:
  int slot_;
};

std::uint64_t submits = 0;

template <class Actions>
void consume(Actions& actions) {
  for (auto& action : actions) {
    benchmark::DoNotOptimize(action.frame.slot());
    submits += action.kind == MailboxAction<Surface>::Kind::Submit ? 1 : 0;
  }
}

// Call right after the timed loop: adding counters allocates too.
void report_allocations(benchmark::State& state, std::uint64_t before, double ops_per_iteration) {
  const auto count = static_cast<double>(allocations.load() - before);
  state.counters["allocs_per_op"] =
      benchmark::Counter(count / ops_per_iteration, benchmark::Counter::kAvgIterations);
  state.counters["time_per_op"] = benchmark::Counter(
      ops_per_iteration, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One capture-to-output cycle at a 60 Hz capture into a 30 fps encoder: a
// frame that goes straight in, one that is deferred, one displacing it after
// the interval, a pacer poll, encoder request and output.
void BM_MailboxCycle(benchmark::State& state) {
  // On the heap like the program's (inside the encoder state); GCC 12 reports
  // false uninitialised reads of the optionals of a fully inlined local.
  auto owner = std::make_unique<FrameMailbox<Surface>>(frame_interval_for_fps(30), 2);
  FrameMailbox<Surface>& mailbox = *owner;
  TimePoint now{};
  int slot = 0;
  submits = 0;
  const std::uint64_t before = allocations.load();
  for (auto _ : state) {
    auto requested = mailbox.input_requested(now);
    consume(requested);
    auto first = mailbox.frame_converted(Surface(slot++ & 3), now);
    consume(first);
    now += 16'666'667ns;
    auto deferred = mailbox.frame_converted(Surface(slot++ & 3), now);
    consume(deferred);
    auto polled = mailbox.poll(now);
    if (polled) {
      benchmark::DoNotOptimize(polled->frame.slot());
      ++submits;
    }
    auto produced = mailbox.output_produced(now);
    consume(produced);
    now += 16'666'667ns;
    benchmark::DoNotOptimize(mailbox.deadline());
  }
  constexpr double ops_per_cycle = 6;
  report_allocations(state, before, ops_per_cycle);
  state.counters["submits_per_cycle"] =
      benchmark::Counter(static_cast<double>(submits), benchmark::Counter::kAvgIterations);
  state.counters["replaced_per_cycle"] = benchmark::Counter(
      static_cast<double>(mailbox.frames_replaced()), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_MailboxCycle);

// The capture handler's hot path alone: a frame displacing a waiting one.
void BM_MailboxFrameReplaced(benchmark::State& state) {
  // On the heap like the program's (inside the encoder state); GCC 12 reports
  // false uninitialised reads of the optionals of a fully inlined local.
  auto owner = std::make_unique<FrameMailbox<Surface>>(frame_interval_for_fps(30), 2);
  FrameMailbox<Surface>& mailbox = *owner;
  TimePoint now{};
  int slot = 0;
  const std::uint64_t before = allocations.load();
  for (auto _ : state) {
    auto actions = mailbox.frame_converted(Surface(slot++ & 3), now);
    consume(actions);
    now += 1ms;
  }
  report_allocations(state, before, 1);
}
BENCHMARK(BM_MailboxFrameReplaced);

void BM_WriteFrame(benchmark::State& state) {
  const std::vector<std::byte> payload(static_cast<std::size_t>(state.range(0)), std::byte{0x5A});
  MemorySink sink;
  sink.bytes.reserve(payload.size() + frame_record_header_bytes);
  const auto capture_time = std::chrono::system_clock::now();
  bool keyframe = false;
  const std::uint64_t before = allocations.load();
  for (auto _ : state) {
    sink.bytes.clear();
    auto written = write_frame(sink, capture_time, keyframe, payload);
    benchmark::DoNotOptimize(written);
    keyframe = !keyframe;
  }
  report_allocations(state, before, 1);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(payload.size() + frame_record_header_bytes));
}
BENCHMARK(BM_WriteFrame)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

void BM_EncoderLatencySummary(benchmark::State& state) {
  std::vector<std::uint64_t> samples;
  for (std::int64_t i = 0; i < state.range(0); ++i) samples.push_back((i * 7919) % 97);
  const std::uint64_t before = allocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(encoder_latency_summary(samples, 2));
  }
  report_allocations(state, before, 1);
}
BENCHMARK(BM_EncoderLatencySummary)->Arg(30)->Arg(60);

}  // namespace

BENCHMARK_MAIN();
