#include "qvrx/capture_log.h"

#include <charconv>
#include <optional>

namespace quorvex::tools {
namespace {

std::optional<std::int64_t> whole_number(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// The value of `name=` among the line's space-separated fields.
std::optional<std::int64_t> field(std::string_view line, std::string_view name) {
  for (std::size_t at = 0; at < line.size();) {
    std::size_t end = line.find(' ', at);
    if (end == std::string_view::npos) {
      end = line.size();
    }
    const std::string_view word = line.substr(at, end - at);
    if (word.size() > name.size() && word.starts_with(name) && word[name.size()] == '=') {
      return whole_number(word.substr(name.size() + 1));
    }
    at = end + 1;
  }
  return std::nullopt;
}

}  // namespace

CaptureLog parse_capture_log(std::string_view text) {
  constexpr std::string_view latency_prefix = "encode_latency_ms=";
  constexpr std::string_view breakdown_prefix = "latency_breakdown ";
  CaptureLog log;
  std::size_t windows = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::string_view line = text.substr(at, end - at);
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    at = end + 1;
    if (line.starts_with(latency_prefix)) {
      if (const auto ms = whole_number(line.substr(latency_prefix.size()))) {
        log.encode_latencies_ms.push_back(*ms);
      }
    } else if (line.starts_with(breakdown_prefix)) {
      ++windows;
      const auto p50 = field(line, "mailbox_wait_p50_ms");
      const auto p95 = field(line, "mailbox_wait_p95_ms");
      if (p50 && p95) {
        log.mailbox_waits.push_back({windows * latency_window_records - 1, *p50, *p95});
      }
    }
  }
  return log;
}

}  // namespace quorvex::tools
