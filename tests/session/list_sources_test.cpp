#include "app/session/list_sources.h"

#include <gtest/gtest.h>

#include "test_platform.h"

namespace quorvex::testing {
namespace {

using platform::LocallyUniqueId;
using platform::MonitorHandle;
using platform::WindowHandle;
using platform::fake::FakeDisplay;
using platform::fake::FakeDisplayPath;
using platform::fake::FakeProcess;
using platform::fake::FakeWindow;

constexpr std::uint32_t browser_pid = 300;

class ListingTest : public ::testing::Test {
 protected:
  ListingTest() { fake.win32_fake.add_process(FakeProcess{browser_pid, u"browser.exe", std::nullopt, false}); }

  void add_display(std::uint64_t handle, std::u16string device_name, std::uint32_t width = 1920,
                   std::uint32_t height = 1080) {
    FakeDisplay d;
    d.handle = MonitorHandle{handle};
    d.device_name = std::move(device_name);
    d.settings = platform::DisplaySettings{width, height, 60};
    fake.win32_fake.add_display(d);
  }

  void add_path(std::uint32_t source_id, std::optional<std::u16string> gdi_name,
                std::optional<std::u16string> friendly) {
    FakeDisplayPath p;
    p.path.source_adapter_id = LocallyUniqueId{7, 0};
    p.path.source_id = source_id;
    p.path.target_adapter_id = LocallyUniqueId{7, 0};
    p.path.target_id = 100 + source_id;
    p.source_gdi_name = std::move(gdi_name);
    p.target_friendly_name = std::move(friendly);
    fake.win32_fake.add_display_path(p);
  }

  FakeWindow& add_window(std::uint64_t handle, std::u16string title, platform::Rect rect = {0, 0, 800, 600}) {
    FakeWindow w;
    w.handle = WindowHandle{handle};
    w.process_id = browser_pid;
    w.title = std::move(title);
    w.window_rect = rect;
    windows.push_back(w);
    return windows.back();
  }

  std::string document() {
    for (const FakeWindow& w : windows) {
      fake.win32_fake.add_window(w);
    }
    windows.clear();
    auto doc = app::sources_document();
    return doc ? *doc : "error: " + doc.error().message;
  }

