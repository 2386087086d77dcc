#include "app/pipeline/encoder_events.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "app/diagnostics.h"
#include "app/platform_error.h"
#include "platform/platform.h"
#include "sender/h264_nal.h"
#include "sender/h264_sps.h"
#include "sender/windows_encoder.h"

namespace quorvex::app {
namespace mf = platform::mf;

namespace {

// Output buffers are never smaller than this, whatever the encoder reports.
constexpr std::uint32_t min_output_buffer_bytes = 1'048'576;

Result<void> renegotiate(EncoderState& state) {
  auto type = state.transform->get_output_available_type(0, 0);
  if (!type) {
    return fail_platform(type.error());
  }
  if (!*type) {
    return fail_status(platform::status::e_pointer);
  }
  if (auto set = state.transform->set_output_type(0, **type, 0); !set) {
    return fail_platform(set.error());
  }
  auto info = state.transform->get_output_stream_info(0);
  if (!info) {
    return fail_platform(info.error());
  }
  state.output_buffer_size = std::max(info->size, min_output_buffer_bytes);
  // A new type may bring new parameter sets; reading them is best effort.
  if (auto header = (**type).get_blob(platform::guids::mf_mt_mpeg_sequence_header)) {
    state.sequence_header = std::move(*header);
  }
  state.provides_samples = (info->flags & mf::mft_output_stream_provides_samples) != 0;
  state.diagnostics->write(diagnostics::encoder_output_renegotiated());
  return {};
}

// The access unit's bytes, copied once out of the sample's buffer.
Result<std::vector<std::byte>> copy_sample_bytes(mf::Sample& sample) {
  auto buffer = sample.convert_to_contiguous_buffer();
  if (!buffer) {
    return fail_platform(buffer.error());
  }
  if (!*buffer) {
    return fail_status(platform::status::e_pointer);
  }
  auto locked = (*buffer)->lock();
  if (!locked) {
    return fail_platform(locked.error());
  }
  std::vector<std::byte> bytes(locked->current_length);
  if (locked->current_length > 0) {
    std::memcpy(bytes.data(), locked->data, locked->current_length);
  }
  if (auto unlocked = (*buffer)->unlock(); !unlocked) {
    return fail_platform(unlocked.error());
  }
  return bytes;
}

}  // namespace

std::uint64_t whole_ms(std::chrono::nanoseconds span) {
  if (span.count() < 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(span).count());
}

EncoderOutput::EncoderOutput(OutputStreams streams) : streams_(std::move(streams)) {
  encode_latencies_.reserve(window);
  mailbox_waits_.reserve(window);
  mft_latencies_.reserve(window);
}

Result<std::optional<EncoderOutput::Taken>> EncoderOutput::take(EncoderState& state) {
  mf::MediaFoundation& media = platform::current().media_foundation();
  mf::OutputDataBuffer data;
  data.stream_id = 0;
  if (!state.provides_samples) {
    auto sample = media.mf_create_sample();
    if (!sample) {
      return fail_platform(sample.error());
    }
    if (!*sample) {
      return fail_status(platform::status::e_pointer);
    }
    auto buffer = media.mf_create_memory_buffer(state.output_buffer_size);
    if (!buffer) {
      return fail_platform(buffer.error());
    }
    if (!*buffer) {
      return fail_status(platform::status::e_pointer);
    }
    if (auto added = (*sample)->add_buffer(std::move(*buffer)); !added) {
      return fail_platform(added.error());
    }
    data.sample = std::move(*sample);
  }
  std::uint32_t status = 0;
  if (auto produced = state.transform->process_output(0, data, status); !produced) {
    switch (produced.error().code()) {
      case platform::status::mf_e_transform_need_more_input:
        return std::optional<Taken>();
      case platform::status::mf_e_transform_stream_change:
        if (auto renegotiated = renegotiate(state); !renegotiated) {
          return std::unexpected(renegotiated.error());
        }
        return std::optional<Taken>();
      default:
        return fail_platform(produced.error());
    }
  }
  if (!data.sample) {
    return fail(std::string(no_output_sample_message));
  }

  Taken taken;
  const auto clean_point = data.sample->get_uint32(platform::guids::mf_sample_extension_clean_point);
  taken.keyframe = clean_point && *clean_point != 0;
  auto bytes = copy_sample_bytes(*data.sample);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }

  auto now = std::chrono::steady_clock::now();
  if (state.submitted.empty()) {
    return fail(std::string(untracked_frame_message));
  }
  PendingInput entry = std::move(state.submitted.front());
  state.submitted.pop_front();
  state.progress_at = now;
  const MonotonicTime submitted_at = entry.submitted_at.value_or(entry.arrived_at);
  taken.mailbox_wait_ms = whole_ms(submitted_at - entry.arrived_at);
  taken.mft_ms = whole_ms(now - submitted_at);
  taken.total_ms = whole_ms(now - entry.arrived_at);
  taken.capture_time = entry.capture_time;

