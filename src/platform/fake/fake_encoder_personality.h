// Hardware H.264 encoders differ in ways the asynchronous MFT model allows.
// Each personality here is one such behaviour that another program's
// developers met on real machines and wrote down, set as knobs of the fake
// encoder transform, so that the pipeline can be run against every one.
//
// Thread contract: apply a personality before the encoder is created.
#pragma once

#include <array>
#include <ostream>
#include <string_view>

#include "platform/fake/fake_media_foundation.h"

namespace quorvex::platform::fake {

struct EncoderPersonality {
  // A test-name-safe name.
  std::string_view name;
  void (*apply)(FakeEncoderTransform& encoder);
};

// For test names and messages.
inline void PrintTo(const EncoderPersonality& personality, std::ostream* os) { *os << personality.name; }

inline constexpr std::array encoder_personalities{
    // One request at a time and one output per input: what the host
    // stand-in and Microsoft's own sample transforms do.
    EncoderPersonality{"Plain", [](FakeEncoderTransform&) {}},
    // Microsoft, "Asynchronous MFTs": the transform raises METransformNeedInput
    // for as many inputs as it wants and the client calls ProcessInput once
    // for each; an encoder with look-ahead asks for several (here 4) before
    // its first output and keeps 3 inside from then on.
    EncoderPersonality{"AsksForFourInputsBeforeItsFirstOutput",
                       [](FakeEncoderTransform& encoder) {
                         encoder.need_input_on_start = 4;
                         encoder.output_delay_inputs = 3;
                       }},
    // Chromium, crbug.com/377749373 (media_foundation_video_encode_accelerator_win.cc):
    // ProcessInput may answer MF_E_NOTACCEPTING to the input that answers a
    // METransformNeedInput; the transform asks again when it can take it.
    EncoderPersonality{"RefusesInputOnceAfterARequest",
                       [](FakeEncoderTransform& encoder) { encoder.refuse_input_once_at = 2; }},
    // OBS, plugins/win-mf (mf-h264-encoder.cpp): the encoder writes SPS and
    // PPS only with the first IDR, so OBS prepends the output type's
    // MF_MT_MPEG_SEQUENCE_HEADER to every keyframe.
    EncoderPersonality{"WritesParameterSetsOnlyWithTheFirstIdr",
                       [](FakeEncoderTransform& encoder) { encoder.parameter_sets_first_idr_only = true; }},
    // Chromium, crbug.com/1446081: setting colour attributes on the output
    // type "can actually break some encoders"; SetOutputType refuses it.
    EncoderPersonality{"RefusesColourAttributesOnTheOutputType",
                       [](FakeEncoderTransform& encoder) { encoder.refuses_output_color_attributes = true; }},
    // Chromium, media_foundation_video_encode_accelerator_win.cc: Intel's
    // encoder needs CODECAPI_AVEncVideoTemporalLayerCount set, even to 1;
    // without it the encoder never asks for input.
    EncoderPersonality{"NeedsTheTemporalLayerCountSet",
                       [](FakeEncoderTransform& encoder) { encoder.needs_temporal_layer_count = true; }},
    // Microsoft, "Asynchronous MFTs": METransformHaveOutput events may come
    // back to back, one ProcessOutput each; here always two at a time.
    EncoderPersonality{"EmitsOutputInBursts", [](FakeEncoderTransform& encoder) { encoder.output_burst = 2; }},
};

}  // namespace quorvex::platform::fake
