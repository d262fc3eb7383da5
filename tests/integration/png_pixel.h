#pragma once

#include <filesystem>
#include <optional>

namespace quorvanta::test {

struct Rgb {
  int red = 0;
  int green = 0;
  int blue = 0;
};

// The pixel at (x, y) of an RGB PNG file, or nothing when it cannot be read.
std::optional<Rgb> pngPixel(const std::filesystem::path& file, int x, int y);

}  // namespace quorvanta::test
