#include "app/pipeline/encoder_events.h"

#include <gtest/gtest.h>

#include <initializer_list>

#include "pipeline_support.h"
#include "sender/h264_nal.h"

namespace quorvex::test {
namespace {

namespace mf = platform::mf;
using platform::fake::FakeEncoderTransform;
using platform::fake::ScriptedOutput;

std::vector<std::byte> bytes_of(std::initializer_list<unsigned> values) {
  std::vector<std::byte> out;
  for (unsigned v : values) {
    out.push_back(std::byte(v));
  }
  return out;
}

std::vector<std::byte> bytes_of(const std::vector<std::uint8_t>& values) {
  std::vector<std::byte> out;
  for (auto v : values) {
    out.push_back(std::byte(v));
  }
  return out;
}

// A NAL unit of `size` bytes: the header byte, then filler.
std::vector<std::byte> nal_of(std::size_t size, unsigned header) {
  std::vector<std::byte> nal(size, std::byte{0xFF});
  nal[0] = std::byte(header);
  return nal;
}

std::vector<std::byte> concat(std::initializer_list<std::vector<std::byte>> parts) {
  std::vector<std::byte> out;
  for (const auto& part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

std::vector<std::byte> length_of(std::size_t size) {
  return bytes_of({static_cast<unsigned>(size >> 24) & 0xFF, static_cast<unsigned>(size >> 16) & 0xFF,
                   static_cast<unsigned>(size >> 8) & 0xFF, static_cast<unsigned>(size) & 0xFF});
}

const std::vector<std::byte> start_code = bytes_of({0, 0, 0, 1});
const std::vector<std::byte> length_prefixed_sps = bytes_of({0, 0, 0, 4, 0x67, 0x42, 0xC0, 0x1F});
const std::vector<std::byte> start_code_sps = bytes_of({0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F});

// An output whose first NAL unit has `size` bytes, then a 2-byte slice, as
// the encoder writes it (length-prefixed) and as the record must carry it.
std::vector<std::byte> length_prefixed_output(std::size_t size) {
  return concat({length_of(size), nal_of(size, 0x0C), length_of(2), bytes_of({0x41, 0x9A})});
}
std::vector<std::byte> start_code_output(std::size_t size) {
  return concat({start_code, nal_of(size, 0x0C), start_code, bytes_of({0x41, 0x9A})});
}

struct AnnexBCase {
  const char* name;
  std::vector<std::byte> first;  // the stream's first output; empty: `input` is the first
  std::vector<std::byte> input;
  std::vector<std::byte> payload;  // empty: an error is expected
  std::string error;

  friend void PrintTo(const AnnexBCase& c, std::ostream* os) { *os << c.name; }
};

class AnnexB : public ::testing::TestWithParam<AnnexBCase> {};

TEST_P(AnnexB, PayloadIsStartCodeDelimitedInTheFramingOfTheFirstOutputOrRejected) {
  app::AnnexBNormaliser normaliser;
  if (!GetParam().first.empty()) {
    auto first = normaliser.normalise(GetParam().first);
    ASSERT_TRUE(first) << first.error().message;
  }
  auto payload = normaliser.normalise(GetParam().input);
  if (GetParam().error.empty()) {
    ASSERT_TRUE(payload) << payload.error().message;
    EXPECT_EQ(*payload, GetParam().payload);
  } else {
    ASSERT_FALSE(payload);
    EXPECT_EQ(payload.error().message, GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AnnexB,
    ::testing::Values(
        AnnexBCase{"FourByteStartCodeUnchanged", {}, bytes_of({0, 0, 0, 1, 0x67, 0x42}), bytes_of({0, 0, 0, 1, 0x67, 0x42}), ""},
        AnnexBCase{"ThreeByteStartCodeUnchanged", {}, bytes_of({0, 0, 1, 0x65, 0x88}), bytes_of({0, 0, 1, 0x65, 0x88}), ""},
        AnnexBCase{"LengthPrefixedConverted", {}, bytes_of({0, 0, 0, 2, 0xAA, 0xBB, 0, 0, 0, 1, 0xCC}),
                   bytes_of({0, 0, 0, 1, 0xAA, 0xBB, 0, 0, 0, 1, 0xCC}), ""},
        AnnexBCase{"LengthPastTheEnd", {}, bytes_of({0, 0, 0, 2, 0xAA, 0xBB, 0, 0, 0, 5, 0xCC}), {},
                   "invalid length-prefixed H.264 output"},
        AnnexBCase{"ZeroLength", {}, bytes_of({0, 0, 0, 0, 0xAA}), {}, "invalid length-prefixed H.264 output"},
        AnnexBCase{"TwoBytesLeftOver", {}, bytes_of({0, 0, 0, 2, 0xAA, 0xBB, 0x01, 0x02}), {}, "invalid H.264 output"},
        AnnexBCase{"Empty", {}, {}, {}, "invalid H.264 output"},
        AnnexBCase{"ShorterThanALength", {}, bytes_of({0, 0, 2}), {}, "invalid H.264 output"},
        // Later outputs of a length-prefixed stream whose first NAL unit's
        // length reads like a start code: 1 byte is 00 00 00 01, 256 to 511
        // bytes are 00 00 01 xx.
        AnnexBCase{"OneByteFirstUnitLaterInALengthPrefixedStream", length_prefixed_sps, length_prefixed_output(1),
                   start_code_output(1), ""},
        AnnexBCase{"FirstUnitOf256BytesLaterInALengthPrefixedStream", length_prefixed_sps,
                   length_prefixed_output(256), start_code_output(256), ""},
        AnnexBCase{"FirstUnitOf511BytesLaterInALengthPrefixedStream", length_prefixed_sps,
                   length_prefixed_output(511), start_code_output(511), ""},
        AnnexBCase{"StartCodesLaterInALengthPrefixedStream", length_prefixed_sps, bytes_of({0, 0, 1, 0x65, 0x88}), {},
                   "invalid length-prefixed H.264 output"},
        AnnexBCase{"LengthsLaterInAStartCodeStream", start_code_sps, bytes_of({0, 0, 0, 2, 0x41, 0x9A}), {},
                   "invalid H.264 output"},
        AnnexBCase{"StartCodesLaterInAStartCodeStreamUnchanged", start_code_sps, start_code_output(300),
                   start_code_output(300), ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The encoder runs its real threads; outputs come only when the test emits
// them (hold_outputs), so each case controls exactly what the event thread
// sees.
class EncoderEventsTest : public FakePlatformTest {
 protected:
  void start(std::uint32_t fps = 30) {
    transform().hold_outputs = true;
    auto created = create_encoder(fps);
    ASSERT_TRUE(created) << created.error().message;
    encoder = std::move(*created);
    ASSERT_TRUE(idle());
  }
  bool idle() {
    return eventually([&] { return transform().wait_until_idle(std::chrono::milliseconds(1)); });
  }
  std::size_t submitted() { return encoder->state().lock()->submitted.size(); }
  std::optional<std::string> thread_error() { return encoder->state().lock()->error; }

  std::unique_ptr<app::HardwareEncoder> encoder;
};

TEST_F(EncoderEventsTest, LengthPrefixedOutputIsWrittenAsAnnexBWithTheFramesCaptureTime) {
  start();
  ASSERT_TRUE(hand_over(*encoder));
  ASSERT_EQ(submitted(), 1u);
  const auto capture_time = encoder->state().lock()->submitted.front().capture_time;
  transform().emit_output(FakeEncoderTransform::encoded(0, true, true));
  ASSERT_TRUE(eventually([&] { return submitted() == 0; }));
  ASSERT_TRUE(encoder->finish());

  const auto records = outputs.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].payload, bytes_of(FakeEncoderTransform::encoded(0, true, false).bytes));
  EXPECT_TRUE(records[0].keyframe);
  EXPECT_EQ(records[0].timestamp_ns,
            static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(capture_time.time_since_epoch()).count()));
  // The input's surface is back in the pool, or kept as the last frame.
  EXPECT_EQ(encoder->state().lock()->converter->free_surfaces.size(), 3u);
  EXPECT_TRUE(encoder->state().lock()->last_frame.has_value());
  EXPECT_EQ(outputs.lines_starting("encode_latency_ms=").size(), 1u);
}

class LengthPrefixedStream : public EncoderEventsTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(LengthPrefixedStream, EveryOutputIsConvertedEvenWhenItsFirstLengthReadsLikeAStartCode) {
  transform().length_prefixed = true;
  transform().delta_leading_nal_bytes = GetParam();
  start(1000);
  transform().hold_outputs = false;
  constexpr std::size_t frames = 3;
  for (std::size_t i = 0; i < frames; ++i) {
    ASSERT_TRUE(hand_over(*encoder));
    ASSERT_TRUE(eventually([&] { return outputs.record_count() == i + 1; }));
  }
  ASSERT_TRUE(encoder->finish());
  const auto records = outputs.records();
  ASSERT_EQ(records.size(), frames);
  for (std::size_t i = 0; i < frames; ++i) {
    EXPECT_EQ(records[i].payload, bytes_of(FakeEncoderTransform::encoded(i, i == 0, false, GetParam()).bytes))
        << "output " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(FirstNalBytes, LengthPrefixedStream, ::testing::Values(1, 256, 511));

// An encoder that writes SPS and PPS only with the first IDR: a viewer that
// joins at a later keyframe record must still find them there, in both
// framings, and delta records stay as the encoder wrote them.
class ParameterSetsWithFirstIdrOnly : public EncoderEventsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ParameterSetsWithFirstIdrOnly, EveryKeyframeRecordStartsWithSpsAndPps) {
  transform().parameter_sets_first_idr_only = true;
  transform().length_prefixed = GetParam();
  auto keyframe = std::make_shared<std::atomic<bool>>(false);
  auto created = create_encoder(1000, 1920, 1080, 8'000'000, keyframe);
  ASSERT_TRUE(created) << created.error().message;
  encoder = std::move(*created);
  ASSERT_TRUE(idle());
  constexpr std::size_t frames = 4;
  for (std::size_t i = 0; i < frames; ++i) {
    keyframe->store(i == 2);
    ASSERT_TRUE(hand_over(*encoder));
    ASSERT_TRUE(eventually([&] { return outputs.record_count() == i + 1; }));
  }
  ASSERT_TRUE(encoder->finish());
  const auto records = outputs.records();
  ASSERT_EQ(records.size(), frames);
  const std::vector<std::uint8_t> keyframe_units{7, 8, 5};
  const std::vector<std::uint8_t> delta_units{1};
  for (std::size_t i = 0; i < frames; ++i) {
    const bool expected_keyframe = i == 0 || i == 2;
    EXPECT_EQ(records[i].keyframe, expected_keyframe) << "record " << i;
    EXPECT_EQ(sender::nal_unit_types(records[i].payload), expected_keyframe ? keyframe_units : delta_units)
        << "record " << i;
  }
  // The sets in front of the later keyframe are the stream's own.
  EXPECT_EQ(sender::annex_b_parameter_sets(records[2].payload), sender::annex_b_parameter_sets(records[0].payload));
}

INSTANTIATE_TEST_SUITE_P(Framings, ParameterSetsWithFirstIdrOnly, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "LengthPrefixed" : "StartCodes"; });

// An encoder that keeps its parameter sets in the output type's sequence
// header and writes bare IDR pictures: the sets come from the header.
TEST_F(EncoderEventsTest, KeyframeWithoutSetsGetsThoseOfTheSequenceHeader) {
  transform().sequence_header = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
  start();
  ASSERT_TRUE(hand_over(*encoder));
  ScriptedOutput bare_idr;
  bare_idr.bytes = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x65, 0x88, 0x84};
  bare_idr.clean_point = 1;
  transform().emit_output(bare_idr);
  ASSERT_TRUE(eventually([&] { return outputs.record_count() == 1; }));
  ASSERT_TRUE(encoder->finish());
  EXPECT_EQ(outputs.records()[0].payload,
            bytes_of({0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80, 0, 0,
                      0, 1, 0x65, 0x88, 0x84}));
}

struct SampleMode {
  bool provides_samples;
  std::optional<std::uint32_t> clean_point;
  bool keyframe;
};

class OutputSamples : public EncoderEventsTest, public ::testing::WithParamInterface<SampleMode> {};

TEST_P(OutputSamples, BothSampleModesCarryTheBytesAndTheCleanPoint) {
  transform().provides_samples = GetParam().provides_samples;
  start();
  ASSERT_TRUE(hand_over(*encoder));
  ScriptedOutput output = FakeEncoderTransform::encoded(7, false, false);
  output.clean_point = GetParam().clean_point;
  transform().emit_output(output);
  ASSERT_TRUE(eventually([&] { return submitted() == 0; }));
  ASSERT_TRUE(encoder->finish());
  const auto records = outputs.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].payload, bytes_of(output.bytes));
  EXPECT_EQ(records[0].keyframe, GetParam().keyframe);
  // An output sample is offered only when the encoder does not bring its own.
  EXPECT_EQ(transform().offered_buffer_sizes().size(), GetParam().provides_samples ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, OutputSamples,
                         ::testing::Values(SampleMode{false, 1, true}, SampleMode{true, 1, true},
                                           SampleMode{false, std::nullopt, false}, SampleMode{true, 0, false}));

TEST_F(EncoderEventsTest, StreamChangeRenegotiatesOncePrintsItsLineAndWritesNoRecord) {
  transform().stream_info_after_change = mf::OutputStreamInfo{mf::mft_output_stream_provides_samples, 2'000'000, 0};
  start();
  ASSERT_TRUE(hand_over(*encoder));
  ScriptedOutput change;
  change.failure = platform::status::mf_e_transform_stream_change;
  transform().emit_output(change);
  transform().emit_output(FakeEncoderTransform::encoded(0, true, false));
  ASSERT_TRUE(eventually([&] { return submitted() == 0; }));
  ASSERT_TRUE(encoder->finish());

  EXPECT_EQ(outputs.lines_starting("encoder_output_renegotiated"),
            (std::vector<std::string>{"encoder_output_renegotiated reason=stream_change"}));
  EXPECT_EQ(transform().output_types_set(), 2u);
  EXPECT_EQ(outputs.records().size(), 1u);
  // Only the call that hit the change was offered a sample; the output
  // after it came in the encoder's own.
  EXPECT_EQ(transform().offered_buffer_sizes(), (std::vector<std::uint32_t>{1'048'576}));
  auto s = encoder->state().lock();
  EXPECT_EQ(s->output_buffer_size, 2'000'000u);
  EXPECT_TRUE(s->provides_samples);
}

TEST_F(EncoderEventsTest, NeedMoreInputFromProcessOutputIsNoOutputAndNoError) {
  start();
  ASSERT_TRUE(hand_over(*encoder));
  ScriptedOutput none;
  none.failure = platform::status::mf_e_transform_need_more_input;
  transform().emit_output(none);
  transform().emit_output(FakeEncoderTransform::encoded(0, true, false));
  ASSERT_TRUE(eventually([&] { return submitted() == 0; }));
  ASSERT_TRUE(encoder->finish());
  EXPECT_EQ(outputs.records().size(), 1u);
  EXPECT_TRUE(outputs.lines_starting("error:").empty());
}

struct ThreadEnding {
  const char* name;
  bool with_frame;  // a frame is inside the encoder when the output comes
  std::function<void(FakeEncoderTransform&, platform::fake::FaultPlan&)> script;
  std::string error;
};

class EventThreadEndings : public EncoderEventsTest, public ::testing::WithParamInterface<ThreadEnding> {};

TEST_P(EventThreadEndings, EndTheThreadWithTheirTextRecordedForTheOthers) {
  start();
  if (GetParam().with_frame) {
    ASSERT_TRUE(hand_over(*encoder));
  }
  GetParam().script(transform(), media.faults());
  ASSERT_TRUE(eventually([&] { return thread_error().has_value(); }));
  EXPECT_EQ(thread_error(), GetParam().error);
  EXPECT_EQ(outputs.lines_starting("error:"),
            (std::vector<std::string>{"error: encoder thread failed: " + GetParam().error}));
  auto finished = encoder->finish();
  ASSERT_FALSE(finished);
  EXPECT_EQ(finished.error().message, GetParam().error);
  EXPECT_TRUE(outputs.records().empty());
  EXPECT_EQ(media.co_uninitialize_calls(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EventThreadEndings,
    ::testing::Values(
        ThreadEnding{"UntrackedOutput", false,
                     [](FakeEncoderTransform& t, auto&) { t.emit_output(FakeEncoderTransform::encoded(0, true, false)); },
                     "encoder produced an untracked frame"},
        ThreadEnding{"InvalidLengthPrefix", true,
                     [](FakeEncoderTransform& t, auto&) {
                       ScriptedOutput o;
                       o.bytes = {0, 0, 0, 9, 0x41};
                       t.emit_output(o);
                     },
                     "invalid length-prefixed H.264 output"},
        ThreadEnding{"NoSample", true,
                     [](FakeEncoderTransform& t, auto&) {
                       ScriptedOutput o;
                       o.no_sample = true;
                       t.emit_output(o);
                     },
                     "encoder returned no output sample"},
        ThreadEnding{"ProcessOutputFails", true,
                     [](FakeEncoderTransform& t, auto&) {
                       ScriptedOutput o;
                       o.failure = platform::status::e_unexpected;
                       t.emit_output(o);
                     },
                     "Catastrophic failure (0x8000FFFF)"},
        ThreadEnding{"EventCarriesAFailure", false,
                     [](FakeEncoderTransform& t, auto&) { t.push_event(mf::me_transform_need_input, 0x80004005); },
                     "Unspecified error (0x80004005)"},
        ThreadEnding{"EventTypeUnreadable", false,
                     [](FakeEncoderTransform& t, platform::fake::FaultPlan& f) {
                       f.fail("event.get_type", 0x80004005);
                       t.push_event(mf::me_transform_need_input);
                     },
                     "Unspecified error (0x80004005)"},
        ThreadEnding{"BufferLockFails", true,
                     [](FakeEncoderTransform& t, platform::fake::FaultPlan& f) {
                       f.fail("buffer.lock", 0x8007000E);
                       t.emit_output(FakeEncoderTransform::encoded(0, true, false));
                     },
                     "Not enough memory resources are available to complete this operation. (0x8007000E)"},
        ThreadEnding{"EventWaitFails", false,
                     [](FakeEncoderTransform& t, platform::fake::FaultPlan& f) {
                       // The call already waiting has passed its check; the next one fails.
                       f.fail("get_event", 0x80004005, f.calls("get_event") + 1);
                       t.push_event(mf::me_transform_need_input);
                     },
                     "Unspecified error (0x80004005)"},
        ThreadEnding{"RenegotiationFails", true,
                     [](FakeEncoderTransform& t, platform::fake::FaultPlan& f) {
                       f.fail("get_output_available_type", 0xC00D6D60);
                       ScriptedOutput o;
                       o.failure = platform::status::mf_e_transform_stream_change;
                       t.emit_output(o);
                     },
                     "A valid type has not been set for this stream or a stream that it depends on. (0xC00D6D60)"}),
    [](const auto& info) { return std::string(info.param.name); });

// Standard output that the reader has closed.
class ClosedStdout final : public sender::ByteSink {
 public:
  std::expected<void, sender::IoError> write_all(std::span<const std::byte>) override {
    return std::unexpected(sender::IoError{sender::IoError::Kind::BrokenPipe, "Broken pipe"});
  }
  std::expected<void, sender::IoError> flush() override { return {}; }
};

TEST_F(EncoderEventsTest, FailedRecordWriteEndsTheThreadWithTheWriteError) {
  transform().hold_outputs = true;
  app::OutputStreams streams = outputs.streams();
  streams.records = std::make_shared<app::RecordOutput>(std::make_shared<ClosedStdout>());
  auto created = app::HardwareEncoder::create(d3d.device(), d3d.context(), 1920, 1080, 30, 8'000'000,
                                              std::make_shared<std::atomic<bool>>(false), streams);
  ASSERT_TRUE(created);
  encoder = std::move(*created);
  ASSERT_TRUE(idle());
  ASSERT_TRUE(hand_over(*encoder));
  transform().emit_output(FakeEncoderTransform::encoded(0, true, false));
  ASSERT_TRUE(eventually([&] { return thread_error().has_value(); }));
  EXPECT_EQ(thread_error(), "Broken pipe");
  auto finished = encoder->finish();
  ASSERT_FALSE(finished);
  EXPECT_EQ(finished.error().message, "Broken pipe");
  // The per-frame line was written before the record was attempted.
  EXPECT_EQ(outputs.lines_starting("encode_latency_ms=").size(), 1u);
}

// A constant-bitrate encoder pads with filler units; with drop_filler they
// never reach the record, and the record's length says so.
class FillerUnits : public EncoderEventsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FillerUnits, AreLeftOutOfTheRecordOnlyWhenAsked) {
  const bool drop = GetParam();
  const std::vector<std::uint8_t> slice = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21};
  // A body without zero bytes: a real NAL unit never ends in one.
  std::vector<std::uint8_t> padded = FakeEncoderTransform::encoded(0x01020304, true, false).bytes;
  const auto picture_size = static_cast<std::ptrdiff_t>(padded.size());
  padded.insert(padded.end(), {0, 0, 0, 1, 0x0C, 0xFF, 0xFF, 0xFF, 0x80});
  padded.insert(padded.end(), slice.begin(), slice.end());
  padded.insert(padded.end(), {0, 0, 1, 0x0C, 0xFF, 0x80});
  std::vector<std::uint8_t> unpadded(padded.begin(), padded.begin() + picture_size);
  unpadded.insert(unpadded.end(), slice.begin(), slice.end());

  app::OutputStreams streams = outputs.streams();
  streams.drop_filler = drop;
  transform().hold_outputs = true;
  auto created = app::HardwareEncoder::create(d3d.device(), d3d.context(), 1920, 1080, 30, 8'000'000,
                                              std::make_shared<std::atomic<bool>>(false), streams);
  ASSERT_TRUE(created) << created.error().message;
  encoder = std::move(*created);
  ASSERT_TRUE(idle());
  ASSERT_TRUE(hand_over(*encoder));
  platform::fake::ScriptedOutput output;
  output.bytes = padded;
  output.clean_point = 1;
  transform().emit_output(output);
  ASSERT_TRUE(eventually([&] { return submitted() == 0; }));
  ASSERT_TRUE(encoder->finish());
  const auto records = outputs.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].payload, bytes_of(drop ? unpadded : padded));
  EXPECT_TRUE(records[0].keyframe);
}

INSTANTIATE_TEST_SUITE_P(DropFiller, FillerUnits, ::testing::Bool(),
                         [](const auto& info) { return info.param ? std::string("Dropped") : std::string("Kept"); });

TEST_F(EncoderEventsTest, OutputsAreMatchedFirstInFirstOut) {
  start(1000);
  ASSERT_TRUE(hand_over(*encoder));
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(hand_over(*encoder));
  ASSERT_TRUE(eventually([&] { return submitted() == 2; }));
  std::vector<std::uint64_t> capture_ns;
  {
    auto s = encoder->state().lock();
    for (const auto& input : s->submitted) {
      capture_ns.push_back(static_cast<std::uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(input.capture_time.time_since_epoch()).count()));
    }
  }
  ASSERT_LT(capture_ns[0], capture_ns[1]);
  transform().emit_output(FakeEncoderTransform::encoded(0, true, false));
  transform().emit_output(FakeEncoderTransform::encoded(1, false, false));
  ASSERT_TRUE(eventually([&] { return submitted() == 0; }));
  ASSERT_TRUE(encoder->finish());
  const auto records = outputs.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].timestamp_ns, capture_ns[0]);
  EXPECT_EQ(records[1].timestamp_ns, capture_ns[1]);
}

