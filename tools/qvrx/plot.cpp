#include "qvrx/plot.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "qvrx/child_output.h"
#include "qvrx/system.h"

namespace quorvex::tools {
namespace {

// Removes the statistics file however the plot ends.
struct TemporaryFile {
  std::filesystem::path path;
  ~TemporaryFile() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
};

}  // namespace

int plot_stats(const std::string& stats_json, const std::string& title, const std::string& out_png,
               std::ostream& err) {
  const auto script = executable_directory() / plot_script_name;
  std::error_code error;
  if (!std::filesystem::is_regular_file(script, error)) {
    err << "qvrx: cannot find " << plot_script_name << ", which belongs next to the qvrx executable ("
        << script.string() << ")\n";
    return 1;
  }
  const auto directory = std::filesystem::temp_directory_path(error);
  if (error) {
    err << "qvrx: no folder for temporary files: " << error.message() << "\n";
    return 1;
  }
  std::random_device random;
  std::ostringstream name;
  name << "qvrx-stats-" << std::hex << random() << random() << ".json";
  TemporaryFile stats_file{directory / name.str()};
  {
    std::ofstream out(stats_file.path, std::ios::binary | std::ios::trunc);
    out << stats_json;
    out.close();
    if (!out) {
      err << "qvrx: cannot write " << stats_file.path.string() << "\n";
      return 1;
    }
  }
  // The first interpreter that has matplotlib draws; the script's messages
  // come on its standard output and are passed on once the last try is over.
  std::string messages;
  bool found = false;
  for (const std::string& interpreter : python_interpreters()) {
    ChildOutput python({interpreter, script.string(), stats_file.path.string(), out_png, title});
    if (!python.is_open()) {
      continue;
    }
    messages.clear();
    std::vector<std::byte> buffer(4096);
    for (std::size_t got; (got = python.read(buffer)) != 0;) {
      messages.append(reinterpret_cast<const char*>(buffer.data()), got);
    }
    const ChildExit exit = python.close();
    if (exit.not_found) {
      continue;
    }
    found = true;
    if (exit.exited && exit.code == plot_script_no_matplotlib) {
      continue;
    }
    err << messages;
    if (!exit.succeeded()) {
      err << "qvrx: " << plot_script_name << " failed"
          << (exit.exited ? " with exit status " + std::to_string(exit.code) : std::string()) << "\n";
      return 1;
    }
    return 0;
  }
  if (!found) {
    err << "qvrx: plot needs python3 with matplotlib (Debian: python3-matplotlib); python3 was not found\n";
  } else {
    err << messages;
  }
  return 1;
}

}  // namespace quorvex::tools