  if (state.retired_inside > 0) {
    // A replaced converter's surface: released with the entry.
    --state.retired_inside;
  } else if (auto retired = state.retire(std::move(entry.surface)); !retired) {
    // Otherwise kept for a repeat while no newer frame comes (a still screen).
    return std::unexpected(retired.error());
  }
  now = std::chrono::steady_clock::now();
  if (auto applied = state.apply(state.mailbox.output_produced(now)); !applied) {
    return std::unexpected(applied.error());
  }
  auto payload = annex_b_.normalise(std::move(*bytes));
  if (!payload) {
    return std::unexpected(payload.error());
  }
  if (streams_.drop_filler) {
    static_cast<void>(sender::remove_filler_units(*payload));
  }
  if (!state.sequence_header.empty()) {
    // Kept only in the Annex B form Microsoft's encoder gives it; a header
    // framed otherwise is left alone rather than misread.
    const std::vector<std::byte> header = std::exchange(state.sequence_header, {});
    if (begins_with_start_code(header)) {
      parameter_sets_.keep(header);
    }
  }
  taken.payload = parameter_sets_.complete(std::move(*payload), taken.keyframe);
  if (!stream_colour_read_) {
    if (const auto sps = sender::annex_b_sps(taken.payload)) {
      stream_colour_read_ = true;
      taken.stream_colour = sender::stream_colour_words(sps->video_signal);
      picture_matrix_ = sender::picture_colour_matrix(state.width, state.height);
    }
  }
  return std::optional<Taken>(std::move(taken));
}

Result<void> EncoderOutput::report_and_write(const Taken& output, const Counters& counters) {
  diagnostics::Sink& lines = *streams_.diagnostics;
  if (streams_.frame_latency_lines) {
    lines.write(diagnostics::encode_latency_ms(output.total_ms));
  }
  if (output.stream_colour) {
    lines.write(diagnostics::encoder_stream_colour(*output.stream_colour, picture_matrix_));
  }
  encode_latencies_.push_back(output.total_ms);
  mailbox_waits_.push_back(output.mailbox_wait_ms);
  mft_latencies_.push_back(output.mft_ms);
  if (encode_latencies_.size() == window) {
    if (auto summary = sender::encoder_latency_summary(encode_latencies_, counters.encoder_max_depth)) {
      lines.write(diagnostics::encoder_latency(*summary));
    }
    lines.write(
        diagnostics::frame_mailbox(counters.encoded_frames, counters.frames_replaced, counters.frames_deferred));
    const auto wait = sender::encoder_latency_summary(mailbox_waits_, 0);
    const auto mft = sender::encoder_latency_summary(mft_latencies_, 0);
    if (wait && mft) {
      lines.write(diagnostics::latency_breakdown(*wait, *mft));
    }
    encode_latencies_.clear();
    mailbox_waits_.clear();
    mft_latencies_.clear();
  }
  if (auto written = streams_.records->write_record(output.capture_time, output.keyframe, output.payload);
      !written) {
    return fail(written.error().message);
  }
  return {};
}

namespace {

Result<void> serve_events(SharedEncoderState& state, std::condition_variable& wake,
                          mf::MediaEventGenerator& events, EncoderOutput& output) {
  for (;;) {
    auto event = events.get_event(0);
    if (!event) {
      // The owner shut the transform down after its drain was over or given
      // up on: the end, not a failure of this thread.
      if (event.error().code() == platform::status::mf_e_shutdown) {
        auto locked = lock_encoder_state(state);
        if (locked && (**locked).finishing) {
          return {};
        }
      }
      return fail_platform(event.error());
    }
    if (!*event) {
      return fail_status(platform::status::e_pointer);
    }
    auto event_status = (*event)->get_status();
    if (!event_status) {
      return fail_platform(event_status.error());
    }
    if (platform::status::failed(*event_status)) {
      return fail_status(*event_status);
    }
    auto type = (*event)->get_type();
    if (!type) {
      return fail_platform(type.error());
    }

    std::optional<EncoderOutput::Taken> taken;
    EncoderOutput::Counters counters;
    bool finished = false;
    {
      auto locked = lock_encoder_state(state);
      if (!locked) {
        return std::unexpected(locked.error());
      }
      EncoderState& s = **locked;
      if (*type == mf::me_transform_drain_complete) {
        s.drained = true;
      } else if (*type == mf::me_transform_need_input) {
        if (auto applied = s.apply(s.mailbox.input_requested(std::chrono::steady_clock::now())); !applied) {
          return applied;
        }
      } else if (*type == mf::me_transform_have_output) {
        auto result = output.take(s);
        if (!result) {
          return std::unexpected(result.error());
        }
        taken = std::move(*result);
        s.writing_record = taken.has_value();
      }
      counters.encoded_frames = s.encoded_frames;
      counters.encoder_max_depth = s.encoder_max_depth;
      counters.frames_replaced = s.mailbox.frames_replaced();
      counters.frames_deferred = s.mailbox.frames_deferred();
      finished = s.finishing && (s.submitted.empty() || s.drained);
    }
    wake.notify_all();
    if (taken) {
      auto written = output.report_and_write(*taken, counters);
      {
        auto locked = lock_encoder_state(state);
        if (!locked) {
          return std::unexpected(locked.error());
        }
        // The encoder's clock restarts now that the thread listens again.
        (**locked).writing_record = false;
        (**locked).progress_at = std::chrono::steady_clock::now();
      }
      wake.notify_all();
      if (!written) {
        return written;
      }
    }
    if (finished) {
      return {};
    }
  }
}

}  // namespace

Result<void> run_encoder_events(SharedEncoderState& state, std::condition_variable& wake,
                                std::shared_ptr<mf::MediaEventGenerator> events,
                                const OutputStreams& streams) {
  mf::MediaFoundation& media = platform::current().media_foundation();
  if (auto com = media.co_initialize_ex(mf::coinit_multithreaded); !com) {
    return fail_platform(com.error());
  }
  Result<void> result;
  {
    EncoderOutput output(streams);
    result = serve_events(state, wake, *events, output);
  }
  // COM objects go while the thread is still in its apartment.
  events.reset();
  media.co_uninitialize();
  return result;
}

}  // namespace quorvex::app