TEST_F(EncoderEventsTest, WindowStatisticsOnTheThirtiethOutputComeBeforeItsRecord) {
  start(1000);
  // From here on every input comes back as an output at once.
  transform().hold_outputs = false;
  for (int i = 0; i < 31; ++i) {
    ASSERT_TRUE(hand_over(*encoder));
    ASSERT_TRUE(eventually([&] { return outputs.record_count() == static_cast<std::size_t>(i + 1); }));
  }
  ASSERT_TRUE(encoder->finish());

  // Split the journal into the lines written before each record.
  std::vector<std::vector<std::string>> before_record(1);
  for (const auto& entry : outputs.journal()) {
    if (entry == MemoryOutputs::record_mark) {
      before_record.emplace_back();
    } else if (!entry.starts_with("encoder_setting") && !entry.starts_with("encoder_candidate")) {
      before_record.back().push_back(entry);
    }
  }
  ASSERT_EQ(before_record.size(), 32u);
  for (std::size_t i = 0; i < 31; ++i) {
    const auto& lines = before_record[i];
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines[0].starts_with("encode_latency_ms=")) << lines[0];
    if (i == 29) {
      ASSERT_EQ(lines.size(), 4u);
      EXPECT_TRUE(lines[1].starts_with("encoder_latency p50_ms=")) << lines[1];
      EXPECT_TRUE(lines[1].ends_with(" in_flight_max=1")) << lines[1];
      EXPECT_TRUE(lines[2].starts_with("frame_mailbox encoded_frames=30 frames_replaced=0 frames_deferred="))
          << lines[2];
      EXPECT_TRUE(lines[3].starts_with("latency_breakdown mailbox_wait_p50_ms=")) << lines[3];
    } else {
      EXPECT_EQ(lines.size(), 1u) << "output " << i + 1;
    }
  }
}

