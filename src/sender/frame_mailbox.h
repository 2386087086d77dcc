// The two-slot pacing logic between capture and encoder: it keeps at most one
// converted frame waiting (a newer one displaces it) and lets a frame into the
// encoder only when the encoder has asked for input, fewer than max_in_flight
// frames are inside it and the pacing rule lets it go: a frame interval since
// the previous submission (strict), or the next slot of a fixed grid of
// intervals (grid). The rule is a value the mailbox holds (StrictRule or
// GridRule) with the state only that rule needs. Pure logic: every operation
// returns the actions its caller must carry out, in order.
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
#include <variant>

#include "sender/pacing_rule.h"

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

  // The mailbox adds at most `capacity` actions: a Recycle and a Submit.
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

namespace detail {

// a * b as an unevaluated sum product + error, exactly (Dekker's two-product;
// plain double arithmetic, so it does not depend on the C library's fma).
struct ExactProduct {
  double product;
  double error;
};

[[nodiscard]] inline ExactProduct exact_product(double a, double b) {
  // Veltkamp split into two 26-bit halves: 2^27 + 1.
  constexpr double splitter = 134217729.0;
  const auto split = [](double v) {
    const double scaled = splitter * v;
    const double high = scaled - (scaled - v);
    return std::pair{high, v - high};
  };
  const double product = a * b;
  const auto [a_high, a_low] = split(a);
  const auto [b_high, b_low] = split(b);
  const double error =
      ((a_high * b_high - product) + a_high * b_low + a_low * b_high) + a_low * b_low;
  return {product, error};
}

}  // namespace detail

// 1/fps seconds, computed in double and rounded to the nearest nanosecond,
// ties to even: 30 fps gives 33,333,333 ns, 60 fps 16,666,667 ns. The double
// is scaled to nanoseconds exactly before rounding, so no rate is rounded
// twice. A rate of 0 is paced like 1 fps rather than dividing by zero.
[[nodiscard]] inline std::chrono::nanoseconds frame_interval_for_fps(std::uint32_t fps) {
  const double seconds = 1.0 / static_cast<double>(std::max<std::uint32_t>(fps, 1));
  const auto [product, product_error] = detail::exact_product(seconds, 1e9);
  double whole = std::nearbyint(product);
  // The exact value is product + product_error, and product - whole is exact.
  // The error is below half a unit of product, so it can only move the result
  // off a tie of product itself: then its sign decides.
  const double distance = product - whole;
  if (distance == 0.5 && product_error > 0.0) {
    whole += 1.0;
  } else if (distance == -0.5 && product_error < 0.0) {
    whole -= 1.0;
  }
  return std::chrono::nanoseconds(static_cast<std::int64_t>(whole));
}

template <class S, class Clock = std::chrono::steady_clock>
class FrameMailbox {
 public:
  using TimePoint = typename Clock::time_point;
  using Duration = typename Clock::duration;

  FrameMailbox(Duration interval, std::size_t max_frames_in_flight, PacingRule rule = PacingRule::Strict)
      : max_in_flight_(std::max<std::size_t>(max_frames_in_flight, 1)), rule_(make_rule(rule, interval)) {}

  // A newly converted frame: it displaces any waiting frame (Recycle first),
  // then goes in at once if allowed. A frame held back only by the interval
  // is counted as deferred and left for the pacer.
  [[nodiscard]] ActionList<S> frame_converted(S frame, TimePoint now) {
    ActionList<S> actions;
    if (pending_) {
      ++frames_replaced_;
      actions.push_back(MailboxAction<S>::recycle(std::move(*pending_)));
    }
    pending_.emplace(std::move(frame));
    pending_since_ = now;
    widen_if_starved(now);
    std::visit([now](auto& rule) { rule.frame_arrived(now); }, rule_);
    if (input_requests_ > 0 && in_flight_ < max_in_flight_ && !interval_elapsed(now)) {
      ++frames_deferred_;
      return actions;
    }
    take_if_allowed(now, actions);
    return actions;
  }

