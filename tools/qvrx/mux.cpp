#include "qvrx/mux.h"

#include <algorithm>
#include <cctype>

#include "qvrx/system.h"

namespace quorvex::tools {

std::optional<Container> container_for_path(const std::string& path) {
  if (path == standard_stream_path) {
    return Container::matroska;
  }
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find_first_of("/\\", dot) != std::string::npos) {
    return std::nullopt;
  }
  std::string extension = path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == "mp4") {
    return Container::mp4;
  }
  if (extension == "mkv") {
    return Container::matroska;
  }
  return std::nullopt;
}

}  // namespace quorvex::tools