// Encoders that count input the way Media Foundation documents it, running
// on their own: frames come at the capture rate until enough records are out.
class EncoderInputTest : public FakePlatformTest {
 protected:
  // Hands over a frame every interval until `records` records are written;
  // false if they do not come.
  bool capture_until(app::HardwareEncoder& encoder, std::size_t records, std::uint32_t fps) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (outputs.record_count() < records) {
      if (std::chrono::steady_clock::now() > until) {
        return false;
      }
      if (auto handed = hand_over(encoder); !handed) {
        ADD_FAILURE() << handed.error().message;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1000 / fps));
    }
    return true;
  }
};

// An encoder that wants four inputs before its first output (a look-ahead)
// waits for ever at an in-flight limit of two.
TEST_F(EncoderInputTest, EncoderThatWantsFourInputsBeforeItsFirstOutputDoesNotStall) {
  transform().output_delay_inputs = 3;
  transform().need_input_on_start = 4;
  auto encoder = create_encoder(100);
  ASSERT_TRUE(encoder) << encoder.error().message;
  ASSERT_TRUE(capture_until(**encoder, 10, 100)) << "stalled with "
                                                  << (*encoder)->state().lock()->submitted.size()
                                                  << " frames inside";
  ASSERT_TRUE((*encoder)->finish());
  EXPECT_EQ(outputs.lines_starting("encoder_in_flight "),
            (std::vector<std::string>{"encoder_in_flight max_in_flight=3 reason=input_before_output",
                                      "encoder_in_flight max_in_flight=4 reason=input_before_output"}));
  auto state = (*encoder)->state().lock();
  EXPECT_EQ(state->mailbox.max_in_flight(), 4u);
  EXPECT_EQ(outputs.records().size(), state->encoded_frames);
}

// An encoder may refuse input it asked for and ask again (Chromium,
// crbug.com/377749373): the refused frame goes in at the next request.
TEST_F(EncoderInputTest, InputRefusedOnceAfterARequestGoesInAtTheNextAndTheSessionGoesOn) {
  transform().refuse_input_once_at = 2;
  auto encoder = create_encoder(100);
  ASSERT_TRUE(encoder) << encoder.error().message;
  ASSERT_TRUE(capture_until(**encoder, 5, 100));
  ASSERT_TRUE((*encoder)->finish());
  EXPECT_FALSE((*encoder)->state().lock()->error.has_value());
  const auto inputs = transform().inputs();
  ASSERT_GE(inputs.size(), 5u);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(inputs[i].sample_time_100ns, static_cast<std::int64_t>(i) * 100'000) << "input " << i;
  }
  const auto records = outputs.records();
  EXPECT_EQ(records.size(), inputs.size());
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_GT(records[i].timestamp_ns, records[i - 1].timestamp_ns);
  }
}

}  // namespace
}  // namespace quorvex::test
