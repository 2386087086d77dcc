#include "app/cli/usage.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <variant>

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

// A field's value as the Default column shows it.
std::string shown(const CommandLine& defaults, const OptionField& field) {
  const Config& c = defaults.config;
  return std::visit(
      [&](auto member) -> std::string {
        using Member = decltype(member);
        if constexpr (std::is_same_v<Member, std::uint32_t Config::*>) {
          return std::to_string(c.*member);
        } else if constexpr (std::is_same_v<Member, std::uint32_t CommandLine::*>) {
          return std::to_string(defaults.*member);
        } else if constexpr (std::is_same_v<Member, std::string CommandLine::*>) {
          return defaults.*member;
        } else if constexpr (std::is_same_v<Member, std::chrono::nanoseconds Config::*>) {
          return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(c.*member).count());
        } else if constexpr (std::is_same_v<Member, sender::PacingRule Config::*>) {
          const auto word = std::ranges::find(pacing_words, c.*member, &PacingWord::rule);
          return word == pacing_words.end() ? std::string() : std::string(word->word);
        } else {
          // Flags and absent values have no value to show: the table's
          // checks keep them out of "{0}" and "{1}".
          return {};
        }
      },
      field);
}

std::string default_cell(const OptionRow& row, const CommandLine& defaults) {
  std::string cell;
  const std::string_view text = row.default_cell;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 3) == "{0}" || text.substr(i, 3) == "{1}") {
      cell += shown(defaults, row.options[text[i + 1] == '0' ? 0 : 1].field);
      i += 2;
    } else {
      cell += text[i];
    }
  }
  return cell;
}

}  // namespace

std::vector<UsageOption> usage_options(const CommandLine& defaults) {
  std::vector<UsageOption> rows;
  for (const OptionRow& row : option_rows) {
    UsageOption printed;
    for (const Option& option : row.options) {
      if (!option.name.empty()) {
        printed.names += (printed.names.empty() ? "" : ", ") + std::string(option.name);
      }
    }
    printed.value = (takes_value(row.options[0]) ? "" : "(no value) ") + std::string(row.value);
    printed.default_value = default_cell(row, defaults);
    rows.push_back(std::move(printed));
  }
  return rows;
}

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
  for (const UsageOption& option : usage_options()) {
    text += "  " + option.names + "\n      " + option.value;
    if (!option.default_value.empty()) {
      text += " (default: " + option.default_value + ")";
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
