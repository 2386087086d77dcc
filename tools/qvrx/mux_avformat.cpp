// The muxer on FFmpeg's libavformat. Packets are the records' Annex B access
// units as they are; the container's header gets the parameter sets in
// Annex B form too, which tells the MP4 and Matroska muxers to store the
// stream in their own length-prefixed form (no re-encoding, no bitstream
// filter of ours).
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <cstring>
#include <filesystem>

#include "sender/h264_nal.h"
#include "qvrx/mux.h"
#include "sender/h264_sps.h"
#include "qvrx/system.h"
#include "qvrx/timeline.h"

namespace quorvex::tools {
namespace {

// The tick MP4 video tracks conventionally use; Matroska replaces it with
// its own millisecond tick when the header is written.
constexpr AVRational preferred_time_base{1, 90000};

std::string av_error_text(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(error, text, sizeof text) < 0) {
    return "error " + std::to_string(error);
  }
  return text;
}

struct FormatContextDeleter {
  void operator()(AVFormatContext* context) const {
    if (context->pb != nullptr && (context->oformat->flags & AVFMT_NOFILE) == 0) {
      (void)avio_closep(&context->pb);
    }
    avformat_free_context(context);
  }
};

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

class AvformatMuxer final : public Muxer {
 public:
  AvformatMuxer(std::string path, std::unique_ptr<AVFormatContext, FormatContextDeleter> context,
                std::unique_ptr<AVPacket, PacketDeleter> pending)
      : path_(std::move(path)), context_(std::move(context)), pending_(std::move(pending)) {}

  std::expected<void, std::string> add(const sender::FrameRecord& record) override {
    if (!clock_) {
      if (auto started = start(record.payload); !started) {
        return started;
      }
      if (!clock_) {
        ++summary_.skipped_records;
        return {};
      }
    }
    const std::int64_t tick = clock_->place(record.timestamp_ns);
    if (has_pending_) {
      if (auto written = write_pending(tick - pending_->pts); !written) {
        return written;
      }
    }
    if (const int status = av_new_packet(pending_.get(), static_cast<int>(record.payload.size())); status < 0) {
      return std::unexpected("cannot hold a packet: " + av_error_text(status));
    }
    std::memcpy(pending_->data, record.payload.data(), record.payload.size());
    pending_->pts = tick;
    pending_->dts = tick;
    pending_->stream_index = 0;
    pending_->flags = record.keyframe ? AV_PKT_FLAG_KEY : 0;
    has_pending_ = true;
    return {};
  }

  std::expected<MuxSummary, std::string> finish() override {
    if (!clock_) {
      // Nothing decodable came: leave no empty, unplayable file behind.
      context_.reset();
      if (path_ != standard_stream_path) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
      }
      return std::unexpected(std::string("no record carries a sequence parameter set; nothing to write"));
    }
    if (has_pending_) {
      if (auto written = write_pending(clock_->last_duration()); !written) {
        return std::unexpected(written.error());
      }
    }
    if (const int status = av_write_trailer(context_.get()); status < 0) {
      return std::unexpected("cannot finish " + path_ + ": " + av_error_text(status));
    }
    if (const int status = avio_closep(&context_->pb); status < 0) {
      return std::unexpected("cannot write " + path_ + ": " + av_error_text(status));
    }
    const AVRational time_base = context_->streams[0]->time_base;
    summary_.moved_records = clock_->moved_records();
    summary_.duration_s = static_cast<double>(end_tick_) * time_base.num / time_base.den;
    return summary_;
  }

 private:
  // Writes the header once a record brings the parameter sets; until then
  // the clock stays unset.
  std::expected<void, std::string> start(std::span<const std::byte> payload) {
    const auto parameter_sets = sender::annex_b_parameter_sets(payload);
    const auto size = sender::annex_b_picture_size(payload);
    if (parameter_sets.empty() || !size) {
      return {};
    }
    AVStream* stream = avformat_new_stream(context_.get(), nullptr);
    if (stream == nullptr) {
      return std::unexpected(std::string("cannot add a video track"));
    }
    stream->time_base = preferred_time_base;
    AVCodecParameters* parameters = stream->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_H264;
    parameters->width = size->width;
    parameters->height = size->height;
    // The muxer frees extradata with the context; it wants zeroed padding.
    auto* extradata = static_cast<std::uint8_t*>(av_mallocz(parameter_sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (extradata == nullptr) {
      return std::unexpected(std::string("out of memory"));
    }
    std::memcpy(extradata, parameter_sets.data(), parameter_sets.size());
    parameters->extradata = extradata;
    parameters->extradata_size = static_cast<int>(parameter_sets.size());
    if (const int status = avformat_write_header(context_.get(), nullptr); status < 0) {
      return std::unexpected("cannot write the header of " + path_ + ": " + av_error_text(status));
    }
    clock_.emplace(stream->time_base.num, stream->time_base.den);
    return {};
  }

  std::expected<void, std::string> write_pending(std::int64_t duration) {
    pending_->duration = duration;
    end_tick_ = pending_->pts + duration;
    has_pending_ = false;
    ++summary_.packets;
    // Takes the packet's reference and leaves it blank for the next record.
    if (const int status = av_interleaved_write_frame(context_.get(), pending_.get()); status < 0) {
      return std::unexpected("cannot write " + path_ + ": " + av_error_text(status));
    }
    // In a pipe, the Matroska muxer would hold packets until its cluster is
    // full (up to a second); a flush closes the cluster now.
    if (path_ == standard_stream_path) {
      if (const int status = av_write_frame(context_.get(), nullptr); status < 0) {
        return std::unexpected("cannot write " + path_ + ": " + av_error_text(status));
      }
    }
    return {};
  }

  std::string path_;
  std::unique_ptr<AVFormatContext, FormatContextDeleter> context_;
  // The newest record, written once the next one tells how long it lasts.
  std::unique_ptr<AVPacket, PacketDeleter> pending_;
  bool has_pending_ = false;
  std::optional<PacketClock> clock_;
  std::int64_t end_tick_ = 0;
  MuxSummary summary_;
};

}  // namespace

bool mux_supported() { return true; }

std::expected<std::unique_ptr<Muxer>, std::string> create_muxer(const std::string& path, Container container) {
  // Only real errors; the muxers' notes about what they chose are not ours.
  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* raw_context = nullptr;
  const char* format = container == Container::mp4 ? "mp4" : "matroska";
  if (const int status = avformat_alloc_output_context2(&raw_context, nullptr, format, path.c_str()); status < 0) {
    return std::unexpected("cannot write " + std::string(format) + ": " + av_error_text(status));
  }
  std::unique_ptr<AVFormatContext, FormatContextDeleter> context(raw_context);
  // "file:" keeps a name with a colon in it from being taken for a protocol.
  // On standard output each packet goes out as it is written, so a live
  // stream reaches its reader without waiting for a buffer to fill.
  const bool to_standard_output = path == standard_stream_path;
  const std::string url = to_standard_output ? "pipe:1" : "file:" + path;
  if (const int status = avio_open(&context->pb, url.c_str(), AVIO_FLAG_WRITE); status < 0) {
    return std::unexpected("cannot create " + path + ": " + av_error_text(status));
  }
  if (to_standard_output) {
    context->flush_packets = 1;
  }
  std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  if (!packet) {
    return std::unexpected(std::string("out of memory"));
  }
  return std::make_unique<AvformatMuxer>(path, std::move(context), std::move(packet));
}

}  // namespace quorvex::tools
