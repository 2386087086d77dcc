#include "app/pipeline/hardware_encoder.h"

#include <algorithm>
#include <string>
#include <utility>

#include "app/pipeline/encoder_events.h"
#include "app/pipeline/pacer.h"
#include "app/platform_error.h"
#include "platform/platform.h"
#include "sender/windows_encoder.h"

namespace quorvex::app {
namespace mf = platform::mf;
namespace guids = platform::guids;

namespace {

constexpr std::uint32_t min_output_buffer_bytes = 1'048'576;

std::uint64_t pack_pair(std::uint32_t high, std::uint32_t low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// Unwraps a call that may report success without an object.
template <class T>
Result<std::shared_ptr<T>> object_of(platform::Result<std::shared_ptr<T>> created) {
  if (!created) {
    return fail_platform(created.error());
  }
  if (!*created) {
    return fail_status(platform::status::e_pointer);
  }
  return std::move(*created);
}

Result<void> checked(const platform::Status& status) {
  if (!status) {
    return fail_platform(status.error());
  }
  return {};
}

// One codec property with its "encoder_setting" line.
Result<void> set_reported(mf::CodecApi& codec, LineSink& lines, const platform::Guid& property,
                          const mf::Variant& value, const std::string& setting) {
  if (auto set = codec.set_value(property, value); !set) {
    lines.write_line("encoder_setting " + setting + " accepted=false error=" + set.error().text());
    return fail_platform(set.error());
  }
  lines.write_line("encoder_setting " + setting + " accepted=true");
  return {};
}

}  // namespace

Result<void> configure_video_type(mf::MediaType& type, const platform::Guid& subtype, std::uint32_t width,
                                  std::uint32_t height, std::uint32_t fps) {
  if (auto r = checked(type.set_guid(guids::mf_mt_major_type, guids::mf_media_type_video)); !r) {
    return r;
  }
  if (auto r = checked(type.set_guid(guids::mf_mt_subtype, subtype)); !r) {
    return r;
  }
  if (auto r = checked(type.set_uint64(guids::mf_mt_frame_size, pack_pair(width, height))); !r) {
    return r;
  }
  if (auto r = checked(type.set_uint64(guids::mf_mt_frame_rate, pack_pair(fps, 1))); !r) {
    return r;
  }
  if (auto r = checked(type.set_uint64(guids::mf_mt_pixel_aspect_ratio, pack_pair(1, 1))); !r) {
    return r;
  }
  return checked(type.set_uint32(guids::mf_mt_interlace_mode, mf::mf_video_interlace_progressive));
}

HardwareEncoder::HardwareEncoder(std::shared_ptr<SharedEncoderState> state,
                                 std::shared_ptr<std::condition_variable> wake, OutputStreams streams)
    : state_(std::move(state)), wake_(std::move(wake)), streams_(std::move(streams)) {}

Result<std::unique_ptr<HardwareEncoder>> HardwareEncoder::create(
    std::shared_ptr<platform::d3d11::Device> device, std::shared_ptr<platform::d3d11::DeviceContext> context,
    std::uint32_t width, std::uint32_t height, std::uint32_t fps, std::uint32_t bitrate,
    FlagCell keyframe_request, OutputStreams streams, sender::PacingRule pacing) {
  mf::MediaFoundation& media = platform::current().media_foundation();
  LineSink& lines = *streams.diagnostics;

  // Balanced by the MFShutdown of the destructor; a failed setup leaves the
  // framework started.
  if (auto r = checked(media.mf_startup(mf::mf_version, mf::mfstartup_full)); !r) {
    return std::unexpected(r.error());
  }

  // The capture callbacks, the pacer, the event thread and the encoder share
  // the immediate context.
  auto multithread = object_of(context->query_multithread());
  if (!multithread) {
    return std::unexpected(multithread.error());
  }
  static_cast<void>((*multithread)->set_multithread_protected(true));

  auto activations = media.mft_enum_ex(
      guids::mft_category_video_encoder, mf::mft_enum_flag_hardware | mf::mft_enum_flag_sortandfilter,
      mf::RegisterTypeInfo{guids::mf_media_type_video, guids::mf_video_format_nv12},
      mf::RegisterTypeInfo{guids::mf_media_type_video, guids::mf_video_format_h264});
  if (!activations) {
    return fail_platform(activations.error());
  }
  if (activations->empty()) {
    return fail(std::string(no_hardware_encoder_message));
  }
  // The framework's sort order decides; no other encoder is tried.
  std::shared_ptr<mf::Activate> activation = std::move(activations->front());
  activations->clear();
  if (!activation) {
    return fail(std::string(empty_activation_message));
  }

  auto transform = object_of(activation->activate_object());
  if (!transform) {
    return std::unexpected(transform.error());
  }
  auto attributes = object_of((*transform)->get_attributes());
  if (!attributes) {
    return std::unexpected(attributes.error());
  }
  // From now on the transform reports its needs by events.
  if (auto r = checked((*attributes)->set_uint32(guids::mf_transform_async_unlock, 1)); !r) {
    return std::unexpected(r.error());
  }
  auto events = object_of((*transform)->query_event_generator());
  if (!events) {
    return std::unexpected(events.error());
  }
  auto codec = object_of((*transform)->query_codec_api());
  if (!codec) {
    return std::unexpected(codec.error());
  }

  const sender::H264Settings settings = sender::h264_settings(fps);
  if (auto r = set_reported(**codec, lines, guids::codecapi_av_enc_common_rate_control_mode,
                            mf::Variant::ui4(mf::eav_enc_common_rate_control_mode_cbr), "rate_control=cbr");
      !r) {
    return std::unexpected(r.error());
  }
  if (auto r = set_reported(**codec, lines, guids::codecapi_av_enc_common_mean_bit_rate,
                            mf::Variant::ui4(bitrate), "mean_bitrate=" + std::to_string(bitrate));
      !r) {
    return std::unexpected(r.error());
  }
  // The only optional property: an encoder that refuses it still runs.
  static_cast<void>(set_reported(**codec, lines, guids::codecapi_av_enc_common_quality_vs_speed,
                                 mf::Variant::ui4(settings.quality_vs_speed),
                                 "quality_vs_speed=" + std::to_string(settings.quality_vs_speed)));
  if (auto r = set_reported(**codec, lines, guids::codecapi_av_low_latency_mode, mf::Variant::boolean(true),
                            "low_latency=true");
      !r) {
    return std::unexpected(r.error());
  }

  auto read_back = (*codec)->get_value(guids::codecapi_av_low_latency_mode);
  if (!read_back) {
    lines.write_line("encoder_setting low_latency=true verified=false error=" + read_back.error().text());
    return fail_platform(read_back.error());
  }
  if (read_back->type != mf::Variant::Type::Bool || read_back->bool_val != mf::Variant::variant_true) {
    lines.write_line("encoder_setting low_latency=true verified=false");
    return fail(std::string(low_latency_rejected_message));
  }
  lines.write_line("encoder_setting low_latency=true verified=true");

  auto created_manager = media.mf_create_dxgi_device_manager();
  if (!created_manager) {
    return fail_platform(created_manager.error());
  }
  if (!created_manager->manager) {
    return fail(std::string(no_device_manager_message));
  }
  std::shared_ptr<mf::DxgiDeviceManager> manager = std::move(created_manager->manager);
  if (auto r = checked(manager->reset_device(*device, created_manager->reset_token)); !r) {
    return std::unexpected(r.error());
  }
  if (auto r = checked((*transform)->process_message(mf::MftMessage::SetD3DManager, manager.get())); !r) {
    return std::unexpected(r.error());
  }

  {
    auto output_type = object_of(media.mf_create_media_type());
    if (!output_type) {
      return std::unexpected(output_type.error());
    }
    mf::MediaType& type = **output_type;
    if (auto r = configure_video_type(type, guids::mf_video_format_h264, width, height, fps); !r) {
      return std::unexpected(r.error());
    }
    for (const auto& [key, value] :
         {std::pair{guids::mf_mt_avg_bitrate, bitrate},
          std::pair{guids::mf_mt_mpeg2_profile, mf::eav_enc_h264v_profile_base},
          std::pair{guids::codecapi_av_enc_mpv_default_b_picture_count, settings.b_frames},
          std::pair{guids::codecapi_av_enc_mpv_gop_size, settings.gop_size}}) {
      if (auto r = checked(type.set_uint32(key, value)); !r) {
        return std::unexpected(r.error());
      }
    }
    if (auto r = checked((*transform)->set_output_type(0, type, 0)); !r) {
      return std::unexpected(r.error());
    }
  }
  {
    auto input_type = object_of(media.mf_create_media_type());
    if (!input_type) {
      return std::unexpected(input_type.error());
    }
    if (auto r = configure_video_type(**input_type, guids::mf_video_format_nv12, width, height, fps); !r) {
      return std::unexpected(r.error());
    }
    if (auto r = checked((*transform)->set_input_type(0, **input_type, 0)); !r) {
      return std::unexpected(r.error());
    }
  }
  if (auto r = checked((*transform)->process_message(mf::MftMessage::NotifyBeginStreaming, nullptr)); !r) {
    return std::unexpected(r.error());
  }
  if (auto r = checked((*transform)->process_message(mf::MftMessage::NotifyStartOfStream, nullptr)); !r) {
    return std::unexpected(r.error());
  }
  auto info = (*transform)->get_output_stream_info(0);
  if (!info) {
    return fail_platform(info.error());
  }

  auto state = std::make_shared<SharedEncoderState>(fps, pacing);
  {
    auto guard = state->lock();
    EncoderState& s = *guard;
    s.device = std::move(device);
    s.context = std::move(context);
    s.transform = std::move(*transform);
    s.codec_api = std::move(*codec);
    s.device_manager = std::move(manager);
    s.keyframe_request = std::move(keyframe_request);
    s.width = width;
    s.height = height;
    s.output_buffer_size = std::max(info->size, min_output_buffer_bytes);
    s.provides_samples = (info->flags & mf::mft_output_stream_provides_samples) != 0;
    s.diagnostics = streams.diagnostics;
  }
  auto wake = std::make_shared<std::condition_variable>();
  std::unique_ptr<HardwareEncoder> encoder(new HardwareEncoder(state, wake, streams));

  auto output_thread = WorkerThread::start(
      encoder_events_thread_name, [state, wake, events = std::move(*events), streams]() mutable {
        Result<void> result = run_encoder_events(*state, *wake, std::move(events), streams);
        record_thread_error(*state, *wake, result, *streams.diagnostics);
        return result;
      });
  if (!output_thread) {
    return std::unexpected(output_thread.error());
  }
  encoder->output_thread_ = std::move(*output_thread);
  auto pacer_thread = WorkerThread::start(pacer_thread_name, [state, wake, streams]() {
    Result<void> result = run_pacer(*state, *wake);
    record_thread_error(*state, *wake, result, *streams.diagnostics);
    return result;
  });
  if (!pacer_thread) {
    // The destructor drains and joins the event thread already running.
    return std::unexpected(pacer_thread.error());
  }
  encoder->pacer_thread_ = std::move(*pacer_thread);
  return encoder;
}

Result<void> HardwareEncoder::finish() {
  {
    auto locked = lock_encoder_state(*state_);
    if (!locked) {
      return std::unexpected(locked.error());
    }
    EncoderState& s = **locked;
    if (!s.finishing) {
      s.finishing = true;
      if (s.mailbox.pending) {
        PendingInput waiting = std::move(*s.mailbox.pending);
        s.mailbox.pending.reset();
        if (auto recycled = s.recycle(std::move(waiting.surface)); !recycled) {
          return recycled;
        }
      }
      if (auto r = checked(s.transform->process_message(mf::MftMessage::NotifyEndOfStream, nullptr)); !r) {
        return r;
      }
      if (auto r = checked(s.transform->process_message(mf::MftMessage::CommandDrain, nullptr)); !r) {
        return r;
      }
      drain_sent_ = true;
    }
  }
  wake_->notify_all();

  if (auto joined = pacer_thread_.join(pacer_panicked_message); !joined) {
    return joined;
  }
  if (drain_sent_) {
    if (auto joined = output_thread_.join(events_panicked_message); !joined) {
      return joined;
    }
  }

  auto locked = lock_encoder_state(*state_);
  if (!locked) {
    return std::unexpected(locked.error());
  }
  if (!(*locked)->submitted.empty()) {
    return fail(std::string(drain_pending_message));
  }
  if ((*locked)->error) {
    return fail(*(*locked)->error);
  }
  return {};
}

HardwareEncoder::~HardwareEncoder() {
  if (auto finished = finish(); !finished) {
    streams_.diagnostics->write_line("error: encoder finish failed: " + finished.error().message);
  }
  {
    auto guard = state_->lock();
    if (!guard.poisoned() && guard->transform) {
      static_cast<void>(guard->transform->process_message(mf::MftMessage::NotifyEndStreaming, nullptr));
    }
  }
  static_cast<void>(platform::current().media_foundation().mf_shutdown());
  // Threads still here were not joined: they keep running on their own.
  pacer_thread_.detach();
  output_thread_.detach();
}

}  // namespace quorvex::app
