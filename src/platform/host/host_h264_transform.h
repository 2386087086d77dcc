// The encoder transform of the host stand-in: an asynchronous,
// event-driven H.264 MFT over libx264, behaving like a hardware encoder.
//
// Lifecycle: MF_TRANSFORM_ASYNC_UNLOCK must be set to 1 on its attributes
// before anything else (MF_E_TRANSFORM_ASYNC_LOCKED otherwise, as with any
// asynchronous MFT); output type (H.264) before input type (NV12, same size);
// begin-streaming; start-of-stream raises the first METransformNeedInput.
//
// Input: ProcessInput is accepted only against an open METransformNeedInput
// (MF_E_NOTACCEPTING otherwise). The sample's buffer is a DXGI-surface buffer
// over an NV12 texture of the configured size (or a contiguous NV12 memory
// buffer); the picture is read in place by the worker, never copied, so the
// caller must leave the surface alone until the matching output came out.
// The worker asks for the next input (METransformNeedInput) as soon as it
// starts encoding the previous one, so at most one picture waits while one
// is being encoded.
//
// Output: one access unit per input (x264's zero-latency setup delays
// nothing), announced by METransformHaveOutput and taken with ProcessOutput:
// an Annex B sample with the input's time and duration and
// MFSampleExtension_CleanPoint = 1 on IDR pictures. The transform provides
// its own output samples (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES, 0x100); a
// caller that offers a sample anyway gets the bytes copied into it.
//
// Drain: after MFT_MESSAGE_COMMAND_DRAIN no input is requested; the pictures
// already inside come out, then METransformDrainComplete. Input requests
// resume with the next start-of-stream. A flush drops everything inside.
//
// Colour: the output type's MF_MT_VIDEO_PRIMARIES, MF_MT_TRANSFER_FUNCTION,
// MF_MT_YUV_MATRIX and MF_MT_VIDEO_NOMINAL_RANGE are written into the
// stream's VUI (absent means unspecified, and limited range); a value this
// encoder has no H.264 code for makes the type invalid (MF_E_INVALIDMEDIATYPE).
//
// Codec properties: rate control (CBR only), mean bit rate, peak bit rate
// and buffer size in bytes (all three also while streaming), quality vs speed (x264 preset), low latency (read back as
// VT_BOOL), forced keyframe (VT_BOOL true or nonzero VT_UI4: the next input
// becomes an IDR), GOP size and B-picture count (0 only).
//
// Thread contract: the input side (messages, types, properties,
// ProcessInput) may be called from any one thread at a time, get_event and
// ProcessOutput from another; the encoding runs on the transform's own
// worker thread ("qvx-h264-mft"), which ends when the transform is released.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/host/host_media_objects.h"
#include "platform/host/x264_encoder.h"
#include "platform/media_foundation.h"
#include "platform/thread_safety.h"

