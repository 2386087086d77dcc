#include "platform/host/randr_monitors.h"

#include <algorithm>
#include <array>

namespace quorvex::platform::host {

namespace {
constexpr std::array<std::uint8_t, 8> edid_header{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr std::size_t edid_base_block_size = 128;
// The four 18-byte descriptors of the base block.
constexpr std::array<std::size_t, 4> descriptor_offsets{54, 72, 90, 108};
constexpr std::size_t descriptor_text_offset = 5;
constexpr std::size_t descriptor_text_size = 13;
constexpr std::uint8_t monitor_name_tag = 0xFC;
}  // namespace

std::u16string edid_monitor_name(std::span<const std::uint8_t> edid) {
  if (edid.size() < edid_base_block_size || !std::equal(edid_header.begin(), edid_header.end(), edid.begin())) {
    return {};
  }
  for (const std::size_t offset : descriptor_offsets) {
    const auto d = edid.subspan(offset, 18);
    // A display descriptor starts with a zero pixel clock and a zero byte.
    if (d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != monitor_name_tag) continue;
    std::u16string name;
    for (std::size_t i = 0; i < descriptor_text_size; ++i) {
      const std::uint8_t c = d[descriptor_text_offset + i];
      if (c == 0x0A) break;  // the text ends at a line feed, padded with blanks after it
      // The descriptor is ASCII; anything else is not text we can vouch for.
      name.push_back(c >= 0x20 && c < 0x7F ? static_cast<char16_t>(c) : u'?');
    }
    while (!name.empty() && name.back() == u' ') name.pop_back();
    return name;
  }
  return {};
}

std::vector<DisplayState> displays_from_randr(std::span<const RandrMonitor> monitors) {
  std::vector<DisplayState> displays;
  bool have_primary = false;
  for (const RandrMonitor& m : monitors) {
    if (m.width == 0 || m.height == 0) continue;
    DisplayState d;
    d.handle = MonitorHandle{m.name_atom};
    d.spec.device_name = u"\\\\.\\DISPLAY" + [](std::size_t n) {
      const std::string digits = std::to_string(n);
      return std::u16string(digits.begin(), digits.end());
    }(displays.size() + 1);
    d.spec.friendly_name = edid_monitor_name(m.edid);
    d.spec.bounds = Rect{m.x, m.y, m.x + m.width, m.y + m.height};
    d.spec.primary = m.primary && !have_primary;
    have_primary = have_primary || d.spec.primary;
    d.source_id = m.name_atom;
    d.target_id = m.name_atom;
    displays.push_back(std::move(d));
  }
  if (!have_primary && !displays.empty()) displays.front().spec.primary = true;
  return displays;
}

}  // namespace quorvex::platform::host
