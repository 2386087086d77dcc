// The two-slot pacing logic between capture and encoder: it keeps at most one
// converted frame waiting (a newer one displaces it) and lets a frame into the
// encoder only when the encoder has asked for input, fewer than max_in_flight
// frames are inside it and a frame interval has passed since the previous
// submission. Pure logic: every operation returns the actions its caller must
// carry out, in order.
//
// Threads: no lock of its own. The mailbox is a field of the encoder state and
// is touched only under that state's mutex, by the capture thread, the encoder
// event thread and the pacer. Operations never allocate, never wait, and run
// in constant time; S may be move-only.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

namespace quorvex::sender {

template <class S>
struct MailboxAction {
  enum class Kind {
    // Hand this frame to the encoder now.
    Submit,
    // The frame was displaced and will never be encoded: give its resources back.
    Recycle,
  };

  Kind kind;
  S frame;

  [[nodiscard]] static MailboxAction submit(S frame) { return {Kind::Submit, std::move(frame)}; }
  [[nodiscard]] static MailboxAction recycle(S frame) { return {Kind::Recycle, std::move(frame)}; }
};

// Up to two actions in call order, stored inline.
template <class S>
class ActionList {
 public:
  static constexpr std::size_t capacity = 2;

  template <class Slot, class Action>
  class BasicIterator {
   public:
    using value_type = MailboxAction<S>;
    using difference_type = std::ptrdiff_t;
    using reference = Action&;

    BasicIterator() = default;
    explicit BasicIterator(Slot* slot) : slot_(slot) {}
    [[nodiscard]] reference operator*() const { return **slot_; }
    [[nodiscard]] Action* operator->() const { return &**slot_; }
    BasicIterator& operator++() {
      ++slot_;
      return *this;
    }
    BasicIterator operator++(int) {
      BasicIterator before = *this;
      ++slot_;
      return before;
    }
    friend bool operator==(const BasicIterator&, const BasicIterator&) = default;

   private:
    Slot* slot_ = nullptr;
  };
  using iterator = BasicIterator<std::optional<MailboxAction<S>>, MailboxAction<S>>;
  using const_iterator =
      BasicIterator<const std::optional<MailboxAction<S>>, const MailboxAction<S>>;

  void push_back(MailboxAction<S> action) { slots_[size_++].emplace(std::move(action)); }

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] MailboxAction<S>& operator[](std::size_t i) { return *slots_[i]; }
  [[nodiscard]] const MailboxAction<S>& operator[](std::size_t i) const { return *slots_[i]; }
  [[nodiscard]] iterator begin() { return iterator(slots_.data()); }
  [[nodiscard]] iterator end() { return iterator(slots_.data() + size_); }
  [[nodiscard]] const_iterator begin() const { return const_iterator(slots_.data()); }
  [[nodiscard]] const_iterator end() const { return const_iterator(slots_.data() + size_); }

 private:
  std::array<std::optional<MailboxAction<S>>, capacity> slots_;
  std::size_t size_ = 0;
};

// 1/fps seconds, computed in double and rounded to the nearest nanosecond,
// ties to even: 30 fps gives 33,333,333 ns, 60 fps 16,666,667 ns. The product
// with 1e9 is rounded exactly (its rounding error is recovered with fma), so
// no frame rate is rounded twice. A rate of 0 is paced like 1 fps rather than
// dividing by zero.
[[nodiscard]] inline std::chrono::nanoseconds frame_interval_for_fps(std::uint32_t fps) {
  const double seconds = 1.0 / static_cast<double>(std::max<std::uint32_t>(fps, 1));
  const double product = seconds * 1e9;
  const double product_error = std::fma(seconds, 1e9, -product);
  double whole = std::nearbyint(product);
  // The exact value is product + product_error; |product - whole| <= 0.5 and
  // the subtraction is exact, so this is the exact distance from `whole`.
  const double excess = (product - whole) + product_error;
  if (excess > 0.5 || (excess == 0.5 && std::fmod(whole, 2.0) != 0.0)) {
    whole += 1.0;
  } else if (excess < -0.5 || (excess == -0.5 && std::fmod(whole, 2.0) != 0.0)) {
    whole -= 1.0;
  }
  return std::chrono::nanoseconds(static_cast<std::int64_t>(whole));
}

