// The program's top level: picks the mode from the command line and runs it.
//
// Thread contract: main thread only.
#pragma once

#include <functional>
#include <span>
#include <string>

#include "app/cli/usage.h"
#include "app/config.h"
#include "app/error.h"

namespace quorvex::app {

// The three things the program can do. main wires the built-in ones; tests
// substitute their own to observe which mode ran.
struct Modes {
  ListSources list_sources;
  std::function<Result<void>()> probe;
  std::function<Result<void>(Config)> capture_session;
  PrintText help = write_usage;
  PrintText version = write_version;
};

// The modes this build provides.
[[nodiscard]] Modes built_in_modes();

// "--preflight" or "--request-permission" as the only argument runs the
// probe; anything else is parsed, which may list the sources or print the
// usage or the version, and otherwise starts a capture session with the
// resulting Config.
[[nodiscard]] Result<void> run(std::span<const std::string> args_after_program_name, Modes& modes);

}  // namespace quorvex::app
