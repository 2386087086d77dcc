// Contract: the asynchronous encoder transform, driven the way the encoder
// pipeline drives it: events announce input requests, outputs and the end of
// a drain; input is accepted only against a request; outputs keep their
// sample times; a drain gives back everything inside, then DrainComplete.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "contract/contract_factory.h"

namespace quorvex::platform::contract {

template <class Factory>
class TransformContract : public ::testing::Test {
 protected:
  static constexpr std::uint32_t width = 128;
  static constexpr std::uint32_t height = 96;
  static constexpr std::uint32_t fps = 30;

  void SetUp() override {
    auto& mf = platform_->media_foundation();
    // The test thread activates the encoder: it must be in an apartment.
    ASSERT_TRUE(mf.co_initialize_ex(mf::coinit_multithreaded).has_value());
    apartment_ = true;
    ASSERT_TRUE(mf.mf_startup(mf::mf_version, mf::mfstartup_full).has_value());
    auto created = platform_->d3d11().create_device(
        d3d11::DriverType::Hardware, d3d11::create_device_bgra_support | d3d11::create_device_video_support, levels_,
        d3d11::sdk_version);
    ASSERT_TRUE(created.has_value());
    device_ = created->device;
    auto found = mf.mft_enum_ex(guids::mft_category_video_encoder,
                                mf::mft_enum_flag_hardware | mf::mft_enum_flag_sortandfilter,
                                {guids::mf_media_type_video, guids::mf_video_format_nv12},
                                {guids::mf_media_type_video, guids::mf_video_format_h264});
    ASSERT_TRUE(found.has_value());
    ASSERT_FALSE(found->empty());
    activation_ = found->front();
    auto transform = activation_->activate_object();
    ASSERT_TRUE(transform.has_value());
    transform_ = *transform;
    auto attributes = transform_->get_attributes();
    ASSERT_TRUE(attributes.has_value());
    ASSERT_TRUE((*attributes)->set_uint32(guids::mf_transform_async_unlock, 1).has_value());
    events_ = *transform_->query_event_generator();
    codec_ = *transform_->query_codec_api();
    ASSERT_TRUE(codec_->set_value(guids::codecapi_av_enc_common_rate_control_mode, mf::Variant::ui4(0)).has_value());
    ASSERT_TRUE(codec_->set_value(guids::codecapi_av_enc_common_mean_bit_rate, mf::Variant::ui4(500'000)).has_value());
    ASSERT_TRUE(codec_->set_value(guids::codecapi_av_low_latency_mode, mf::Variant::boolean(true)).has_value());
    ASSERT_TRUE(transform_->set_output_type(0, *video_type(guids::mf_video_format_h264), 0).has_value());
    ASSERT_TRUE(transform_->set_input_type(0, *video_type(guids::mf_video_format_nv12), 0).has_value());
    ASSERT_TRUE(transform_->process_message(mf::MftMessage::NotifyBeginStreaming, nullptr).has_value());
    ASSERT_TRUE(transform_->process_message(mf::MftMessage::NotifyStartOfStream, nullptr).has_value());
  }

  void TearDown() override {
    transform_.reset();
    events_.reset();
    codec_.reset();
    if (activation_) {
      (void)activation_->shutdown_object();
      activation_.reset();
    }
    (void)platform_->media_foundation().mf_shutdown();
    if (apartment_) {
      platform_->media_foundation().co_uninitialize();
    }
  }

  std::shared_ptr<mf::MediaType> video_type(const Guid& subtype) {
    auto type = *platform_->media_foundation().mf_create_media_type();
    (void)type->set_guid(guids::mf_mt_major_type, guids::mf_media_type_video);
    (void)type->set_guid(guids::mf_mt_subtype, subtype);
    (void)type->set_uint64(guids::mf_mt_frame_size, (std::uint64_t{width} << 32) | height);
    (void)type->set_uint64(guids::mf_mt_frame_rate, (std::uint64_t{fps} << 32) | 1);
    (void)type->set_uint32(guids::mf_mt_interlace_mode, mf::mf_video_interlace_progressive);
    if (subtype == guids::mf_video_format_h264) {
      (void)type->set_uint32(guids::mf_mt_avg_bitrate, 500'000);
      (void)type->set_uint32(guids::mf_mt_mpeg2_profile, mf::eav_enc_h264v_profile_base);
      (void)type->set_uint32(guids::codecapi_av_enc_mpv_gop_size, fps);
    }
    return type;
  }

  // An NV12 surface wrapped as the pipeline wraps it.
  std::shared_ptr<mf::Sample> frame_sample(std::int64_t time_100ns) {
    d3d11::Texture2DDesc desc;
    desc.width = width;
    desc.height = height;
    desc.format = d3d11::Format::Nv12;
    desc.bind_flags = d3d11::bind_render_target | d3d11::bind_video_encoder;
    auto texture = *device_->create_texture_2d(desc);
    surfaces_.push_back(texture);
    auto& mf = platform_->media_foundation();
    auto buffer = *mf.mf_create_dxgi_surface_buffer(texture, 0, false);
    (void)buffer->set_current_length(*buffer->get_max_length());
    auto sample = *mf.mf_create_sample();
    EXPECT_TRUE(sample->add_buffer(buffer).has_value());
    EXPECT_TRUE(sample->set_sample_time(time_100ns).has_value());
    EXPECT_TRUE(sample->set_sample_duration(10'000'000 / fps).has_value());
    return sample;
  }

  // The next event's type, or 0 after a failure when none comes within a
  // generous limit: a transform that stops raising events fails the test
  // rather than hanging it.
  std::uint32_t next_event_type() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      auto event = events_->get_event(mf::mf_event_flag_no_wait);
      if (event) {
        EXPECT_EQ((*event)->get_status().value_or(status::e_fail), status::ok);
        return (*event)->get_type().value_or(0);
      }
      if (event.error().code() != status::mf_e_no_events_available) {
        ADD_FAILURE() << "GetEvent failed: " << event.error().text();
        return 0;
      }
      if (std::chrono::steady_clock::now() > until) {
        ADD_FAILURE() << "no event for 10 s";
        return 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void submit_frame(int index) {
    ASSERT_TRUE(transform_->process_input(0, *frame_sample(index * 333'333), 0).has_value());
  }
  void take_output() {
    mf::OutputDataBuffer out;
    std::uint32_t st = 0;
    ASSERT_TRUE(transform_->process_output(0, out, st).has_value());
  }

  // Waits for the next event of `type`, counting input requests that came
  // in between.
  void wait_for(std::uint32_t type, int* need_inputs = nullptr) {
    for (int i = 0; i < 100; ++i) {
      const std::uint32_t got = next_event_type();
      if (got == type) return;
      ASSERT_EQ(got, mf::me_transform_need_input) << "unexpected event while waiting for " << type;
      if (need_inputs) ++*need_inputs;
    }
    FAIL() << "event " << type << " never came";
  }

  std::unique_ptr<Platform> platform_ = Factory::create();
  const d3d11::FeatureLevel levels_[2] = {d3d11::FeatureLevel::Level_11_1, d3d11::FeatureLevel::Level_11_0};
  std::shared_ptr<d3d11::Device> device_;
  std::shared_ptr<mf::Activate> activation_;
  bool apartment_ = false;
  std::shared_ptr<mf::Transform> transform_;
  std::shared_ptr<mf::MediaEventGenerator> events_;
  std::shared_ptr<mf::CodecApi> codec_;
  std::vector<std::shared_ptr<d3d11::Texture2D>> surfaces_;
};
TYPED_TEST_SUITE_P(TransformContract);

TYPED_TEST_P(TransformContract, FirstEventAfterStartOfStreamIsAnInputRequest) {
  EXPECT_EQ(this->next_event_type(), mf::me_transform_need_input);
}

TYPED_TEST_P(TransformContract, InputIsRefusedOnceDrainingStarted) {
  EXPECT_EQ(this->next_event_type(), mf::me_transform_need_input);
  ASSERT_TRUE(this->transform_->process_message(mf::MftMessage::CommandDrain, nullptr).has_value());
  auto refused = this->transform_->process_input(0, *this->frame_sample(0), 0);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code(), status::mf_e_notaccepting);
  this->wait_for(mf::me_transform_drain_complete);
}

TYPED_TEST_P(TransformContract, OutputKeepsSampleTimeAndFirstOutputIsACleanPoint) {
  EXPECT_EQ(this->next_event_type(), mf::me_transform_need_input);
  ASSERT_TRUE(this->transform_->process_input(0, *this->frame_sample(4'000'000), 0).has_value());
  this->wait_for(mf::me_transform_have_output);
  mf::OutputDataBuffer out;
  std::uint32_t st = 0;
  ASSERT_TRUE(this->transform_->process_output(0, out, st).has_value());
  ASSERT_TRUE(out.sample);
  EXPECT_EQ(out.sample->get_sample_time().value_or(-1), 4'000'000);
  EXPECT_NE(out.sample->get_uint32(guids::mf_sample_extension_clean_point).value_or(0), 0u);
  auto buffer = out.sample->convert_to_contiguous_buffer();
  ASSERT_TRUE(buffer.has_value());
  EXPECT_GT((*buffer)->get_current_length().value_or(0), 4u);
}

// Microsoft, "Asynchronous MFTs": ProcessOutput answers a
// METransformHaveOutput event; an asynchronous MFT asked without one fails
// with E_UNEXPECTED and never asks for more input.
TYPED_TEST_P(TransformContract, ProcessOutputWithoutAnOutputEventIsUnexpected) {
  mf::OutputDataBuffer out;
  std::uint32_t st = 0;
  auto result = this->transform_->process_output(0, out, st);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), status::e_unexpected);
}

// The pipeline submits only against a request, so a transform that has given
// back everything it took must still have a request open, or the session
// stalls. A drain then gives back the frames still inside before it
// completes.
TYPED_TEST_P(TransformContract, KeepsARequestOpenWhenIdleAndDrainsEveryFrameInside) {
  constexpr int frames = 6;
  int requests = 0;   // NeedInput events received
  int submitted = 0;  // inputs given, each against one of them
  int outputs = 0;
  for (int events = 0; events < 200 && outputs < frames; ++events) {
    const std::uint32_t type = this->next_event_type();
    if (type == mf::me_transform_need_input) {
      ++requests;
      if (submitted < frames) {
        ASSERT_NO_FATAL_FAILURE(this->submit_frame(submitted++));
      }
    } else {
      ASSERT_EQ(type, mf::me_transform_have_output);
      ASSERT_NO_FATAL_FAILURE(this->take_output());
      ++outputs;
    }
  }
  ASSERT_EQ(outputs, frames);
  EXPECT_GT(requests, submitted) << "every frame came back and no request is open";

  // Answer the open requests and drain with those frames inside.
  while (submitted < requests) {
    ASSERT_NO_FATAL_FAILURE(this->submit_frame(submitted++));
  }
  ASSERT_TRUE(this->transform_->process_message(mf::MftMessage::NotifyEndOfStream, nullptr).has_value());
  ASSERT_TRUE(this->transform_->process_message(mf::MftMessage::CommandDrain, nullptr).has_value());
  bool drained = false;
  for (int events = 0; events < 100 && !drained; ++events) {
    const std::uint32_t type = this->next_event_type();
    if (type == mf::me_transform_drain_complete) {
      drained = true;
    } else if (type == mf::me_transform_have_output) {
      ASSERT_NO_FATAL_FAILURE(this->take_output());
      ++outputs;
    } else {
      // A request raised before the drain; input is refused from now on.
      ASSERT_EQ(type, mf::me_transform_need_input);
    }
  }
  ASSERT_TRUE(drained);
  EXPECT_EQ(outputs, submitted);
}

TYPED_TEST_P(TransformContract, LowLatencyReadsBackAsVariantTrue) {
  auto value = this->codec_->get_value(guids::codecapi_av_low_latency_mode);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, mf::Variant::boolean(true));
}

REGISTER_TYPED_TEST_SUITE_P(TransformContract, FirstEventAfterStartOfStreamIsAnInputRequest,
                            InputIsRefusedOnceDrainingStarted, OutputKeepsSampleTimeAndFirstOutputIsACleanPoint,
                            ProcessOutputWithoutAnOutputEventIsUnexpected,
                            KeepsARequestOpenWhenIdleAndDrainsEveryFrameInside, LowLatencyReadsBackAsVariantTrue);

}  // namespace quorvex::platform::contract
