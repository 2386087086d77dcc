// A scriptable Media Foundation for tests: MFStartup/MFShutdown and COM
// counters, an encoder enumeration (the registered encoders, none, or an
// empty entry), media types, samples and buffers, and asynchronous encoder
// transforms whose events and outputs the test drives deterministically.
//
// It holds the program to the rules Windows enforces and Wine does not:
// ActivateObject needs a COM apartment on the calling thread
// (CO_E_NOTINITIALIZED otherwise); each codec property takes only the
// VARIANT type Microsoft documents for it (E_INVALIDARG otherwise); an input
// sample's surface buffer must carry a current length; MFShutdown must come
// after every Media Foundation object was released and the activated
// transform shut down; an event generator must be released inside an
// apartment. Broken rules that Windows would not report at the call are
// collected in violations().
//
// Several encoders can be registered (add_encoder), each with a friendly
// name and the LUID of its adapter; MFTEnumEx lists them in registration
// order, MFTEnum2 only those of the adapter asked for.
//
// The transform, FakeEncoderTransform, runs in one of two ways:
// - automatic (auto_respond, the default): like a hardware MFT it raises
//   need_input_on_start NeedInput events at start of stream and, for every
//   accepted input, queues one encoded output and raises HaveOutput and then
//   NeedInput; a drain raises DrainComplete after the outputs already queued.
//   hold_outputs keeps outputs from ever coming back; drain_complete_early
//   raises DrainComplete at once on drain (before queued outputs' events
//   would matter, they are dropped).
// - scripted: the test queues outputs (queue_output) and events (push_event)
//   itself. get_event blocks until an event is there (or shutdown_events());
//   with mf_event_flag_no_wait it fails with MF_E_NO_EVENTS_AVAILABLE instead.
//
// Outputs are Annex B (default) or 4-byte length-prefixed (length_prefixed),
// with the clean-point attribute on keyframes: the first input and any input
// after a forced keyframe; an automatic output keeps its input's sample time.
// delta_leading_nal_bytes puts a filler-data NAL unit of that size in front
// of the slice of every output that is not a keyframe: length-prefixed, a
// unit of 1 byte makes the output begin 00 00 00 01 and one of 256 to 511
// bytes 00 00 01, as if it were start-code delimited.
// A ScriptedOutput can make ProcessOutput fail with a code (need-more-input,
// stream change, ...) or succeed without a sample.
//
// The transform keeps the asynchronous model as strictly as Windows does
// (Microsoft, "Asynchronous MFTs"), in both ways of running:
// - until MF_TRANSFORM_ASYNC_UNLOCK is set, every IMFTransform call but
//   GetAttributes (and the interface queries) answers
//   MF_E_TRANSFORM_ASYNC_LOCKED;
// - ProcessInput answers MF_E_NOTACCEPTING without an open METransformNeedInput
//   request, before MFT_MESSAGE_NOTIFY_START_OF_STREAM and from end of stream
//   or a drain until the next start of stream;
// - ProcessOutput without an open METransformHaveOutput answers E_UNEXPECTED
//   (an asynchronous MFT never answers MF_E_TRANSFORM_NEED_MORE_INPUT);
// - after IMFActivate::ShutdownObject every call answers MF_E_SHUTDOWN.
// The encoder's own order ("H.264 Video Encoder"): the output type before the
// input type (MF_E_TRANSFORM_TYPE_NOT_SET), and the B-frame count before the
// output type (MF_E_INVALIDREQUEST afterwards). MFTEnum2 with an adapter
// LUID needs MFT_ENUM_FLAG_HARDWARE (E_INVALIDARG).
//
// Vendor behaviours are knobs too (the documented table of them is
// fake_encoder_personality.h): outputs held back behind later inputs or
// released in bursts, one input refused after its request, parameter sets
// with the first IDR only, colour attributes on the output type refused, no
// input requested until the temporal layer count is set.
//
// Faults (FaultPlan, shared by every object of the fake): "mf_startup",
// "mf_shutdown", "mft_enum_ex", "mf_create_dxgi_device_manager",
// "mf_create_media_type", "mf_create_sample", "mf_create_memory_buffer",
// "mf_create_dxgi_surface_buffer", "co_initialize_ex", "activate_object",
// "get_attributes", "attributes.set_uint32", "query_event_generator",
// "query_codec_api", "set_output_type", "set_input_type",
// "get_output_available_type", "get_output_current_type", "get_output_stream_info",
// "process_message.<begin_streaming|start_of_stream|end_of_stream|drain|
// end_streaming|set_d3d_manager>", "process_input", "process_output",
// "get_event", "event.get_status", "event.get_type",
// "set_value.<rate_control|mean_bit_rate|max_bit_rate|buffer_size|quality_vs_speed|low_latency|
// force_key_frame|gop_size|b_picture_count|scenario_info|temporal_layer_count>", "get_value",
// "is_supported", "activate.get_adapter_luid", "reset_device", "media_type.set",
// "sample.add_buffer", "sample.set_sample_time", "sample.set_sample_duration",
// "sample.convert_to_contiguous_buffer", "buffer.lock", "buffer.unlock".
//
// Thread contract: knobs are set before the encoder starts; everything else
// may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/fake/fake_apartments.h"
#include "platform/fake/fault_plan.h"
#include "platform/media_foundation.h"
#include "platform/thread_safety.h"

