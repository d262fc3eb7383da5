#include "tools/control/qr_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace quorvanta::control {
namespace {

// Splits rendered text back into module rows: each character stands for an upper and a lower
// module.
QrModules decode(const std::string& text) {
  QrModules rows;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    std::vector<bool> upper, lower;
    for (std::size_t i = start; i < end;) {
      const std::string glyph = text[i] == ' ' ? " " : text.substr(i, 3);
      i += glyph.size();
      upper.push_back(glyph == "\u2588" || glyph == "\u2580");
      lower.push_back(glyph == "\u2588" || glyph == "\u2584");
      EXPECT_TRUE(glyph == " " || upper.back() || lower.back()) << "unexpected glyph";
    }
    rows.push_back(upper);
    rows.push_back(lower);
    start = end + 1;
  }
  return rows;
}

TEST(QrTextTest, RenderedTextDecodesToTheCodeInsideAQuietZone) {
  const std::string link = "quorvanta://pair?data=eyJ2IjoxLCJob3N0IjoiMTAwLjY0LjEuMiJ9";
  const QrModules modules = qrModules(link);
  const std::size_t size = modules.size();
  ASSERT_GE(size, 21U);
  EXPECT_EQ((size - 17) % 4, 0U) << "a QR code is 17 + 4 × version modules wide";

  // The finder pattern in the top-left corner: a dark 7 × 7 ring around a 3 × 3 dark centre.
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_TRUE(modules[0][i] && modules[6][i] && modules[i][0] && modules[i][6]);
  }
  EXPECT_FALSE(modules[1][1]);
  EXPECT_TRUE(modules[3][3]);

  const std::string text = renderQrText(modules);
  const std::size_t framed = size + 2 * kQrQuietZone;
  EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), (framed + 1) / 2);
  const QrModules decoded = decode(text);
  ASSERT_GE(decoded.size(), framed);
  for (std::size_t y = 0; y < decoded.size(); ++y) {
    ASSERT_EQ(decoded[y].size(), framed) << "row " << y;
    for (std::size_t x = 0; x < framed; ++x) {
      const bool inside =
          y >= kQrQuietZone && y < kQrQuietZone + size && x >= kQrQuietZone && x < kQrQuietZone + size;
      const bool expected = inside && modules[y - kQrQuietZone][x - kQrQuietZone];
      EXPECT_EQ(decoded[y][x], expected) << "module " << x << "," << y;
    }
  }
}

TEST(QrTextTest, LongerTextNeedsALargerCodeAndTooMuchFails) {
  EXPECT_GT(qrModules(std::string(300, 'a')).size(), qrModules("short").size());
  EXPECT_ANY_THROW(qrModules(std::string(5000, 'a')));
}

}  // namespace
}  // namespace quorvanta::control
