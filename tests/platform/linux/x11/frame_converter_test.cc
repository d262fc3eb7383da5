#include "platform/linux/x11/frame_converter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace quorvanta::x11 {
namespace {

struct Image {
  Image(int w, int h, std::uint32_t xrgb)
      : width(w), height(h), pixels(static_cast<std::size_t>(w * h), xrgb) {}
  BgrxImage view() { return {reinterpret_cast<std::uint8_t*>(pixels.data()), width, height, width * 4}; }
  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)] & 0xFFFFFF; }
  int width;
  int height;
  std::vector<std::uint32_t> pixels;  // little-endian: B, G, R, X in memory
};

TEST(DrawCursorTest, BlendsPremultipliedPixelsAndClipsAtTheEdges) {
  Image image(4, 4, 0x00808080);
  // 2 × 2 cursor: opaque red, transparent, half-transparent white (premultiplied), opaque black.
  const std::uint32_t cursor[4] = {0xFFFF0000, 0x00000000, 0x80808080, 0xFF000000};
  drawCursor(image.view(), cursor, 2, 2, 3, 3);  // only the top-left pixel lands in the image
  EXPECT_EQ(image.at(3, 3), 0xFF0000u);
  EXPECT_EQ(image.at(2, 3), 0x808080u);

  Image other(4, 4, 0x00000000);
  drawCursor(other.view(), cursor, 2, 2, -1, -1);  // only the bottom-right pixel lands
  EXPECT_EQ(other.at(0, 0), 0x000000u);
  drawCursor(other.view(), cursor, 2, 2, 0, 0);
  EXPECT_EQ(other.at(0, 0), 0xFF0000u);
  EXPECT_EQ(other.at(1, 0), 0x000000u);
  EXPECT_EQ(other.at(0, 1), 0x808080u);              // 0x80 + 0 × (1 − 0.5)
  drawCursor(other.view(), cursor, 2, 2, 100, 100);  // entirely outside: nothing happens
  Image white(1, 1, 0x00FFFFFF);
  const std::uint32_t halfBlack[1] = {0x80000000};
  drawCursor(white.view(), halfBlack, 1, 1, 0, 0);
  EXPECT_NEAR(static_cast<int>(white.at(0, 0) & 0xFF), 127, 1);
}

// Expected video-range BT.709 values of an RGB colour.
struct Yuv {
  int y, u, v;
};
Yuv bt709(int r, int g, int b) {
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  return {static_cast<int>(16 + y * 219 / 255 + 0.5),
          static_cast<int>(128 + (b - y) / 1.8556 * 224 / 255 + 0.5),
          static_cast<int>(128 + (r - y) / 1.5748 * 224 / 255 + 0.5)};
}

void expectSolid(const PixelBuffer& frame, Yuv expected) {
  for (int y = 0; y < frame.height; ++y) {
    for (int x = 0; x < frame.width; ++x) {
      ASSERT_NEAR(frame.y[static_cast<std::size_t>(y * frame.strideY + x)], expected.y, 2) << x << "," << y;
    }
  }
  for (int y = 0; y < frame.height / 2; ++y) {
    for (int x = 0; x < frame.width / 2; ++x) {
      const auto i = static_cast<std::size_t>(y * frame.strideUV + 2 * x);
      ASSERT_NEAR(frame.uv[i], expected.u, 2) << x << "," << y;
      ASSERT_NEAR(frame.uv[i + 1], expected.v, 2) << x << "," << y;
    }
  }
}

TEST(FrameConverterTest, ProducesVideoRangeNv12OfTheRequestedSize) {
  FrameConverter converter;
  for (const auto& [rgb, r, g, b] :
       std::vector<std::tuple<std::uint32_t, int, int, int>>{{0xFFFFFF, 255, 255, 255},
                                                             {0x000000, 0, 0, 0},
                                                             {0xFF0000, 255, 0, 0},
                                                             {0x00FF00, 0, 255, 0},
                                                             {0x0000FF, 0, 0, 255},
                                                             {0x336699, 0x33, 0x66, 0x99}}) {
    Image image(64, 36, rgb);
    auto frame = converter.convert(image.view(), 32, 18);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width, 32);
    EXPECT_EQ(frame->height, 18);
    EXPECT_GE(frame->strideY, 32);
    EXPECT_EQ(frame->y.size(), static_cast<std::size_t>(frame->strideY * 18));
    EXPECT_EQ(frame->uv.size(), static_cast<std::size_t>(frame->strideUV * 9));
    SCOPED_TRACE(rgb);
    expectSolid(*frame, bt709(r, g, b));
  }
}

}  // namespace
}  // namespace quorvanta::x11
