#include "platform/linux/x11/frame_converter.h"

#include <gtest/gtest.h>

#include <cstdint>
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
}

}  // namespace
}  // namespace quorvanta::x11
