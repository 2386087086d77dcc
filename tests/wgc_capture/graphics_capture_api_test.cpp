#include "wgc_capture/graphics_capture_api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "recording_handler.h"
#include "test_platform.h"

namespace quorvex::testing {
namespace {

using platform::fake::FakeFrame;
using platform::fake::FakeItemClosed;
using platform::wgc::SizeInt32;
using wgc_capture::BorderMode;
using wgc_capture::CursorCaptureMode;

FakeFrame frame(std::int32_t width, std::int32_t height, std::int64_t time_100ns = 0) {
  return FakeFrame{SizeInt32{width, height}, time_100ns};
}

class CaptureSessionTest : public ::testing::Test {
 protected:
  CaptureSessionTest() {
    fake.capture_fake.set_item_size({1920, 1080});
    fake.win32_fake.set_get_message_timeout(std::chrono::seconds(10));
  }

  std::expected<void, wgc_capture::GraphicsCaptureApiError> start(
      CursorCaptureMode cursor = CursorCaptureMode::Default, BorderMode border = BorderMode::Default) {
    return wgc_capture::start<RecordingHandler>(wgc_capture::CaptureSettings<RecordingFlags>{
        .flags = flags,
        .item = wgc_capture::Monitor(platform::MonitorHandle{0x51}),
        .cursor = cursor,
        .border = border,
        .pixel_format = wgc_capture::pixel_format_bgra8,
    });
  }

  static std::string message_of(const std::expected<void, wgc_capture::GraphicsCaptureApiError>& result) {
    return result ? std::string("success") : result.error().message();
  }

  // Whatever ended the session, nothing stays registered or open.
  void expect_torn_down() {
    EXPECT_EQ(fake.win32_fake.get_message_timeouts(), 0) << "the message loop was never told to end";
    auto pool = fake.capture_fake.last_frame_pool();
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(pool->closed());
    EXPECT_EQ(pool->frame_arrived_handlers(), 0u);
    EXPECT_TRUE(fake.capture_fake.last_session()->closed());
    EXPECT_EQ(fake.capture_fake.created_items().at(0).item->closed_handlers(), 0u);
    EXPECT_EQ(pool->frames_taken(), pool->frames_released());
    EXPECT_EQ(flags.journal->destroyed.load(), flags.journal->created.load());
  }

