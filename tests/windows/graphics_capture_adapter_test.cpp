#include <gtest/gtest.h>

#include "platform/windows/d3d11_adapter.h"
#include "platform/windows/graphics_capture_adapter.h"
#include "platform/windows/win32_adapter.h"
#include "under_wine.h"

namespace quorvex::platform::windows {
namespace {

constexpr std::uint32_t regdb_e_classnotreg = 0x80040154;
constexpr std::uint32_t error_mod_not_found_hresult = 0x8007007E;

class GraphicsCaptureAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto initialised = capture.ro_initialize_multithreaded();
    ASSERT_TRUE(initialised) << initialised.error().text();
  }
  GraphicsCaptureAdapter capture;
  Win32Adapter win32;
};

// A second initialisation on the same thread is a success code the capture
// layer accepts; it must not turn into an error.
TEST_F(GraphicsCaptureAdapterTest, RepeatedRuntimeInitialisationKeepsItsSuccessCode) {
  auto again = capture.ro_initialize_multithreaded();
  ASSERT_TRUE(again) << again.error().text();
  EXPECT_EQ(*again, status::s_false);
  auto cookie = capture.co_increment_mta_usage();
  ASSERT_TRUE(cookie) << cookie.error().text();
  EXPECT_NE(*cookie, nullptr);
}

TEST_F(GraphicsCaptureAdapterTest, DispatcherQueueControllerShutsDownThroughTheMessageLoop) {
  auto controller = capture.create_dispatcher_queue_controller({});
  if (testing::under_wine()) {
    // Wine 8 has no CoreMessaging.dll.
    ASSERT_FALSE(controller);
    EXPECT_EQ(controller.error().code(), error_mod_not_found_hresult);
    return;
  }
  ASSERT_TRUE(controller) << controller.error().text();
  ASSERT_NE(*controller, nullptr);
  auto action = (*controller)->shutdown_queue_async();
  ASSERT_TRUE(action) << action.error().text();
  wgc::AsyncStatus seen = wgc::AsyncStatus::Started;
  ASSERT_TRUE((*action)->put_completed([&](wgc::AsyncStatus status) {
    seen = status;
    win32.post_quit_message(0);
  }));
  Message message;
  while (win32.get_message(message) == GetMessageResult::Message) {
    win32.translate_message(message);
    win32.dispatch_message(message);
  }
  EXPECT_EQ(seen, wgc::AsyncStatus::Completed);
}

TEST_F(GraphicsCaptureAdapterTest, ApiInformationAnswersOrFailsWithTheRuntimesCode) {
  auto contract = capture.is_api_contract_present_by_major(wgc::universal_api_contract, 8);
  ASSERT_TRUE(contract) << contract.error().text();
  auto property = capture.is_property_present(wgc::graphics_capture_session_type,
                                              wgc::is_cursor_capture_enabled_property);
  if (testing::under_wine()) {
    // Wine 8 knows no contract and has not implemented the property query.
    EXPECT_FALSE(*contract);
    ASSERT_FALSE(property);
    EXPECT_EQ(property.error().code(), status::e_notimpl);
    return;
  }
  EXPECT_TRUE(*contract);
  EXPECT_TRUE(property) << property.error().text();
}

TEST_F(GraphicsCaptureAdapterTest, CaptureClassesAreRegisteredOnlyOnWindows) {
  auto supported = capture.is_supported();
  auto display = capture.create_for_monitor(win32.monitor_from_point({0, 0}, 1));
  if (testing::under_wine()) {
    ASSERT_FALSE(supported);
    EXPECT_EQ(supported.error().code(), regdb_e_classnotreg);
    ASSERT_FALSE(display);
    EXPECT_EQ(display.error().code(), regdb_e_classnotreg);
    return;
  }
  ASSERT_TRUE(supported) << supported.error().text();
  ASSERT_TRUE(display) << display.error().text();
  auto size = (*display)->get_size();
  ASSERT_TRUE(size) << size.error().text();
  EXPECT_GT(size->width, 0);
}

TEST_F(GraphicsCaptureAdapterTest, CaptureDeviceWrapsTheDirect3DDevice) {
  // The import is bound at load time; where the DLL lacks the export, Wine's
  // loader binds a stub that ends the process when called.
  if (testing::under_wine() &&
      GetProcAddress(GetModuleHandleW(L"d3d11.dll"), "CreateDirect3D11DeviceFromDXGIDevice") == nullptr) {
    GTEST_SKIP() << "Wine's d3d11.dll does not export CreateDirect3D11DeviceFromDXGIDevice";
  }
  D3D11Adapter d3d11;
  const d3d11::FeatureLevel levels[] = {d3d11::FeatureLevel::Level_11_1, d3d11::FeatureLevel::Level_11_0};
  auto device = d3d11.create_device(d3d11::DriverType::Hardware, d3d11::create_device_bgra_support,
                                    levels, d3d11::sdk_version);
  ASSERT_TRUE(device) << device.error().text();
  auto dxgi = device->device->query_dxgi_device();
  ASSERT_TRUE(dxgi);
  auto capture_device = capture.create_direct3d11_device_from_dxgi_device(**dxgi);
  ASSERT_TRUE(capture_device) << capture_device.error().text();
  EXPECT_NE(*capture_device, nullptr);
}

}  // namespace
}  // namespace quorvex::platform::windows