namespace quorvex::platform::fake {

struct ScriptedOutput {
  std::vector<std::uint8_t> bytes;
  // Absent: the sample has no clean-point attribute.
  std::optional<std::uint32_t> clean_point;
  // Non-zero: ProcessOutput fails with this code and consumes the entry.
  std::uint32_t failure = 0;
  // ProcessOutput succeeds but hands back no sample.
  bool no_sample = false;
  // The output sample's time; absent leaves it unset.
  std::optional<std::int64_t> sample_time_100ns;
};

// What ProcessInput received.
struct InputRecord {
  std::int64_t sample_time_100ns = 0;
  std::int64_t sample_duration_100ns = 0;
  const d3d11::Texture2D* texture = nullptr;
  bool keyframe_forced = false;
};

// One media type attribute as it was set.
struct AttributeSetting {
  Guid key;
  enum class Kind { UInt32, UInt64, Guid } kind = Kind::UInt32;
  std::uint64_t value = 0;
  Guid guid_value;
};

class FakeEncoderTransform final : public mf::Transform, public std::enable_shared_from_this<FakeEncoderTransform> {
 public:
  struct Shared;
  explicit FakeEncoderTransform(std::shared_ptr<Shared> shared);
  ~FakeEncoderTransform() override;

  // Knobs.
  bool auto_respond = true;
  std::uint32_t need_input_on_start = 2;
  bool hold_outputs = false;
  bool drain_complete_early = false;
  // With hold_outputs or after drain_complete_early: no DrainComplete at all.
  bool drain_complete_on_drain = true;
  bool length_prefixed = false;
  std::size_t delta_leading_nal_bytes = 0;  // 0: none
  // MF_MT_MPEG_SEQUENCE_HEADER of the output types the transform hands out
  // (current and available); empty: they have none.
  std::vector<std::uint8_t> sequence_header;
  bool provides_samples = false;
  std::uint32_t output_buffer_size = 0;
  // Read after a stream change (GetOutputStreamInfo), when set.
  std::optional<mf::OutputStreamInfo> stream_info_after_change;
  // Read back for the low-latency property; absent echoes the value set.
  std::optional<mf::Variant> low_latency_read_back;
  // What the encoder's activation object says about it.
  std::u16string friendly_name = u"Fake H.264 Encoder MFT";
  LocallyUniqueId adapter_luid{1, 0};
  // Whether the activation object carries MFT_ENUM_ADAPTER_LUID (MFTEnumEx
  // on systems before MFTEnum2 leaves it out).
  bool activation_reports_adapter = true;
  // MF_SA_D3D11_AWARE on the transform's attributes; absent: not there.
  std::optional<std::uint32_t> d3d11_aware = 1;
  // Codec properties ICodecAPI::IsSupported answers S_FALSE for.
  std::vector<Guid> unsupported_properties;
  // Runs at the top of every ProcessInput, outside the fake's locks: a test
  // makes the call hang (a hung driver) with it.
  std::function<void()> on_process_input;

