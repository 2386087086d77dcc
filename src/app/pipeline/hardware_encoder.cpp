#include "app/pipeline/hardware_encoder.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "app/diagnostics.h"
#include "app/pipeline/encoder_events.h"
#include "app/pipeline/pacer.h"
#include "app/platform_error.h"
#include "platform/platform.h"
#include "sender/picture_colour.h"
#include "sender/windows_encoder.h"
#include "wgc_capture/utf16.h"

namespace quorvex::app {
namespace mf = platform::mf;
namespace guids = platform::guids;

namespace {

constexpr std::uint32_t min_output_buffer_bytes = 1'048'576;

// The colours of the converter's NV12 (GpuConverter: the picture's matrix,
// studio range, from sRGB desktop pixels), announced on the output type for
// the stream's VUI, so a decoder shows them as they were captured.
std::array<std::pair<platform::Guid, std::uint32_t>, 4> stream_color_description(sender::ColourMatrix matrix) {
  return {{{guids::mf_mt_video_primaries, mf::mf_video_primaries_bt709},
           {guids::mf_mt_transfer_function, mf::mf_video_trans_func_srgb},
           {guids::mf_mt_yuv_matrix, matrix == sender::ColourMatrix::Bt709 ? mf::mf_video_transfer_matrix_bt709
                                                                           : mf::mf_video_transfer_matrix_bt601},
           {guids::mf_mt_video_nominal_range, mf::mf_nominal_range_16_235}}};
}

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
Result<void> set_reported(mf::CodecApi& codec, diagnostics::Sink& lines, const platform::Guid& property,
                          const mf::Variant& value, diagnostics::EncoderSetting setting, std::uint32_t shown = 0) {
  if (auto set = codec.set_value(property, value); !set) {
    lines.write(diagnostics::encoder_setting(setting, shown, set.error().text()));
    return fail_platform(set.error());
  }
  lines.write(diagnostics::encoder_setting(setting, shown, std::nullopt));
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

namespace {

// One encoder transform set up for streaming: what the encoder state and the
// event thread take over.
struct ConfiguredEncoder {
  std::shared_ptr<mf::Transform> transform;
  std::shared_ptr<mf::MediaEventGenerator> events;
  std::shared_ptr<mf::CodecApi> codec;
  std::shared_ptr<mf::DxgiDeviceManager> manager;
  mf::OutputStreamInfo info;
  std::vector<std::byte> sequence_header;
};

// The encoders to try, best first. On a machine with several GPUs the first
// hardware encoder may belong to another adapter than the capture device, so
// the device's own adapter is asked for first (MFTEnum2, Windows 10 1703 and
// later); the plain list is the fallback.
Result<std::vector<std::shared_ptr<mf::Activate>>> enumerate_encoders(
    mf::MediaFoundation& media, std::optional<platform::LocallyUniqueId> device_adapter) {
  const mf::RegisterTypeInfo input{guids::mf_media_type_video, guids::mf_video_format_nv12};
  const mf::RegisterTypeInfo output{guids::mf_media_type_video, guids::mf_video_format_h264};
  constexpr std::uint32_t flags = mf::mft_enum_flag_hardware | mf::mft_enum_flag_sortandfilter;
  if (device_adapter) {
    if (auto own = media.mft_enum2(guids::mft_category_video_encoder, flags, input, output, *device_adapter);
        own && !own->empty()) {
      return std::move(*own);
    }
  }
  auto all = media.mft_enum_ex(guids::mft_category_video_encoder, flags, input, output);
  if (!all) {
    return fail_platform(all.error());
  }
  return std::move(*all);
}

// The adapter of the capture device, when it can be told.
std::optional<platform::LocallyUniqueId> adapter_of(platform::d3d11::Device& device) {
  auto dxgi = device.query_dxgi_device();
  if (!dxgi || !*dxgi) {
    return std::nullopt;
  }
  auto luid = (*dxgi)->get_adapter_luid();
  if (!luid) {
    return std::nullopt;
  }
  return *luid;
}

// Whether a candidate may read the capture device's surfaces. Chromium's
// Media Foundation encoder (media_foundation_video_encode_accelerator_win.cc)
// checks both before it hands its device manager over: "Don't rely on MFT
// rejecting the device manager." An encoder of another adapter may take the
// manager and fail at the first frame, or copy every frame across adapters.
// An activation that does not name its adapter (MFTEnumEx where the system
// has no MFTEnum2, Windows 10 before 1703) is taken on trust, as it was
// before adapters could be told apart: refusing it would leave those
// machines with no encoder at all, and their encoders are the display
// adapter's own.
Result<void> check_adapter(mf::Activate& activation, std::optional<platform::LocallyUniqueId> device_adapter) {
  if (!device_adapter) {
    return {};
  }
  auto own = activation.get_adapter_luid();
  if (own && *own != *device_adapter) {
    return fail(std::string(other_adapter_message));
  }
  return {};
}

// MF_SA_D3D11_AWARE on the transform's attributes, read before the device
// manager is offered (see check_adapter).
Result<void> check_d3d11_aware(mf::Attributes& attributes) {
  auto aware = attributes.get_uint32(guids::mf_sa_d3d11_aware);
  if (!aware || *aware == 0) {
    return fail(std::string(not_d3d11_aware_message));
  }
  return {};
}

// Hints some vendor encoders need, set only where ICodecAPI::IsSupported
// says the encoder knows them; a refusal is reported and setup goes on.
// Both follow Chromium's Media Foundation encoder: screen content is
// announced as display remoting, and the temporal layer count is set to 1
// even for a plain stream because Intel's encoder needs it set. They go
// first, so that a vendor's scenario defaults cannot override the rate
// control and latency settings that follow.
void set_vendor_hints(mf::CodecApi& codec_api, diagnostics::Sink& lines) {
  for (const auto& [property, value, setting] :
       {std::tuple{guids::codecapi_av_scenario_info, mf::eav_scenario_info_display_remoting,
                   diagnostics::EncoderSetting::ScenarioInfo},
        std::tuple{guids::codecapi_av_enc_video_temporal_layer_count, std::uint32_t{1},
                   diagnostics::EncoderSetting::TemporalLayerCount}}) {
    auto supported = codec_api.is_supported(property);
    if (!supported || !*supported) {
      continue;
    }
    if (auto set = codec_api.set_value(property, mf::Variant::ui4(value)); !set) {
      lines.write(diagnostics::encoder_setting(setting, value, set.error().text()));
    }
  }
}

// The rate buffer asked for: the peak rate equal to the mean one, so the
// buffer alone bounds how far a picture may go over its share, and the
// buffer holding `duration` of the rate. Both are properties Microsoft's
// "H.264 Video Encoder" page requires of every certified hardware encoder;
// one that refuses them anyway keeps its own buffer, reported, and the
// session goes on with that.
void set_rate_buffer(mf::CodecApi& codec_api, diagnostics::Sink& lines, std::uint32_t bitrate,
                     std::chrono::milliseconds duration) {
  using Setting = diagnostics::RateBufferSetting;
  for (const auto& [property, value, setting] :
       {std::tuple{guids::codecapi_av_enc_common_max_bit_rate, bitrate, Setting::MaxBitrate},
        std::tuple{guids::codecapi_av_enc_common_buffer_size, sender::rate_buffer_bytes(bitrate, duration),
                   Setting::BufferSize}}) {
    auto set = codec_api.set_value(property, mf::Variant::ui4(value));
    lines.write(diagnostics::encoder_setting_rate_buffer(
        setting, value, set ? std::nullopt : std::optional<std::string>(set.error().text())));
  }
}

// A friendly name in UTF-8; empty when it is not valid UTF-16 (the
// candidate line then says "unnamed").
std::string name_value(std::u16string_view name) {
  auto text = wgc_capture::decode_utf16(name);
  return text ? std::move(*text) : std::string();
}

// The SPS and PPS the encoder's output type carries, for keyframes that come
// without them (OBS's win-mf encoder prepends the same attribute to every
// keyframe). Most encoders offer none, or only once streaming; a type or
// attribute that cannot be read means there is none to keep.
std::vector<std::byte> sequence_header_of(mf::Transform& transform) {
  auto type = transform.get_output_current_type(0);
  if (!type || !*type) {
    return {};
  }
  auto header = (*type)->get_blob(guids::mf_mt_mpeg_sequence_header);
  return header ? std::move(*header) : std::vector<std::byte>{};
}

// The H.264 output type, with the colour description of `matrix` when given.
Result<std::shared_ptr<mf::MediaType>> make_output_type(mf::MediaFoundation& media, std::uint32_t width,
                                                        std::uint32_t height, std::uint32_t fps,
                                                        std::uint32_t bitrate, const sender::H264Settings& settings,
                                                        std::optional<sender::ColourMatrix> matrix) {
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
  if (matrix) {
    for (const auto& [key, value] : stream_color_description(*matrix)) {
      if (auto r = checked(type.set_uint32(key, value)); !r) {
        return std::unexpected(r.error());
      }
    }
  }
  return output_type;
}

// The codec properties, the low-latency check, the device binding, the
// media types and the start of streaming for one activated transform.
Result<ConfiguredEncoder> configure_encoder(mf::MediaFoundation& media, mf::Activate& activation,
                                            platform::d3d11::Device& device,
                                            std::optional<platform::LocallyUniqueId> device_adapter,
                                            std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                            std::uint32_t bitrate, const StreamShaping& shaping,
                                            diagnostics::Sink& lines) {
  ConfiguredEncoder encoder;
  if (auto r = check_adapter(activation, device_adapter); !r) {
    return std::unexpected(r.error());
  }
  auto transform = object_of(activation.activate_object());
  if (!transform) {
    return std::unexpected(transform.error());
  }
  encoder.transform = std::move(*transform);
  auto attributes = object_of(encoder.transform->get_attributes());
  if (!attributes) {
    return std::unexpected(attributes.error());
  }
  if (auto r = check_d3d11_aware(**attributes); !r) {
    return std::unexpected(r.error());
  }
  // From now on the transform reports its needs by events.
  if (auto r = checked((*attributes)->set_uint32(guids::mf_transform_async_unlock, 1)); !r) {
    return std::unexpected(r.error());
  }
  auto events = object_of(encoder.transform->query_event_generator());
  if (!events) {
    return std::unexpected(events.error());
  }
  encoder.events = std::move(*events);
  auto codec = object_of(encoder.transform->query_codec_api());
  if (!codec) {
    return std::unexpected(codec.error());
  }
  encoder.codec = std::move(*codec);
  mf::CodecApi& codec_api = *encoder.codec;

  sender::H264Settings settings = sender::h264_settings(fps);
  settings.gop_size = sender::gop_size_for(settings, shaping.keyframe_interval);
  set_vendor_hints(codec_api, lines);
  if (auto r = set_reported(codec_api, lines, guids::codecapi_av_enc_common_rate_control_mode,
                            mf::Variant::ui4(mf::eav_enc_common_rate_control_mode_cbr),
                            diagnostics::EncoderSetting::RateControl);
      !r) {
    return std::unexpected(r.error());
  }
  if (auto r = set_reported(codec_api, lines, guids::codecapi_av_enc_common_mean_bit_rate, mf::Variant::ui4(bitrate),
                            diagnostics::EncoderSetting::MeanBitrate, bitrate);
      !r) {
    return std::unexpected(r.error());
  }
  if (shaping.rate_buffer) {
    set_rate_buffer(codec_api, lines, bitrate, *shaping.rate_buffer);
  }
  // The only optional property: an encoder that refuses it still runs.
  static_cast<void>(set_reported(codec_api, lines, guids::codecapi_av_enc_common_quality_vs_speed,
                                 mf::Variant::ui4(settings.quality_vs_speed),
                                 diagnostics::EncoderSetting::QualityVsSpeed, settings.quality_vs_speed));
  if (auto r = set_reported(codec_api, lines, guids::codecapi_av_low_latency_mode, mf::Variant::boolean(true),
                            diagnostics::EncoderSetting::LowLatency);
      !r) {
    return std::unexpected(r.error());
  }

  auto read_back = codec_api.get_value(guids::codecapi_av_low_latency_mode);
  if (!read_back) {
    lines.write(diagnostics::encoder_setting_verified(false, read_back.error().text()));
    return fail_platform(read_back.error());
  }
  if (!low_latency_enabled(*read_back)) {
    lines.write(diagnostics::encoder_setting_verified(false, std::nullopt));
    return fail(std::string(low_latency_rejected_message));
  }
  lines.write(diagnostics::encoder_setting_verified(true, std::nullopt));

  // GOP size and B-frame count are codec properties (the GOP size one that
  // certified hardware encoders must take); the media type repeats them for
  // encoders that read only the type. An encoder that refuses either keeps
  // its own choice, reported on one line.
  for (const auto& [property, value, setting] :
       {std::tuple{guids::codecapi_av_enc_mpv_gop_size, settings.gop_size, diagnostics::EncoderSetting::GopSize},
        std::tuple{guids::codecapi_av_enc_mpv_default_b_picture_count, settings.b_frames,
                   diagnostics::EncoderSetting::BFrames}}) {
    if (auto set = codec_api.set_value(property, mf::Variant::ui4(value)); !set) {
      lines.write(diagnostics::encoder_setting(setting, value, set.error().text()));
    }
  }

  auto created_manager = media.mf_create_dxgi_device_manager();
  if (!created_manager) {
    return fail_platform(created_manager.error());
  }
  if (!created_manager->manager) {
    return fail(std::string(no_device_manager_message));
  }
  encoder.manager = std::move(created_manager->manager);
  if (auto r = checked(encoder.manager->reset_device(device, created_manager->reset_token)); !r) {
    return std::unexpected(r.error());
  }
  if (auto r = checked(encoder.transform->process_message(mf::MftMessage::SetD3DManager, encoder.manager.get()));
      !r) {
    return std::unexpected(r.error());
  }

  // Colour attributes are best effort: some encoders refuse an output type
  // that carries them (Chromium leaves them off for that reason,
  // crbug.com/1446081), and the pictures are converted with the matrix a
  // player guesses anyway.
  const sender::ColourMatrix matrix = sender::picture_colour_matrix(width, height);
  auto output_type = make_output_type(media, width, height, fps, bitrate, settings, matrix);
  if (!output_type) {
    return std::unexpected(output_type.error());
  }
  if (auto set = encoder.transform->set_output_type(0, **output_type, 0); !set) {
    lines.write(diagnostics::encoder_setting_colour_refused(matrix, set.error().text()));
    output_type = make_output_type(media, width, height, fps, bitrate, settings, std::nullopt);
    if (!output_type) {
      return std::unexpected(output_type.error());
    }
    if (auto r = checked(encoder.transform->set_output_type(0, **output_type, 0)); !r) {
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
    if (auto r = checked(encoder.transform->set_input_type(0, **input_type, 0)); !r) {
      return std::unexpected(r.error());
    }
  }
  if (auto r = checked(encoder.transform->process_message(mf::MftMessage::NotifyBeginStreaming, nullptr)); !r) {
    return std::unexpected(r.error());
  }
  if (auto r = checked(encoder.transform->process_message(mf::MftMessage::NotifyStartOfStream, nullptr)); !r) {
    return std::unexpected(r.error());
  }
  auto info = encoder.transform->get_output_stream_info(0);
  if (!info) {
    return fail_platform(info.error());
  }
  encoder.info = *info;
  encoder.sequence_header = sequence_header_of(*encoder.transform);
  return encoder;
}

}  // namespace

bool low_latency_enabled(const mf::Variant& read_back) {
  switch (read_back.type) {
    case mf::Variant::Type::Bool: return read_back.bool_val != mf::Variant::variant_false;
    case mf::Variant::Type::UI4:
    case mf::Variant::Type::I4: return (read_back.ui & 0xFFFF'FFFFu) != 0;
    default: return false;
  }
}

Result<std::unique_ptr<HardwareEncoder>> HardwareEncoder::create(
    std::shared_ptr<platform::d3d11::Device> device, std::shared_ptr<platform::d3d11::DeviceContext> context,
    std::uint32_t width, std::uint32_t height, std::uint32_t fps, std::uint32_t bitrate,
    FlagCell keyframe_request, OutputStreams streams, sender::PacingRule pacing, const StreamShaping& shaping) {
  mf::MediaFoundation& media = platform::current().media_foundation();
  diagnostics::Sink& lines = *streams.diagnostics;

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

  const std::optional<platform::LocallyUniqueId> device_adapter = adapter_of(*device);
  auto candidates = enumerate_encoders(media, device_adapter);
  if (!candidates) {
    return std::unexpected(candidates.error());
  }
  if (candidates->empty()) {
    return fail(std::string(no_hardware_encoder_message));
  }
  // Best first; a candidate that cannot be activated or configured gives way
  // to the next, and the first one's error is the answer when none works.
  std::shared_ptr<mf::Activate> activation;
  std::string chosen_name;
  std::optional<ConfiguredEncoder> configured;
  std::optional<Error> first_error;
  const std::size_t count = candidates->size();
  for (std::size_t index = 0; index < count && !configured; ++index) {
    std::shared_ptr<mf::Activate> candidate = std::move((*candidates)[index]);
    std::string name;
    Result<ConfiguredEncoder> attempt = fail(std::string(empty_activation_message));
    if (candidate) {
      if (auto friendly = candidate->get_friendly_name()) {
        name = name_value(*friendly);
      }
      attempt = configure_encoder(media, *candidate, *device, device_adapter, width, height, fps, bitrate, shaping,
                                  lines);
    }
    if (attempt) {
      lines.write(diagnostics::encoder_candidate(name, index + 1, count, std::nullopt));
      activation = std::move(candidate);
      chosen_name = std::move(name);
      configured = std::move(*attempt);
    } else {
      lines.write(diagnostics::encoder_candidate(name, index + 1, count, attempt.error().message));
      if (candidate) {
        // Its objects are gone with the attempt; the transform itself too.
        static_cast<void>(candidate->shutdown_object());
      }
      if (!first_error) {
        first_error = std::move(attempt.error());
      }
    }
  }
  candidates->clear();
  if (!configured) {
    return std::unexpected(std::move(*first_error));
  }

  auto state = std::make_shared<SharedEncoderState>(fps, pacing);
  {
    auto guard = state->lock();
    EncoderState& s = *guard;
    s.device = std::move(device);
    s.context = std::move(context);
    s.transform = std::move(configured->transform);
    s.codec_api = std::move(configured->codec);
    s.device_manager = std::move(configured->manager);
    s.keyframe_request = std::move(keyframe_request);
    s.width = width;
    s.height = height;
    s.target_bitrate = bitrate;
    s.encoder_bitrate = bitrate;
    s.rate_buffer = shaping.rate_buffer;
    s.output_buffer_size = std::max(configured->info.size, min_output_buffer_bytes);
    s.provides_samples = (configured->info.flags & mf::mft_output_stream_provides_samples) != 0;
    s.sequence_header = std::move(configured->sequence_header);
    s.diagnostics = streams.diagnostics;
  }
  auto wake = std::make_shared<std::condition_variable>();
  std::unique_ptr<HardwareEncoder> encoder(new HardwareEncoder(state, wake, streams));
  encoder->activation_ = std::move(activation);
  encoder->name_ = std::move(chosen_name);

  auto output_thread = WorkerThread::start(
      encoder_events_thread_name,
      [state, wake, events = std::move(configured->events), streams]() mutable {
        Result<void> result = run_encoder_events(*state, *wake, std::move(events), streams);
        {
          // A finish waiting for the drain learns here that it is over.
          auto guard = state->lock();
          guard->events_ended = true;
        }
        record_thread_error(*state, *wake, result, *streams.diagnostics);
        wake->notify_all();
        return result;
      });
  configured.reset();
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

void HardwareEncoder::abandon() {
  if (hung_ || abandoned_) {
    return;
  }
  abandoned_ = true;
  {
    auto guard = state_->lock();
    guard->finishing = true;
    static_cast<void>(guard->mailbox.withdraw());
  }
  wake_->notify_all();
}

Result<void> HardwareEncoder::finish() {
  if (hung_) {
    return fail(hung_call_message());
  }
  if (abandoned_) {
    return pacer_thread_.join(pacer_panicked_message);
  }
  {
    auto locked = lock_encoder_state(*state_);
    if (!locked) {
      return std::unexpected(locked.error());
    }
    EncoderState& s = **locked;
    if (!s.finishing) {
      s.finishing = true;
      if (std::optional<PendingInput> waiting = s.mailbox.withdraw()) {
        if (auto recycled = s.recycle(std::move(waiting->surface)); !recycled) {
          return recycled;
        }
      }
      if (auto r = checked(s.transform->process_message(mf::MftMessage::NotifyEndOfStream, nullptr)); !r) {
        return r;
      }
      if (auto r = checked(s.transform->process_message(mf::MftMessage::CommandDrain, nullptr)); !r) {
        return r;
      }
      // The drain is progress to wait for; frames already stuck inside keep
      // the clock they have.
      if (s.submitted.empty()) {
        s.progress_at = std::chrono::steady_clock::now();
      }
      drain_sent_ = true;
    }
  }
  wake_->notify_all();

  if (auto joined = pacer_thread_.join(pacer_panicked_message); !joined) {
    return joined;
  }
  if (drain_sent_ && output_thread_.joinable()) {
    if (auto drained = wait_for_event_thread(); !drained) {
      return drained;
    }
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

Result<void> HardwareEncoder::wait_for_event_thread() {
  auto locked = lock_encoder_state(*state_);
  if (!locked) {
    return std::unexpected(locked.error());
  }
  EncoderStateLock& guard = *locked;
  while (!guard->events_ended) {
    const auto now = std::chrono::steady_clock::now();
    if (auto stalled = guard->stall(now)) {
      return fail(std::move(*stalled));
    }
    // Every pass recomputes the deadline, as the pacer does: an output moves
    // it, the thread's end is seen at the next pass. A record being written
    // sets none: the event thread notifies when the write is over.
    if (guard->writing_record) {
      guard.wait(*wake_);
    } else {
      const auto deadline =
          guard->progress_at ? *guard->progress_at + encoder_stall_timeout : now + encoder_stall_timeout;
      guard.wait_until(*wake_, deadline);
    }
    if (guard.poisoned()) {
      return fail(std::string(lock_poisoned_message));
    }
  }
  return {};
}

HardwareEncoder::~HardwareEncoder() {
  if (hung_) {
    // Shutting the transform down or joining would wait behind the hung
    // call, and the process is about to end with the stall. Should the call
    // return after all, a reaper waiting behind it tells the workers to end
    // and shuts the transform down; the workers keep their own references.
    std::thread([state = state_, wake = wake_, activation = activation_] {
      {
        auto guard = state->lock();
        if (!guard.poisoned()) {
          guard->finishing = true;
          if (!guard->error) {
            guard->error = hung_call_message();
          }
        }
      }
      wake->notify_all();
      if (activation) {
        static_cast<void>(activation->shutdown_object());
      }
    }).detach();
    pacer_thread_.detach();
    output_thread_.detach();
    return;
  }
  if (auto finished = finish(); !finished) {
    streams_.diagnostics->write(diagnostics::encoder_finish_failed(finished.error().message));
  }
  {
    auto guard = state_->lock();
    if (!guard.poisoned() && guard->transform) {
      static_cast<void>(guard->transform->process_message(mf::MftMessage::NotifyEndStreaming, nullptr));
    }
  }
  // The transform is shut down before the framework. A GetEvent still
  // waiting (an encoder that stopped answering, a refused drain) then
  // returns MF_E_SHUTDOWN, so every worker ends and is joined here.
  if (activation_) {
    static_cast<void>(activation_->shutdown_object());
  }
  wake_->notify_all();
  static_cast<void>(pacer_thread_.join(pacer_panicked_message));
  static_cast<void>(output_thread_.join(events_panicked_message));
  {
    // Every Media Foundation object goes before MFShutdown; the state itself
    // may outlive this encoder in a handler's hands.
    auto guard = state_->lock();
    guard->transform.reset();
    guard->codec_api.reset();
    guard->device_manager.reset();
  }
  activation_.reset();
  static_cast<void>(platform::current().media_foundation().mf_shutdown());
}

}  // namespace quorvex::app
