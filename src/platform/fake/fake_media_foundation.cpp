#include "platform/fake/fake_media_foundation.h"

#include "platform/fake/fake_d3d11.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>

namespace quorvex::platform::fake {
namespace {

// The fake's texts do not depend on the installed platform.
std::unexpected<Error> fail(std::uint32_t code) { return std::unexpected(Error(code, standard_status_message(code))); }

// The colour description of a video type, which some encoders refuse.
bool is_color_attribute(const Guid& key) {
  return key == guids::mf_mt_video_primaries || key == guids::mf_mt_transfer_function ||
         key == guids::mf_mt_yuv_matrix || key == guids::mf_mt_video_nominal_range;
}

}  // namespace

struct FakeEncoderTransform::Shared {
  FaultPlan faults;
  std::shared_ptr<FakeApartments> apartments;
  std::atomic<std::uint64_t> co_uninitialize_calls{0};
  // Objects handed to the program and not yet released.
  std::atomic<std::int64_t> live{0};
  Mutex mutex;
  std::vector<std::string> violations QVX_GUARDED_BY(mutex);
  std::optional<LocallyUniqueId> last_enum2_adapter QVX_GUARDED_BY(mutex);

  void report(std::string violation) {
    const MutexLock lock(mutex);
    violations.push_back(std::move(violation));
  }

  // Fails with the scripted code, if any; Empty counts as success here.
  [[nodiscard]] Status check(std::string_view operation) {
    const auto decision = faults.on_call(operation);
    if (decision.outcome == FaultPlan::Outcome::Fail) {
      return fail(decision.code);
    }
    return {};
  }
  // For calls that hand back an object: nullopt means "go on normally".
  template <class T>
  std::optional<Result<std::shared_ptr<T>>> scripted(std::string_view operation) {
    const auto decision = faults.on_call(operation);
    if (decision.outcome == FaultPlan::Outcome::Fail) {
      return Result<std::shared_ptr<T>>(fail(decision.code));
    }
    if (decision.outcome == FaultPlan::Outcome::Empty) {
      return Result<std::shared_ptr<T>>(std::shared_ptr<T>());
    }
    return std::nullopt;
  }
};

// Counts one object handed to the program for as long as it lives.
class Live {
 public:
  explicit Live(std::shared_ptr<FakeEncoderTransform::Shared> shared) : shared_(std::move(shared)) { ++shared_->live; }
  ~Live() { --shared_->live; }
  Live(const Live&) = delete;
  Live& operator=(const Live&) = delete;

 private:
  std::shared_ptr<FakeEncoderTransform::Shared> shared_;
};

struct FakeEncoderTransform::State {
  mutable Mutex mutex;
  mutable std::condition_variable changed;
  struct Event {
    std::uint32_t type = 0;
    std::uint32_t status = 0;
  };
  std::deque<Event> events;
  std::deque<ScriptedOutput> outputs;
  bool shut_down = false;
  bool activated = false;
  bool object_shut_down = false;
  std::size_t waiting = 0;
  bool stream_changed = false;
  bool force_key_pending = false;
  bool draining = false;
  // MF_TRANSFORM_ASYNC_UNLOCK was set.
  bool unlocked = false;
  // Between start of stream and end of stream.
  bool streaming = false;
  bool temporal_layers_set = false;
  bool refused_once = false;
  // NeedInput and HaveOutput events raised and not yet answered.
  std::uint64_t open_input_requests = 0;
  std::uint64_t open_output_events = 0;
  // Encoded outputs the encoder has not announced yet (look-ahead, bursts).
  std::deque<ScriptedOutput> held;
  std::uint64_t input_index = 0;
  std::vector<InputRecord> inputs;
  std::vector<mf::MftMessage> messages;
  std::vector<std::pair<Guid, mf::Variant>> set_values;
  std::vector<AttributeSetting> output_type;
  std::vector<AttributeSetting> input_type;
  std::vector<std::uint32_t> transform_attributes;
  std::vector<std::uint32_t> offered_buffer_sizes;
  std::size_t output_types_set = 0;
  std::optional<mf::Variant> low_latency_set;

  void push(Event event, bool front = false) {
    {
      const MutexLock lock(mutex);
      if (event.type == mf::me_transform_need_input) {
        ++open_input_requests;
      } else if (event.type == mf::me_transform_have_output) {
        ++open_output_events;
      }
      if (front) {
        events.push_front(event);
      } else {
        events.push_back(event);
      }
    }
    changed.notify_all();
  }
};

namespace {

using Shared = FakeEncoderTransform::Shared;
using State = FakeEncoderTransform::State;

// Whether the transform takes IMFTransform calls at all. Microsoft,
// "Asynchronous MFTs": an asynchronous MFT is locked until the client sets
// MF_TRANSFORM_ASYNC_UNLOCK, and answers MF_E_TRANSFORM_ASYNC_LOCKED until
// then; after IMFShutdown::Shutdown (ShutdownObject) it answers MF_E_SHUTDOWN.
// Needs state.mutex.
Status usable_locked(const State& state) {
  if (state.object_shut_down) {
    return fail(status::mf_e_shutdown);
  }
  if (!state.unlocked) {
    return fail(status::mf_e_transform_async_locked);
  }
  return {};
}

Status usable(const State& state) {
  const MutexLock lock(state.mutex);
  return usable_locked(state);
}

// A plain attribute store with a log of what was set.
class AttributeStore {
 public:
  Status set(const AttributeSetting& setting) {
    log.push_back(setting);
    values[key_of(setting.key)] = setting;
    return {};
  }
  template <class T>
  Result<T> get(const Guid& key, AttributeSetting::Kind kind) const {
    const auto it = values.find(key_of(key));
    if (it == values.end() || it->second.kind != kind) {
      return fail(status::mf_e_attributenotfound);
    }
    if constexpr (std::is_same_v<T, Guid>) {
      return it->second.guid_value;
    } else {
      return static_cast<T>(it->second.value);
    }
  }
  std::vector<AttributeSetting> log;

