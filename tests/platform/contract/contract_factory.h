// What a platform implementation supplies to run the contract suites: a
// fresh platform per test, plus the few things the interface itself cannot
// do (put pixels into a texture, read them back, let capture time pass).
//
//   struct Factory {
//     static std::unique_ptr<platform::Platform> create();
//     // Fills a BGRA texture: pixel(x, y) gives {b, g, r, a}.
//     static void write_bgra(platform::Platform&, platform::d3d11::Texture2D&,
//                            const std::function<std::array<std::uint8_t, 4>(int, int)>& pixel);
//     static std::uint8_t luma(platform::Platform&, platform::d3d11::Texture2D&, int x, int y);
//     // NV12 chroma sample (cx, cy) in chroma coordinates: {u, v}.
//     static std::array<std::uint8_t, 2> chroma(platform::Platform&, platform::d3d11::Texture2D&, int cx, int cy);
//     // Lets the capture service produce frames for about `duration`.
//     static void let_capture_run(platform::Platform&, std::chrono::milliseconds duration);
//   };
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/platform.h"
