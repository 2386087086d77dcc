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
      repeat(sender::frame_interval_for_fps(fps_)),
      reported_in_flight_limit(mailbox.max_in_flight()),
      paced_fps(fps_),
      frame_duration_100ns(units_100ns_per_second / static_cast<std::int64_t>(fps_)),
      fps(fps_) {}

namespace {

// The encoder's rates for a new mean bit rate, in an order that keeps the
// peak at or above the mean at every step (an encoder may refuse a mean
// above its peak): the peak first when the rate goes up, last when it goes
// down. The buffer follows, so it holds the same time at the new rate.
platform::Status set_encoder_rates(mf::CodecApi& codec, std::uint32_t old_bitrate, std::uint32_t new_bitrate,
                                   std::optional<std::chrono::milliseconds> rate_buffer) {
  namespace g = platform::guids;
  const auto set = [&codec](const platform::Guid& property, std::uint32_t value) {
    return codec.set_value(property, mf::Variant::ui4(value));
  };
  if (!rate_buffer) {
    return set(g::codecapi_av_enc_common_mean_bit_rate, new_bitrate);
  }
  const bool rising = new_bitrate > old_bitrate;
  for (const platform::Guid& property :
       {rising ? g::codecapi_av_enc_common_max_bit_rate : g::codecapi_av_enc_common_mean_bit_rate,
        rising ? g::codecapi_av_enc_common_mean_bit_rate : g::codecapi_av_enc_common_max_bit_rate}) {
    if (auto r = set(property, new_bitrate); !r) {
      return r;
    }
  }
  return set(g::codecapi_av_enc_common_buffer_size, sender::rate_buffer_bytes(new_bitrate, *rate_buffer));
}

}  // namespace

void EncoderState::take_rate_requests() {
  if (!rate_request || !codec_api) {
    return;
  }
  // Microsoft's "H.264 Video Encoder" page: from Windows 8 the mean bit rate
  // may be set during encoding ("If the bit rate changes, the encoder uses
  // adaptive encoding"); it applies from the next input. The encoder's frame
  // rate stays as configured, so a slower pace is paid for with a higher
  // rate per frame (sender::encoder_bitrate_for).
  const auto change = [this](diagnostics::EncoderRate kind, std::uint32_t shown, std::uint32_t bitrate,
                             std::uint32_t new_fps) {
    const std::uint32_t new_encoder_bitrate = sender::encoder_bitrate_for(bitrate, fps, new_fps);
    if (auto set = set_encoder_rates(*codec_api, encoder_bitrate, new_encoder_bitrate, rate_buffer); !set) {
      diagnostics->write(diagnostics::encoder_rate(kind, shown, new_encoder_bitrate, set.error().text()));
      return;
    }
    target_bitrate = bitrate;
    encoder_bitrate = new_encoder_bitrate;
    if (new_fps != paced_fps) {
      paced_fps = new_fps;
      mailbox.set_frame_interval(sender::frame_interval_for_fps(new_fps));
    }
    diagnostics->write(diagnostics::encoder_rate(kind, shown, new_encoder_bitrate, std::nullopt));
  };
  if (const std::uint32_t asked = rate_request->fps.exchange(0); asked != 0) {
    change(diagnostics::EncoderRate::Fps, asked, target_bitrate, std::min(asked, fps));
  }
  if (const std::uint32_t asked = rate_request->bitrate.exchange(0); asked != 0) {
    change(diagnostics::EncoderRate::Bitrate, asked, asked, paced_fps);
  }
}