  TestPlatform fake;
  RecordingFlags flags;
};

TEST_F(CaptureSessionTest, FirstFrameAtItemSizeReachesHandlerWithItsTimeAndTexture) {
  fake.capture_fake.script_on_start({frame(1920, 1080, 123456)});
  flags.stop_at_frame = 1;

  ASSERT_EQ(message_of(start()), "success");

  EXPECT_EQ(flags.journal->delivered(), (std::vector<DeliveredFrame>{{1920, 1080, 123456, true}}));
  const auto creation = fake.capture_fake.last_pool_creation();
  ASSERT_TRUE(creation.has_value());
  EXPECT_EQ(creation->pixel_format, 87);
  EXPECT_EQ(creation->number_of_buffers, 2);
  EXPECT_EQ(creation->size, (SizeInt32{1920, 1080}));
  EXPECT_TRUE(fake.capture_fake.last_session()->started());
  EXPECT_EQ(fake.capture_fake.completed_shutdowns(), 1);
  // Video support: the device also feeds the video processor and the encoder.
  EXPECT_EQ(fake.d3d11_fake.flags,
            platform::d3d11::create_device_bgra_support | platform::d3d11::create_device_video_support);
  expect_torn_down();
}

// A static screen may deliver no frame at all (Windows 11 24H2): the
// handler's timer still runs on the capture thread, and may end the session
// cleanly or with an error.
TEST_F(CaptureSessionTest, HandlerTimerRunsWithoutFramesAndCanEndTheSession) {
  // A loop nobody ends fails the test within a second, not after 30.
  fake.win32_fake.set_get_message_timeout(std::chrono::seconds(1));
  flags.stop_at_tick = 3;
  ASSERT_EQ(message_of(start()), "success");
  EXPECT_EQ(flags.journal->timer_ticks.load(), 3);
  EXPECT_EQ(flags.journal->frame_count.load(), 0);

  flags = RecordingFlags{};
  flags.fail_at_tick = 1;
  EXPECT_EQ(message_of(start()), "Frame handler error: timer failed");
  // Ticks stop with the session: no timer outlives it.
  EXPECT_EQ(fake.win32_fake.live_timers(), 0u);
}

TEST_F(CaptureSessionTest, ApartmentUsageIsTakenOncePerProcess) {
  fake.capture_fake.script_on_start({frame(1920, 1080)});
  flags.stop_at_frame = 1;
  ASSERT_EQ(message_of(start()), "success");
  const auto after_first = fake.capture_fake.faults().calls("co_increment_mta_usage");
  flags = RecordingFlags{};
  flags.stop_at_frame = 1;
  ASSERT_EQ(message_of(start()), "success");
  EXPECT_EQ(fake.win32_fake.get_message_timeouts(), 0);
  EXPECT_LE(after_first, 1u);
  EXPECT_EQ(fake.capture_fake.faults().calls("co_increment_mta_usage"), after_first);
  EXPECT_EQ(fake.capture_fake.faults().calls("ro_initialize_multithreaded"), 2u);
}

TEST_F(CaptureSessionTest, ResizedFrameIsDroppedAndNextFrameComesAtNewSize) {
  fake.capture_fake.script_on_start({frame(1920, 1080), frame(1280, 720), frame(1280, 720)});
  flags.stop_at_frame = 2;

  ASSERT_EQ(message_of(start()), "success");

  const auto delivered = flags.journal->delivered();
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(delivered[0].width, 1920u);
  EXPECT_EQ(delivered[1].width, 1280u);
  EXPECT_EQ(delivered[1].height, 720u);
  EXPECT_EQ(fake.capture_fake.last_frame_pool()->recreations(), (std::vector<SizeInt32>{{1280, 720}}));
  expect_torn_down();
}

TEST_F(CaptureSessionTest, ZeroSizedFramesAreDroppedWithoutRecreatingThePool) {
  fake.capture_fake.script_on_start({frame(0, 1080), frame(1920, 0), frame(-1, -1), frame(1920, 1080)});
  flags.stop_at_frame = 1;

  ASSERT_EQ(message_of(start()), "success");

  EXPECT_EQ(flags.journal->frame_count.load(), 1);
  EXPECT_TRUE(fake.capture_fake.last_frame_pool()->recreations().empty());
  expect_torn_down();
}

TEST_F(CaptureSessionTest, QueuedFramesNeverReachHandlerAfterItStopped) {
  fake.capture_fake.script_on_start({frame(1920, 1080), frame(1920, 1080), frame(1920, 1080), frame(1920, 1080)});
  flags.stop_at_frame = 1;

  ASSERT_EQ(message_of(start()), "success");

  EXPECT_EQ(flags.journal->frame_count.load(), 1);
  // The halted events did not even take their frames from the pool.
  EXPECT_EQ(fake.capture_fake.last_frame_pool()->frames_taken(), 1);
  expect_torn_down();
}

TEST_F(CaptureSessionTest, HandlerErrorEndsSessionAsFrameHandlerError) {
  fake.capture_fake.script_on_start({frame(1920, 1080), frame(1920, 1080), frame(1920, 1080)});
  flags.fail_at_frame = 2;
  flags.frame_error = "encoder gave up";

  EXPECT_EQ(message_of(start()), "Frame handler error: encoder gave up");

  EXPECT_EQ(flags.journal->frame_count.load(), 2);
  expect_torn_down();
}

TEST_F(CaptureSessionTest, StopStillEndsTheLoopWhenPostingTheQuitFails) {
  fake.capture_fake.script_on_start({frame(1920, 1080), frame(1920, 1080)});
  fake.win32_fake.faults().fail("post_thread_message", platform::status::e_outofmemory);
  flags.stop_at_frame = 1;

  ASSERT_EQ(message_of(start()), "success");

  EXPECT_EQ(flags.journal->frame_count.load(), 1);
  expect_torn_down();
}

// A frame event that fails, before or after the handler, ends the session
// with its error: with no frame reaching the handler nothing else would
// notice, and the session would wait for ever. A device that is gone is
// named as the cause and given to the handler.
struct FailingEventCase {
  const char* name;
  const char* operation;
  std::uint32_t code;
  bool device_removed;
  std::string message;
  int frames_handled;
};

class FailingFrameEvent : public CaptureSessionTest, public ::testing::WithParamInterface<FailingEventCase> {};

TEST_P(FailingFrameEvent, EndsTheSessionWithItsError) {
  const FailingEventCase& c = GetParam();
  fake.capture_fake.script_on_start({frame(1920, 1080), frame(1920, 1080), frame(1920, 1080)});
  fake.capture_fake.faults().fail(c.operation, c.code, 2);
  if (c.device_removed) {
    fake.d3d11_fake.faults.fail("device.get_device_removed_reason", c.code);
  }
  EXPECT_EQ(message_of(start()), c.message);
  EXPECT_EQ(flags.journal->frame_count.load(), c.frames_handled);
  EXPECT_EQ(flags.journal->devices_removed.load(), c.device_removed ? 1 : 0);
  expect_torn_down();
}

const std::string removed_text =
    "graphics device removed: The GPU device instance has been suspended. Use GetDeviceRemovedReason to determine "
    "the appropriate action. (0x887A0005)";

INSTANTIATE_TEST_SUITE_P(
    Table, FailingFrameEvent,
    ::testing::Values(
        FailingEventCase{"NextFrame", "pool.try_get_next_frame", platform::status::e_fail, false,
                         "Frame handler error: Windows API error: Unspecified error (0x80004005)", 1},
        FailingEventCase{"Texture", "surface.get_texture", platform::status::e_outofmemory, false,
                         "Frame handler error: Windows API error: Not enough memory resources are available to "
                         "complete this operation. (0x8007000E)",
                         1},
        FailingEventCase{"NextFrameOfARemovedDevice", "pool.try_get_next_frame",
                         platform::status::dxgi_error_device_removed, true, "Frame handler error: " + removed_text,
                         1}),
    [](const auto& info) { return std::string(info.param.name); });

// A device that is gone may deliver no frame and no error: the timer finds
// out.
TEST_F(CaptureSessionTest, RemovedDeviceEndsTheSessionAtTheNextTickNamingTheReason) {
  fake.d3d11_fake.faults.fail("device.get_device_removed_reason", platform::status::dxgi_error_device_removed);
  EXPECT_EQ(message_of(start()), "Frame handler error: " + removed_text);
  EXPECT_EQ(flags.journal->devices_removed.load(), 1);
  EXPECT_EQ(flags.journal->timer_ticks.load(), 0);
  expect_torn_down();
}

// Both a stop and Closed end the session; only the first posts the quit.
// A second one would end the dispatcher-shutdown loop before the shutdown
// completed.
TEST_F(CaptureSessionTest, StopAndThenClosedEndTheFirstLoopOnceAndTheShutdownCompletes) {
  fake.capture_fake.script_on_start({frame(1920, 1080), FakeItemClosed{}});
  flags.stop_at_frame = 1;
  ASSERT_EQ(message_of(start()), "success");
  EXPECT_EQ(fake.win32_fake.faults().calls("post_thread_message"), 1u);
  EXPECT_EQ(fake.capture_fake.completed_shutdowns(), 1);
  EXPECT_EQ(flags.journal->closed.load(), 1);
  expect_torn_down();
}

// Windows does not say on which thread the shutdown completes; its quit must
// still reach the capture thread.
TEST_F(CaptureSessionTest, ShutdownCompletedOnAnotherThreadStillEndsTheSecondLoop) {
  fake.capture_fake.set_shutdown_completes_elsewhere(true);
  fake.capture_fake.script_on_start({frame(1920, 1080)});
  flags.stop_at_frame = 1;
  ASSERT_EQ(message_of(start()), "success");
  EXPECT_EQ(fake.capture_fake.completed_shutdowns(), 1);
  expect_torn_down();
}

TEST_F(CaptureSessionTest, ClosedItemRunsOnClosedOnceAndEndsWithSuccess) {
  fake.capture_fake.script_on_start({frame(1920, 1080), FakeItemClosed{}, frame(1920, 1080)});

  ASSERT_EQ(message_of(start()), "success");

  EXPECT_EQ(flags.journal->closed.load(), 1);
  EXPECT_EQ(flags.journal->frame_count.load(), 1);
  expect_torn_down();
}

TEST_F(CaptureSessionTest, ClosedRaisedOnAnotherThreadEndsTheLoop) {
  fake.capture_fake.script_on_start({frame(1920, 1080)});
  std::thread closer([this] {
    while (flags.journal->frame_count.load() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    fake.capture_fake.created_items().at(0).item->raise_closed();
  });

  const auto result = start();
  closer.join();

  EXPECT_EQ(message_of(result), "success");
  EXPECT_EQ(flags.journal->closed.load(), 1);
  expect_torn_down();
}

TEST_F(CaptureSessionTest, FailedOnClosedBecomesTheSessionError) {
  fake.capture_fake.script_on_start({FakeItemClosed{}});
  flags.close_error = "finish failed";

  EXPECT_EQ(message_of(start()), "Frame handler error: finish failed");
  EXPECT_EQ(flags.journal->closed.load(), 1);
}

TEST_F(CaptureSessionTest, LaterHandlerErrorReplacesEarlierOne) {
  // The frame fails and halts the session; the item then closes, whose error
  // is the last one stored.
  fake.capture_fake.script_on_start({frame(1920, 1080), FakeItemClosed{}});
  flags.fail_at_frame = 1;
  flags.frame_error = "first";
  flags.close_error = "second";

  EXPECT_EQ(message_of(start()), "Frame handler error: second");
  EXPECT_EQ(flags.journal->closed.load(), 1);
  expect_torn_down();
}

struct ModeCase {
  const char* name;
  CursorCaptureMode cursor;
  BorderMode border;
  // What the session was told; absent: left at the system's default.
  std::optional<bool> cursor_capture_enabled;
  std::optional<bool> border_required;
};

class CaptureModes : public CaptureSessionTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(CaptureModes, ReachTheSessionOnlyWhenAsked) {
  fake.capture_fake.script_on_start({frame(1920, 1080)});
  flags.stop_at_frame = 1;

  ASSERT_EQ(message_of(start(GetParam().cursor, GetParam().border)), "success");

  EXPECT_EQ(fake.capture_fake.last_session()->cursor_capture_enabled(), GetParam().cursor_capture_enabled);
  EXPECT_EQ(fake.capture_fake.last_session()->border_required(), GetParam().border_required);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CaptureModes,
    ::testing::Values(ModeCase{"Defaults", CursorCaptureMode::Default, BorderMode::Default, std::nullopt, std::nullopt},
                      ModeCase{"CursorWithoutBorder", CursorCaptureMode::WithCursor, BorderMode::WithoutBorder, true,
                               false},
                      ModeCase{"NoCursorWithBorder", CursorCaptureMode::WithoutCursor, BorderMode::WithBorder, false,
                               true}),
    [](const auto& info) { return std::string(info.param.name); });

// Before Windows 10 2004 the session has no IsCursorCaptureEnabled and draws
// the cursor anyway: asking for it has nothing to switch, asking to leave it
// out cannot be honoured.
TEST_F(CaptureSessionTest, WithoutTheCursorPropertyOnlyLeavingTheCursorOutFails) {
  fake.capture_fake.set_property_present(platform::wgc::is_cursor_capture_enabled_property, false);
  fake.capture_fake.script_on_start({frame(1920, 1080)});
  flags.stop_at_frame = 1;

  EXPECT_EQ(message_of(start(CursorCaptureMode::WithCursor)), "success");
  EXPECT_EQ(fake.capture_fake.last_session()->cursor_capture_enabled(), std::nullopt);
  EXPECT_EQ(flags.journal->frame_count.load(), 1);

  flags = RecordingFlags{};
  EXPECT_EQ(message_of(start(CursorCaptureMode::WithoutCursor)),
            "Graphics capture error: Graphics capture API toggling cursor capture is not supported");
  EXPECT_EQ(flags.journal->created.load(), 1);
  EXPECT_EQ(flags.journal->destroyed.load(), 1);
  EXPECT_EQ(flags.journal->frame_count.load(), 0);
}

TEST_F(CaptureSessionTest, UnsupportedBorderSettingFailsAfterHandlerWasCreated) {
  fake.capture_fake.set_property_present(platform::wgc::is_border_required_property, false);

  EXPECT_EQ(message_of(start(CursorCaptureMode::Default, BorderMode::WithoutBorder)),
            "Graphics capture error: Graphics capture API toggling border capture is not supported");
  EXPECT_EQ(flags.journal->created.load(), 1);
  EXPECT_EQ(flags.journal->frame_count.load(), 0);
}

TEST_F(CaptureSessionTest, DeviceBelowFeatureLevel11FailsBeforeHandlerIsCreated) {
  fake.d3d11_fake.level = platform::d3d11::FeatureLevel::Level_10_1;

  EXPECT_EQ(message_of(start()),
            "DirectX error: Failed to create DirectX device with the recommended feature levels");
  EXPECT_EQ(flags.journal->created.load(), 0);
}

TEST_F(CaptureSessionTest, DeviceCallWithoutDeviceIsAnErrorNotANullDevice) {
  fake.d3d11_fake.hand_out_device = false;

  EXPECT_EQ(message_of(start()), "DirectX error: Windows API Error: Invalid pointer (0x80004003)");
  EXPECT_EQ(flags.journal->created.load(), 0);
}

TEST_F(CaptureSessionTest, AlreadyInitialisedRuntimeIsAccepted) {
  fake.capture_fake.set_ro_initialize_result(platform::status::s_false);
  fake.capture_fake.script_on_start({frame(1920, 1080)});
  flags.stop_at_frame = 1;

  EXPECT_EQ(message_of(start()), "success");
}

TEST_F(CaptureSessionTest, WindowTargetBecomesAWindowItem) {
  fake.capture_fake.script_on_start({frame(1920, 1080)});
  flags.stop_at_frame = 1;

  ASSERT_TRUE(wgc_capture::start<RecordingHandler>(wgc_capture::CaptureSettings<RecordingFlags>{
                  .flags = flags, .item = wgc_capture::Window(platform::WindowHandle{0xABC})})
                  .has_value());

  const auto items = fake.capture_fake.created_items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(std::get<platform::WindowHandle>(items[0].source), platform::WindowHandle{0xABC});
}

struct StartFailure {
  const char* name;
  std::function<void(TestPlatform&, RecordingFlags&)> arrange;
  std::string message;
  bool handler_created;
};

class StartFailureTest : public CaptureSessionTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailureTest, EachFailingStepGivesItsOwnErrorAndReleasesTheHandler) {
  fake.capture_fake.script_on_start({frame(1920, 1080)});
  flags.stop_at_frame = 1;
  GetParam().arrange(fake, flags);

