// The X11 desktop's displays from RandR monitors: several monitors (which
// Xvfb cannot show), the primary choice, and names from EDID blocks.
#include "platform/host/randr_monitors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvex::platform::host {
namespace {

// An EDID base block whose descriptor slot `slot` (0..3) carries `tag` and
// `text` (line-feed terminated and blank-padded when shorter than 13).
std::vector<std::uint8_t> edid_with(int slot, std::uint8_t tag, std::string text) {
  std::vector<std::uint8_t> edid(128, 0);
  const std::uint8_t header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  std::copy(std::begin(header), std::end(header), edid.begin());
  // The other slots hold a detailed timing (nonzero pixel clock), which has
  // no text even when its bytes look like a tag.
  for (int s = 0; s < 4; ++s) {
    edid[54 + 18 * s] = 0x01;
    edid[54 + 18 * s + 3] = tag;
  }
  const std::size_t d = 54 + 18 * static_cast<std::size_t>(slot);
  edid[d] = 0;
  edid[d + 3] = tag;
  if (text.size() < 13) text += '\n';
  text.resize(13, ' ');
  std::copy(text.begin(), text.end(), edid.begin() + static_cast<std::ptrdiff_t>(d + 5));
  return edid;
}

TEST(RandrMonitorsTest, SeveralMonitorsKeepServerOrderPrimaryFlagAndEdidNames) {
  const std::vector<RandrMonitor> monitors = {
      {301, false, 0, 0, 1920, 1080, edid_with(1, 0xFC, "DELL U2720Q")},
      {302, true, 1920, -120, 2560, 1440, {}},
      {303, false, -1280, 0, 1280, 1024, edid_with(3, 0xFC, "ThirteenChars")},
  };
  const auto displays = displays_from_randr(monitors);
  ASSERT_EQ(displays.size(), 3u);
  const char16_t* names[] = {u"\\\\.\\DISPLAY1", u"\\\\.\\DISPLAY2", u"\\\\.\\DISPLAY3"};
  const Rect bounds[] = {{0, 0, 1920, 1080}, {1920, -120, 4480, 1320}, {-1280, 0, 0, 1024}};
  const char16_t* friendly[] = {u"DELL U2720Q", u"", u"ThirteenChars"};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(displays[i].spec.device_name, names[i]);
    EXPECT_EQ(displays[i].spec.bounds, bounds[i]);
    EXPECT_EQ(displays[i].spec.primary, i == 1);
    EXPECT_EQ(displays[i].spec.friendly_name, friendly[i]);
    EXPECT_EQ(displays[i].handle.value, monitors[i].name_atom);
    EXPECT_EQ(displays[i].source_id, monitors[i].name_atom);
  }
}

TEST(RandrMonitorsTest, PrimaryIsTheFirstFlaggedOneOrTheFirstMonitor) {
  struct Case {
    const char* name;
    std::vector<bool> flags;
    std::vector<bool> primary;
  };
  const Case cases[] = {
      {"none flagged", {false, false, false}, {true, false, false}},
      {"last flagged", {false, false, true}, {false, false, true}},
      {"two flagged", {false, true, true}, {false, true, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<RandrMonitor> monitors;
    for (std::size_t i = 0; i < c.flags.size(); ++i) {
      monitors.push_back({static_cast<std::uint32_t>(400 + i), c.flags[i], static_cast<std::int16_t>(1000 * i), 0,
                          1000, 800, {}});
    }
    const auto displays = displays_from_randr(monitors);
    ASSERT_EQ(displays.size(), c.primary.size());
    for (std::size_t i = 0; i < displays.size(); ++i) EXPECT_EQ(displays[i].spec.primary, c.primary[i]) << i;
  }
}

TEST(RandrMonitorsTest, EmptyMonitorIsLeftOutWithoutAGapInTheNumbers) {
  const std::vector<RandrMonitor> monitors = {
      {501, false, 0, 0, 0, 1080, {}},  // disabled output left as an empty monitor
      {502, false, 0, 0, 1920, 1080, {}},
      {503, false, 1920, 0, 1280, 0, {}},
      {504, false, 1920, 0, 1280, 1024, {}},
  };
  const auto displays = displays_from_randr(monitors);
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_EQ(displays[0].spec.device_name, u"\\\\.\\DISPLAY1");
  EXPECT_EQ(displays[0].handle.value, 502u);
  EXPECT_TRUE(displays[0].spec.primary);
  EXPECT_EQ(displays[1].spec.device_name, u"\\\\.\\DISPLAY2");
  EXPECT_EQ(displays[1].handle.value, 504u);
  EXPECT_TRUE(displays_from_randr({}).empty());
}

TEST(RandrMonitorsTest, EdidMonitorNameReadsOnlyANameDescriptorOfAnEdidBlock) {
  auto bad_header = edid_with(0, 0xFC, "Name");
  bad_header[1] = 0x00;
  auto control_bytes = edid_with(2, 0xFC, "A\tB");
  auto truncated = edid_with(0, 0xFC, "X");
  truncated.resize(100);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> edid;
    std::u16string expected;
  };
  const Case cases[] = {
      {"name in the first slot", edid_with(0, 0xFC, "LG ULTRAFINE"), u"LG ULTRAFINE"},
      {"13 characters, no line feed", edid_with(2, 0xFC, "ABCDEFGHIJKLM"), u"ABCDEFGHIJKLM"},
      {"trailing blanks before the line feed", edid_with(1, 0xFC, "Panel   "), u"Panel"},
      {"serial-number descriptor only", edid_with(0, 0xFF, "123456"), u""},
      {"not an EDID header", bad_header, u""},
      {"truncated block", truncated, u""},
      {"no block", {}, u""},
      {"control byte", control_bytes, u"A?B"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(edid_monitor_name(c.edid), c.expected);
  }
}

}  // namespace
}  // namespace quorvex::platform::host