  // Vendor behaviours (automatic mode).
  // An input's output comes out only after this many later inputs went in
  // (a look-ahead encoder); a drain releases what is held.
  std::uint32_t output_delay_inputs = 0;
  // Outputs come out in groups of this many back-to-back HaveOutput events.
  std::uint32_t output_burst = 1;
  // The nth input (from 1) is refused once with MF_E_NOTACCEPTING although a
  // request is open; the encoder asks again at once. 0: never.
  std::uint64_t refuse_input_once_at = 0;
  // Only the first IDR carries SPS and PPS.
  bool parameter_sets_first_idr_only = false;
  // SetOutputType answers MF_E_INVALIDMEDIATYPE for a type that carries
  // colour attributes (primaries, transfer, matrix, nominal range).
  bool refuses_output_color_attributes = false;
  // Start of stream raises no NeedInput until
  // CODECAPI_AVEncVideoTemporalLayerCount has been set: the encoder stalls.
  bool needs_temporal_layer_count = false;

  // Driving. A NeedInput or HaveOutput event opens the request that lets one
  // ProcessInput or ProcessOutput through.
  void push_event(std::uint32_t type, std::uint32_t status = 0);
  void queue_output(ScriptedOutput output);
  // queue_output and a HaveOutput event.
  void emit_output(ScriptedOutput output);
  // get_event fails with MF_E_SHUTDOWN from now on.
  void shutdown_events();

  // Observation.
  [[nodiscard]] std::vector<InputRecord> inputs() const;
  [[nodiscard]] std::vector<mf::MftMessage> messages() const;
  [[nodiscard]] std::vector<std::pair<Guid, mf::Variant>> set_values() const;
  [[nodiscard]] std::vector<AttributeSetting> output_type() const;
  [[nodiscard]] std::vector<AttributeSetting> input_type() const;
  [[nodiscard]] std::vector<std::uint32_t> transform_attributes_set() const;
  [[nodiscard]] std::vector<std::uint32_t> offered_buffer_sizes() const;
  [[nodiscard]] std::size_t output_types_set() const;
  // Whether IMFActivate::ShutdownObject ran for this transform.
  [[nodiscard]] bool shut_down() const;
  // Events queued but not yet taken.
  [[nodiscard]] std::size_t pending_events() const;
  // Blocks until get_event is waiting on an empty queue (the event thread
  // is idle), or the timeout passes; true when it is.
  [[nodiscard]] bool wait_until_idle(std::chrono::milliseconds timeout) const;

  // The one output sample a fake produces for an input.
  // A keyframe carries SPS and PPS unless parameter_sets is false.
  [[nodiscard]] static ScriptedOutput encoded(std::uint64_t index, bool keyframe, bool length_prefixed,
                                              std::size_t delta_leading_nal_bytes = 0, bool parameter_sets = true);

  // mf::Transform.
  Result<std::shared_ptr<mf::Attributes>> get_attributes() override;
  Result<std::shared_ptr<mf::MediaEventGenerator>> query_event_generator() override;
  Result<std::shared_ptr<mf::CodecApi>> query_codec_api() override;
  Status set_output_type(std::uint32_t stream_id, mf::MediaType& type, std::uint32_t flags) override;
  Status set_input_type(std::uint32_t stream_id, mf::MediaType& type, std::uint32_t flags) override;
  Result<std::shared_ptr<mf::MediaType>> get_output_available_type(std::uint32_t stream_id,
                                                                   std::uint32_t type_index) override;
  Result<std::shared_ptr<mf::MediaType>> get_output_current_type(std::uint32_t stream_id) override;
  Result<mf::OutputStreamInfo> get_output_stream_info(std::uint32_t stream_id) override;
  Status process_message(mf::MftMessage message, mf::DxgiDeviceManager* manager) override;
  Status process_input(std::uint32_t stream_id, mf::Sample& sample, std::uint32_t flags) override;
  Status process_output(std::uint32_t flags, mf::OutputDataBuffer& buffer, std::uint32_t& status) override;

