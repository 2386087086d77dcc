// Property checks for the fuzz targets. A broken property prints the
// condition and where it is, then aborts, so libFuzzer keeps the input that
// broke it. Unlike assert, it stays on in optimised builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#define QVX_FUZZ_CHECK(condition)                                                                    \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition);        \
      std::abort();                                                                                \
    }                                                                                              \
  } while (false)

// For the harness's own per-pixel loops: tracing their comparisons would
// cost most of each run and tells libFuzzer nothing about the code under
// test. Not inlined, since the caller's instrumentation would cover the loop
// again.
#define QVX_FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage"), noinline))

namespace quorvex::fuzz {

[[nodiscard]] inline std::span<const std::byte> as_bytes(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const std::byte*>(data), size};
}

[[nodiscard]] inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace quorvex::fuzz
