// The fakes refuse what Windows refuses. Each row is one rule: the call is
// refused with Windows's code while its precondition is missing, and goes
// through once the precondition is met, so a rule can neither be missing
// nor refuse more than Windows does.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "fake/fake_contract_factory.h"

namespace quorvex::platform::fake {
namespace {

std::string code_or_ok(const Status& status) {
  if (status) {
    return "ok";
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status.error().code()));
  return text;
}

template <class T>
Status status_of(const Result<T>& result) {
  if (result) {
    return {};
  }
  return std::unexpected(result.error());
}

// An encoder transform activated on the test thread, with what a row needs
// of it.
struct Encoder {
  explicit Encoder(FakePlatform& p) : media(p.media_foundation_fake) {
    static_cast<void>(media.co_initialize_ex(mf::coinit_multithreaded));
    auto listed = media.mft_enum_ex(guids::mft_category_video_encoder, mf::mft_enum_flag_hardware, {}, {});
    activation = listed->front();
    transform = *activation->activate_object();
  }
  ~Encoder() {
    static_cast<void>(activation->shutdown_object());
    transform.reset();
    activation.reset();
    media.co_uninitialize();
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  void unlock() { ASSERT_TRUE((*transform->get_attributes())->set_uint32(guids::mf_transform_async_unlock, 1)); }
  Status message(mf::MftMessage m) { return transform->process_message(m, nullptr); }
  Status set_type(bool output) {
    auto type = *media.mf_create_media_type();
    return output ? transform->set_output_type(0, *type, 0) : transform->set_input_type(0, *type, 0);
  }
  Status input() {
    auto sample = *media.mf_create_sample();
    return transform->process_input(0, *sample, 0);
  }
  // Unlocked and streaming, in the scripted way: no request raised yet.
  void stream() {
    transform_fake().auto_respond = false;
    unlock();
    ASSERT_TRUE(message(mf::MftMessage::NotifyStartOfStream));
  }
  FakeEncoderTransform& transform_fake() { return media.encoder(); }

  FakeMediaFoundation& media;
  std::shared_ptr<mf::Activate> activation;
  std::shared_ptr<mf::Transform> transform;
};

struct Rule {
  const char* name;
  // Runs the call with the precondition met or not; returns its status.
  std::function<Status(FakePlatform&, bool met)> call;
  std::uint32_t refused_with;
};

void PrintTo(const Rule& rule, std::ostream* os) { *os << rule.name; }

class FakeRules : public ::testing::TestWithParam<Rule> {};

TEST_P(FakeRules, RefuseWithWindowsCodeUntilThePreconditionIsMet) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(GetParam().refused_with));
  {
    auto platform = FakeFactory::create();
    EXPECT_EQ(code_or_ok(GetParam().call(static_cast<FakePlatform&>(*platform), false)), code);
  }
  {
    auto platform = FakeFactory::create();
    EXPECT_EQ(code_or_ok(GetParam().call(static_cast<FakePlatform&>(*platform), true)), "ok");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FakeRules,
    ::testing::Values(
        Rule{"TransformCallBeforeAsyncUnlock",
             [](FakePlatform& p, bool met) {
               Encoder e(p);
               if (met) e.unlock();
               return e.set_type(true);
             },
             status::mf_e_transform_async_locked},
        Rule{"InputBeforeStartOfStream",
             [](FakePlatform& p, bool met) {
               Encoder e(p);
               e.transform_fake().auto_respond = false;
               e.unlock();
               e.transform_fake().push_event(mf::me_transform_need_input);
               if (met) static_cast<void>(e.message(mf::MftMessage::NotifyStartOfStream));
               return e.input();
             },
             status::mf_e_notaccepting},
        Rule{"InputWithoutAnOpenRequest",
             [](FakePlatform& p, bool met) {
               Encoder e(p);
               e.stream();
               if (met) e.transform_fake().push_event(mf::me_transform_need_input);
               return e.input();
             },
             status::mf_e_notaccepting},
        Rule{"SecondInputForOneRequest",
             [](FakePlatform& p, bool met) {
               Encoder e(p);
               e.stream();
               e.transform_fake().push_event(mf::me_transform_need_input);
               if (met) e.transform_fake().push_event(mf::me_transform_need_input);
               static_cast<void>(e.input());
               return e.input();
             },
             status::mf_e_notaccepting},
        Rule{"InputAfterEndOfStream",
             [](FakePlatform& p, bool met) {
               Encoder e(p);
               e.stream();
               e.transform_fake().push_event(mf::me_transform_need_input);
               static_cast<void>(e.message(mf::MftMessage::NotifyEndOfStream));
               if (met) static_cast<void>(e.message(mf::MftMessage::NotifyStartOfStream));
               return e.input();
             },
             status::mf_e_notaccepting},
        Rule{"OutputWithoutAnOutputEvent",
             [](FakePlatform& p, bool met) {
               Encoder e(p);
               e.stream();
               e.transform_fake().queue_output(FakeEncoderTransform::encoded(0, true, false));
               if (met) e.transform_fake().push_event(mf::me_transform_have_output);
               mf::OutputDataBuffer buffer;
               std::uint32_t status = 0;
               return e.transform->process_output(0, buffer, status);
             },
             status::e_unexpected},
        Rule{"InputTypeBeforeOutputType",
             [](FakePlatform& p, bool met) {
               Encoder e(p);
               e.unlock();
               if (met) static_cast<void>(e.set_type(true));
               return e.set_type(false);
             },
             status::mf_e_transform_type_not_set},
        Rule{"BFrameCountAfterOutputType",
             [](FakePlatform& p, bool met) {
               Encoder e(p);
               e.unlock();
               auto codec = *e.transform->query_codec_api();
               if (!met) static_cast<void>(e.set_type(true));
               return codec->set_value(guids::codecapi_av_enc_mpv_default_b_picture_count, mf::Variant::ui4(0));
             },
             status::mf_e_invalidrequest},
        Rule{"TransformCallAfterShutdownObject",
             [](FakePlatform& p, bool met) {
               Encoder e(p);
               e.unlock();
               if (!met) static_cast<void>(e.activation->shutdown_object());
               return status_of(e.transform->get_output_stream_info(0));
             },
             status::mf_e_shutdown},
        Rule{"AdapterEnumerationWithoutHardwareFlag",
             [](FakePlatform& p, bool met) {
               const std::uint32_t flags = met ? mf::mft_enum_flag_hardware : mf::mft_enum_flag_sortandfilter;
               return status_of(p.media_foundation_fake.mft_enum2(guids::mft_category_video_encoder, flags, {}, {},
                                                                  LocallyUniqueId{1, 0}));
             },
             status::e_invalidarg},
        Rule{"DeviceManagerWithoutVideoSupport",
             [](FakePlatform& p, bool met) {
               if (met) {
                 const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_0};
                 static_cast<void>(p.d3d11_fake.create_device(
                     d3d11::DriverType::Hardware,
                     d3d11::create_device_bgra_support | d3d11::create_device_video_support, levels,
                     d3d11::sdk_version));
               }
               auto created = p.media_foundation_fake.mf_create_dxgi_device_manager();
               return created->manager->reset_device(*p.d3d11_fake.device(), created->reset_token);
             },
             status::e_invalidarg},
        Rule{"FramePoolOnAThreadWithoutDispatcherQueue",
             [](FakePlatform& p, bool met) {
               static_cast<void>(p.capture_fake.ro_initialize_multithreaded());
               std::shared_ptr<wgc::DispatcherQueueController> controller;
               if (met) {
                 controller = *p.capture_fake.create_dispatcher_queue_controller(
                     wgc::DispatcherQueueOptions{});
               }
               auto dxgi = *p.d3d11_fake.device()->query_dxgi_device();
               auto device = *p.capture_fake.create_direct3d11_device_from_dxgi_device(*dxgi);
               return status_of(p.capture_fake.create_frame_pool(*device, 87, 2, {1920, 1080}));
             },
             status::rpc_e_wrong_thread},
        Rule{"PostToAThreadThatMadeNoUserCall",
             [](FakePlatform& p, bool met) {
               std::uint32_t target = 0;
               std::thread([&] {
                 target = p.win32_fake.get_current_thread_id();
                 if (met) p.win32_fake.create_message_queue();
               }).join();
               return p.win32_fake.post_thread_message(target, win32::wm_user, 0, 0);
             },
             FakeWin32::error_invalid_thread_id}),
    [](const auto& info) { return std::string(info.param.name); });

// A personality's knob changes what the transform does and nothing else it
// is asked: with the knob off the same calls behave as usual.
TEST(FakeEncoderHabits, RefusedInputKeepsTheRequestOpenByAskingAgain) {
  auto platform = FakeFactory::create();
  Encoder e(static_cast<FakePlatform&>(*platform));
  e.transform_fake().refuse_input_once_at = 1;
  e.stream();
  e.transform_fake().push_event(mf::me_transform_need_input);
  EXPECT_EQ(code_or_ok(e.input()), "0xC00D36B5");
  EXPECT_EQ(e.transform_fake().pending_events(), 2u) << "the first request and the one asking again";
  EXPECT_EQ(code_or_ok(e.input()), "ok");
  EXPECT_EQ(code_or_ok(e.input()), "0xC00D36B5") << "one input per request, refused once only";
  EXPECT_EQ(e.transform_fake().inputs().size(), 1u);
}

}  // namespace
}  // namespace quorvex::platform::fake