 private:
  static std::string key_of(const Guid& g) {
    std::string k(sizeof(Guid), '\0');
    std::memcpy(k.data(), &g, sizeof(Guid));
    return k;
  }
  std::map<std::string, AttributeSetting> values;
};

AttributeSetting u32(const Guid& key, std::uint32_t v) { return {key, AttributeSetting::Kind::UInt32, v, {}}; }
AttributeSetting u64(const Guid& key, std::uint64_t v) { return {key, AttributeSetting::Kind::UInt64, v, {}}; }
AttributeSetting guid(const Guid& key, const Guid& v) { return {key, AttributeSetting::Kind::Guid, 0, v}; }

class FakeMediaType final : public mf::MediaType {
 public:
  explicit FakeMediaType(std::shared_ptr<Shared> shared) : live_(shared), shared_(std::move(shared)) {}
  Status set_uint32(const Guid& key, std::uint32_t value) override { return set(u32(key, value)); }
  Status set_uint64(const Guid& key, std::uint64_t value) override { return set(u64(key, value)); }
  Status set_guid(const Guid& key, const Guid& value) override { return set(guid(key, value)); }
  Result<std::uint32_t> get_uint32(const Guid& key) override {
    return store.get<std::uint32_t>(key, AttributeSetting::Kind::UInt32);
  }
  Result<std::uint64_t> get_uint64(const Guid& key) override {
    return store.get<std::uint64_t>(key, AttributeSetting::Kind::UInt64);
  }
  Result<Guid> get_guid(const Guid& key) override { return store.get<Guid>(key, AttributeSetting::Kind::Guid); }
  Result<std::vector<std::byte>> get_blob(const Guid& key) override {
    if (key != guids::mf_mt_mpeg_sequence_header || !sequence_header) {
      return fail(status::mf_e_attributenotfound);
    }
    return *sequence_header;
  }
  AttributeStore store;
  // Set only on the types a transform hands out.
  std::optional<std::vector<std::byte>> sequence_header;

 private:
  Status set(const AttributeSetting& setting) {
    if (auto s = shared_->check("media_type.set"); !s) {
      return s;
    }
    return store.set(setting);
  }
  Live live_;
  std::shared_ptr<Shared> shared_;
};

class FakeMemoryBuffer final : public mf::MediaBuffer {
 public:
  FakeMemoryBuffer(std::shared_ptr<Shared> shared, std::uint32_t max_length)
      : live_(shared), shared_(std::move(shared)), bytes(max_length) {}
  Result<Locked> lock() override {
    if (auto s = shared_->check("buffer.lock"); !s) {
      return std::unexpected(s.error());
    }
    return Locked{bytes.data(), static_cast<std::uint32_t>(bytes.size()), current_length};
  }
  Status unlock() override { return shared_->check("buffer.unlock"); }
  Result<std::uint32_t> get_current_length() override { return current_length; }
  Result<std::uint32_t> get_max_length() override { return static_cast<std::uint32_t>(bytes.size()); }
  Status set_current_length(std::uint32_t length) override {
    if (length > bytes.size()) {
      return fail(status::e_invalidarg);
    }
    current_length = length;
    return {};
  }

 private:
  Live live_;
  std::shared_ptr<Shared> shared_;

 public:
  std::vector<std::uint8_t> bytes;
  std::uint32_t current_length = 0;
};

// A buffer over an NV12 surface. Like the system's, it starts with a current
// length of 0 and a maximum length of the surface's bytes.
class FakeSurfaceBuffer final : public mf::MediaBuffer {
 public:
  FakeSurfaceBuffer(std::shared_ptr<Shared> shared, std::shared_ptr<d3d11::Texture2D> texture_)
      : live_(std::move(shared)), texture(std::move(texture_)) {
    const d3d11::Texture2DDesc desc = texture->get_desc();
    max_length = desc.width * desc.height * 3 / 2;
  }
  Result<Locked> lock() override { return fail(status::e_notimpl); }
  Status unlock() override { return fail(status::e_notimpl); }
  Result<std::uint32_t> get_current_length() override { return current_length; }
  Result<std::uint32_t> get_max_length() override { return max_length; }
  Status set_current_length(std::uint32_t length) override {
    if (length > max_length) {
      return fail(status::e_invalidarg);
    }
    current_length = length;
    return {};
  }

 private:
  Live live_;

 public:
  std::shared_ptr<d3d11::Texture2D> texture;
  std::uint32_t max_length = 0;
  std::uint32_t current_length = 0;
};

class FakeSample final : public mf::Sample {
 public:
  explicit FakeSample(std::shared_ptr<Shared> shared) : live_(shared), shared_(std::move(shared)) {}
  Status set_uint32(const Guid& key, std::uint32_t value) override { return store.set(u32(key, value)); }
  Status set_uint64(const Guid& key, std::uint64_t value) override { return store.set(u64(key, value)); }
  Status set_guid(const Guid& key, const Guid& value) override { return store.set(guid(key, value)); }
  Result<std::uint32_t> get_uint32(const Guid& key) override {
    return store.get<std::uint32_t>(key, AttributeSetting::Kind::UInt32);
  }
  Result<std::uint64_t> get_uint64(const Guid& key) override {
    return store.get<std::uint64_t>(key, AttributeSetting::Kind::UInt64);
  }
  Result<Guid> get_guid(const Guid& key) override { return store.get<Guid>(key, AttributeSetting::Kind::Guid); }
  Result<std::vector<std::byte>> get_blob(const Guid&) override { return fail(status::mf_e_attributenotfound); }
  Status add_buffer(std::shared_ptr<mf::MediaBuffer> buffer) override {
    if (auto s = shared_->check("sample.add_buffer"); !s) {
      return s;
    }
    buffers.push_back(std::move(buffer));
    return {};
  }
  Status set_sample_time(std::int64_t time_100ns) override {
    if (auto s = shared_->check("sample.set_sample_time"); !s) {
      return s;
    }
    time = time_100ns;
    return {};
  }
  Status set_sample_duration(std::int64_t duration_100ns) override {
    if (auto s = shared_->check("sample.set_sample_duration"); !s) {
      return s;
    }
    duration = duration_100ns;
    return {};
  }
  Result<std::int64_t> get_sample_time() override { return time; }
  Result<std::shared_ptr<mf::MediaBuffer>> convert_to_contiguous_buffer() override {
    if (auto s = shared_->scripted<mf::MediaBuffer>("sample.convert_to_contiguous_buffer")) {
      return *s;
    }
    if (buffers.empty()) {
      return fail(status::e_unexpected);
    }
    return buffers.front();
  }