  // The encoder asked for one input. Every request counts: Media Foundation
  // documents that the client calls ProcessInput once for each
  // METransformNeedInput, and an encoder that asks for more inputs than
  // max_in_flight before its first output waits for all of them.
  [[nodiscard]] ActionList<S> input_requested(TimePoint now) {
    ++input_requests_;
    awaiting_request_ = false;
    widen_if_starved(now);
    ActionList<S> actions;
    take_if_allowed(now, actions);
    return actions;
  }

  // The encoder refused the frame of the last Submit (MF_E_NOTACCEPTING)
  // although it had asked for input: Chromium saw encoders do this
  // (crbug.com/377749373) and keeps the frame for the next request. So does
  // this: the submission is undone (its request, its place in flight, its
  // pacing), the frame waits again unless a newer one took the slot
  // meanwhile (then the refused one is recycled), and nothing goes in until
  // the encoder asks again.
  [[nodiscard]] ActionList<S> input_refused(S frame) {
    ActionList<S> actions;
    ++input_requests_;
    if (in_flight_ > 0) {
      --in_flight_;
    }
    last_submit_ = undo_.last_submit;
    std::visit([](auto& rule) { rule.submission_refused(); }, rule_);
    full_since_ = undo_.full_since;
    awaiting_request_ = true;
    if (pending_) {
      ++frames_replaced_;
      actions.push_back(MailboxAction<S>::recycle(std::move(frame)));
    } else {
      pending_.emplace(std::move(frame));
      pending_since_ = undo_.pending_since;
    }
    return actions;
  }

  // The encoder returned one output, so one frame fewer is inside it.
  [[nodiscard]] ActionList<S> output_produced(TimePoint now) {
    if (in_flight_ > 0) {
      --in_flight_;
    }
    full_since_.reset();
    ActionList<S> actions;
    take_if_allowed(now, actions);
    return actions;
  }

  // A new pacing rate (the parent's FPS): submissions from the next one on
  // are spaced by `interval`.
  void set_frame_interval(Duration interval) {
    std::visit([interval](auto& rule) { rule.set_interval(interval); }, rule_);
  }

  // The pacer's check: the waiting frame, if it may go in now.
  [[nodiscard]] std::optional<MailboxAction<S>> poll(TimePoint now) {
    if (!pending_ || !submission_allowed(now)) {
      return std::nullopt;
    }
    return take(now);
  }

  // When the waiting frame becomes submittable, possibly already past. None
  // when nothing waits, when only the encoder can unblock it (no request
  // open, or full), or before the first submission (the frame would already
  // have gone in).
  [[nodiscard]] std::optional<TimePoint> deadline() const {
    if (!pending_ || input_requests_ == 0 || in_flight_ >= max_in_flight_ || !last_submit_ || awaiting_request_) {
      return std::nullopt;
    }
    return next_allowed();
  }

  // Takes the waiting frame out unsent and uncounted, for an owner that is
  // ending the session; the caller gives its resources back.
  [[nodiscard]] std::optional<S> withdraw() {
    std::optional<S> frame = std::move(pending_);
    pending_.reset();
    return frame;
  }

  // Takes the waiting frame out unsent, counted as replaced like a frame a
  // newer one displaced: the owner found it can no longer be encoded (the
  // capture changed size). The caller gives its resources back.
  [[nodiscard]] std::optional<S> displace() {
    if (pending_) {
      ++frames_replaced_;
    }
    return withdraw();
  }

  // The most frames max_in_flight may grow to for an encoder that holds more
  // inputs than that before its first output; the surface pool grows with
  // it.
  static constexpr std::size_t in_flight_ceiling = 8;