  EXPECT_EQ(message_of(start()), GetParam().message);

  EXPECT_EQ(flags.journal->created.load(), GetParam().handler_created ? 1 : 0);
  EXPECT_EQ(flags.journal->destroyed.load(), flags.journal->created.load());
  if (auto pool = fake.capture_fake.last_frame_pool()) {
    EXPECT_TRUE(pool->closed());
    EXPECT_EQ(pool->frame_arrived_handlers(), 0u);
  }
  for (const auto& created : fake.capture_fake.created_items()) {
    EXPECT_EQ(created.item->closed_handlers(), 0u);
  }
}

const std::string unspecified = "Unspecified error (0x80004005)";
const std::string access_denied = "Access is denied. (0x80070005)";

INSTANTIATE_TEST_SUITE_P(
    Steps, StartFailureTest,
    ::testing::Values(
        StartFailure{"RuntimeInitialisation",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().fail("ro_initialize_multithreaded", platform::status::rpc_e_changed_mode);
                     },
                     "Failed to initialize WinRT", false},
        StartFailure{"DispatcherQueueController",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().fail("create_dispatcher_queue_controller", platform::status::e_fail);
                     },
                     "Failed to create dispatcher queue controller", false},
        StartFailure{"DispatcherQueueControllerMissing",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().return_empty("create_dispatcher_queue_controller");
                     },
                     "Failed to create dispatcher queue controller", false},
        StartFailure{"DeviceCreation",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.d3d11_fake.faults.fail("create_device", platform::status::e_fail);
                     },
                     "DirectX error: Windows API Error: " + unspecified, false},
        StartFailure{"HandlerCreation",
                     [](TestPlatform&, RecordingFlags& flags) { flags.create_error = "no hardware encoder"; },
                     "New handler error: no hardware encoder", false},
        StartFailure{"ItemCreation",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().fail("create_for_monitor", platform::status::e_invalidarg);
                     },
                     "Failed to convert item to GraphicsCaptureItem", true},
        StartFailure{"ItemMissing",
                     [](TestPlatform& f, RecordingFlags&) { f.capture_fake.faults().return_empty("create_for_monitor"); },
                     "Failed to convert item to GraphicsCaptureItem", true},
        StartFailure{"ContractMissing",
                     [](TestPlatform& f, RecordingFlags&) { f.capture_fake.set_api_contract_present(false); },
                     "Graphics capture error: Graphics capture API is not supported", true},
        StartFailure{"CaptureUnsupported",
                     [](TestPlatform& f, RecordingFlags&) { f.capture_fake.set_supported(false); },
                     "Graphics capture error: Graphics capture API is not supported", true},
        StartFailure{"SupportQuery",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().fail("is_supported", platform::status::e_accessdenied);
                     },
                     "Graphics capture error: Windows API error: " + access_denied, true},
        StartFailure{"DxgiInterface",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.d3d11_fake.faults.fail("device.query_dxgi_device", platform::status::e_fail);
                     },
                     "Graphics capture error: DirectX error: Windows API Error: " + unspecified, true},
        StartFailure{"WinrtDevice",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().return_empty("create_direct3d11_device_from_dxgi_device");
                     },
                     "Graphics capture error: DirectX error: Windows API Error: Invalid pointer (0x80004003)", true},
        StartFailure{"ItemSize",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().fail("item.get_size", platform::status::e_fail);
                     },
                     "Graphics capture error: Windows API error: " + unspecified, true},
        StartFailure{"FramePool",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().fail("create_frame_pool", platform::status::e_fail);
                     },
                     "Graphics capture error: Windows API error: " + unspecified, true},
        StartFailure{"ClosedRegistration",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().fail("item.add_closed", platform::status::e_fail);
                     },
                     "Graphics capture error: Windows API error: " + unspecified, true},
        StartFailure{"FrameArrivedRegistration",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().fail("pool.add_frame_arrived", platform::status::e_fail);
                     },
                     "Graphics capture error: Windows API error: " + unspecified, true},
        StartFailure{"StartCapture",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().fail("session.start_capture", platform::status::e_fail);
                     },
                     "Graphics capture error: Windows API error: " + unspecified, true},
        StartFailure{"DispatcherShutdown",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().fail("controller.shutdown_queue_async", platform::status::e_fail);
                     },
                     "Failed to shutdown dispatcher queue", true},
        StartFailure{"ShutdownCompletionHandler",
                     [](TestPlatform& f, RecordingFlags&) {
                       f.capture_fake.faults().fail("action.put_completed", platform::status::e_fail);
                     },
                     "Failed to set dispatcher queue completed handler", true}),
    [](const ::testing::TestParamInfo<StartFailure>& info) { return std::string(info.param.name); });