  TestPlatform fake;
  std::vector<FakeWindow> windows;
};

TEST_F(ListingTest, NothingToListIsStillOneDocument) {
  EXPECT_EQ(document(), R"({"displays":[],"windows":[]})");
}

TEST_F(ListingTest, DisplayIdComesFromDeviceNameAndFallbackLabelFromPosition) {
  add_display(0x20, u"\\\\.\\DISPLAY2", 1280, 1024);
  add_display(0x10, u"\\\\.\\DISPLAY1");
  EXPECT_EQ(document(),
            "{\"displays\":[{\"height\":1024,\"id\":2,\"name\":\"\xC3\x89" "cran 1\",\"width\":1280},"
            "{\"height\":1080,\"id\":1,\"name\":\"\xC3\x89" "cran 2\",\"width\":1920}],\"windows\":[]}");
}

TEST_F(ListingTest, LeftOutDisplayStillCountsForLaterLabels) {
  add_display(0x10, u"\\\\.\\DISPLAYX");
  add_display(0x20, u"\\\\.\\DISPLAY5");
  EXPECT_EQ(document(), "{\"displays\":[{\"height\":1080,\"id\":5,\"name\":\"\xC3\x89" "cran 2\",\"width\":1920}],"
                        "\"windows\":[]}");
}

struct DeviceNameCase {
  const char* name;
  std::u16string device_name;
  std::optional<std::uint64_t> id;
};

class DisplayNumberTest : public ListingTest, public ::testing::WithParamInterface<DeviceNameCase> {};

TEST_P(DisplayNumberTest, OnlyAnUnsignedDecimalRestGivesAnEntry) {
  add_display(0x10, GetParam().device_name);
  const std::string doc = document();
  if (GetParam().id) {
    EXPECT_NE(doc.find("\"id\":" + std::to_string(*GetParam().id) + ","), std::string::npos) << doc;
  } else {
    EXPECT_EQ(doc, R"({"displays":[],"windows":[]})");
  }
}

INSTANTIATE_TEST_SUITE_P(
    DeviceNames, DisplayNumberTest,
    ::testing::Values(DeviceNameCase{"Plain", u"\\\\.\\DISPLAY12", 12},
                      DeviceNameCase{"LeadingPlus", u"\\\\.\\DISPLAY+3", 3},
                      DeviceNameCase{"PrefixTwice", u"\\\\.\\DISPLAY\\\\.\\DISPLAY4", 4},
                      DeviceNameCase{"Largest", u"\\\\.\\DISPLAY18446744073709551615", 18446744073709551615ull},
                      DeviceNameCase{"TooLarge", u"\\\\.\\DISPLAY18446744073709551616", std::nullopt},
                      DeviceNameCase{"NoDigits", u"\\\\.\\DISPLAY", std::nullopt},
                      DeviceNameCase{"Negative", u"\\\\.\\DISPLAY-1", std::nullopt},
                      DeviceNameCase{"TwoPlus", u"\\\\.\\DISPLAY++1", std::nullopt},
                      DeviceNameCase{"TrailingText", u"\\\\.\\DISPLAY1a", std::nullopt},
                      DeviceNameCase{"LoneSurrogate", u"\\\\.\\DISPLAY1\xDC00", std::nullopt}),
    [](const ::testing::TestParamInfo<DeviceNameCase>& info) { return std::string(info.param.name); });

TEST_F(ListingTest, DisplayWithoutSettingsIsLeftOut) {
  FakeDisplay d;
  d.handle = MonitorHandle{0x10};
  d.device_name = u"\\\\.\\DISPLAY1";
  d.settings = std::nullopt;
  fake.win32_fake.add_display(d);
  EXPECT_EQ(document(), R"({"displays":[],"windows":[]})");
}

TEST_F(ListingTest, FriendlyNameComesFromTheMatchingPathTrimmed) {
  add_display(0x10, u"\\\\.\\DISPLAY1");
  add_display(0x20, u"\\\\.\\DISPLAY2");
  add_path(0, std::nullopt, u"unreachable");  // source name request fails: next path
  add_path(1, u"\\\\.\\DISPLAY2", u"  Studio Display \u00E9 ");
  add_path(2, u"\\\\.\\DISPLAY1", u"DELL U2720Q");
  EXPECT_EQ(document(), "{\"displays\":[{\"height\":1080,\"id\":1,\"name\":\"DELL U2720Q\",\"width\":1920},"
                        "{\"height\":1080,\"id\":2,\"name\":\"Studio Display \xC3\xA9\",\"width\":1920}],"
                        "\"windows\":[]}");
}

TEST_F(ListingTest, MissingOrBlankFriendlyNamesFallBackToPosition) {
  add_display(0x10, u"\\\\.\\DISPLAY1");
  add_display(0x20, u"\\\\.\\DISPLAY2");
  add_display(0x30, u"\\\\.\\DISPLAY3");
  add_path(1, u"\\\\.\\DISPLAY1", u"   ");
  add_path(2, u"\\\\.\\DISPLAY2", std::nullopt);  // the deciding target request fails
  add_path(3, u"\\\\.\\DISPLAY3", u"bad \xD800");
  const std::string doc = document();
  EXPECT_NE(doc.find("\"id\":1,\"name\":\"\xC3\x89" "cran 1\""), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"id\":2,\"name\":\"\xC3\x89" "cran 2\""), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"id\":3,\"name\":\"\xC3\x89" "cran 3\""), std::string::npos) << doc;
}