Result<void> EncoderState::apply(MailboxActions actions) {
  for (auto& action : actions) {
    Result<void> done = action.kind == sender::MailboxAction<PendingInput>::Kind::Submit
                            ? submit(std::move(action.frame))
                            : recycle(std::move(action.frame.surface));
    if (!done) {
      return done;
    }
  }
  if (mailbox.max_in_flight() > reported_in_flight_limit) {
    reported_in_flight_limit = mailbox.max_in_flight();
    diagnostics->write(diagnostics::encoder_in_flight(reported_in_flight_limit));
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
  const bool force_keyframe = keyframe_request->exchange(false);
  if (force_keyframe) {
    // VT_UI4 1, as documented: an encoder that checks the type refuses a
    // VT_BOOL, and a refused submission would end the session.
    auto forced = codec_api->set_value(platform::guids::codecapi_av_enc_video_force_key_frame, mf::Variant::ui4(1));
    if (!forced) {
      if (auto recycled = recycle(std::move(frame.surface)); !recycled) {
        return recycled;
      }
      return fail_platform(forced.error());
    }
    diagnostics->write(diagnostics::encoder_control_keyframe());
    repeat.keyframe_forced();
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
    if (accepted.error().code() == platform::status::mf_e_notaccepting) {
      // The encoder never saw this sample, so the timeline takes its time
      // back: a hole in it would read as a dropped frame to the rate
      // control. Whether an encoder keeps a forced keyframe for the input
      // after a refused one is not documented, so the request is made again
      // with the frame that goes in.
      next_sample_time_100ns -= frame_duration_100ns;
      if (force_keyframe) {
        keyframe_request->store(true);
      }
      return apply(mailbox.input_refused(std::move(frame)));
    }
    if (auto recycled = recycle(std::move(frame.surface)); !recycled) {
      return recycled;
    }
    return fail_platform(accepted.error());
  }
  ++encoded_frames;
  frame.submitted_at = std::chrono::steady_clock::now();
  repeat.frame_submitted(*frame.submitted_at);
  if (submitted.empty()) {
    progress_at = frame.submitted_at;
  }
  submitted.push_back(std::move(frame));
  encoder_max_depth = std::max<std::uint64_t>(encoder_max_depth, submitted.size());
  return {};
}

Result<GpuSurface> EncoderState::convert(platform::d3d11::Texture2D& source,
                                         const std::optional<sender::FrameRect>& crop) {
  if (!converter) {
    return fail(std::string(converter_unavailable_message));
  }
  // Every frame the encoder may hold, one waiting and the one in hand.
  const std::size_t wanted = mailbox.max_in_flight() + 2;
  if (converter->surface_count < wanted) {
    if (auto added = converter->add_surfaces(*device, wanted - converter->surface_count); !added) {
      return std::unexpected(added.error());
    }
  }
  if (converter->free_surfaces.empty() && last_frame) {
    converter->free_surfaces.push_back(std::move(*last_frame));
    last_frame.reset();
  }
  return converter->convert(source, crop);
}

Result<void> EncoderState::retire(GpuSurface surface) {
  std::optional<GpuSurface> previous = std::exchange(last_frame, std::move(surface));
  if (previous) {
    return recycle(std::move(*previous));
  }
  return {};
}

std::chrono::system_clock::time_point EncoderState::stamp(std::chrono::system_clock::time_point wall) {
  if (last_stamp && wall <= *last_stamp) {
    wall = *last_stamp + std::chrono::system_clock::duration(1);
  }
  last_stamp = wall;
  return wall;
}

std::optional<FrameRepeat::Due> EncoderState::repeat_due(MonotonicTime now) {
  if (keyframe_request->load()) {
    repeat.keyframe_requested(now);
  }
  return repeat.due({.last_frame_kept = last_frame.has_value(),
                     .frame_waiting = mailbox.pending().has_value(),
                     .frames_in_encoder = submitted.size(),
                     .paused = paused && paused->load()});
}

Result<void> EncoderState::repeat_last_frame(MonotonicTime now) {
  if (!last_frame) {
    return {};
  }
  PendingInput input{std::move(*last_frame), std::nullopt, stamp(std::chrono::system_clock::now()), now};
  last_frame.reset();
  return apply(mailbox.frame_converted(std::move(input), now));
}

std::optional<std::string> EncoderState::stall(MonotonicTime now, MonotonicTime watching_since) const {
  const bool drain_pending = finishing && !drained;
  if (!progress_at || writing_record || (submitted.empty() && !drain_pending) ||
      now - std::max(*progress_at, watching_since) < encoder_stall_timeout) {
    return std::nullopt;
  }
  const std::size_t in_flight = submitted.size();
  return diagnostics::encoder_stalled_no_output(encoder_stall_timeout.count(), in_flight);
}

std::optional<std::string> hung_call(const SharedEncoderState& state, MonotonicTime now,
                                     MonotonicTime watching_since) {
  const auto since = state.held_since();
  if (!since || now - std::max(*since, watching_since) < encoder_stall_timeout) {
    return std::nullopt;
  }
  return hung_call_message();
}

std::string hung_call_message() {
  return diagnostics::encoder_stalled_hung_call(encoder_stall_timeout.count());
}

Result<EncoderStateLock> lock_encoder_state(SharedEncoderState& state) {
  EncoderStateLock guard = state.lock();
  if (guard.poisoned()) {
    return fail(std::string(lock_poisoned_message));
  }
  return guard;
}

void record_thread_error(SharedEncoderState& state, std::condition_variable& wake,
                         const Result<void>& result, diagnostics::Sink& diagnostics) {
  if (result) {
    return;
  }
  diagnostics.write(diagnostics::encoder_thread_failed(result.error().message));
  {
    EncoderStateLock guard = state.lock();
    if (!guard.poisoned()) {
      guard->error = result.error().message;
    }
  }
  wake.notify_all();
}

}  // namespace quorvex::app