  AttributeStore store;
  std::vector<std::shared_ptr<mf::MediaBuffer>> buffers;
  std::int64_t time = 0;
  std::int64_t duration = 0;

 private:
  Live live_;
  std::shared_ptr<Shared> shared_;
};

class FakeEvent final : public mf::MediaEvent {
 public:
  FakeEvent(std::shared_ptr<Shared> shared, State::Event event)
      : live_(shared), shared_(std::move(shared)), event_(event) {}
  Result<std::uint32_t> get_type() override {
    if (auto s = shared_->check("event.get_type"); !s) {
      return std::unexpected(s.error());
    }
    return event_.type;
  }
  Result<std::uint32_t> get_status() override {
    if (auto s = shared_->check("event.get_status"); !s) {
      return std::unexpected(s.error());
    }
    return event_.status;
  }

 private:
  Live live_;
  std::shared_ptr<Shared> shared_;
  State::Event event_;
};

class FakeEventGenerator final : public mf::MediaEventGenerator {
 public:
  FakeEventGenerator(std::shared_ptr<Shared> shared, std::shared_ptr<State> state)
      : live_(shared), shared_(std::move(shared)), state_(std::move(state)) {}
  ~FakeEventGenerator() override {
    // Releasing a COM object needs the apartment it lives in.
    if (!shared_->apartments->in_apartment()) {
      shared_->report("IMFMediaEventGenerator released on a thread outside any COM apartment");
    }
  }
  FakeEventGenerator(const FakeEventGenerator&) = delete;
  FakeEventGenerator& operator=(const FakeEventGenerator&) = delete;
  Result<std::shared_ptr<mf::MediaEvent>> get_event(std::uint32_t flags) override {
    if (auto s = shared_->check("get_event"); !s) {
      return std::unexpected(s.error());
    }
    MutexLock lock(state_->mutex);
    if ((flags & mf::mf_event_flag_no_wait) != 0 && state_->events.empty() && !state_->shut_down) {
      return fail(status::mf_e_no_events_available);
    }
    ++state_->waiting;
    state_->changed.notify_all();
    lock.wait(state_->changed, [&] { return !state_->events.empty() || state_->shut_down; });
    --state_->waiting;
    if (state_->shut_down) {
      return fail(status::mf_e_shutdown);
    }
    const State::Event event = state_->events.front();
    state_->events.pop_front();
    return std::make_shared<FakeEvent>(shared_, event);
  }

 private:
  Live live_;
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<State> state_;
};

const char* property_name(const Guid& api) {
  namespace g = guids;
  if (api == g::codecapi_av_enc_common_rate_control_mode) return "set_value.rate_control";
  if (api == g::codecapi_av_enc_common_mean_bit_rate) return "set_value.mean_bit_rate";
  if (api == g::codecapi_av_enc_common_quality_vs_speed) return "set_value.quality_vs_speed";
  if (api == g::codecapi_av_enc_common_max_bit_rate) return "set_value.max_bit_rate";
  if (api == g::codecapi_av_enc_common_buffer_size) return "set_value.buffer_size";
  if (api == g::codecapi_av_low_latency_mode) return "set_value.low_latency";
  if (api == g::codecapi_av_enc_video_force_key_frame) return "set_value.force_key_frame";
  if (api == g::codecapi_av_enc_mpv_gop_size) return "set_value.gop_size";
  if (api == g::codecapi_av_enc_mpv_default_b_picture_count) return "set_value.b_picture_count";
  if (api == g::codecapi_av_scenario_info) return "set_value.scenario_info";
  if (api == g::codecapi_av_enc_video_temporal_layer_count) return "set_value.temporal_layer_count";
  return "set_value.other";
}

// The VARIANT type Microsoft documents for each codec property the program
// sets; an encoder that checks refuses any other.
std::optional<mf::Variant::Type> documented_type(const Guid& api) {
  namespace g = guids;
  if (api == g::codecapi_av_low_latency_mode) return mf::Variant::Type::Bool;
  if (api == g::codecapi_av_enc_common_rate_control_mode || api == g::codecapi_av_enc_common_mean_bit_rate ||
      api == g::codecapi_av_enc_common_quality_vs_speed || api == g::codecapi_av_enc_video_force_key_frame ||
      api == g::codecapi_av_enc_mpv_gop_size || api == g::codecapi_av_enc_mpv_default_b_picture_count ||
      api == g::codecapi_av_scenario_info || api == g::codecapi_av_enc_video_temporal_layer_count ||
      api == g::codecapi_av_enc_common_max_bit_rate || api == g::codecapi_av_enc_common_buffer_size) {
    return mf::Variant::Type::UI4;
  }
  return std::nullopt;
}

class FakeCodecApi final : public mf::CodecApi {
 public:
  FakeCodecApi(std::shared_ptr<Shared> shared, std::shared_ptr<State> state,
               std::shared_ptr<FakeEncoderTransform> transform)
      : live_(shared), shared_(std::move(shared)), state_(std::move(state)), transform_(std::move(transform)) {}
  Status set_value(const Guid& api, const mf::Variant& value) override {
    const MutexLock lock(state_->mutex);
    state_->set_values.emplace_back(api, value);
    if (state_->object_shut_down) {
      return fail(status::mf_e_shutdown);
    }
    if (auto s = shared_->check(property_name(api)); !s) {
      return s;
    }
    if (const auto type = documented_type(api); type && value.type != *type) {
      return fail(status::e_invalidarg);
    }
    // Microsoft, "H.264 Video Encoder": the B-frame count is set before the
    // output type, which the encoder configures itself by.
    if (api == guids::codecapi_av_enc_mpv_default_b_picture_count && state_->output_types_set > 0) {
      return fail(status::mf_e_invalidrequest);
    }
    if (api == guids::codecapi_av_enc_video_temporal_layer_count) {
      state_->temporal_layers_set = true;
    }
    if (api == guids::codecapi_av_low_latency_mode) {
      state_->low_latency_set = value;
    }
    if (api == guids::codecapi_av_enc_video_force_key_frame && value.ui != 0) {
      state_->force_key_pending = true;
    }
    return {};
  }
  Result<bool> is_supported(const Guid& api) override {
    if (auto s = shared_->check("is_supported"); !s) {
      return std::unexpected(s.error());
    }
    return std::ranges::find(transform_->unsupported_properties, api) == transform_->unsupported_properties.end();
  }
  Result<mf::Variant> get_value(const Guid& api) override {
    if (auto s = shared_->check("get_value"); !s) {
      return std::unexpected(s.error());
    }
    const MutexLock lock(state_->mutex);
    if (state_->object_shut_down) {
      return fail(status::mf_e_shutdown);
    }
    if (api == guids::codecapi_av_low_latency_mode) {
      if (transform_->low_latency_read_back) {
        return *transform_->low_latency_read_back;
      }
      if (state_->low_latency_set) {
        return *state_->low_latency_set;
      }
    }
    return mf::Variant{};
  }