  // The frame waiting for its turn, if any.
  [[nodiscard]] const std::optional<S>& pending() const { return pending_; }
  // When the last submission that stood went in; absent before the first.
  [[nodiscard]] std::optional<TimePoint> last_submit() const { return last_submit_; }
  // Starts at the configured limit (latency) and only grows, see
  // widen_if_starved.
  [[nodiscard]] std::size_t max_in_flight() const { return max_in_flight_; }
  // Input requests of the encoder not yet answered by a submission.
  [[nodiscard]] std::size_t input_requests() const { return input_requests_; }
  // Frames submitted and not yet given back as an output.
  [[nodiscard]] std::size_t in_flight() const { return in_flight_; }
  // Frames taken out unsent: displaced by a newer frame or by displace().
  [[nodiscard]] std::uint64_t frames_replaced() const { return frames_replaced_; }
  // Frames that arrived while the encoder was ready but the pacing rule held
  // them back.
  [[nodiscard]] std::uint64_t frames_deferred() const { return frames_deferred_; }
  // The spacing of the submissions, as constructed or last set.
  [[nodiscard]] Duration frame_interval() const {
    return std::visit([](const auto& rule) { return rule.interval(); }, rule_);
  }

 private:
  using Rule = std::variant<StrictRule<Clock>, GridRule<Clock>>;

  [[nodiscard]] static Rule make_rule(PacingRule rule, Duration interval) {
    if (rule == PacingRule::Grid) {
      return GridRule<Clock>(interval);
    }
    return StrictRule<Clock>(interval);
  }

  // What a take changed besides the counts and the rule's own state (which
  // the rule undoes itself), so a refused input can be undone.
  struct Undo {
    std::optional<TimePoint> last_submit;
    TimePoint pending_since{};
    std::optional<TimePoint> full_since;
  };

  // An encoder full at max_in_flight that has given nothing back for this
  // long while it still asks for input waits for more input, not for time:
  // a real-time encoder returns a frame within about one interval.
  [[nodiscard]] Duration starved_after() const { return 3 * frame_interval(); }

  // Such an encoder (a look-ahead, a deep pipeline) would otherwise wait for
  // ever with the frame held back here, so one more frame may go in, up to
  // in_flight_ceiling; each further step waits as long again. An encoder
  // that is merely slow gives an output first and keeps the limit.
  void widen_if_starved(TimePoint now) {
    if (pending_ && input_requests_ > 0 && in_flight_ >= max_in_flight_ && full_since_ &&
        now - *full_since_ >= starved_after() && max_in_flight_ < in_flight_ceiling) {
      ++max_in_flight_;
      full_since_.reset();
    }
  }

  [[nodiscard]] bool submission_allowed(TimePoint now) const {
    return input_requests_ > 0 && !awaiting_request_ && in_flight_ < max_in_flight_ && interval_elapsed(now);
  }

  // True before the first submission: the first frame is never held back.
  [[nodiscard]] bool interval_elapsed(TimePoint now) const { return !last_submit_ || now >= next_allowed(); }

  // The earliest instant the pacing rule lets the waiting frame go in; needs
  // a previous submission.
  [[nodiscard]] TimePoint next_allowed() const {
    return std::visit([this](const auto& rule) { return rule.earliest(*last_submit_, pending_since_); }, rule_);
  }

  [[nodiscard]] MailboxAction<S> take(TimePoint now) {
    undo_ = Undo{last_submit_, pending_since_, full_since_};
    std::visit([this, now](auto& rule) { rule.submitted(now, pending_since_); }, rule_);
    S frame = std::move(*pending_);
    pending_.reset();
    --input_requests_;
    ++in_flight_;
    if (in_flight_ >= max_in_flight_ && !full_since_) {
      full_since_ = now;
    }
    last_submit_ = now;
    return MailboxAction<S>::submit(std::move(frame));
  }

  void take_if_allowed(TimePoint now, ActionList<S>& actions) {
    if (pending_ && submission_allowed(now)) {
      actions.push_back(take(now));
    }
  }

  std::optional<TimePoint> last_submit_;
  std::size_t max_in_flight_;
  std::size_t input_requests_ = 0;
  std::size_t in_flight_ = 0;
  std::uint64_t frames_replaced_ = 0;
  std::uint64_t frames_deferred_ = 0;
  std::optional<S> pending_;
  // When the waiting frame arrived; meaningless while the slot is empty.
  TimePoint pending_since_{};
  // An input was refused: nothing goes in until the encoder asks again.
  bool awaiting_request_ = false;
  // When the encoder became full at max_in_flight with no output since.
  std::optional<TimePoint> full_since_;
  Rule rule_;
  Undo undo_;
};

}  // namespace quorvex::sender
