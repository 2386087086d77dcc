#include "platform/host/host_h264_transform.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>

namespace quorvex::platform::host {

namespace {

class HostMediaEvent final : public mf::MediaEvent {
 public:
  HostMediaEvent(std::uint32_t type, std::uint32_t status) : type_(type), status_(status) {}
  Result<std::uint32_t> get_type() override { return type_; }
  Result<std::uint32_t> get_status() override { return status_; }

 private:
  std::uint32_t type_;
  std::uint32_t status_;
};


constexpr std::uint32_t default_bitrate_bps = 8'000'000;

// The media type's colour attributes as H.264 VUI codes (Rec. ITU-T H.264
// tables E-3 primaries, E-4 transfer, E-5 matrix), for the values this
// encoder can write; a type with any other value is refused.
struct VuiCode {
  std::uint32_t mf;
  int h264;
};
constexpr VuiCode primaries_codes[] = {
    {mf::mf_video_primaries_unknown, VuiColor::unspecified}, {mf::mf_video_primaries_bt709, 1},
    {mf::mf_video_primaries_bt470_2_sys_m, 4},               {mf::mf_video_primaries_bt470_2_sys_bg, 5},
    {mf::mf_video_primaries_smpte170m, 6},                   {mf::mf_video_primaries_smpte240m, 7},
    {mf::mf_video_primaries_smpte_c, 6},                     {mf::mf_video_primaries_bt2020, 9}};
constexpr VuiCode transfer_codes[] = {
    {mf::mf_video_trans_func_unknown, VuiColor::unspecified}, {mf::mf_video_trans_func_10, 8},
    {mf::mf_video_trans_func_22, 4},                          {mf::mf_video_trans_func_709, 1},
    {mf::mf_video_trans_func_240m, 7},                        {mf::mf_video_trans_func_srgb, 13},
    {mf::mf_video_trans_func_28, 5},                          {mf::mf_video_trans_func_2020, 14},
    {mf::mf_video_trans_func_2084, 16},                       {mf::mf_video_trans_func_hlg, 18}};
constexpr VuiCode matrix_codes[] = {
    {mf::mf_video_transfer_matrix_unknown, VuiColor::unspecified}, {mf::mf_video_transfer_matrix_bt709, 1},
    {mf::mf_video_transfer_matrix_bt601, 6},  // SMPTE 170M; BT.470 BG has the same coefficients
    {mf::mf_video_transfer_matrix_smpte240m, 7},
    {mf::mf_video_transfer_matrix_bt2020_10, 9},
    {mf::mf_video_transfer_matrix_bt2020_12, 9}};

// The code for the attribute `key` of `type`; "unspecified" when absent,
// nothing for a value without a code.
std::optional<int> vui_code(mf::MediaType& type, const Guid& key, std::span<const VuiCode> codes) {
  auto value = type.get_uint32(key);
  if (!value) {
    return VuiColor::unspecified;
  }
  for (const VuiCode& code : codes) {
    if (code.mf == *value) {
      return code.h264;
    }
  }
  return std::nullopt;
}

}  // namespace

HostH264Transform::HostH264Transform() : worker_([this] { run_worker(); }) {
  // It reads the NV12 textures of the caller's device, as a hardware MFT does.
  static_cast<void>(attributes_->set_uint32(guids::mf_sa_d3d11_aware, 1));
}

HostH264Transform::~HostH264Transform() {
  {
    const MutexLock lock(mutex_);
    shutdown_ = true;
  }
  work_changed_.notify_all();
  event_raised_.notify_all();
  worker_.join();
  for (Input& input : inputs_) {
    release_input(input);
  }
}

void HostH264Transform::shutdown() {
  {
    const MutexLock lock(mutex_);
    shutdown_ = true;
  }
  work_changed_.notify_all();
  event_raised_.notify_all();
}

bool HostH264Transform::unlocked() const {
  auto value = attributes_->get_uint32(guids::mf_transform_async_unlock);
  return value && *value != 0;
}

Result<std::shared_ptr<mf::Attributes>> HostH264Transform::get_attributes() {
  return std::shared_ptr<mf::Attributes>(attributes_);
}

Result<std::shared_ptr<mf::MediaEventGenerator>> HostH264Transform::query_event_generator() {
  return std::shared_ptr<mf::MediaEventGenerator>(shared_from_this(), static_cast<mf::MediaEventGenerator*>(this));
}

Result<std::shared_ptr<mf::CodecApi>> HostH264Transform::query_codec_api() {
  return std::shared_ptr<mf::CodecApi>(shared_from_this(), static_cast<mf::CodecApi*>(this));
}

Result<HostH264Transform::Format> HostH264Transform::read_format(mf::MediaType& type, const Guid& subtype) const {
  auto major = type.get_guid(guids::mf_mt_major_type);
  auto sub = type.get_guid(guids::mf_mt_subtype);
  auto size = type.get_uint64(guids::mf_mt_frame_size);
  if (!major || *major != guids::mf_media_type_video || !sub || *sub != subtype || !size) {
    return host_fail(status_code::mf_e_invalidmediatype);
  }
  Format format;
  format.width = static_cast<int>(*size >> 32);
  format.height = static_cast<int>(*size & 0xFFFFFFFFu);
  // 4:2:0 needs even sizes; 4096 px keeps within level 5.2's picture size.
  if (format.width <= 0 || format.height <= 0 || format.width % 2 != 0 || format.height % 2 != 0 ||
      format.width > 4096 || format.height > 4096) {
    return host_fail(status_code::mf_e_invalidmediatype);
  }
  if (auto rate = type.get_uint64(guids::mf_mt_frame_rate)) {
    format.fps_numerator = static_cast<std::uint32_t>(*rate >> 32);
    format.fps_denominator = static_cast<std::uint32_t>(*rate & 0xFFFFFFFFu);
    if (format.fps_numerator == 0 || format.fps_denominator == 0) {
      return host_fail(status_code::mf_e_invalidmediatype);
    }
  }
  if (auto bitrate = type.get_uint32(guids::mf_mt_avg_bitrate)) {
    format.avg_bitrate = *bitrate;
  }
  if (auto gop = type.get_uint32(guids::codecapi_av_enc_mpv_gop_size)) {
    format.gop_size = *gop;
  }
  if (auto b_frames = type.get_uint32(guids::codecapi_av_enc_mpv_default_b_picture_count); b_frames && *b_frames != 0) {
    return host_fail(status_code::mf_e_invalidmediatype);
  }
  if (auto profile = type.get_uint32(guids::mf_mt_mpeg2_profile);
      profile && *profile != mf::eav_enc_h264v_profile_base) {
    return host_fail(status_code::mf_e_invalidmediatype);
  }
  const auto primaries = vui_code(type, guids::mf_mt_video_primaries, primaries_codes);
  const auto transfer = vui_code(type, guids::mf_mt_transfer_function, transfer_codes);
  const auto matrix = vui_code(type, guids::mf_mt_yuv_matrix, matrix_codes);
  const auto range = type.get_uint32(guids::mf_mt_video_nominal_range).value_or(mf::mf_nominal_range_unknown);
  if (!primaries || !transfer || !matrix ||
      (range != mf::mf_nominal_range_unknown && range != mf::mf_nominal_range_0_255 &&
       range != mf::mf_nominal_range_16_235)) {
    return host_fail(status_code::mf_e_invalidmediatype);
  }
  format.color = VuiColor{*primaries, *transfer, *matrix, range == mf::mf_nominal_range_0_255};
  return format;
}

H264EncoderSettings HostH264Transform::settings_locked() const {
  H264EncoderSettings s;
  s.width = output_format_->width;
  s.height = output_format_->height;
  s.fps_numerator = output_format_->fps_numerator;
  s.fps_denominator = output_format_->fps_denominator;
  s.bitrate_bps = mean_bitrate_.value_or(output_format_->avg_bitrate.value_or(default_bitrate_bps));
  s.max_bitrate_bps = max_bitrate_;
  s.buffer_bytes = buffer_bytes_;
  const std::uint32_t one_second = std::max<std::uint32_t>(1, s.fps_numerator / s.fps_denominator);
  s.gop_size = gop_property_.value_or(output_format_->gop_size.value_or(one_second));
  if (s.gop_size == 0) {
    s.gop_size = one_second;  // 0 means "encoder's choice"
  }
  s.quality_vs_speed = quality_vs_speed_;
  s.color = output_format_->color;
  return s;
}

Status HostH264Transform::set_output_type(std::uint32_t stream_id, mf::MediaType& type, std::uint32_t flags) {
  if (!unlocked()) return host_fail(status_code::mf_e_transform_async_locked);
  if (stream_id != 0) return host_fail(status_code::mf_e_invalidstreamnumber);
  auto format = read_format(type, guids::mf_video_format_h264);
  if (!format) return std::unexpected(format.error());
  if ((flags & mft_set_type_test_only) != 0) return {};
  const MutexLock lock(mutex_);
  if (encoding_ || !inputs_.empty()) {
    return host_fail(0xC00D6D74);  // MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING
  }
  if (input_format_ && (input_format_->width != format->width || input_format_->height != format->height)) {
    input_format_.reset();
  }
  output_format_ = *format;
  ++settings_generation_;
  return {};
}

Status HostH264Transform::set_input_type(std::uint32_t stream_id, mf::MediaType& type, std::uint32_t flags) {
  if (!unlocked()) return host_fail(status_code::mf_e_transform_async_locked);
  if (stream_id != 0) return host_fail(status_code::mf_e_invalidstreamnumber);
  auto format = read_format(type, guids::mf_video_format_nv12);
  if (!format) return std::unexpected(format.error());
  const MutexLock lock(mutex_);
  // Encoders take the input type only once the output type fixed the size.
  if (!output_format_) return host_fail(status::mf_e_transform_type_not_set);
  if (format->width != output_format_->width || format->height != output_format_->height) {
    return host_fail(status_code::mf_e_invalidmediatype);
  }
  if ((flags & mft_set_type_test_only) != 0) return {};
  if (encoding_ || !inputs_.empty()) {
    return host_fail(0xC00D6D74);
  }
  input_format_ = *format;
  return {};
}

Result<std::shared_ptr<mf::MediaType>> HostH264Transform::get_output_available_type(std::uint32_t stream_id,
                                                                                   std::uint32_t type_index) {
  if (!unlocked()) return host_fail(status_code::mf_e_transform_async_locked);
  if (stream_id != 0) return host_fail(status_code::mf_e_invalidstreamnumber);
  if (type_index != 0) return host_fail(status_code::mf_e_no_more_types);
  auto type = std::make_shared<HostMediaType>();
  (void)type->set_guid(guids::mf_mt_major_type, guids::mf_media_type_video);
  (void)type->set_guid(guids::mf_mt_subtype, guids::mf_video_format_h264);
  const MutexLock lock(mutex_);
  if (output_format_) {
    const Format& f = *output_format_;
    (void)type->set_uint64(guids::mf_mt_frame_size,
                           (static_cast<std::uint64_t>(f.width) << 32) | static_cast<std::uint32_t>(f.height));
    (void)type->set_uint64(guids::mf_mt_frame_rate,
                           (static_cast<std::uint64_t>(f.fps_numerator) << 32) | f.fps_denominator);
    (void)type->set_uint64(guids::mf_mt_pixel_aspect_ratio, (std::uint64_t{1} << 32) | 1u);
    (void)type->set_uint32(guids::mf_mt_interlace_mode, mf::mf_video_interlace_progressive);
    (void)type->set_uint32(guids::mf_mt_mpeg2_profile, mf::eav_enc_h264v_profile_base);
    (void)type->set_uint32(guids::mf_mt_avg_bitrate, settings_locked().bitrate_bps);
  }
  return std::shared_ptr<mf::MediaType>(std::move(type));
}

Result<std::shared_ptr<mf::MediaType>> HostH264Transform::get_output_current_type(std::uint32_t stream_id) {
  if (!unlocked()) return host_fail(status_code::mf_e_transform_async_locked);
  if (stream_id != 0) return host_fail(status_code::mf_e_invalidstreamnumber);
  {
    const MutexLock lock(mutex_);
    if (!output_format_) return host_fail(status::mf_e_transform_type_not_set);
  }
  return get_output_available_type(0, 0);
}

Result<mf::OutputStreamInfo> HostH264Transform::get_output_stream_info(std::uint32_t stream_id) {
  if (!unlocked()) return host_fail(status_code::mf_e_transform_async_locked);
  if (stream_id != 0) return host_fail(status_code::mf_e_invalidstreamnumber);
  const MutexLock lock(mutex_);
  if (!output_format_) return host_fail(status::mf_e_transform_type_not_set);
  // An access unit never gets near the size of the raw picture.
  const auto size = static_cast<std::uint32_t>(output_format_->width * output_format_->height * 3 / 2);
  return mf::OutputStreamInfo{host_transform_output_stream_flags, size, 0};
}

void HostH264Transform::raise_locked(std::uint32_t type, std::uint32_t status) {
  events_.emplace_back(type, status);
  event_raised_.notify_all();
}

void HostH264Transform::request_input_locked() {
  ++requests_outstanding_;
  raise_locked(mf::me_transform_need_input);
}

Status HostH264Transform::process_message(mf::MftMessage message, mf::DxgiDeviceManager*) {
  if (!unlocked()) return host_fail(status_code::mf_e_transform_async_locked);
  const MutexLock lock(mutex_);
  switch (message) {
    case mf::MftMessage::SetD3DManager:
      return {};  // the surfaces carry their memory with them
    case mf::MftMessage::NotifyBeginStreaming: {
      if (!output_format_ || !input_format_) return host_fail(status::mf_e_transform_type_not_set);
      x264_param_t params;
      if (!make_x264_params(settings_locked(), params)) return host_fail(status::e_invalidarg);
      streaming_ = true;
      work_changed_.notify_all();
      return {};
    }
    case mf::MftMessage::NotifyStartOfStream:
      if (!output_format_ || !input_format_) return host_fail(status::mf_e_transform_type_not_set);
      streaming_ = true;
      accepting_ = true;
      draining_ = false;
      if (requests_outstanding_ == 0) {
        request_input_locked();
      }
      return {};
    case mf::MftMessage::NotifyEndOfStream:
      accepting_ = false;
      requests_outstanding_ = 0;
      return {};
    case mf::MftMessage::CommandDrain:
      accepting_ = false;
      requests_outstanding_ = 0;
      draining_ = true;
      work_changed_.notify_all();
      return {};
    case mf::MftMessage::CommandFlush:
      for (Input& input : inputs_) release_input(input);
      inputs_.clear();
      outputs_.clear();
      ++flush_generation_;
      draining_ = false;
      requests_outstanding_ = 0;
      if (accepting_) request_input_locked();
      return {};
    case mf::MftMessage::NotifyEndStreaming:
      streaming_ = false;
      accepting_ = false;
      requests_outstanding_ = 0;
      return {};
  }
  return host_fail(status::e_invalidarg);
}

void HostH264Transform::release_input(Input& input) {
  if (input.buffer_locked && input.buffer) {
    (void)input.buffer->unlock();
    input.buffer_locked = false;
  }
  input.buffer.reset();
}

Status HostH264Transform::process_input(std::uint32_t stream_id, mf::Sample& sample, std::uint32_t) {
  if (!unlocked()) return host_fail(status_code::mf_e_transform_async_locked);
  if (stream_id != 0) return host_fail(status_code::mf_e_invalidstreamnumber);
  auto* host_sample = dynamic_cast<HostSample*>(&sample);
  if (host_sample == nullptr) return host_fail(status::e_invalidarg);
  const auto buffers = host_sample->buffers();
  if (buffers.size() != 1) return host_fail(status::e_invalidarg);

  MutexLock lock(mutex_);
  if (!input_format_ || !output_format_) return host_fail(status::mf_e_transform_type_not_set);
  if (!accepting_ || draining_ || requests_outstanding_ == 0) return host_fail(status::mf_e_notaccepting);
  const int w = input_format_->width;
  const int h = input_format_->height;
  lock.unlock();

  Input input;
  input.buffer = buffers.front();
  if (auto* surface = dynamic_cast<HostDxgiSurfaceBuffer*>(input.buffer.get())) {
    HostTexture& t = *surface->texture();
    if (t.format() != d3d11::Format::Nv12 || t.width() != w || t.height() != h) {
      return host_fail(status_code::mf_e_invalidmediatype);
    }
    input.luma = t.data();
    input.chroma = t.chroma();
    input.pitch = t.pitch();
  } else {
    // A contiguous NV12 picture in system memory, rows packed.
    auto locked = input.buffer->lock();
    if (!locked) return std::unexpected(locked.error());
    input.buffer_locked = true;
    if (locked->current_length < static_cast<std::uint32_t>(w * h * 3 / 2)) {
      release_input(input);
      return host_fail(status::e_invalidarg);
    }
    input.luma = locked->data;
    input.chroma = locked->data + static_cast<std::ptrdiff_t>(w) * h;
    input.pitch = w;
  }
  if (auto time = host_sample->get_sample_time()) input.time_100ns = *time;
  input.duration_100ns = host_sample->sample_duration();

  lock.lock();
  if (!accepting_ || draining_ || requests_outstanding_ == 0) {
    release_input(input);
    return host_fail(status::mf_e_notaccepting);
  }
  --requests_outstanding_;
  input.force_idr = std::exchange(force_keyframe_, false);
  inputs_.push_back(std::move(input));
  work_changed_.notify_all();
  return {};
}

Status HostH264Transform::process_output(std::uint32_t, mf::OutputDataBuffer& buffer, std::uint32_t& status) {
  if (!unlocked()) return host_fail(status_code::mf_e_transform_async_locked);
  if (buffer.stream_id != 0) return host_fail(status_code::mf_e_invalidstreamnumber);
  std::shared_ptr<HostSample> output;
  {
    const MutexLock lock(mutex_);
    // Every queued output was announced by METransformHaveOutput; without
    // one, ProcessOutput is out of turn (Microsoft, "Asynchronous MFTs").
    if (outputs_.empty()) return host_fail(status::e_unexpected);
    output = outputs_.front();
    if (buffer.sample) {
      // The caller brought its own sample: copy the access unit into it.
      auto ours = output->convert_to_contiguous_buffer();
      auto theirs = buffer.sample->convert_to_contiguous_buffer();
      if (!ours || !theirs) return host_fail(status::e_unexpected);
      auto src = (*ours)->lock();
      auto dst = (*theirs)->lock();
      if (!src || !dst) return host_fail(status::e_unexpected);
      const bool fits = dst->max_length >= src->current_length;
      if (fits) std::memcpy(dst->data, src->data, src->current_length);
      (void)(*ours)->unlock();
      (void)(*theirs)->unlock();
      if (!fits) return host_fail(status_code::mf_e_buffertoosmall);
      (void)(*theirs)->set_current_length(src->current_length);
      if (auto time = output->get_sample_time()) (void)buffer.sample->set_sample_time(*time);
      if (auto duration = output->sample_duration()) (void)buffer.sample->set_sample_duration(*duration);
      if (auto clean = output->get_uint32(guids::mf_sample_extension_clean_point)) {
        (void)buffer.sample->set_uint32(guids::mf_sample_extension_clean_point, *clean);
      }
    } else {
      buffer.sample = output;
    }
    outputs_.pop_front();
  }
  buffer.status = 0;
  status = 0;
  return {};
}

Result<std::shared_ptr<mf::MediaEvent>> HostH264Transform::get_event(std::uint32_t flags) {
  MutexLock lock(mutex_);
  if ((flags & mf::mf_event_flag_no_wait) != 0) {
    if (events_.empty()) return host_fail(status::mf_e_no_events_available);
  } else {
    lock.wait(event_raised_, [&]() QVX_REQUIRES(mutex_) { return !events_.empty() || shutdown_; });
    if (events_.empty()) return host_fail(status::mf_e_shutdown);
  }
  const auto [type, status] = events_.front();
  events_.pop_front();
  return std::shared_ptr<mf::MediaEvent>(std::make_shared<HostMediaEvent>(type, status));
}

Status HostH264Transform::set_value(const Guid& api, const mf::Variant& value) {
  const bool ui4 = value.type == mf::Variant::Type::UI4;
  const MutexLock lock(mutex_);
  if (api == guids::codecapi_av_enc_common_rate_control_mode) {
    // Constant bit rate is the one mode this encoder implements.
    if (!ui4 || value.ui != mf::eav_enc_common_rate_control_mode_cbr) return host_fail(status::e_invalidarg);
    rate_control_set_ = true;
    return {};
  }
  if (api == guids::codecapi_av_enc_common_mean_bit_rate) {
    if (!ui4 || value.ui == 0) return host_fail(status::e_invalidarg);
    mean_bitrate_ = static_cast<std::uint32_t>(value.ui);
    rates_changed_ = true;
    return {};
  }
  if (api == guids::codecapi_av_enc_common_max_bit_rate || api == guids::codecapi_av_enc_common_buffer_size) {
    if (!ui4 || value.ui == 0 || value.ui > 0xFFFF'FFFFu) return host_fail(status::e_invalidarg);
    (api == guids::codecapi_av_enc_common_max_bit_rate ? max_bitrate_ : buffer_bytes_) =
        static_cast<std::uint32_t>(value.ui);
    rates_changed_ = true;
    return {};
  }
  if (api == guids::codecapi_av_enc_common_quality_vs_speed) {
    if (!ui4 || value.ui > 100) return host_fail(status::e_invalidarg);
    quality_vs_speed_ = static_cast<std::uint32_t>(value.ui);
    ++settings_generation_;
    return {};
  }
  if (api == guids::codecapi_av_low_latency_mode) {
    if (value.type != mf::Variant::Type::Bool) return host_fail(status::e_invalidarg);
    low_latency_ = value.bool_val != mf::Variant::variant_false;
    return {};
  }
  if (api == guids::codecapi_av_enc_video_force_key_frame) {
    // VT_UI4, as documented; a VT_BOOL request is refused like Windows does.
    if (!ui4) return host_fail(status::e_invalidarg);
    if (value.ui != 0) force_keyframe_ = true;
    return {};
  }
  if (api == guids::codecapi_av_enc_mpv_gop_size) {
    if (!ui4) return host_fail(status::e_invalidarg);
    gop_property_ = static_cast<std::uint32_t>(value.ui);
    ++settings_generation_;
    return {};
  }
  if (api == guids::codecapi_av_enc_mpv_default_b_picture_count) {
    if (!ui4 || value.ui != 0) return host_fail(status::e_invalidarg);
    return {};
  }
  if (api == guids::codecapi_av_scenario_info) {
    // x264 has no per-scenario tuning beyond what the session already asks.
    if (!ui4) return host_fail(status::e_invalidarg);
    return {};
  }
  if (api == guids::codecapi_av_enc_video_temporal_layer_count) {
    // One layer is the only stream libx264 writes.
    if (!ui4 || value.ui != 1) return host_fail(status::e_invalidarg);
    return {};
  }
  return host_fail(status::e_notimpl);
}

Result<bool> HostH264Transform::is_supported(const Guid& api) {
  for (const Guid& known :
       {guids::codecapi_av_enc_common_rate_control_mode, guids::codecapi_av_enc_common_mean_bit_rate,
        guids::codecapi_av_enc_common_quality_vs_speed, guids::codecapi_av_low_latency_mode,
        guids::codecapi_av_enc_common_max_bit_rate, guids::codecapi_av_enc_common_buffer_size,
        guids::codecapi_av_enc_video_force_key_frame, guids::codecapi_av_enc_mpv_gop_size,
        guids::codecapi_av_enc_mpv_default_b_picture_count, guids::codecapi_av_scenario_info,
        guids::codecapi_av_enc_video_temporal_layer_count}) {
    if (api == known) {
      return true;
    }
  }
  return false;
}

Result<mf::Variant> HostH264Transform::get_value(const Guid& api) {
  const MutexLock lock(mutex_);
  if (api == guids::codecapi_av_low_latency_mode) return mf::Variant::boolean(low_latency_);
  if (api == guids::codecapi_av_enc_common_rate_control_mode) {
    return mf::Variant::ui4(mf::eav_enc_common_rate_control_mode_cbr);
  }
  if (api == guids::codecapi_av_enc_common_mean_bit_rate) {
    return mf::Variant::ui4(mean_bitrate_.value_or(default_bitrate_bps));
  }
  if (api == guids::codecapi_av_enc_common_max_bit_rate && max_bitrate_) return mf::Variant::ui4(*max_bitrate_);
  if (api == guids::codecapi_av_enc_common_buffer_size && buffer_bytes_) return mf::Variant::ui4(*buffer_bytes_);
  if (api == guids::codecapi_av_enc_common_quality_vs_speed) return mf::Variant::ui4(quality_vs_speed_);
  if (api == guids::codecapi_av_enc_mpv_default_b_picture_count) return mf::Variant::ui4(0);
  if (api == guids::codecapi_av_enc_mpv_gop_size && output_format_) {
    return mf::Variant::ui4(settings_locked().gop_size);
  }
  return host_fail(status::e_notimpl);
}

int HostH264Transform::max_delayed_frames() const {
  const MutexLock lock(mutex_);
  return max_delayed_frames_;
}

void HostH264Transform::run_worker() {
  pthread_setname_np(pthread_self(), "qvx-h264-mft");
  MutexLock lock(mutex_);
  while (true) {
    // Streaming with settings the encoder was not opened for: open it now,
    // so the first picture does not wait for x264's start-up.
    const auto stale = [&]() QVX_REQUIRES(mutex_) {
      return streaming_ && output_format_ && encoder_generation_ != settings_generation_;
    };
    lock.wait(work_changed_,
              [&]() QVX_REQUIRES(mutex_) { return shutdown_ || !inputs_.empty() || draining_ || stale(); });
    if (shutdown_) {
      return;
    }
    if (inputs_.empty() && !draining_) {
      const H264EncoderSettings settings = settings_locked();
      const std::uint64_t generation = settings_generation_;
      lock.unlock();
      encoder_.reset();
      auto opened = X264Encoder::open(settings);
      lock.lock();
      // A failure shows with the first picture, which tries once more.
      if (opened) encoder_ = std::move(*opened);
      encoder_generation_ = generation;
      continue;
    }
    if (inputs_.empty()) {
      // Draining with nothing left inside.
      draining_ = false;
      raise_locked(mf::me_transform_drain_complete);
      continue;
    }
    Input input = std::move(inputs_.front());
    inputs_.pop_front();
    encoding_ = true;
    if (accepting_ && !draining_) {
      request_input_locked();
    }
    const H264EncoderSettings settings = settings_locked();
    const bool reopen = encoder_generation_ != settings_generation_ || !encoder_;
    const bool new_rates = std::exchange(rates_changed_, false);
    const std::uint64_t generation = settings_generation_;
    const std::uint64_t flush_generation = flush_generation_;
    lock.unlock();

    std::uint32_t failure = 0;
    std::optional<X264Encoder::AccessUnit> unit;
    if (reopen) {
      encoder_.reset();
      auto opened = X264Encoder::open(settings);
      if (opened) {
        encoder_ = std::move(*opened);
        encoder_generation_ = generation;
      } else {
        failure = opened.error().code();
      }
    } else if (new_rates) {
      if (auto changed = encoder_->set_rates(settings); !changed) failure = changed.error().code();
    }
    if (failure == 0) {
      auto encoded = encoder_->encode(input.luma, input.pitch, input.chroma, input.pitch, input.force_idr);
      if (encoded) {
        unit = std::move(*encoded);
      } else {
        failure = encoded.error().code();
      }
    }
    const int delayed = encoder_ ? encoder_->delayed_frames() : 0;
    std::shared_ptr<HostSample> sample;
    if (unit) {
      sample = std::make_shared<HostSample>();
      const bool idr = unit->idr;
      (void)sample->add_buffer(std::make_shared<HostMemoryBuffer>(std::move(unit->bytes)));
      if (input.time_100ns) (void)sample->set_sample_time(*input.time_100ns);
      if (input.duration_100ns) (void)sample->set_sample_duration(*input.duration_100ns);
      if (idr) (void)sample->set_uint32(guids::mf_sample_extension_clean_point, 1);
    }
    release_input(input);

    lock.lock();
    encoding_ = false;
    max_delayed_frames_ = std::max(max_delayed_frames_, delayed);
    if (failure != 0) {
      raise_locked(me_error, failure);
      continue;
    }
    if (flush_generation != flush_generation_) {
      continue;  // flushed while encoding
    }
    outputs_.push_back(std::move(sample));
    raise_locked(mf::me_transform_have_output);
  }
}

}  // namespace quorvex::platform::host
