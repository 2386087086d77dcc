#include <pthread.h>

#include "app/worker_thread.h"

namespace quorvex::app {

void set_current_thread_name(const std::string& name) {
  // Linux keeps 15 bytes of a thread name and refuses longer ones, so
  // "media-foundation-output" shows as its first 15 characters.
  constexpr std::size_t max_name_bytes = 15;
  const std::string shown = name.substr(0, max_name_bytes);
  static_cast<void>(pthread_setname_np(pthread_self(), shown.c_str()));
}

}  // namespace quorvex::app
