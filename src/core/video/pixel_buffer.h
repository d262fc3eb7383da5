#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace quorvanta {

// One captured frame in NV12: a full-resolution luma plane followed by interleaved Cb/Cr samples
// at half resolution in both directions. Width and height are even. Frames are shared, never
// copied, between capture, the pipeline and the encoder.
struct PixelBuffer {
  int width = 0;
  int height = 0;
  int strideY = 0;               // bytes per luma row, at least width
  int strideUV = 0;              // bytes per chroma row, at least width
  std::vector<std::uint8_t> y;   // strideY × height
  std::vector<std::uint8_t> uv;  // strideUV × height / 2
};

using PixelBufferRef = std::shared_ptr<const PixelBuffer>;

}  // namespace quorvanta
