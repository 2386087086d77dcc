// Pixel loops under the sanitizers. A loop over a 1080p picture makes about
// ten million byte accesses, and ThreadSanitizer or AddressSanitizer checking
// each of them makes one conversion cost a good part of a frame interval:
// an instrumented session then converts a few frames a second. A loop marked
// QVX_PIXEL_LOOP is compiled without those per-access checks, and declares
// each row it reads or writes as one range instead, which the sanitizer
// checks the way it checks a memcpy: every byte of the range for bounds and
// use after free (AddressSanitizer), and the range as one access of its
// thread for races (ThreadSanitizer). Outside the sanitizers both are
// nothing.
//
// The declared range must be exactly what the loop touches, or a fault
// outside it goes unseen.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_THREAD__)
#define QVX_CHECKED_ROWS_TSAN 1
#elif defined(__SANITIZE_ADDRESS__)
#define QVX_CHECKED_ROWS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QVX_CHECKED_ROWS_TSAN 1
#elif __has_feature(address_sanitizer)
#define QVX_CHECKED_ROWS_ASAN 1
#endif
#endif

// The runtimes' own entry points for ranges: what the instrumentation calls
// for accesses of a size it has no fixed-size check for. They report and
// stop like any other access the sanitizer finds at fault.
#if defined(QVX_CHECKED_ROWS_TSAN)
extern "C" void __tsan_read_range(void* address, unsigned long size);
extern "C" void __tsan_write_range(void* address, unsigned long size);
#elif defined(QVX_CHECKED_ROWS_ASAN)
extern "C" void __asan_loadN(std::uintptr_t address, std::uintptr_t size);
extern "C" void __asan_storeN(std::uintptr_t address, std::uintptr_t size);
#endif

#if defined(QVX_CHECKED_ROWS_TSAN) || defined(QVX_CHECKED_ROWS_ASAN)
#define QVX_PIXEL_LOOP __attribute__((no_sanitize("address", "thread")))
#else
#define QVX_PIXEL_LOOP
#endif

namespace quorvex::platform::host::checked_rows {

// The loop is about to read `size` bytes from `row`.
inline void reads(const void* row, std::size_t size) {
#if defined(QVX_CHECKED_ROWS_TSAN)
  __tsan_read_range(const_cast<void*>(row), size);
#elif defined(QVX_CHECKED_ROWS_ASAN)
  __asan_loadN(reinterpret_cast<std::uintptr_t>(row), size);
#else
  (void)row;
  (void)size;
#endif
}

// The loop is about to write `size` bytes to `row`.
inline void writes(void* row, std::size_t size) {
#if defined(QVX_CHECKED_ROWS_TSAN)
  __tsan_write_range(row, size);
#elif defined(QVX_CHECKED_ROWS_ASAN)
  __asan_storeN(reinterpret_cast<std::uintptr_t>(row), size);
#else
  (void)row;
  (void)size;
#endif
}

}  // namespace quorvex::platform::host::checked_rows
