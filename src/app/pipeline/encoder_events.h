// The encoder event thread "media-foundation-output": it waits for the
// asynchronous encoder's events one at a time, feeds input requests to the
// frame mailbox, takes every encoded access unit out of the encoder, matches
// it first-in-first-out with the frame it came from, puts it into Annex B
// form (with the stream's parameter sets in front of every keyframe), writes
// it as a frame record and keeps latency statistics.
//
// Thread contract: run_encoder_events runs on its own thread, the only caller
// of get_event and process_output. It holds the state lock from the moment
// an event has been classified until its state work is done; diagnostics and
// the record are written after the lock has been released, and `wake` is
// notified after every event.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "app/pipeline/annex_b.h"
#include "app/pipeline/encoder_state.h"
#include "app/pipeline/output_streams.h"
#include "platform/media_foundation.h"
#include "sender/keyframe_parameter_sets.h"
#include "sender/picture_colour.h"

namespace quorvex::app {

inline constexpr const char* encoder_events_thread_name = "media-foundation-output";

inline constexpr std::string_view no_output_sample_message = "encoder returned no output sample";
inline constexpr std::string_view untracked_frame_message = "encoder produced an untracked frame";
// Whole milliseconds, truncated; a negative span counts as 0.
[[nodiscard]] std::uint64_t whole_ms(std::chrono::nanoseconds span);

// The event thread's own output context, never shared.
class EncoderOutput {
 public:
  // One encoded access unit, ready to be reported and written.
  struct Taken {
    std::vector<std::byte> payload;
    bool keyframe = false;
    std::chrono::system_clock::time_point capture_time;
    std::uint64_t total_ms = 0;
    std::uint64_t mailbox_wait_ms = 0;
    std::uint64_t mft_ms = 0;
    // With the first output that carries a sequence parameter set: what it
    // says about colour, reported once.
    std::optional<sender::StreamColourWords> stream_colour;
  };
  // Counters copied under the state lock for the statistics lines.
  struct Counters {
    std::uint64_t encoded_frames = 0;
    std::uint64_t encoder_max_depth = 0;
    std::uint64_t frames_replaced = 0;
    std::uint64_t frames_deferred = 0;
  };

  // The latency window.
  static constexpr std::size_t window = 30;

  explicit EncoderOutput(OutputStreams streams);

  // Takes one output from the encoder (state locked). Nothing when the
  // encoder had none to give or renegotiated its output type.
  [[nodiscard]] Result<std::optional<Taken>> take(EncoderState& state);

  // Prints the per-frame line (and every 30th output the window's lines),
  // then writes the frame record (state unlocked).
  [[nodiscard]] Result<void> report_and_write(const Taken& output, const Counters& counters);

 private:
  OutputStreams streams_;
  AnnexBNormaliser annex_b_;
  sender::KeyframeParameterSets parameter_sets_;
  bool stream_colour_read_ = false;
  sender::ColourMatrix picture_matrix_ = sender::ColourMatrix::Bt601;
  std::vector<std::uint64_t> encode_latencies_;
  std::vector<std::uint64_t> mailbox_waits_;
  std::vector<std::uint64_t> mft_latencies_;
};

// The thread's work, from COM initialisation to COM uninitialisation. Ends
// with success once finishing is set and every submitted frame has come out
// or the encoder reported that draining is complete.
[[nodiscard]] Result<void> run_encoder_events(SharedEncoderState& state, std::condition_variable& wake,
                                              std::shared_ptr<platform::mf::MediaEventGenerator> events,
                                              const OutputStreams& streams);

}  // namespace quorvex::app
