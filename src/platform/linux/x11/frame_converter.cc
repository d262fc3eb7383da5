#include "platform/linux/x11/frame_converter.h"

#include <algorithm>
#include <stdexcept>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace quorvanta::x11 {

namespace {

// Rows of the output planes start on this boundary, which the scaler's vector code prefers.
constexpr int kRowAlignment = 64;

int alignUp(int value, int alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

std::uint8_t blend(std::uint32_t source, std::uint8_t destination, std::uint32_t alpha) {
  // Premultiplied: result = source + destination × (1 − alpha).
  const std::uint32_t value = source + (destination * (255 - alpha) + 127) / 255;
  return static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255));
}

}  // namespace

void drawCursor(const BgrxImage& image, const std::uint32_t* argb, int width, int height, int left, int top) {
  if (argb == nullptr || image.data == nullptr) return;
  const int x0 = std::max(left, 0);
  const int y0 = std::max(top, 0);
  const int x1 = std::min(left + width, image.width);
  const int y1 = std::min(top + height, image.height);
  for (int y = y0; y < y1; ++y) {
    std::uint8_t* row = image.data + static_cast<std::ptrdiff_t>(y) * image.stride;
    const std::uint32_t* cursorRow = argb + static_cast<std::ptrdiff_t>(y - top) * width;
    for (int x = x0; x < x1; ++x) {
      const std::uint32_t pixel = cursorRow[x - left];
      const std::uint32_t alpha = pixel >> 24;
      if (alpha == 0) continue;
      std::uint8_t* out = row + static_cast<std::ptrdiff_t>(x) * 4;
      out[0] = blend(pixel & 0xFF, out[0], alpha);
      out[1] = blend((pixel >> 8) & 0xFF, out[1], alpha);
      out[2] = blend((pixel >> 16) & 0xFF, out[2], alpha);
    }
  }
}

void FrameConverter::SwsDeleter::operator()(SwsContext* context) const noexcept {
  sws_freeContext(context);
}

FrameConverter::FrameConverter() = default;
FrameConverter::~FrameConverter() = default;

PixelBufferRef FrameConverter::convert(const BgrxImage& source, int width, int height) {
  if (!context_ || source.width != sourceWidth_ || source.height != sourceHeight_ || width != width_ ||
      height != height_) {
    context_.reset(sws_getContext(source.width, source.height, AV_PIX_FMT_BGR0, width, height,
                                  AV_PIX_FMT_NV12, SWS_AREA | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr,
                                  nullptr, nullptr));
    if (!context_) throw std::runtime_error("The captured image cannot be scaled.");
    // Full-range RGB in, video-range BT.709 out.
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(context_.get(), coefficients, 1, coefficients, 0, 0, 1 << 16, 1 << 16);
    sourceWidth_ = source.width;
    sourceHeight_ = source.height;
    width_ = width;
    height_ = height;
  }

  auto frame = std::make_shared<PixelBuffer>();
  frame->width = width;
  frame->height = height;
  frame->strideY = alignUp(width, kRowAlignment);
  frame->strideUV = frame->strideY;
  frame->y.resize(static_cast<std::size_t>(frame->strideY) * static_cast<std::size_t>(height));
  frame->uv.resize(static_cast<std::size_t>(frame->strideUV) * static_cast<std::size_t>(height / 2));

  const std::uint8_t* sourcePlanes[4] = {source.data, nullptr, nullptr, nullptr};
  const int sourceStrides[4] = {source.stride, 0, 0, 0};
  std::uint8_t* planes[4] = {frame->y.data(), frame->uv.data(), nullptr, nullptr};
  const int strides[4] = {frame->strideY, frame->strideUV, 0, 0};
  const int rows = sws_scale(context_.get(), sourcePlanes, sourceStrides, 0, source.height, planes, strides);
  if (rows != height) throw std::runtime_error("The captured image cannot be scaled.");
  return frame;
}

}  // namespace quorvanta::x11
