// The Windows build of qvrx is built without FFmpeg's libraries, so it
// cannot write containers; qvrx --help says so there.
#include "qvrx/mux.h"

namespace quorvex::tools {

bool mux_supported() { return false; }

std::expected<std::unique_ptr<Muxer>, std::string> create_muxer(const std::string&, Container) {
  return std::unexpected(std::string("this build of qvrx cannot write containers"));
}

}  // namespace quorvex::tools