// What the application's report does: one line on standard error.
void report_on_stderr(std::string_view what, const platform::Error& error) {
  std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(what.size()), what.data(), error.text().c_str());
}

struct FatalTeardown {
  const char* name;
  const char* operation;
  const char* message;
};

class FatalTeardownTest : public ::testing::TestWithParam<FatalTeardown> {};

TEST_P(FatalTeardownTest, FailingTeardownCallStopsTheProcessWithItsMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        wgc_capture::set_fatal_report(&report_on_stderr);
        TestPlatform fake;
        fake.capture_fake.script_on_start({frame(1920, 1080)});
        fake.capture_fake.faults().fail(GetParam().operation, platform::status::e_fail);
        RecordingFlags flags;
        flags.stop_at_frame = 1;
        static_cast<void>(wgc_capture::start<RecordingHandler>(wgc_capture::CaptureSettings<RecordingFlags>{
            .flags = flags, .item = wgc_capture::Monitor(platform::MonitorHandle{1})}));
      },
      GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FatalTeardownTest,
    ::testing::Values(
        FatalTeardown{"RemoveFrameArrived", "pool.remove_frame_arrived", "Failed to remove Frame Arrived event handler"},
        FatalTeardown{"ClosePool", "pool.close", "Failed to Close Frame Pool"},
        FatalTeardown{"CloseSession", "session.close", "Failed to Close Capture Session"},
        FatalTeardown{"RemoveClosed", "item.remove_closed",
                      "Failed to remove Capture Session Closed event handler"}),
    [](const ::testing::TestParamInfo<FatalTeardown>& info) { return std::string(info.param.name); });