 private:
  Live live_;
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<State> state_;
  std::shared_ptr<FakeEncoderTransform> transform_;
};

class FakeTransformAttributes final : public mf::Attributes {
 public:
  FakeTransformAttributes(std::shared_ptr<Shared> shared, std::shared_ptr<State> state,
                          std::optional<std::uint32_t> d3d11_aware)
      : live_(shared), shared_(std::move(shared)), state_(std::move(state)), d3d11_aware_(d3d11_aware) {}
  Status set_uint32(const Guid& key, std::uint32_t value) override {
    if (auto s = shared_->check("attributes.set_uint32"); !s) {
      return s;
    }
    if (key == guids::mf_transform_async_unlock) {
      const MutexLock lock(state_->mutex);
      state_->transform_attributes.push_back(value);
      state_->unlocked = value != 0;
    }
    return {};
  }
  Status set_uint64(const Guid&, std::uint64_t) override { return {}; }
  Status set_guid(const Guid&, const Guid&) override { return {}; }
  Result<std::uint32_t> get_uint32(const Guid& key) override {
    if (key == guids::mf_sa_d3d11_aware && d3d11_aware_) {
      return *d3d11_aware_;
    }
    return fail(status::mf_e_attributenotfound);
  }
  Result<std::uint64_t> get_uint64(const Guid&) override { return fail(status::mf_e_attributenotfound); }
  Result<Guid> get_guid(const Guid&) override { return fail(status::mf_e_attributenotfound); }
  Result<std::vector<std::byte>> get_blob(const Guid&) override { return fail(status::mf_e_attributenotfound); }

 private:
  Live live_;
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<State> state_;
  std::optional<std::uint32_t> d3d11_aware_;
};

class FakeDeviceManager final : public mf::DxgiDeviceManager {
 public:
  explicit FakeDeviceManager(std::shared_ptr<Shared> shared) : live_(shared), shared_(std::move(shared)) {}
  Status reset_device(d3d11::Device& device, std::uint32_t) override {
    if (auto s = shared_->check("reset_device"); !s) {
      return s;
    }
    // The manager hands the device to the encoder's video engine, which
    // needs a device created with video support.
    if (const auto flags = FakeD3D11::creation_flags(device);
        flags && (*flags & d3d11::create_device_video_support) == 0) {
      return fail(status::e_invalidarg);
    }
    return {};
  }

 private:
  Live live_;
  std::shared_ptr<Shared> shared_;
};

// The transform as the program holds it: counted as a live object.
struct TransformHandle {
  TransformHandle(std::shared_ptr<FakeEncoderTransform> transform_, std::shared_ptr<Shared> shared)
      : transform(std::move(transform_)), live(std::move(shared)) {}
  std::shared_ptr<FakeEncoderTransform> transform;
  Live live;
};

class FakeActivate final : public mf::Activate {
 public:
  FakeActivate(std::shared_ptr<Shared> shared, std::shared_ptr<FakeEncoderTransform> transform,
               std::shared_ptr<State> state)
      : live_(shared), shared_(std::move(shared)), transform_(std::move(transform)), state_(std::move(state)) {}
  Result<std::shared_ptr<mf::Transform>> activate_object() override {
    if (auto s = shared_->scripted<mf::Transform>("activate_object")) {
      return *s;
    }
    if (const std::uint32_t code = shared_->apartments->activation_status(); code != status::ok) {
      return fail(code);
    }
    {
      const MutexLock lock(state_->mutex);
      state_->activated = true;
    }
    auto handle = std::make_shared<TransformHandle>(transform_, shared_);
    return std::shared_ptr<mf::Transform>(handle, handle->transform.get());
  }
  Result<std::u16string> get_friendly_name() override {
    if (auto s = shared_->check("activate.get_friendly_name"); !s) {
      return std::unexpected(s.error());
    }
    return transform_->friendly_name;
  }
  Result<LocallyUniqueId> get_adapter_luid() override {
    if (auto s = shared_->check("activate.get_adapter_luid"); !s) {
      return std::unexpected(s.error());
    }
    if (!transform_->activation_reports_adapter) {
      return fail(status::mf_e_attributenotfound);
    }
    return transform_->adapter_luid;
  }
  Status shutdown_object() override {
    if (auto s = shared_->check("activate.shutdown_object"); !s) {
      return s;
    }
    {
      const MutexLock lock(state_->mutex);
      state_->object_shut_down = true;
    }
    transform_->shutdown_events();
    return {};
  }