  struct State;

 private:
  friend class FakeMediaFoundation;  // hands state_ to the activation objects
  [[nodiscard]] std::optional<std::vector<std::byte>> sequence_header_blob() const;
  // Holds a new output back by the look-ahead and burst knobs; returns those
  // due now, oldest first.
  [[nodiscard]] std::vector<ScriptedOutput> release(ScriptedOutput output);
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<State> state_;
};

class FakeMediaFoundation final : public mf::MediaFoundation {
 public:
  // Registered: every registered encoder; FirstEntryEmpty: an empty entry
  // before them; OnlyEntryEmpty: one empty entry and nothing else.
  enum class Enumeration { Registered, NoEncoder, FirstEntryEmpty, OnlyEntryEmpty };

  explicit FakeMediaFoundation(std::shared_ptr<FakeApartments> apartments = std::make_shared<FakeApartments>());
  ~FakeMediaFoundation() override;

  [[nodiscard]] FaultPlan& faults();
  [[nodiscard]] FakeApartments& apartments();
  // The first registered encoder, there from the start.
  [[nodiscard]] FakeEncoderTransform& encoder();
  // Registers one more encoder, listed after those before it.
  FakeEncoderTransform& add_encoder(std::u16string friendly_name, LocallyUniqueId adapter);
  // Knob: what the enumerations yield.
  Enumeration enumeration = Enumeration::Registered;
  [[nodiscard]] std::uint64_t co_uninitialize_calls() const;
  [[nodiscard]] std::uint64_t calls(std::string_view operation) const { return faults_->calls(operation); }
  // The adapter the last MFTEnum2 asked for.
  [[nodiscard]] std::optional<LocallyUniqueId> last_enum2_adapter() const;
  // Media Foundation objects handed to the program and not yet released.
  [[nodiscard]] std::int64_t live_objects() const;
  // Rules of the platform the program broke (see the top of this file).
  [[nodiscard]] std::vector<std::string> violations() const;

  Status mf_startup(std::uint32_t version, std::uint32_t flags) override;
  Status mf_shutdown() override;
  Result<std::vector<std::shared_ptr<mf::Activate>>> mft_enum_ex(const Guid& category, std::uint32_t flags,
                                                                 const mf::RegisterTypeInfo& input_type,
                                                                 const mf::RegisterTypeInfo& output_type) override;
  Result<std::vector<std::shared_ptr<mf::Activate>>> mft_enum2(const Guid& category, std::uint32_t flags,
                                                              const mf::RegisterTypeInfo& input_type,
                                                              const mf::RegisterTypeInfo& output_type,
                                                              LocallyUniqueId adapter) override;
  Result<mf::CreatedDeviceManager> mf_create_dxgi_device_manager() override;
  Result<std::shared_ptr<mf::MediaType>> mf_create_media_type() override;
  Result<std::shared_ptr<mf::Sample>> mf_create_sample() override;
  Result<std::shared_ptr<mf::MediaBuffer>> mf_create_memory_buffer(std::uint32_t max_length) override;
  Result<std::shared_ptr<mf::MediaBuffer>> mf_create_dxgi_surface_buffer(std::shared_ptr<d3d11::Texture2D> texture,
                                                                         std::uint32_t subresource_index,
                                                                         bool bottom_up_when_linear) override;
  Status co_initialize_ex(std::uint32_t coinit) override;
  void co_uninitialize() override;

 private:
  [[nodiscard]] std::vector<std::shared_ptr<mf::Activate>> listed(std::optional<LocallyUniqueId> adapter) const;

  std::shared_ptr<FakeEncoderTransform::Shared> shared_;
  FaultPlan* faults_;
  std::vector<std::shared_ptr<FakeEncoderTransform>> encoders_;
};

}  // namespace quorvex::platform::fake
