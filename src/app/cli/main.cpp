#include <exception>
#include <string>

#include "app/cli/run.h"
#include "app/diagnostics.h"
#include "app/stderr_line.h"
#include "platform/process.h"

namespace {

quorvex::app::Result<void> run_process(int argc, char** argv) {
  using namespace quorvex::app;
  if (auto prepared = quorvex::platform::prepare_standard_streams(); !prepared) {
    return fail(std::move(prepared.error()));
  }
  auto args = quorvex::platform::command_line_arguments(argc, argv);
  if (!args) {
    return fail(std::move(args.error()));
  }
  Modes modes = built_in_modes();
  return run(*args, modes);
}

}  // namespace

int main(int argc, char** argv) {
  std::string message;
  try {
    auto result = run_process(argc, argv);
    if (result) {
      return 0;
    }
    message = std::move(result.error().message);
  } catch (const std::exception& e) {
    // The main thread's abnormal end still leaves one error line and status 1.
    message = e.what();
  } catch (...) {
    message = "unexpected failure";
  }
  quorvex::app::standard_error().write(quorvex::app::diagnostics::error(message));
  return 1;
}
