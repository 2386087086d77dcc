// Platform failures as values: the 32-bit status code the operating system
// returned plus the system's message for it.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace quorvex::platform {

// Status codes the program meets, named once. The host stand-in and the fake
// use the same codes as Windows so that error texts agree everywhere.
namespace status {
inline constexpr std::uint32_t ok = 0x00000000;              // S_OK
inline constexpr std::uint32_t s_false = 0x00000001;         // S_FALSE (RoInitialize: already initialised)
inline constexpr std::uint32_t e_notimpl = 0x80004001;       // E_NOTIMPL
inline constexpr std::uint32_t e_nointerface = 0x80004002;   // E_NOINTERFACE
inline constexpr std::uint32_t e_pointer = 0x80004003;       // E_POINTER
inline constexpr std::uint32_t e_abort = 0x80004004;         // E_ABORT
inline constexpr std::uint32_t e_fail = 0x80004005;          // E_FAIL
inline constexpr std::uint32_t e_unexpected = 0x8000FFFF;    // E_UNEXPECTED
inline constexpr std::uint32_t e_accessdenied = 0x80070005;  // E_ACCESSDENIED
inline constexpr std::uint32_t e_handle = 0x80070006;        // E_HANDLE
inline constexpr std::uint32_t e_outofmemory = 0x8007000E;   // E_OUTOFMEMORY
inline constexpr std::uint32_t e_invalidarg = 0x80070057;    // E_INVALIDARG
inline constexpr std::uint32_t rpc_e_changed_mode = 0x80010106;
inline constexpr std::uint32_t co_e_notinitialized = 0x800401F0;
inline constexpr std::uint32_t dxgi_error_unsupported = 0x887A0004;
// Reasons GetDeviceRemovedReason gives for a device that is gone.
inline constexpr std::uint32_t dxgi_error_device_removed = 0x887A0005;
inline constexpr std::uint32_t dxgi_error_device_hung = 0x887A0006;
inline constexpr std::uint32_t dxgi_error_device_reset = 0x887A0007;
inline constexpr std::uint32_t mf_e_transform_need_more_input = 0xC00D6D72;
inline constexpr std::uint32_t mf_e_transform_stream_change = 0xC00D6D61;
inline constexpr std::uint32_t mf_e_transform_type_not_set = 0xC00D6D60;
inline constexpr std::uint32_t mf_e_notaccepting = 0xC00D36B5;
inline constexpr std::uint32_t mf_e_no_events_available = 0xC00D3E80;
inline constexpr std::uint32_t mf_e_shutdown = 0xC00D3E85;
inline constexpr std::uint32_t mf_e_attributenotfound = 0xC00D36E6;
inline constexpr std::uint32_t mf_e_invalidrequest = 0xC00D36B2;
inline constexpr std::uint32_t mf_e_invalidmediatype = 0xC00D36B4;
inline constexpr std::uint32_t mf_e_transform_async_locked = 0xC00D6D77;
inline constexpr std::uint32_t rpc_e_wrong_thread = 0x8001010E;
// Win32 last-error values (GetLastError), reported as they are.
inline constexpr std::uint32_t error_invalid_window_handle = 1400;
inline constexpr std::uint32_t error_invalid_monitor_handle = 1461;
inline constexpr std::uint32_t error_invalid_parameter = 87;
inline constexpr std::uint32_t error_access_denied = 5;
inline constexpr std::uint32_t error_not_found = 1168;
// The MMRESULT of timeBeginPeriod and timeEndPeriod for a period out of range.
inline constexpr std::uint32_t timerr_nocando = 97;

// A status is a failure when its top bit is set (HRESULT rule). Win32
// last-error values are always failures when reported as errors.
[[nodiscard]] constexpr bool failed(std::uint32_t code) { return (code & 0x80000000u) != 0; }
}  // namespace status

class Error {
 public:
  Error() = default;
  Error(std::uint32_t code, std::string system_message)
      : code_(code), system_message_(std::move(system_message)) {}

  [[nodiscard]] std::uint32_t code() const { return code_; }
  [[nodiscard]] const std::string& system_message() const { return system_message_; }

  // "{system message} (0x8007000E)", or "(0x8007000E)" when the system has no
  // message for the code.
  [[nodiscard]] std::string text() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  std::uint32_t code_ = status::e_fail;
  std::string system_message_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

// The installed platform's message for a code (see Platform::describe_status).
[[nodiscard]] Error error_from_status(std::uint32_t code);
[[nodiscard]] inline std::unexpected<Error> fail(std::uint32_t code) {
  return std::unexpected(error_from_status(code));
}

// Fixed English messages for the codes above, the same words Windows uses.
// The host stand-in and the fake describe codes with it; Windows asks the
// system instead. Empty for codes it does not know.
[[nodiscard]] std::string standard_status_message(std::uint32_t code);

}  // namespace quorvex::platform
