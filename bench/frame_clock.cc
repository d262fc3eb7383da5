#include "bench/frame_clock.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <array>
#include <ctime>

namespace quorvanta::bench {
namespace {

// The layout drawn by quorvanta-demo-scene --clock, in blocks of width / 80 pixels: one row three
// blocks from the top and one from the left, of the marker 1101, 48 clock bits (most significant
// first) and an 8-bit check (the sum of the six clock bytes, exclusive-or 0xA5).
constexpr int kBlocksPerWidth = kFrameClockBlocksPerWidth;
constexpr int kMarkerBits = 4;
constexpr int kValueBits = 48;
constexpr int kCheckBits = 8;
constexpr std::array<bool, kMarkerBits> kMarker{true, true, false, true};

// The mean luma of the middle half of one block.
double blockLuma(const AVFrame& frame, double blockSize, int column, int row) {
  const double centreX = (column + 0.5) * blockSize;
  const double centreY = (row + 0.5) * blockSize;
  const int half = std::max(1, static_cast<int>(blockSize / 4));
  const int left = std::max(0, static_cast<int>(centreX) - half);
  const int top = std::max(0, static_cast<int>(centreY) - half);
  const int right = std::min(frame.width, static_cast<int>(centreX) + half);
  const int bottom = std::min(frame.height, static_cast<int>(centreY) + half);
  std::int64_t sum = 0;
  std::int64_t count = 0;
  for (int y = top; y < bottom; ++y) {
    const std::uint8_t* line = frame.data[0] + static_cast<std::ptrdiff_t>(y) * frame.linesize[0];
    for (int x = left; x < right; ++x)
      sum += line[x];
    count += right - left;
  }
  return count > 0 ? static_cast<double>(sum) / static_cast<double>(count) : 0;
}

}  // namespace

std::uint64_t monotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000U +
         static_cast<std::uint64_t>(now.tv_nsec) / 1'000U;
}

// The clock drawn into `frame`, or nothing when the row cannot be read or fails its check.
std::optional<std::uint64_t> readFrameClock(const AVFrame& frame) {
  const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  if (format == nullptr || (format->flags & AV_PIX_FMT_FLAG_RGB) != 0 || format->comp[0].depth != 8 ||
      format->comp[0].step != 1 || frame.data[0] == nullptr)
    return std::nullopt;
  const double blockSize = static_cast<double>(frame.width) / kBlocksPerWidth;
  return decodeFrameClock([&](int index) { return blockLuma(frame, blockSize, 1 + index, 3) >= 128.0; });
}

std::optional<std::uint64_t> decodeFrameClock(const std::function<bool(int)>& white) {
  for (int index = 0; index < kMarkerBits; ++index)
    if (white(index) != kMarker[static_cast<std::size_t>(index)]) return std::nullopt;
  std::uint64_t value = 0;
  for (int index = 0; index < kValueBits; ++index)
    value = value << 1 | (white(kMarkerBits + index) ? 1U : 0U);
  unsigned check = 0;
  for (int index = 0; index < kCheckBits; ++index)
    check = check << 1 | (white(kMarkerBits + kValueBits + index) ? 1U : 0U);
  unsigned expected = 0;
  for (int byte = 0; byte < kValueBits / 8; ++byte)
    expected += static_cast<unsigned>(value >> (8 * byte)) & 0xFFU;
  if (((expected ^ 0xA5U) & 0xFFU) != check) return std::nullopt;
  return value;
}

}  // namespace quorvanta::bench