TEST_F(ListingTest, FailingDisplayConfigQueriesOnlyDropTheFriendlyName) {
  add_display(0x10, u"\\\\.\\DISPLAY1");
  add_path(1, u"\\\\.\\DISPLAY1", u"DELL");
  for (const char* operation : {"get_display_config_buffer_sizes", "query_display_config"}) {
    fake.win32_fake.faults().fail(operation, platform::status::error_invalid_parameter);
    const std::string doc = document();
    EXPECT_NE(doc.find("\"id\":1,\"name\":\"\xC3\x89" "cran 1\""), std::string::npos) << operation << doc;
    fake.win32_fake.faults().reset(operation);
  }
}

TEST_F(ListingTest, WindowEntryCarriesHandleExecutableAndTitle) {
  add_window(0x4242, u"Quarterly \"report\"\t\\ draft");
  EXPECT_EQ(document(), "{\"displays\":[],\"windows\":[{\"app\":\"browser.exe\",\"id\":16962,\"thumbnail\":null,"
                        "\"title\":\"Quarterly \\\"report\\\"\\t\\\\ draft\"}]}");
  EXPECT_EQ(fake.win32_fake.last_open_process_access(), 0x410u);
  EXPECT_EQ(fake.win32_fake.open_process_handles(), 0);
}

TEST_F(ListingTest, SmallWindowsAreLeftOut) {
  add_window(1, u"narrow", {10, 10, 129, 510});    // 119 x 500
  add_window(2, u"short", {10, 10, 510, 89});      // 500 x 79
  add_window(3, u"smallest", {-5, -5, 115, 75});   // 120 x 80
  add_window(4, u"inverted", {500, 500, 0, 0});
  const std::string doc = document();
  EXPECT_EQ(doc.find("narrow"), std::string::npos);
  EXPECT_EQ(doc.find("short"), std::string::npos);
  EXPECT_EQ(doc.find("inverted"), std::string::npos);
  EXPECT_NE(doc.find("\"title\":\"smallest\""), std::string::npos);
}

TEST_F(ListingTest, WindowsThatCannotBeDescribedAreLeftOutSilently) {
  fake.win32_fake.add_process(FakeProcess{301, u"secure.exe", platform::status::error_access_denied, false});
  fake.win32_fake.add_process(FakeProcess{302, u"odd.exe", std::nullopt, true});
  fake.win32_fake.add_process(FakeProcess{303, u"bad\xDC00.exe", std::nullopt, false});
  add_window(1, u"denied").process_id = 301;
  add_window(2, u"no module").process_id = 302;
  add_window(3, u"bad module").process_id = 303;
  add_window(4, u"no rect").window_rect_fails = true;
  add_window(5, u"title \xD800");
  add_window(6, u"");
  add_window(7, u"missing process").process_id = 999;

  EXPECT_EQ(document(), "{\"displays\":[],\"windows\":[{\"app\":\"browser.exe\",\"id\":6,\"thumbnail\":null,"
                        "\"title\":\"\"}]}");
  EXPECT_EQ(fake.win32_fake.open_process_handles(), 0);
}

TEST_F(ListingTest, EnumerationFailuresFailTheListing) {
  for (const char* operation : {"enum_display_monitors", "enum_child_windows"}) {
    fake.win32_fake.faults().fail(operation, platform::status::error_access_denied);
    EXPECT_EQ(document(), "error: Windows API error: Access is denied. (0x00000005)") << operation;
    fake.win32_fake.faults().reset(operation);
  }
}

TEST_F(ListingTest, ListingWritesExactlyOneLineToStandardOutput) {
  add_display(0x10, u"\\\\.\\DISPLAY1");
  add_window(0x77, u"doc");
  for (const FakeWindow& w : windows) {
    fake.win32_fake.add_window(w);
  }
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const auto listed = app::list_sources();
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(listed.has_value());
  EXPECT_EQ(out, "{\"displays\":[{\"height\":1080,\"id\":1,\"name\":\"\xC3\x89" "cran 1\",\"width\":1920}],"
                 "\"windows\":[{\"app\":\"browser.exe\",\"id\":119,\"thumbnail\":null,\"title\":\"doc\"}]}\n");
  EXPECT_EQ(err, "");
}

}  // namespace
}  // namespace quorvex::testing