template <class S, class Clock = std::chrono::steady_clock>
class FrameMailbox {
 public:
  using TimePoint = typename Clock::time_point;
  using Duration = typename Clock::duration;

  FrameMailbox(Duration interval, std::size_t max_frames_in_flight)
      : max_in_flight(std::max<std::size_t>(max_frames_in_flight, 1)), frame_interval(interval) {}

  // A newly converted frame: it displaces any waiting frame (Recycle first),
  // then goes in at once if allowed. A frame held back only by the interval
  // is counted as deferred and left for the pacer.
  [[nodiscard]] ActionList<S> frame_converted(S frame, TimePoint now) {
    ActionList<S> actions;
    if (pending) {
      ++frames_replaced;
      actions.push_back(MailboxAction<S>::recycle(std::move(*pending)));
    }
    pending.emplace(std::move(frame));
    if (input_requests > 0 && in_flight < max_in_flight && last_submit &&
        now < *last_submit + frame_interval) {
      ++frames_deferred;
      return actions;
    }
    take_if_allowed(now, actions);
    return actions;
  }

  // The encoder asked for one input. Requests beyond max_in_flight are
  // forgotten: the encoder cannot hold more frames than that anyway.
  [[nodiscard]] ActionList<S> input_requested(TimePoint now) {
    input_requests = std::min(input_requests + 1, max_in_flight);
    ActionList<S> actions;
    take_if_allowed(now, actions);
    return actions;
  }

  // The encoder returned one output, so one frame fewer is inside it.
  [[nodiscard]] ActionList<S> output_produced(TimePoint now) {
    if (in_flight > 0) {
      --in_flight;
    }
    ActionList<S> actions;
    take_if_allowed(now, actions);
    return actions;
  }

  // The pacer's check: the waiting frame, if it may go in now.
  [[nodiscard]] std::optional<MailboxAction<S>> poll(TimePoint now) {
    if (!submission_allowed(now) || !pending) {
      return std::nullopt;
    }
    return take(now);
  }

  // When the waiting frame becomes submittable, possibly already past. None
  // when nothing waits, when only the encoder can unblock it (no request
  // open, or full), or before the first submission (the frame would already
  // have gone in).
  [[nodiscard]] std::optional<TimePoint> deadline() const {
    if (!pending || input_requests == 0 || in_flight >= max_in_flight || !last_submit) {
      return std::nullopt;
    }
    return *last_submit + frame_interval;
  }

  // Plain data of the owner, read and (pending, frames_replaced) changed by
  // it directly under the encoder-state lock.
  std::optional<TimePoint> last_submit;
  std::size_t max_in_flight;
  std::size_t input_requests = 0;
  std::size_t in_flight = 0;
  std::uint64_t frames_replaced = 0;
  std::uint64_t frames_deferred = 0;
  std::optional<S> pending;
  Duration frame_interval;

 private:
  [[nodiscard]] bool submission_allowed(TimePoint now) const {
    return input_requests > 0 && in_flight < max_in_flight &&
           (!last_submit || now >= *last_submit + frame_interval);
  }

  [[nodiscard]] MailboxAction<S> take(TimePoint now) {
    S frame = std::move(*pending);
    pending.reset();
    --input_requests;
    ++in_flight;
    last_submit = now;
    return MailboxAction<S>::submit(std::move(frame));
  }

  void take_if_allowed(TimePoint now, ActionList<S>& actions) {
    if (pending && submission_allowed(now)) {
      actions.push_back(take(now));
    }
  }
};

}  // namespace quorvex::sender
