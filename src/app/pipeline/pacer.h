// The pacer: submits the frame the mailbox held back because one frame
// interval had not yet passed since the previous submission, the moment the
// interval has passed. It is the only place where time alone, with no
// capture or encoder event, leads to a submission. The same holds for a
// repeat of the last frame: a keyframe asked for on a still screen, where no
// new frame comes to carry it (EncoderState::repeat_due).
//
// Thread contract: run_pacer is the body of the thread "frame-mailbox-pacer".
// It holds the state lock for everything it does and gives it up only while
// waiting on `wake`. It sleeps without a time limit when nothing can be
// submitted and exactly until the deadline otherwise; it never polls. While
// it runs it holds the system timer at its finest (Win32::time_begin_period).
#pragma once

#include <condition_variable>

#include "app/pipeline/encoder_state.h"

namespace quorvex::app {

inline constexpr const char* pacer_thread_name = "frame-mailbox-pacer";

// Ends with success when finishing is set or another thread has recorded an
// error; with an error when COM cannot be initialised, a submission fails
// or the lock is poisoned.
[[nodiscard]] Result<void> run_pacer(SharedEncoderState& state, std::condition_variable& wake);

}  // namespace quorvex::app