TEST(MtaUsageTest, FailingFirstMtaUsageStopsTheProcess) {
  // The threadsafe style runs the statement in a fresh process, where no
  // session has taken the apartment's usage yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        wgc_capture::set_fatal_report(&report_on_stderr);
        TestPlatform fake;
        fake.capture_fake.faults().fail("co_increment_mta_usage", platform::status::e_outofmemory);
        static_cast<void>(wgc_capture::start<RecordingHandler>(wgc_capture::CaptureSettings<RecordingFlags>{
            .flags = RecordingFlags{}, .item = wgc_capture::Monitor(platform::MonitorHandle{1})}));
      },
      "Failed to increment MTA usage");
}

TEST(CaptureSettingsSupportTest, BorderQuestionNeedsPropertyContractAndSupport) {
  struct Case {
    bool property;
    bool contract;
    bool supported;
    bool expected;
  };
  for (const Case c : {Case{true, true, true, true}, Case{false, true, true, false}, Case{true, false, true, false},
                       Case{true, true, false, false}}) {
    TestPlatform fake;
    fake.capture_fake.set_property_present(platform::wgc::is_border_required_property, c.property);
    fake.capture_fake.set_api_contract_present(c.contract);
    fake.capture_fake.set_supported(c.supported);
    ASSERT_TRUE(wgc_capture::join_multithreaded_apartment());
    const auto answer = wgc_capture::GraphicsCaptureApi::is_border_settings_supported();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, c.expected) << c.property << c.contract << c.supported;
  }
}

TEST(CaptureSettingsSupportTest, FailingQuestionIsAWindowsError) {
  TestPlatform fake;
  fake.capture_fake.faults().fail("is_property_present", platform::status::e_fail);
  const auto answer = wgc_capture::GraphicsCaptureApi::is_cursor_settings_supported();
  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error().message(), "Windows API error: Unspecified error (0x80004005)");
}

}  // namespace
}  // namespace quorvex::testing
