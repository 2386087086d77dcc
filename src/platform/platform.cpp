#include "platform/platform.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace quorvex::platform {
namespace {

std::atomic<Platform*> installed{nullptr};

// Made once, by whichever thread asks first.
const std::expected<std::unique_ptr<Platform>, std::string>& native() {
  static const auto instance = create_native_platform();
  return instance;
}

}  // namespace

std::expected<void, std::string> open_native() {
  if (installed.load(std::memory_order_acquire) != nullptr) {
    return {};
  }
  if (const auto& made = native(); !made) {
    return std::unexpected(made.error());
  }
  return {};
}

Platform& current() {
  if (Platform* p = installed.load(std::memory_order_acquire)) {
    return *p;
  }
  const auto& made = native();
  if (!made) {
    // open_native, which every mode calls first, has reported why.
    std::abort();
  }
  return **made;
}

ScopedPlatform::ScopedPlatform(Platform& platform)
    : previous_(installed.exchange(&platform, std::memory_order_acq_rel)) {}

ScopedPlatform::~ScopedPlatform() { installed.store(previous_, std::memory_order_release); }

std::string Error::text() const {
  char code[16];
  std::snprintf(code, sizeof code, "(0x%08X)", static_cast<unsigned>(code_));
  if (system_message_.empty()) {
    return code;
  }
  return system_message_ + " " + code;
}

Error error_from_status(std::uint32_t code) { return Error(code, current().describe_status(code)); }

std::string standard_status_message(std::uint32_t code) {
  switch (code) {
    case status::ok: return "The operation completed successfully.";
    case status::e_notimpl: return "Not implemented";
    case status::e_nointerface: return "No such interface supported";
    case status::e_pointer: return "Invalid pointer";
    case status::e_abort: return "Operation aborted";
    case status::e_fail: return "Unspecified error";
    case status::e_unexpected: return "Catastrophic failure";
    case status::e_accessdenied: return "Access is denied.";
    case status::e_handle: return "The handle is invalid.";
    case status::e_outofmemory: return "Not enough memory resources are available to complete this operation.";
    case status::e_invalidarg: return "The parameter is incorrect.";
    case status::rpc_e_changed_mode: return "Cannot change thread mode after it is set.";
    case status::co_e_notinitialized: return "CoInitialize has not been called.";
    case status::dxgi_error_unsupported: return "The specified device interface or feature level is not supported on this system.";
    case status::dxgi_error_device_removed:
      return "The GPU device instance has been suspended. Use GetDeviceRemovedReason to determine the appropriate "
             "action.";
    case status::dxgi_error_device_hung:
      return "The GPU will not respond to more commands, most likely because of an invalid command passed by the "
             "calling application.";
    case status::dxgi_error_device_reset:
      return "The GPU will not respond to more commands, most likely because some other application submitted "
             "invalid commands.";
    case status::mf_e_transform_need_more_input: return "The transform cannot produce output until it gets more input samples.";
    case status::mf_e_transform_stream_change: return "The transform cannot produce output until it gets a new format.";
    case status::mf_e_transform_type_not_set: return "A valid type has not been set for this stream or a stream that it depends on.";
    case status::mf_e_notaccepting: return "The callee is currently not accepting further input.";
    case status::mf_e_no_events_available: return "There are no events available in the queue.";
    case status::mf_e_shutdown: return "The object was shut down.";
    case status::mf_e_attributenotfound: return "The requested attribute was not found.";
    case status::mf_e_invalidrequest: return "The request is invalid in the current state.";
    case status::mf_e_invalidmediatype: return "The data specified for the media type is invalid, inconsistent, or not supported by this object.";
    case status::mf_e_transform_async_locked: return "The transform is locked: set MF_TRANSFORM_ASYNC_UNLOCK before using it.";
    case status::rpc_e_wrong_thread: return "The application called an interface that was marshalled for a different thread.";
    case status::error_access_denied: return "Access is denied.";
    case status::error_invalid_parameter: return "The parameter is incorrect.";
    case status::error_invalid_window_handle: return "Invalid window handle.";
    case status::error_invalid_monitor_handle: return "Invalid monitor handle.";
    case status::error_not_found: return "Element not found.";
    default: return {};
  }
}

}  // namespace quorvex::platform