namespace quorvex::platform::host {

inline constexpr std::uint32_t me_error = 1;
inline constexpr std::uint32_t mft_set_type_test_only = 1;
// MFT_OUTPUT_STREAM_WHOLE_SAMPLES | SINGLE_SAMPLE_PER_BUFFER | PROVIDES_SAMPLES.
inline constexpr std::uint32_t host_transform_output_stream_flags = 0x103;

class HostH264Transform final : public mf::Transform,
                                public mf::MediaEventGenerator,
                                public mf::CodecApi,
                                public std::enable_shared_from_this<HostH264Transform> {
 public:
  HostH264Transform();
  ~HostH264Transform() override;
  HostH264Transform(const HostH264Transform&) = delete;
  HostH264Transform& operator=(const HostH264Transform&) = delete;

  Result<std::shared_ptr<mf::Attributes>> get_attributes() override;
  Result<std::shared_ptr<mf::MediaEventGenerator>> query_event_generator() override;
  Result<std::shared_ptr<mf::CodecApi>> query_codec_api() override;
  Status set_output_type(std::uint32_t stream_id, mf::MediaType& type, std::uint32_t flags) override;
  Status set_input_type(std::uint32_t stream_id, mf::MediaType& type, std::uint32_t flags) override;
  Result<std::shared_ptr<mf::MediaType>> get_output_available_type(std::uint32_t stream_id,
                                                                   std::uint32_t type_index) override;
  // The available type of the set output type; x264 repeats SPS and PPS
  // with every IDR, so the type has no sequence header.
  Result<std::shared_ptr<mf::MediaType>> get_output_current_type(std::uint32_t stream_id) override;
  Result<mf::OutputStreamInfo> get_output_stream_info(std::uint32_t stream_id) override;
  Status process_message(mf::MftMessage message, mf::DxgiDeviceManager* manager) override;
  Status process_input(std::uint32_t stream_id, mf::Sample& sample, std::uint32_t flags) override;
  Status process_output(std::uint32_t flags, mf::OutputDataBuffer& buffer, std::uint32_t& status) override;

  Result<std::shared_ptr<mf::MediaEvent>> get_event(std::uint32_t flags) override;

  Status set_value(const Guid& api, const mf::Variant& value) override;
  Result<mf::Variant> get_value(const Guid& api) override;
  Result<bool> is_supported(const Guid& api) override;

  // IMFShutdown::Shutdown: the worker stops and get_event answers
  // MF_E_SHUTDOWN from now on, also to a caller already waiting.
  void shutdown();

  // The most pictures x264 ever held back after an encode (0 is the promise).
  [[nodiscard]] int max_delayed_frames() const;

 private:
  struct Format {
    int width = 0;
    int height = 0;
    std::uint32_t fps_numerator = 30;
    std::uint32_t fps_denominator = 1;
    std::optional<std::uint32_t> avg_bitrate;
    std::optional<std::uint32_t> gop_size;
    VuiColor color;  // from the type's colour attributes
  };
  struct Input {
    std::shared_ptr<mf::MediaBuffer> buffer;  // keeps the picture alive while inside
    bool buffer_locked = false;
    const std::uint8_t* luma = nullptr;
    const std::uint8_t* chroma = nullptr;
    std::ptrdiff_t pitch = 0;
    std::optional<std::int64_t> time_100ns;
    std::optional<std::int64_t> duration_100ns;
    bool force_idr = false;
  };

  [[nodiscard]] bool unlocked() const;
  [[nodiscard]] Result<Format> read_format(mf::MediaType& type, const Guid& subtype) const;
  [[nodiscard]] H264EncoderSettings settings_locked() const QVX_REQUIRES(mutex_);
  void raise_locked(std::uint32_t type, std::uint32_t status = 0) QVX_REQUIRES(mutex_);
  void request_input_locked() QVX_REQUIRES(mutex_);
  void release_input(Input& input);
  void run_worker();

  std::shared_ptr<HostAttributeStore> attributes_ = std::make_shared<HostAttributeStore>();

  mutable Mutex mutex_;
  std::condition_variable work_changed_;
  std::condition_variable event_raised_;
  std::deque<std::pair<std::uint32_t, std::uint32_t>> events_ QVX_GUARDED_BY(mutex_);  // type, status
  std::optional<Format> output_format_ QVX_GUARDED_BY(mutex_);
  std::optional<Format> input_format_ QVX_GUARDED_BY(mutex_);
  std::optional<std::uint32_t> mean_bitrate_ QVX_GUARDED_BY(mutex_);
  std::optional<std::uint32_t> max_bitrate_ QVX_GUARDED_BY(mutex_);
  std::optional<std::uint32_t> buffer_bytes_ QVX_GUARDED_BY(mutex_);
  std::uint32_t quality_vs_speed_ QVX_GUARDED_BY(mutex_) = 50;
  std::optional<std::uint32_t> gop_property_ QVX_GUARDED_BY(mutex_);
  bool rate_control_set_ QVX_GUARDED_BY(mutex_) = false;
  bool low_latency_ QVX_GUARDED_BY(mutex_) = false;
  bool force_keyframe_ QVX_GUARDED_BY(mutex_) = false;
  std::uint64_t settings_generation_ QVX_GUARDED_BY(mutex_) = 1;  // bumped when the encoder must be reopened
  bool rates_changed_ QVX_GUARDED_BY(mutex_) = false;  // the worker reconfigures before its next picture
  bool streaming_ QVX_GUARDED_BY(mutex_) = false;
  bool accepting_ QVX_GUARDED_BY(mutex_) = false;
  bool draining_ QVX_GUARDED_BY(mutex_) = false;
  bool encoding_ QVX_GUARDED_BY(mutex_) = false;
  bool shutdown_ QVX_GUARDED_BY(mutex_) = false;
  int requests_outstanding_ QVX_GUARDED_BY(mutex_) = 0;
  std::uint64_t flush_generation_ QVX_GUARDED_BY(mutex_) = 0;
  std::deque<Input> inputs_ QVX_GUARDED_BY(mutex_);
  std::deque<std::shared_ptr<HostSample>> outputs_ QVX_GUARDED_BY(mutex_);
  int max_delayed_frames_ QVX_GUARDED_BY(mutex_) = 0;

  // Owned by the worker thread.
  std::unique_ptr<X264Encoder> encoder_;
  std::uint64_t encoder_generation_ = 0;

  std::thread worker_;  // last: starts after everything above exists
};

}  // namespace quorvex::platform::host
