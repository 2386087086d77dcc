#include "app/pipeline/encoder_state.h"

#include <algorithm>
#include <utility>

#include "app/diagnostics.h"
#include "app/platform_error.h"
#include "platform/platform.h"
#include "sender/windows_encoder.h"

namespace quorvex::app {
namespace mf = platform::mf;

namespace {
// Sample times are counted in 100-ns units.
constexpr std::int64_t units_100ns_per_second = 10'000'000;
}  // namespace

EncoderState::EncoderState(std::uint32_t fps_, sender::PacingRule pacing)
    : mailbox(sender::frame_interval_for_fps(fps_),
              std::max<std::size_t>(1, sender::h264_settings(fps_).max_in_flight), pacing),
      frame_duration_100ns(units_100ns_per_second / static_cast<std::int64_t>(fps_)),
      fps(fps_) {}

Result<void> EncoderState::apply(MailboxActions actions) {
  for (auto& action : actions) {
    Result<void> done = action.kind == sender::MailboxAction<PendingInput>::Kind::Submit
                            ? submit(std::move(action.frame))
                            : recycle(std::move(action.frame.surface));
    if (!done) {
      return done;
    }
  }
  return {};
}

Result<void> EncoderState::recycle(GpuSurface surface) {
  if (!converter) {
    return fail(std::string(converter_unavailable_message));
  }
  converter->free_surfaces.push_back(std::move(surface));
  return {};
}

Result<void> EncoderState::submit(PendingInput frame) {
  // Exchange, not load-then-store: a request made while this runs is kept
  // for the next frame, and two requests before it force one keyframe.
  if (keyframe_request->exchange(false)) {
    // VT_UI4 1, as documented: an encoder that checks the type refuses a
    // VT_BOOL, and a refused submission would end the session.
    auto forced = codec_api->set_value(platform::guids::codecapi_av_enc_video_force_key_frame, mf::Variant::ui4(1));
    if (!forced) {
      if (auto recycled = recycle(std::move(frame.surface)); !recycled) {
        return recycled;
      }
      return fail_platform(forced.error());
    }
    diagnostics->write_line(diagnostics::encoder_control_keyframe());
  }

  mf::MediaFoundation& media = platform::current().media_foundation();
  auto buffer = media.mf_create_dxgi_surface_buffer(frame.surface.texture, 0, false);
  if (!buffer) {
    return fail_platform(buffer.error());
  }
  if (!*buffer) {
    return fail_status(platform::status::e_pointer);
  }
  // A surface buffer starts with a current length of 0, which some encoders
  // take for an empty frame: the whole surface is the frame.
  auto max_length = (*buffer)->get_max_length();
  if (!max_length) {
    return fail_platform(max_length.error());
  }
  if (auto sized = (*buffer)->set_current_length(*max_length); !sized) {
    return fail_platform(sized.error());
  }
  auto sample = media.mf_create_sample();
  if (!sample) {
    return fail_platform(sample.error());
  }
  if (!*sample) {
    return fail_status(platform::status::e_pointer);
  }
  if (auto added = (*sample)->add_buffer(*buffer); !added) {
    return fail_platform(added.error());
  }
  if (auto timed = (*sample)->set_sample_time(next_sample_time_100ns); !timed) {
    return fail_platform(timed.error());
  }
  if (auto lasting = (*sample)->set_sample_duration(frame_duration_100ns); !lasting) {
    return fail_platform(lasting.error());
  }
  // The timeline ignores real capture times; those travel in the PendingInput.
  next_sample_time_100ns += frame_duration_100ns;

  if (auto accepted = transform->process_input(0, **sample, 0); !accepted) {
    if (auto recycled = recycle(std::move(frame.surface)); !recycled) {
      return recycled;
    }
    return fail_platform(accepted.error());
  }
  ++encoded_frames;
  frame.submitted_at = std::chrono::steady_clock::now();
  if (submitted.empty()) {
    progress_at = frame.submitted_at;
  }
  submitted.push_back(std::move(frame));
  encoder_max_depth = std::max<std::uint64_t>(encoder_max_depth, submitted.size());
  return {};
}

std::optional<std::string> EncoderState::stall(MonotonicTime now) const {
  const bool drain_pending = finishing && !drained;
  if (!progress_at || writing_record || (submitted.empty() && !drain_pending) ||
      now - *progress_at < encoder_stall_timeout) {
    return std::nullopt;
  }
  const std::size_t in_flight = submitted.size();
  return "encoder stalled: no output for " + std::to_string(encoder_stall_timeout.count()) + " s with " +
         std::to_string(in_flight) + (in_flight == 1 ? " frame" : " frames") + " in flight";
}

std::optional<std::string> hung_call(const SharedEncoderState& state, MonotonicTime now) {
  const auto since = state.held_since();
  if (!since || now - *since < encoder_stall_timeout) {
    return std::nullopt;
  }
  return hung_call_message();
}

std::string hung_call_message() {
  return "encoder stalled: a call into the encoder has not returned for " +
         std::to_string(encoder_stall_timeout.count()) + " s";
}

Result<EncoderStateLock> lock_encoder_state(SharedEncoderState& state) {
  EncoderStateLock guard = state.lock();
  if (guard.poisoned()) {
    return fail(std::string(lock_poisoned_message));
  }
  return guard;
}

void record_thread_error(SharedEncoderState& state, std::condition_variable& wake,
                         const Result<void>& result, LineSink& diagnostics) {
  if (result) {
    return;
  }
  diagnostics.write_line(diagnostics::encoder_thread_failed(result.error().message));
  {
    EncoderStateLock guard = state.lock();
    if (!guard.poisoned()) {
      guard->error = result.error().message;
    }
  }
  wake.notify_all();
}

}  // namespace quorvex::app
