// Media Foundation and COM: the encoder transform, its codec properties,
// media types, samples, buffers and events, one operation per call the
// program makes. Objects are reference counted (std::shared_ptr) and release
// their OS object when the last holder lets go.
//
// Thread contract: the transform is an asynchronous MFT. Its input side
// (process_input, process_message, codec properties) is used under the
// encoder-state lock by one thread at a time; get_event and process_output
// are called only by the encoder event thread. A thread must call
// co_initialize_ex before using any object here.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/d3d11.h"
#include "platform/error.h"
#include "platform/guid.h"

namespace quorvex::platform::mf {

inline constexpr std::uint32_t mf_version = 0x00020070;
inline constexpr std::uint32_t mfstartup_full = 0;
inline constexpr std::uint32_t mft_enum_flag_hardware = 0x04;
inline constexpr std::uint32_t mft_enum_flag_sortandfilter = 0x40;
inline constexpr std::uint32_t mft_output_stream_provides_samples = 0x100;
inline constexpr std::uint32_t mf_video_interlace_progressive = 2;
inline constexpr std::uint32_t eav_enc_h264v_profile_base = 66;
inline constexpr std::uint32_t eav_enc_common_rate_control_mode_cbr = 0;
inline constexpr std::uint32_t coinit_multithreaded = 0;
// eAVScenarioInfo_DisplayRemoting: screen content (codecapi.h).
inline constexpr std::uint32_t eav_scenario_info_display_remoting = 1;

// Colour description of a video media type: MFVideoPrimaries,
// MFVideoTransferFunction, MFVideoTransferMatrix and MFNominalRange values.
inline constexpr std::uint32_t mf_video_primaries_unknown = 0;
inline constexpr std::uint32_t mf_video_primaries_bt709 = 2;
inline constexpr std::uint32_t mf_video_primaries_bt470_2_sys_m = 3;
inline constexpr std::uint32_t mf_video_primaries_bt470_2_sys_bg = 4;
inline constexpr std::uint32_t mf_video_primaries_smpte170m = 5;
inline constexpr std::uint32_t mf_video_primaries_smpte240m = 6;
inline constexpr std::uint32_t mf_video_primaries_smpte_c = 8;
inline constexpr std::uint32_t mf_video_primaries_bt2020 = 9;
inline constexpr std::uint32_t mf_video_trans_func_unknown = 0;
inline constexpr std::uint32_t mf_video_trans_func_10 = 1;
inline constexpr std::uint32_t mf_video_trans_func_22 = 4;
inline constexpr std::uint32_t mf_video_trans_func_709 = 5;
inline constexpr std::uint32_t mf_video_trans_func_240m = 6;
inline constexpr std::uint32_t mf_video_trans_func_srgb = 7;
inline constexpr std::uint32_t mf_video_trans_func_28 = 8;
inline constexpr std::uint32_t mf_video_trans_func_2020 = 13;
inline constexpr std::uint32_t mf_video_trans_func_2084 = 15;
inline constexpr std::uint32_t mf_video_trans_func_hlg = 16;
inline constexpr std::uint32_t mf_video_transfer_matrix_unknown = 0;
inline constexpr std::uint32_t mf_video_transfer_matrix_bt709 = 1;
inline constexpr std::uint32_t mf_video_transfer_matrix_bt601 = 2;
inline constexpr std::uint32_t mf_video_transfer_matrix_smpte240m = 3;
inline constexpr std::uint32_t mf_video_transfer_matrix_bt2020_10 = 4;
inline constexpr std::uint32_t mf_video_transfer_matrix_bt2020_12 = 5;
inline constexpr std::uint32_t mf_nominal_range_unknown = 0;
inline constexpr std::uint32_t mf_nominal_range_0_255 = 1;
inline constexpr std::uint32_t mf_nominal_range_16_235 = 2;

// Media event types (MediaEventType).
inline constexpr std::uint32_t me_transform_need_input = 601;
inline constexpr std::uint32_t me_transform_have_output = 602;
inline constexpr std::uint32_t me_transform_drain_complete = 603;
// GetEvent flag: answer MF_E_NO_EVENTS_AVAILABLE at once instead of waiting.
inline constexpr std::uint32_t mf_event_flag_no_wait = 1;

// MFT_MESSAGE_TYPE values.
enum class MftMessage : std::uint32_t {
  CommandFlush = 0x00000000,
  CommandDrain = 0x00000001,
  SetD3DManager = 0x00000002,
  NotifyBeginStreaming = 0x10000000,
  NotifyEndStreaming = 0x10000001,
  NotifyEndOfStream = 0x10000002,
  NotifyStartOfStream = 0x10000003,
};

// The VARIANT subset that codec properties use.
struct Variant {
  enum class Type : std::uint16_t { Empty = 0, I4 = 3, Bool = 11, UI4 = 19, UI8 = 21 };
  static constexpr std::int16_t variant_true = -1;
  static constexpr std::int16_t variant_false = 0;

