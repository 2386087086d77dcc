// The source catalogue with arbitrary names, titles, ids and sizes. The
// document must be exactly what an independent JSON library writes for the
// same lists (compact, keys in order, ill-formed UTF-8 replaced by U+FFFD
// per maximal subpart), must parse back, and must give back every
// well-formed string unchanged. Display labels are trimmed names or the
// numbered fallback.
//
// Input: records separated by 0x1E, fields by 0x1F. A record starting with
// "w" is a window (id, app, title, optional thumbnail); any other a display
// (id, name, width, height). Numbers are decimal digits; anything else in
// them is skipped, overflow wraps.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "check.h"
#include "sender/text.h"
#include "sender/window_share.h"

namespace {

using nlohmann::json;
using quorvex::sender::SourceDisplay;
using quorvex::sender::SourceWindow;
namespace text = quorvex::sender::text;

std::vector<std::string_view> split(std::string_view input, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = input.find(separator, start);
    parts.push_back(input.substr(start, at == std::string_view::npos ? at : at - start));
    if (at == std::string_view::npos) {
      return parts;
    }
    start = at + 1;
  }
}

std::uint64_t number(std::string_view digits) {
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
  }
  return value;
}

std::string_view field(const std::vector<std::string_view>& fields, std::size_t i) {
  return i < fields.size() ? fields[i] : std::string_view();
}

void check_display_label(std::string_view name, std::uint64_t index) {
  const std::string label = quorvex::sender::display_label(name, index);
  const std::string_view trimmed = text::trim_white_space(name);
  if (trimmed.empty()) {
    QVX_FUZZ_CHECK(label == "\xC3\x89" "cran " + std::to_string(index + 1));
  } else {
    QVX_FUZZ_CHECK(label == trimmed);
    QVX_FUZZ_CHECK(text::trim_white_space(label) == label);
  }
  QVX_FUZZ_CHECK(quorvex::sender::display_label(std::nullopt, index) ==
                 "\xC3\x89" "cran " + std::to_string(index + 1));
}

// The string as the document must carry it.
void check_string(const json& parsed, std::string_view original) {
  QVX_FUZZ_CHECK(parsed.is_string());
  const auto& value = parsed.get_ref<const std::string&>();
  QVX_FUZZ_CHECK(text::is_valid_utf8(value));
  if (text::is_valid_utf8(original)) {
    QVX_FUZZ_CHECK(value == original);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<SourceDisplay> displays;
  std::vector<SourceWindow> windows;
  json expected_displays = json::array();
  json expected_windows = json::array();
  for (const std::string_view record : split(quorvex::fuzz::as_text(data, size), '\x1E')) {
    const std::vector<std::string_view> fields = split(record, '\x1F');
    if (field(fields, 0) == "w") {
      SourceWindow w{number(field(fields, 1)), std::string(field(fields, 2)), std::string(field(fields, 3)),
                     std::nullopt};
      if (fields.size() > 4) {
        w.thumbnail = std::string(fields[4]);
      }
      expected_windows.push_back(json{{"app", w.app},
                                      {"id", w.id},
                                      {"thumbnail", w.thumbnail ? json(*w.thumbnail) : json(nullptr)},
                                      {"title", w.title}});
      windows.push_back(std::move(w));
    } else {
      SourceDisplay d{number(field(fields, 1)), std::string(field(fields, 2)),
                      static_cast<std::uint32_t>(number(field(fields, 3))),
                      static_cast<std::uint32_t>(number(field(fields, 4)))};
      check_display_label(d.name, displays.size());
      expected_displays.push_back(json{{"height", d.height}, {"id", d.id}, {"name", d.name}, {"width", d.width}});
      displays.push_back(std::move(d));
    }
  }

  const std::string document = quorvex::sender::sources_json(displays, windows);

  // nlohmann's objects keep their members sorted by key and its dump writes
  // the escapes this format prescribes, so its text is the oracle.
  const json expected = {{"displays", expected_displays}, {"windows", expected_windows}};
  QVX_FUZZ_CHECK(document == expected.dump(-1, ' ', false, json::error_handler_t::replace));

  const json parsed = json::parse(document, nullptr, /*allow_exceptions=*/false);
  QVX_FUZZ_CHECK(!parsed.is_discarded());
  QVX_FUZZ_CHECK(parsed["displays"].size() == displays.size() && parsed["windows"].size() == windows.size());
  for (std::size_t i = 0; i < displays.size(); ++i) {
    check_string(parsed["displays"][i]["name"], displays[i].name);
    QVX_FUZZ_CHECK(parsed["displays"][i]["id"].get<std::uint64_t>() == displays[i].id);
  }
  for (std::size_t i = 0; i < windows.size(); ++i) {
    check_string(parsed["windows"][i]["app"], windows[i].app);
    check_string(parsed["windows"][i]["title"], windows[i].title);
    QVX_FUZZ_CHECK(parsed["windows"][i]["id"].get<std::uint64_t>() == windows[i].id);
    if (windows[i].thumbnail) {
      check_string(parsed["windows"][i]["thumbnail"], *windows[i].thumbnail);
    } else {
      QVX_FUZZ_CHECK(parsed["windows"][i]["thumbnail"].is_null());
    }
  }
  return 0;
}