 private:
  Live live_;
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<FakeEncoderTransform> transform_;
  std::shared_ptr<State> state_;
};

const char* message_name(mf::MftMessage message) {
  switch (message) {
    case mf::MftMessage::CommandFlush: return "process_message.flush";
    case mf::MftMessage::CommandDrain: return "process_message.drain";
    case mf::MftMessage::SetD3DManager: return "process_message.set_d3d_manager";
    case mf::MftMessage::NotifyBeginStreaming: return "process_message.begin_streaming";
    case mf::MftMessage::NotifyEndStreaming: return "process_message.end_streaming";
    case mf::MftMessage::NotifyEndOfStream: return "process_message.end_of_stream";
    case mf::MftMessage::NotifyStartOfStream: return "process_message.start_of_stream";
  }
  return "process_message.other";
}

void append_nal(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& nal, bool length_prefixed) {
  if (length_prefixed) {
    const auto n = static_cast<std::uint32_t>(nal.size());
    out.insert(out.end(), {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                           static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
  } else {
    out.insert(out.end(), {0, 0, 0, 1});
  }
  out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace

FakeEncoderTransform::FakeEncoderTransform(std::shared_ptr<Shared> shared)
    : shared_(std::move(shared)), state_(std::make_shared<State>()) {}

FakeEncoderTransform::~FakeEncoderTransform() = default;

ScriptedOutput FakeEncoderTransform::encoded(std::uint64_t index, bool keyframe, bool length_prefixed,
                                             std::size_t delta_leading_nal_bytes, bool parameter_sets) {
  ScriptedOutput output;
  // Stand-in NAL units: headers of the right types, the frame index as body.
  const std::vector<std::uint8_t> body{static_cast<std::uint8_t>(index >> 24), static_cast<std::uint8_t>(index >> 16),
                                       static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index)};
  if (keyframe) {
    if (parameter_sets) {
      append_nal(output.bytes, {0x67, 0x42, 0xC0, 0x1F}, length_prefixed);  // SPS
      append_nal(output.bytes, {0x68, 0xCE, 0x3C, 0x80}, length_prefixed);  // PPS
    }
    std::vector<std::uint8_t> idr{0x65};
    idr.insert(idr.end(), body.begin(), body.end());
    append_nal(output.bytes, idr, length_prefixed);
  } else {
    if (delta_leading_nal_bytes > 0) {
      std::vector<std::uint8_t> filler(delta_leading_nal_bytes, 0xFF);
      filler[0] = 0x0C;
      append_nal(output.bytes, filler, length_prefixed);
    }
    std::vector<std::uint8_t> slice{0x41};
    slice.insert(slice.end(), body.begin(), body.end());
    append_nal(output.bytes, slice, length_prefixed);
  }
  output.clean_point = keyframe ? 1 : 0;
  return output;
}

void FakeEncoderTransform::push_event(std::uint32_t type, std::uint32_t status) { state_->push({type, status}); }

void FakeEncoderTransform::queue_output(ScriptedOutput output) {
  const MutexLock lock(state_->mutex);
  state_->outputs.push_back(std::move(output));
}

void FakeEncoderTransform::emit_output(ScriptedOutput output) {
  queue_output(std::move(output));
  push_event(mf::me_transform_have_output);
}

void FakeEncoderTransform::shutdown_events() {
  {
    const MutexLock lock(state_->mutex);
    state_->shut_down = true;
  }
  state_->changed.notify_all();
}

std::vector<InputRecord> FakeEncoderTransform::inputs() const {
  const MutexLock lock(state_->mutex);
  return state_->inputs;
}
std::vector<mf::MftMessage> FakeEncoderTransform::messages() const {
  const MutexLock lock(state_->mutex);
  return state_->messages;
}
std::vector<std::pair<Guid, mf::Variant>> FakeEncoderTransform::set_values() const {
  const MutexLock lock(state_->mutex);
  return state_->set_values;
}
std::vector<AttributeSetting> FakeEncoderTransform::output_type() const {
  const MutexLock lock(state_->mutex);
  return state_->output_type;
}
std::vector<AttributeSetting> FakeEncoderTransform::input_type() const {
  const MutexLock lock(state_->mutex);
  return state_->input_type;
}
std::vector<std::uint32_t> FakeEncoderTransform::transform_attributes_set() const {
  const MutexLock lock(state_->mutex);
  return state_->transform_attributes;
}
std::vector<std::uint32_t> FakeEncoderTransform::offered_buffer_sizes() const {
  const MutexLock lock(state_->mutex);
  return state_->offered_buffer_sizes;
}
std::size_t FakeEncoderTransform::output_types_set() const {
  const MutexLock lock(state_->mutex);
  return state_->output_types_set;
}
bool FakeEncoderTransform::shut_down() const {
  const MutexLock lock(state_->mutex);
  return state_->object_shut_down;
}
std::size_t FakeEncoderTransform::pending_events() const {
  const MutexLock lock(state_->mutex);
  return state_->events.size();
}
bool FakeEncoderTransform::wait_until_idle(std::chrono::milliseconds timeout) const {
  MutexLock lock(state_->mutex);
  return lock.wait_for(state_->changed, timeout, [&] { return state_->waiting > 0 && state_->events.empty(); });
}

Result<std::shared_ptr<mf::Attributes>> FakeEncoderTransform::get_attributes() {
  if (auto s = shared_->scripted<mf::Attributes>("get_attributes")) {
    return *s;
  }
  return std::make_shared<FakeTransformAttributes>(shared_, state_, d3d11_aware);
}

Result<std::shared_ptr<mf::MediaEventGenerator>> FakeEncoderTransform::query_event_generator() {
  if (auto s = shared_->scripted<mf::MediaEventGenerator>("query_event_generator")) {
    return *s;
  }
  return std::make_shared<FakeEventGenerator>(shared_, state_);
}

Result<std::shared_ptr<mf::CodecApi>> FakeEncoderTransform::query_codec_api() {
  if (auto s = shared_->scripted<mf::CodecApi>("query_codec_api")) {
    return *s;
  }
  return std::make_shared<FakeCodecApi>(shared_, state_, shared_from_this());
}

Status FakeEncoderTransform::set_output_type(std::uint32_t, mf::MediaType& type, std::uint32_t) {
  if (auto s = usable(*state_); !s) {
    return s;
  }
  if (auto s = shared_->check("set_output_type"); !s) {
    return s;
  }
  auto* fake = dynamic_cast<FakeMediaType*>(&type);
  // Chromium (crbug.com/1446081): setting colour attributes on the output
  // type "can actually break some encoders".
  if (refuses_output_color_attributes && fake != nullptr &&
      std::any_of(fake->store.log.begin(), fake->store.log.end(),
                  [](const AttributeSetting& setting) { return is_color_attribute(setting.key); })) {
    return fail(status::mf_e_invalidmediatype);
  }
  const MutexLock lock(state_->mutex);
  ++state_->output_types_set;
  if (fake != nullptr) {
    state_->output_type = fake->store.log;
  }
  return {};
}

Status FakeEncoderTransform::set_input_type(std::uint32_t, mf::MediaType& type, std::uint32_t) {
  if (auto s = usable(*state_); !s) {
    return s;
  }
  if (auto s = shared_->check("set_input_type"); !s) {
    return s;
  }
  const MutexLock lock(state_->mutex);
  // Microsoft, "H.264 Video Encoder": the output type must be set before
  // the input type.
  if (state_->output_types_set == 0) {
    return fail(status::mf_e_transform_type_not_set);
  }
  if (auto* fake = dynamic_cast<FakeMediaType*>(&type)) {
    state_->input_type = fake->store.log;
  }
  return {};
}

Result<std::shared_ptr<mf::MediaType>> FakeEncoderTransform::get_output_available_type(std::uint32_t,
                                                                                       std::uint32_t) {
  if (auto s = usable(*state_); !s) {
    return std::unexpected(s.error());
  }
  if (auto s = shared_->scripted<mf::MediaType>("get_output_available_type")) {
    return *s;
  }
  auto type = std::make_shared<FakeMediaType>(shared_);
  type->sequence_header = sequence_header_blob();
  return type;
}

Result<std::shared_ptr<mf::MediaType>> FakeEncoderTransform::get_output_current_type(std::uint32_t) {
  if (auto s = shared_->check("get_output_current_type"); !s) {
    return std::unexpected(s.error());
  }
  auto type = std::make_shared<FakeMediaType>(shared_);
  {
    const MutexLock lock(state_->mutex);
    if (state_->output_types_set == 0) {
      return fail(status::mf_e_transform_type_not_set);
    }
    for (const AttributeSetting& setting : state_->output_type) {
      (void)type->store.set(setting);
    }
  }
  type->sequence_header = sequence_header_blob();
  return type;
}

std::optional<std::vector<std::byte>> FakeEncoderTransform::sequence_header_blob() const {
  if (sequence_header.empty()) {
    return std::nullopt;
  }
  std::vector<std::byte> blob;
  for (const std::uint8_t b : sequence_header) {
    blob.push_back(std::byte{b});
  }
  return blob;
}

Result<mf::OutputStreamInfo> FakeEncoderTransform::get_output_stream_info(std::uint32_t) {
  if (auto s = usable(*state_); !s) {
    return std::unexpected(s.error());
  }
  if (auto s = shared_->check("get_output_stream_info"); !s) {
    return std::unexpected(s.error());
  }
  const MutexLock lock(state_->mutex);
  if (state_->stream_changed && stream_info_after_change) {
    return *stream_info_after_change;
  }
  mf::OutputStreamInfo info;
  info.flags = provides_samples ? mf::mft_output_stream_provides_samples : 0;
  info.size = output_buffer_size;
  return info;
}

Status FakeEncoderTransform::process_message(mf::MftMessage message, mf::DxgiDeviceManager*) {
  bool stalls = false;
  {
    const MutexLock lock(state_->mutex);
    state_->messages.push_back(message);
    if (auto s = usable_locked(*state_); !s) {
      return s;
    }
  }
  if (auto s = shared_->check(message_name(message)); !s) {
    return s;
  }
  {
    const MutexLock lock(state_->mutex);
    if (message == mf::MftMessage::CommandDrain || message == mf::MftMessage::NotifyStartOfStream) {
      state_->draining = message == mf::MftMessage::CommandDrain;
    }
    if (message == mf::MftMessage::NotifyStartOfStream) {
      state_->streaming = true;
    } else if (message == mf::MftMessage::NotifyEndOfStream) {
      state_->streaming = false;
    }
    stalls = needs_temporal_layer_count && !state_->temporal_layers_set;
  }
  if (!auto_respond) {
    return {};
  }
  if (message == mf::MftMessage::NotifyStartOfStream) {
    for (std::uint32_t i = 0; i < need_input_on_start && !stalls; ++i) {
      state_->push({mf::me_transform_need_input, 0});
    }
  } else if (message == mf::MftMessage::CommandDrain) {
    // What the encoder held back comes out before the drain completes.
    std::deque<ScriptedOutput> held;
    {
      const MutexLock lock(state_->mutex);
      held.swap(state_->held);
    }
    if (!drain_complete_early) {
      for (auto& output : held) {
        emit_output(std::move(output));
      }
    }
    if (drain_complete_early) {
      state_->push({mf::me_transform_drain_complete, 0}, true);
    } else if (drain_complete_on_drain) {
      state_->push({mf::me_transform_drain_complete, 0});
    }
  }
  return {};
}

Status FakeEncoderTransform::process_input(std::uint32_t, mf::Sample& sample, std::uint32_t) {
  if (on_process_input) {
    on_process_input();
  }
  if (auto s = usable(*state_); !s) {
    return s;
  }
  if (auto s = shared_->check("process_input"); !s) {
    return s;
  }
  InputRecord record;
  if (auto* fake = dynamic_cast<FakeSample*>(&sample)) {
    record.sample_time_100ns = fake->time;
    record.sample_duration_100ns = fake->duration;
    if (!fake->buffers.empty()) {
      if (auto* surface = dynamic_cast<FakeSurfaceBuffer*>(fake->buffers.front().get())) {
        // A strict encoder reads the buffer's current length, not the surface.
        if (surface->current_length == 0) {
          return fail(status::e_invalidarg);
        }
        record.texture = surface->texture.get();
      }
    }
  }
  std::uint64_t index = 0;
  bool refused = false;
  {
    const MutexLock lock(state_->mutex);
    // Microsoft, "Asynchronous MFTs": one ProcessInput per METransformNeedInput,
    // only between start of stream and end of stream; a transform asked
    // anything else answers MF_E_NOTACCEPTING. A hardware transform also
    // refuses from a drain until the next start of stream.
    if (!state_->streaming || state_->draining || state_->open_input_requests == 0) {
      return fail(status::mf_e_notaccepting);
    }
    --state_->open_input_requests;
    // Chromium (crbug.com/377749373): a transform may refuse the input that
    // answers its own request; it asks again when it can take one.
    refused = refuse_input_once_at != 0 && !state_->refused_once && state_->input_index + 1 == refuse_input_once_at;
    if (!refused) {
      record.keyframe_forced = std::exchange(state_->force_key_pending, false);
      index = state_->input_index++;
      state_->inputs.push_back(record);
    }
    state_->refused_once = state_->refused_once || refused;
  }
  if (refused) {
    push_event(mf::me_transform_need_input);
    return fail(status::mf_e_notaccepting);
  }
  if (auto_respond) {
    if (!hold_outputs) {
      const bool keyframe = index == 0 || record.keyframe_forced;
      ScriptedOutput output = encoded(index, keyframe, length_prefixed, delta_leading_nal_bytes,
                                      !parameter_sets_first_idr_only || index == 0);
      output.sample_time_100ns = record.sample_time_100ns;
      for (auto& ready : release(std::move(output))) {
        emit_output(std::move(ready));
      }
    }
    push_event(mf::me_transform_need_input);
  }
  return {};
}

std::vector<ScriptedOutput> FakeEncoderTransform::release(ScriptedOutput output) {
  std::vector<ScriptedOutput> ready;
  const MutexLock lock(state_->mutex);
  state_->held.push_back(std::move(output));
  if (output_delay_inputs > 0) {
    while (state_->held.size() > output_delay_inputs) {
      ready.push_back(std::move(state_->held.front()));
      state_->held.pop_front();
    }
  } else if (state_->held.size() >= std::max<std::uint32_t>(output_burst, 1)) {
    for (auto& held : state_->held) {
      ready.push_back(std::move(held));
    }
    state_->held.clear();
  }
  return ready;
}

Status FakeEncoderTransform::process_output(std::uint32_t, mf::OutputDataBuffer& buffer, std::uint32_t& status) {
  status = 0;
  if (auto s = usable(*state_); !s) {
    return s;
  }
  if (auto s = shared_->check("process_output"); !s) {
    return s;
  }
  ScriptedOutput output;
  bool brings_sample = provides_samples;
  {
    const MutexLock lock(state_->mutex);
    // Microsoft, "Asynchronous MFTs": ProcessOutput answers a
    // METransformHaveOutput event; without one it is E_UNEXPECTED.
    if (state_->open_output_events == 0) {
      return fail(status::e_unexpected);
    }
    --state_->open_output_events;
    if (state_->stream_changed && stream_info_after_change) {
      brings_sample = (stream_info_after_change->flags & mf::mft_output_stream_provides_samples) != 0;
    }
    if (state_->outputs.empty()) {
      return fail(status::mf_e_transform_need_more_input);
    }
    output = std::move(state_->outputs.front());
    state_->outputs.pop_front();
    if (output.failure == status::mf_e_transform_stream_change) {
      state_->stream_changed = true;
    }
    if (!brings_sample && buffer.sample) {
      if (auto* offered = dynamic_cast<FakeSample*>(buffer.sample.get()); offered && !offered->buffers.empty()) {
        if (auto* memory = dynamic_cast<FakeMemoryBuffer*>(offered->buffers.front().get())) {
          state_->offered_buffer_sizes.push_back(static_cast<std::uint32_t>(memory->bytes.size()));
        }
      }
    }
  }
  if (output.failure != 0) {
    return fail(output.failure);
  }
  if (output.no_sample) {
    buffer.sample.reset();
    return {};
  }
  std::shared_ptr<FakeSample> sample;
  std::shared_ptr<FakeMemoryBuffer> memory;
  if (brings_sample) {
    sample = std::make_shared<FakeSample>(shared_);
    memory = std::make_shared<FakeMemoryBuffer>(shared_, static_cast<std::uint32_t>(output.bytes.size()));
    sample->buffers.push_back(memory);
    buffer.sample = sample;
  } else {
    sample = std::dynamic_pointer_cast<FakeSample>(buffer.sample);
    if (!sample || sample->buffers.empty()) {
      return fail(status::e_invalidarg);
    }
    memory = std::dynamic_pointer_cast<FakeMemoryBuffer>(sample->buffers.front());
    if (!memory || memory->bytes.size() < output.bytes.size()) {
      return fail(status::e_invalidarg);
    }
  }
  std::copy(output.bytes.begin(), output.bytes.end(), memory->bytes.begin());
  memory->current_length = static_cast<std::uint32_t>(output.bytes.size());
  if (output.clean_point) {
    static_cast<void>(sample->set_uint32(guids::mf_sample_extension_clean_point, *output.clean_point));
  }
  // Set directly: the transform stamping its output is not a call of the
  // program's that a test counts or fails.
  if (output.sample_time_100ns) {
    sample->time = *output.sample_time_100ns;
  }
  return {};
}

FakeMediaFoundation::FakeMediaFoundation(std::shared_ptr<FakeApartments> apartments)
    : shared_(std::make_shared<FakeEncoderTransform::Shared>()), faults_(&shared_->faults) {
  shared_->apartments = std::move(apartments);
  encoders_.push_back(std::make_shared<FakeEncoderTransform>(shared_));
}

FakeMediaFoundation::~FakeMediaFoundation() {
  for (const auto& encoder : encoders_) {
    encoder->shutdown_events();
  }
}

FaultPlan& FakeMediaFoundation::faults() { return *faults_; }
FakeApartments& FakeMediaFoundation::apartments() { return *shared_->apartments; }
FakeEncoderTransform& FakeMediaFoundation::encoder() { return *encoders_.front(); }

FakeEncoderTransform& FakeMediaFoundation::add_encoder(std::u16string friendly_name, LocallyUniqueId adapter) {
  auto encoder = std::make_shared<FakeEncoderTransform>(shared_);
  encoder->friendly_name = std::move(friendly_name);
  encoder->adapter_luid = adapter;
  encoders_.push_back(encoder);
  return *encoder;
}

std::uint64_t FakeMediaFoundation::co_uninitialize_calls() const { return shared_->co_uninitialize_calls.load(); }

std::optional<LocallyUniqueId> FakeMediaFoundation::last_enum2_adapter() const {
  const MutexLock lock(shared_->mutex);
  return shared_->last_enum2_adapter;
}

std::int64_t FakeMediaFoundation::live_objects() const { return shared_->live.load(); }

std::vector<std::string> FakeMediaFoundation::violations() const {
  std::vector<std::string> all = shared_->apartments->violations();
  const MutexLock lock(shared_->mutex);
  all.insert(all.end(), shared_->violations.begin(), shared_->violations.end());
  return all;
}

Status FakeMediaFoundation::mf_startup(std::uint32_t, std::uint32_t) { return shared_->check("mf_startup"); }

Status FakeMediaFoundation::mf_shutdown() {
  if (auto s = shared_->check("mf_shutdown"); !s) {
    return s;
  }
  // Windows tears the platform down under objects still in use; the fake
  // says so.
  if (const std::int64_t live = shared_->live.load(); live != 0) {
    shared_->report("MFShutdown with " + std::to_string(live) + " Media Foundation objects still held");
  }
  for (const auto& encoder : encoders_) {
    const MutexLock lock(encoder->state_->mutex);
    if (encoder->state_->activated && !encoder->state_->object_shut_down) {
      shared_->report("MFShutdown before the activated transform was shut down");
    }
  }
  return {};
}

std::vector<std::shared_ptr<mf::Activate>> FakeMediaFoundation::listed(std::optional<LocallyUniqueId> adapter) const {
  std::vector<std::shared_ptr<mf::Activate>> found;
  switch (enumeration) {
    case Enumeration::NoEncoder:
      return found;
    case Enumeration::OnlyEntryEmpty:
      found.push_back(nullptr);
      return found;
    case Enumeration::FirstEntryEmpty:
      found.push_back(nullptr);
      break;
    case Enumeration::Registered:
      break;
  }
  for (const auto& encoder : encoders_) {
    if (!adapter || encoder->adapter_luid == *adapter) {
      found.push_back(std::make_shared<FakeActivate>(shared_, encoder, encoder->state_));
    }
  }
  return found;
}

Result<std::vector<std::shared_ptr<mf::Activate>>> FakeMediaFoundation::mft_enum_ex(const Guid&, std::uint32_t,
                                                                                    const mf::RegisterTypeInfo&,
                                                                                    const mf::RegisterTypeInfo&) {
  if (auto s = shared_->check("mft_enum_ex"); !s) {
    return std::unexpected(s.error());
  }
  return listed(std::nullopt);
}

Result<std::vector<std::shared_ptr<mf::Activate>>> FakeMediaFoundation::mft_enum2(const Guid&, std::uint32_t flags,
                                                                                  const mf::RegisterTypeInfo&,
                                                                                  const mf::RegisterTypeInfo&,
                                                                                  LocallyUniqueId adapter) {
  if (auto s = shared_->check("mft_enum2"); !s) {
    return std::unexpected(s.error());
  }
  // Microsoft, MFTEnum2: MFT_ENUM_ADAPTER_LUID selects hardware transforms
  // only, so it is an invalid argument without MFT_ENUM_FLAG_HARDWARE.
  if ((flags & mf::mft_enum_flag_hardware) == 0) {
    return fail(status::e_invalidarg);
  }
  {
    const MutexLock lock(shared_->mutex);
    shared_->last_enum2_adapter = adapter;
  }
  return listed(adapter);
}

Result<mf::CreatedDeviceManager> FakeMediaFoundation::mf_create_dxgi_device_manager() {
  const auto decision = shared_->faults.on_call("mf_create_dxgi_device_manager");
  if (decision.outcome == FaultPlan::Outcome::Fail) {
    return fail(decision.code);
  }
  mf::CreatedDeviceManager created;
  created.reset_token = 7;
  if (decision.outcome == FaultPlan::Outcome::Normal) {
    created.manager = std::make_shared<FakeDeviceManager>(shared_);
  }
  return created;
}

Result<std::shared_ptr<mf::MediaType>> FakeMediaFoundation::mf_create_media_type() {
  if (auto s = shared_->scripted<mf::MediaType>("mf_create_media_type")) {
    return *s;
  }
  return std::make_shared<FakeMediaType>(shared_);
}

Result<std::shared_ptr<mf::Sample>> FakeMediaFoundation::mf_create_sample() {
  if (auto s = shared_->scripted<mf::Sample>("mf_create_sample")) {
    return *s;
  }
  return std::make_shared<FakeSample>(shared_);
}

Result<std::shared_ptr<mf::MediaBuffer>> FakeMediaFoundation::mf_create_memory_buffer(std::uint32_t max_length) {
  if (auto s = shared_->scripted<mf::MediaBuffer>("mf_create_memory_buffer")) {
    return *s;
  }
  return std::make_shared<FakeMemoryBuffer>(shared_, max_length);
}

Result<std::shared_ptr<mf::MediaBuffer>> FakeMediaFoundation::mf_create_dxgi_surface_buffer(
    std::shared_ptr<d3d11::Texture2D> texture, std::uint32_t, bool) {
  if (auto s = shared_->scripted<mf::MediaBuffer>("mf_create_dxgi_surface_buffer")) {
    return *s;
  }
  return std::make_shared<FakeSurfaceBuffer>(shared_, std::move(texture));
}

Status FakeMediaFoundation::co_initialize_ex(std::uint32_t) {
  if (auto s = shared_->check("co_initialize_ex"); !s) {
    return s;
  }
  shared_->apartments->enter();
  return {};
}

void FakeMediaFoundation::co_uninitialize() {
  ++shared_->co_uninitialize_calls;
  shared_->apartments->leave();
}

}  // namespace quorvex::platform::fake
