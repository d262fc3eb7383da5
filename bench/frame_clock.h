#pragma once

// Reads the clock that quorvanta-demo-scene --clock draws into every frame back from a decoded
// picture: CLOCK_MONOTONIC in microseconds, as a row of black and white blocks near the top left.

#include <cstdint>
#include <functional>
#include <optional>

extern "C" {
struct AVFrame;
}

namespace quorvanta::bench {

// The clock's bits on the screen: differences of two readings are taken modulo this mask.
inline constexpr std::uint64_t kFrameClockMask = (std::uint64_t{1} << 48) - 1;

// The clock's row is one block high, blocks being kFrameClockBlocksPerWidth to the picture's width.
inline constexpr int kFrameClockBlocksPerWidth = 80;

std::uint64_t monotonicMicroseconds();

// The clock from its row of blocks, `white(i)` saying whether block i after the left margin is
// white; nothing when the marker or the check does not match.
std::optional<std::uint64_t> decodeFrameClock(const std::function<bool(int)>& white);

// The clock drawn into `frame`, or nothing when the row cannot be read or fails its check.
std::optional<std::uint64_t> readFrameClock(const AVFrame& frame);

}  // namespace quorvanta::bench