  Type type = Type::Empty;
  std::uint64_t ui = 0;       // VT_UI4 / VT_UI8; VT_I4 sign-extended
  std::int16_t bool_val = 0;  // VT_BOOL: VARIANT_TRUE (-1) or VARIANT_FALSE (0)

  [[nodiscard]] static Variant ui4(std::uint32_t value) { return {Type::UI4, value, 0}; }
  [[nodiscard]] static Variant boolean(bool value) {
    return {Type::Bool, 0, value ? variant_true : variant_false};
  }
  friend bool operator==(const Variant&, const Variant&) = default;
};

// MFT_REGISTER_TYPE_INFO.
struct RegisterTypeInfo {
  Guid major_type;
  Guid subtype;
};

// MFT_OUTPUT_STREAM_INFO.
struct OutputStreamInfo {
  std::uint32_t flags = 0;
  std::uint32_t size = 0;
  std::uint32_t alignment = 0;
};

class Attributes {
 public:
  virtual ~Attributes() = default;
  [[nodiscard]] virtual Status set_uint32(const Guid& key, std::uint32_t value) = 0;
  [[nodiscard]] virtual Status set_uint64(const Guid& key, std::uint64_t value) = 0;
  [[nodiscard]] virtual Status set_guid(const Guid& key, const Guid& value) = 0;
  [[nodiscard]] virtual Result<std::uint32_t> get_uint32(const Guid& key) = 0;
  [[nodiscard]] virtual Result<std::uint64_t> get_uint64(const Guid& key) = 0;
  [[nodiscard]] virtual Result<Guid> get_guid(const Guid& key) = 0;
  // GetBlobSize and GetBlob: the bytes of a blob attribute.
  [[nodiscard]] virtual Result<std::vector<std::byte>> get_blob(const Guid& key) = 0;
};

class MediaType : public Attributes {};

// IMFMediaBuffer. lock() gives the bytes until unlock().
class MediaBuffer {
 public:
  struct Locked {
    std::uint8_t* data = nullptr;
    std::uint32_t max_length = 0;
    std::uint32_t current_length = 0;
  };
  virtual ~MediaBuffer() = default;
  [[nodiscard]] virtual Result<Locked> lock() = 0;
  [[nodiscard]] virtual Status unlock() = 0;
  [[nodiscard]] virtual Result<std::uint32_t> get_current_length() = 0;
  [[nodiscard]] virtual Result<std::uint32_t> get_max_length() = 0;
  [[nodiscard]] virtual Status set_current_length(std::uint32_t length) = 0;
};

class Sample : public Attributes {
 public:
  [[nodiscard]] virtual Status add_buffer(std::shared_ptr<MediaBuffer> buffer) = 0;
  [[nodiscard]] virtual Status set_sample_time(std::int64_t time_100ns) = 0;
  [[nodiscard]] virtual Status set_sample_duration(std::int64_t duration_100ns) = 0;
  [[nodiscard]] virtual Result<std::int64_t> get_sample_time() = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<MediaBuffer>> convert_to_contiguous_buffer() = 0;
};

class MediaEvent {
 public:
  virtual ~MediaEvent() = default;
  [[nodiscard]] virtual Result<std::uint32_t> get_type() = 0;
  // The event's own status (an HRESULT; failure codes mean the event reports
  // an error).
  [[nodiscard]] virtual Result<std::uint32_t> get_status() = 0;
};

class MediaEventGenerator {
 public:
  virtual ~MediaEventGenerator() = default;
  // GetEvent(flags): with flags 0 blocks until the next event; with
  // mf_event_flag_no_wait fails with MF_E_NO_EVENTS_AVAILABLE when none is
  // queued.
  [[nodiscard]] virtual Result<std::shared_ptr<MediaEvent>> get_event(std::uint32_t flags) = 0;
};

class CodecApi {
 public:
  virtual ~CodecApi() = default;
  [[nodiscard]] virtual Status set_value(const Guid& api, const Variant& value) = 0;
  [[nodiscard]] virtual Result<Variant> get_value(const Guid& api) = 0;
  // IsSupported: true for S_OK, false for S_FALSE (the property is not
  // supported); other codes, E_NOTIMPL included, are errors.
  [[nodiscard]] virtual Result<bool> is_supported(const Guid& api) = 0;
};

class DxgiDeviceManager {
 public:
  virtual ~DxgiDeviceManager() = default;
  [[nodiscard]] virtual Status reset_device(d3d11::Device& device, std::uint32_t reset_token) = 0;
};

// MFT_OUTPUT_DATA_BUFFER for one stream. The event collection the encoder may
// return is released by the implementation.
struct OutputDataBuffer {
  std::uint32_t stream_id = 0;
  std::shared_ptr<Sample> sample;
  std::uint32_t status = 0;
};

class Transform {
 public:
  virtual ~Transform() = default;
  [[nodiscard]] virtual Result<std::shared_ptr<Attributes>> get_attributes() = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<MediaEventGenerator>> query_event_generator() = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<CodecApi>> query_codec_api() = 0;
  [[nodiscard]] virtual Status set_output_type(std::uint32_t stream_id, MediaType& type,
                                               std::uint32_t flags) = 0;
  [[nodiscard]] virtual Status set_input_type(std::uint32_t stream_id, MediaType& type,
                                              std::uint32_t flags) = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<MediaType>> get_output_available_type(
      std::uint32_t stream_id, std::uint32_t type_index) = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<MediaType>> get_output_current_type(std::uint32_t stream_id) = 0;
  [[nodiscard]] virtual Result<OutputStreamInfo> get_output_stream_info(std::uint32_t stream_id) = 0;
  // ProcessMessage(message, param). The only message with a parameter is
  // SetD3DManager, whose parameter is the device manager; every other message
  // is sent with 0 (pass nullptr).
  [[nodiscard]] virtual Status process_message(MftMessage message, DxgiDeviceManager* manager) = 0;
  [[nodiscard]] virtual Status process_input(std::uint32_t stream_id, Sample& sample,
                                             std::uint32_t flags) = 0;
  // ProcessOutput(flags, 1, &buffer, &status). Fails with
  // mf_e_transform_need_more_input or mf_e_transform_stream_change in the
  // cases the codes name. With provides-samples the encoder fills
  // buffer.sample itself.
  [[nodiscard]] virtual Status process_output(std::uint32_t flags, OutputDataBuffer& buffer,
                                              std::uint32_t& status) = 0;
};

class Activate {
 public:
  virtual ~Activate() = default;
  // Needs a thread in a COM apartment (CO_E_NOTINITIALIZED otherwise).
  [[nodiscard]] virtual Result<std::shared_ptr<Transform>> activate_object() = 0;
  // GetAllocatedString(MFT_FRIENDLY_NAME_Attribute).
  [[nodiscard]] virtual Result<std::u16string> get_friendly_name() = 0;
  // GetBlob(MFT_ENUM_ADAPTER_LUID): the adapter the encoder belongs to.
  // MF_E_ATTRIBUTENOTFOUND where the enumeration did not say (MFTEnumEx on
  // systems that predate MFTEnum2).
  [[nodiscard]] virtual Result<LocallyUniqueId> get_adapter_luid() = 0;
  // ShutdownObject: shuts the activated transform down. Its event generator
  // then answers MF_E_SHUTDOWN, also to a GetEvent already waiting.
  [[nodiscard]] virtual Status shutdown_object() = 0;
};

struct CreatedDeviceManager {
  std::uint32_t reset_token = 0;
  std::shared_ptr<DxgiDeviceManager> manager;
};

class MediaFoundation {
 public:
  virtual ~MediaFoundation() = default;
  [[nodiscard]] virtual Status mf_startup(std::uint32_t version, std::uint32_t flags) = 0;
  [[nodiscard]] virtual Status mf_shutdown() = 0;
  // MFTEnumEx. The array may contain empty entries; the implementation frees
  // the array (CoTaskMemFree) and the entries the caller does not keep.
  [[nodiscard]] virtual Result<std::vector<std::shared_ptr<Activate>>> mft_enum_ex(
      const Guid& category, std::uint32_t flags, const RegisterTypeInfo& input_type,
      const RegisterTypeInfo& output_type) = 0;
  // MFTEnum2 with MFT_ENUM_ADAPTER_LUID set to `adapter`: the encoders of
  // that adapter only. E_NOTIMPL where the system has no MFTEnum2 (before
  // Windows 10 1703).
  [[nodiscard]] virtual Result<std::vector<std::shared_ptr<Activate>>> mft_enum2(
      const Guid& category, std::uint32_t flags, const RegisterTypeInfo& input_type,
      const RegisterTypeInfo& output_type, LocallyUniqueId adapter) = 0;
  [[nodiscard]] virtual Result<CreatedDeviceManager> mf_create_dxgi_device_manager() = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<MediaType>> mf_create_media_type() = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<Sample>> mf_create_sample() = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<MediaBuffer>> mf_create_memory_buffer(
      std::uint32_t max_length) = 0;
  // MFCreateDXGISurfaceBuffer(IID_ID3D11Texture2D, texture, subresource,
  // bottom_up_when_linear): a buffer over the GPU surface, no pixel copied.
  [[nodiscard]] virtual Result<std::shared_ptr<MediaBuffer>> mf_create_dxgi_surface_buffer(
      std::shared_ptr<d3d11::Texture2D> texture, std::uint32_t subresource_index,
      bool bottom_up_when_linear) = 0;

  // COM on the calling thread.
  [[nodiscard]] virtual Status co_initialize_ex(std::uint32_t coinit) = 0;
  virtual void co_uninitialize() = 0;
};

}  // namespace quorvex::platform::mf
