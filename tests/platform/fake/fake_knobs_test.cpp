// The fakes' shared knobs do what a test scripts: an operation fails with
// the given code at every call or only at its Nth, succeeds without an
// object, and every call is counted. Later tests reproduce failure rows with
// these knobs, so a knob that silently did nothing would make them pass for
// the wrong reason.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "fake/fake_contract_factory.h"

namespace quorvex::platform::fake {
namespace {

std::string code_text(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

std::string outcome(const Status& status) { return status ? "ok" : "fail " + code_text(status.error().code()); }

template <class T>
std::string outcome(const Result<std::shared_ptr<T>>& result) {
  if (!result) return "fail " + code_text(result.error().code());
  return *result ? "object" : "empty";
}

template <class T>
std::string outcome(const Result<T>& result) {
  return result ? "ok" : "fail " + code_text(result.error().code());
}

struct KnobCase {
  const char* operation;
  FaultPlan& (*plan)(FakePlatform&);
  std::function<void(FaultPlan&)> script;
  // One call of the operation, described.
  std::function<std::string(FakePlatform&)> call;
  int calls;
  // Each call's outcome, then the plan's call count.
  std::string expected;
};

void PrintTo(const KnobCase& c, std::ostream* os) { *os << c.operation; }

FaultPlan& win32_plan(FakePlatform& p) { return p.win32_fake.faults(); }
FaultPlan& capture_plan(FakePlatform& p) { return p.capture_fake.faults(); }
FaultPlan& d3d11_plan(FakePlatform& p) { return p.d3d11_fake.faults(); }
FaultPlan& mf_plan(FakePlatform& p) { return p.media_foundation_fake.faults(); }

constexpr std::uint32_t error_not_enough_quota = 1816;  // a plain Win32 error, not an HRESULT

std::shared_ptr<mf::Sample> sample(FakePlatform& p) {
  // Built without the plan's sample operations in the way of the row.
  auto made = p.media_foundation_fake.mf_create_sample();
  return made && *made ? *made : nullptr;
}

const KnobCase knob_cases[] = {
    {"enum_display_monitors", win32_plan, [](FaultPlan& f) { f.fail("enum_display_monitors", status::e_fail); },
     [](FakePlatform& p) { return outcome(p.win32_fake.enum_display_monitors([](MonitorHandle) { return true; })); },
     2, "fail 0x80004005,fail 0x80004005 calls=2"},
    {"post_thread_message", win32_plan,
     [](FaultPlan& f) { f.fail("post_thread_message", error_not_enough_quota, 2); },
     [](FakePlatform& p) {
       return outcome(p.win32_fake.post_thread_message(p.win32_fake.get_current_thread_id(), win32::wm_user, 0, 0));
     },
     3, "ok,fail 0x00000718,ok calls=3"},
    {"get_message", win32_plan, [](FaultPlan& f) { f.fail("get_message", status::e_fail); },
     [](FakePlatform& p) {
       Message m;
       return std::string(p.win32_fake.get_message(m) == GetMessageResult::Failed ? "failed" : "returned");
     },
     1, "failed calls=1"},
    {"query_performance_counter", win32_plan, [](FaultPlan&) {},
     [](FakePlatform& p) { return outcome(p.win32_fake.query_performance_counter()); }, 3, "ok,ok,ok calls=3"},

    {"create_dispatcher_queue_controller", capture_plan,
     [](FaultPlan& f) { f.return_empty("create_dispatcher_queue_controller"); },
     [](FakePlatform& p) {
       return outcome(p.capture_fake.create_dispatcher_queue_controller(wgc::DispatcherQueueOptions{}));
     },
     1, "empty calls=1"},
    {"create_for_monitor", capture_plan, [](FaultPlan& f) { f.fail("create_for_monitor", status::e_invalidarg, 1); },
     [](FakePlatform& p) { return outcome(p.capture_fake.create_for_monitor(FakeFactory::display)); }, 2,
     "fail 0x80070057,object calls=2"},
    {"is_supported", capture_plan, [](FaultPlan& f) { f.fail("is_supported", status::e_notimpl); },
     [](FakePlatform& p) { return outcome(p.capture_fake.is_supported()); }, 1, "fail 0x80004001 calls=1"},

    {"create_device", d3d11_plan, [](FaultPlan& f) { f.return_empty("create_device"); },
     [](FakePlatform& p) {
       const d3d11::FeatureLevel level = d3d11::FeatureLevel::Level_11_0;
       auto created = p.d3d11_fake.create_device(d3d11::DriverType::Hardware, 0, std::span(&level, 1),
                                                 d3d11::sdk_version);
       if (!created) return "fail " + code_text(created.error().code());
       return std::string(created->device ? "object" : "empty");
     },
     1, "empty calls=1"},
    {"create_texture_2d", d3d11_plan, [](FaultPlan& f) { f.fail("create_texture_2d", status::e_outofmemory, 2); },
     [](FakePlatform& p) {
       d3d11::Texture2DDesc desc;
       desc.width = 64;
       desc.height = 64;
       return outcome(p.d3d11_fake.device()->create_texture_2d(desc));
     },
     3, "object,fail 0x8007000E,object calls=3"},
    {"query_video_device", d3d11_plan, [](FaultPlan& f) { f.return_empty("query_video_device", 2); },
     [](FakePlatform& p) { return outcome(p.d3d11_fake.device()->query_video_device()); }, 2,
     "object,empty calls=2"},

    {"mft_enum_ex", mf_plan, [](FaultPlan& f) { f.fail("mft_enum_ex", status::e_fail); },
     [](FakePlatform& p) {
       return outcome(p.media_foundation_fake.mft_enum_ex(
           guids::mft_category_video_encoder, mf::mft_enum_flag_hardware,
           {guids::mf_media_type_video, guids::mf_video_format_nv12},
           {guids::mf_media_type_video, guids::mf_video_format_h264}));
     },
     1, "fail 0x80004005 calls=1"},
    {"mf_create_media_type", mf_plan, [](FaultPlan& f) { f.return_empty("mf_create_media_type"); },
     [](FakePlatform& p) { return outcome(p.media_foundation_fake.mf_create_media_type()); }, 1, "empty calls=1"},
    {"process_input", mf_plan, [](FaultPlan& f) { f.fail("process_input", status::mf_e_notaccepting, 2); },
     [](FakePlatform& p) {
       auto input = sample(p);
       if (!input) return std::string("no sample");
       // Unlocked and streaming, so every call has a request to answer.
       FakeEncoderTransform& encoder = p.media_foundation_fake.encoder();
       auto attributes = encoder.get_attributes();
       if (!attributes || !*attributes || !(*attributes)->set_uint32(guids::mf_transform_async_unlock, 1) ||
           !encoder.process_message(mf::MftMessage::NotifyStartOfStream, nullptr)) {
         return std::string("not streaming");
       }
       return outcome(encoder.process_input(0, *input, 0));
     },
     3, "ok,fail 0xC00D36B5,ok calls=3"},
    {"set_value.low_latency", mf_plan, [](FaultPlan& f) { f.fail("set_value.low_latency", status::e_invalidarg); },
     [](FakePlatform& p) {
       auto codec = p.media_foundation_fake.encoder().query_codec_api();
       if (!codec || !*codec) return std::string("no codec api");
       return outcome((*codec)->set_value(guids::codecapi_av_low_latency_mode, mf::Variant::boolean(true)));
     },
     1, "fail 0x80070057 calls=1"},
};

class FakeKnobs : public testing::TestWithParam<KnobCase> {};

TEST_P(FakeKnobs, OperationEndsAsScriptedAndIsCounted) {
  const KnobCase& c = GetParam();
  FakePlatform platform;
  platform.apartments->enter();  // the calls under test need a COM thread
  FaultPlan& plan = c.plan(platform);
  c.script(plan);
  std::string observed;
  for (int i = 0; i < c.calls; ++i) {
    observed += (i == 0 ? "" : ",") + c.call(platform);
  }
  observed += " calls=" + std::to_string(plan.calls(c.operation));
  EXPECT_EQ(observed, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, FakeKnobs, testing::ValuesIn(knob_cases));

// A reset knob stops scripting the operation but keeps its count.
TEST(FakeKnobsReset, ResetOperationRunsNormallyAgainAndKeepsCounting) {
  FakePlatform platform;
  platform.apartments->enter();
  FaultPlan& plan = platform.capture_fake.faults();
  plan.fail("is_supported", status::e_fail);
  EXPECT_FALSE(platform.capture_fake.is_supported().has_value());
  plan.reset("is_supported");
  EXPECT_TRUE(platform.capture_fake.is_supported().has_value());
  EXPECT_EQ(plan.calls("is_supported"), 2u);
}

// Activation needs a COM apartment on the calling thread, as on Windows:
// RoInitialize or CoInitializeEx on the thread, or an MTA usage held by the
// process, which puts every thread in the apartment.
TEST(FakeApartmentsRule, ActivationOutsideAnApartmentFailsWithCoENotInitialized) {
  struct Case {
    const char* name;
    std::function<std::shared_ptr<void>(FakePlatform&)> join;  // what the thread does first
    bool activates;
  };
  const Case cases[] = {
      {"nothing", [](FakePlatform&) { return nullptr; }, false},
      {"RoInitialize",
       [](FakePlatform& p) {
         EXPECT_TRUE(p.capture_fake.ro_initialize_multithreaded().has_value());
         return nullptr;
       },
       true},
      {"CoInitializeEx",
       [](FakePlatform& p) {
         EXPECT_TRUE(p.media_foundation_fake.co_initialize_ex(mf::coinit_multithreaded).has_value());
         return nullptr;
       },
       true},
      {"MTA usage held",
       [](FakePlatform& p) -> std::shared_ptr<void> { return *p.capture_fake.co_increment_mta_usage(); }, true},
  };
  for (const Case& c : cases) {
    FakePlatform platform;
    // A fresh thread: no earlier case's apartment leaks in.
    std::thread([&] {
      const auto held = c.join(platform);
      const std::string expected = c.activates ? "ok" : "fail 0x800401F0";
      EXPECT_EQ(outcome(platform.capture_fake.is_property_present(wgc::graphics_capture_session_type,
                                                                  wgc::is_border_required_property)),
                expected)
          << c.name;
      auto found = platform.media_foundation_fake.mft_enum_ex({}, 0, {}, {});
      ASSERT_TRUE(found && !found->empty());
      EXPECT_EQ(outcome(found->front()->activate_object()), c.activates ? "object" : expected) << c.name;
    }).join();
  }
}

// The video processor fake has no pixels: what it offers instead is the
// record of rectangles in force at each blit, which the converter tests read.
TEST(FakeVideoProcessor, BlitRecordsTheRectanglesInForce) {
  FakePlatform platform;
  auto& d3d = platform.d3d11_fake;
  auto video_device = *d3d.device()->query_video_device();
  auto video_context = *d3d.context()->query_video_context();
  d3d11::VideoProcessorContentDesc content;
  content.input_width = 64;
  content.input_height = 64;
  content.output_width = 128;
  content.output_height = 64;
  auto enumerator = *video_device->create_video_processor_enumerator(content);
  auto processor = *video_device->create_video_processor(*enumerator, 0);
  auto input = d3d.make_texture(64, 64);
  auto output = d3d.make_texture(128, 64, d3d11::Format::Nv12);
  auto output_view = *video_device->create_video_processor_output_view(**output->query_resource(), *enumerator,
                                                                       d3d11::VideoProcessorOutputViewDesc{});
  auto input_view = *video_device->create_video_processor_input_view(**input->query_resource(), *enumerator,
                                                                     d3d11::VideoProcessorInputViewDesc{});
  d3d11::VideoProcessorStream stream;
  stream.input_surface = input_view;
  video_context->video_processor_set_stream_dest_rect(*processor, 0, true, Rect{32, 0, 96, 64});
  ASSERT_TRUE(video_context->video_processor_blt(*processor, *output_view, 0, std::span(&stream, 1)).has_value());
  video_context->video_processor_set_stream_source_rect(*processor, 0, true, Rect{0, 0, 32, 64});
  d3d.faults().fail("video_processor_blt", status::e_fail, 3);
  ASSERT_TRUE(video_context->video_processor_blt(*processor, *output_view, 0, std::span(&stream, 1)).has_value());
  EXPECT_FALSE(video_context->video_processor_blt(*processor, *output_view, 0, std::span(&stream, 1)).has_value());

  const auto blits = d3d.blits();
  ASSERT_EQ(blits.size(), 2u) << "a failed blit was recorded";
  EXPECT_EQ(blits[0].dest_rect, (Rect{32, 0, 96, 64}));
  EXPECT_FALSE(blits[0].source_rect.has_value());
  EXPECT_EQ(blits[1].source_rect, (Rect{0, 0, 32, 64}));
  EXPECT_EQ(blits[1].output_texture, FakeD3D11::texture_id(*output));
  EXPECT_EQ(blits[1].input_texture, FakeD3D11::texture_id(*input));
  EXPECT_EQ(d3d.faults().calls("video_processor_blt"), 3u);
}

}  // namespace
}  // namespace quorvex::platform::fake
