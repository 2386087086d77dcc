#include "app/cli/usage.h"

#include <algorithm>
#include <cstdio>

namespace quorvex::app {
namespace {

void pad_to(std::string& line, std::size_t width) {
  if (line.size() < width) {
    line.append(width - line.size(), ' ');
  }
}

Result<void> write_stdout(const std::string& text) {
  const std::size_t written = std::fwrite(text.data(), 1, text.size(), stdout);
  if (written != text.size() || std::fflush(stdout) != 0) {
    return fail("failed to write to standard output");
  }
  return {};
}

}  // namespace

std::string usage_text() {
  std::size_t command_width = 0;
  for (const UsageMode& mode : usage_modes) {
    command_width = std::max(command_width, mode.command.size());
  }
  std::string text = "usage:\n";
  for (const UsageMode& mode : usage_modes) {
    std::string line = "  " + std::string(mode.command);
    pad_to(line, command_width + 5);
    text += line + std::string(mode.effect) + "\n";
  }
  text += "\noptions:\n";
  for (const UsageOption& option : usage_options) {
    text += "  " + std::string(option.names) + "\n      " + std::string(option.value);
    if (!option.default_value.empty()) {
      text += " (default: " + std::string(option.default_value) + ")";
    }
    text += "\n";
  }
  text +=
      "\nA session writes frame records on standard output, one-line diagnostics on standard error,\n"
      "and reads KEYFRAME, PAUSE, RESUME, STOP and CROP {w} {h} lines on standard input. STOP,\n"
      "SIGINT, SIGTERM, a console's Ctrl+C, Ctrl+Break or close, or the parent's end ends it as\n"
      "its duration would.\n";
  return text;
}

std::string version_text() {
  return "quorvex-wgc-encoder " QVX_VERSION " (" QVX_PLATFORM_NAME ", " QVX_PROCESSOR ")\n";
}

Result<void> write_usage() { return write_stdout(usage_text()); }

Result<void> write_version() { return write_stdout(version_text()); }

}  // namespace quorvex::app
