#pragma once

#include <cstdint>
#include <memory>

#include "core/video/pixel_buffer.h"

struct SwsContext;

namespace quorvanta::x11 {

// A 32-bit image as X delivers it for depth 24/32 on little-endian machines: B, G, R, X bytes.
struct BgrxImage {
  std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per row
};

// Blends a cursor of premultiplied ARGB pixels (as XFixes gives them) into `image` with its
// top-left corner at (`left`, `top`) in image coordinates; parts outside the image are clipped.
void drawCursor(const BgrxImage& image, const std::uint32_t* argb, int width, int height, int left, int top);

// Scales BGRX images to NV12 frames of a fixed size: BT.709 coefficients, video range (16-235 luma,
// 16-240 chroma), area averaging when shrinking. Not thread-safe; one per stream.
class FrameConverter {
 public:
  FrameConverter();
  ~FrameConverter();
  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;

  // A new frame of `width` × `height` (both even). Throws std::runtime_error when the scaler
  // cannot be set up for these sizes.
  PixelBufferRef convert(const BgrxImage& source, int width, int height);

 private:
  struct SwsDeleter {
    void operator()(SwsContext* context) const noexcept;
  };
  std::unique_ptr<SwsContext, SwsDeleter> context_;
  int sourceWidth_ = 0;
  int sourceHeight_ = 0;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace quorvanta::x11
