#include "app/cli/run.h"

#include <functional>
#include <type_traits>
#include <utility>
#include <variant>

namespace quorvex::app {

Result<void> run(std::span<const std::string> args_after_program_name, Modes& modes) {
  const auto args = args_after_program_name;
  if (args.size() == 1 && (args[0] == "--preflight" || args[0] == "--request-permission")) {
    return modes.probe();
  }
  ImmediateOptions immediate{
      .list_sources = std::ref(modes.list_sources), .help = std::ref(modes.help), .version = std::ref(modes.version)};
  auto parsed = parse_arguments(args, immediate);
  if (!parsed) {
    return std::unexpected(std::move(parsed.error()));
  }
  if (!std::holds_alternative<Config>(*parsed)) {
    return {};
  }
  return modes.capture_session(std::get<Config>(std::move(*parsed)));
}

}  // namespace quorvex::app
