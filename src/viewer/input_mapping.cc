#include "viewer/input_mapping.h"

#include <algorithm>

namespace quorvanta::viewer {

Area fitPicture(double videoWidth, double videoHeight, const Area& box) {
  if (videoWidth <= 0 || videoHeight <= 0 || box.width <= 0 || box.height <= 0) return {box.x, box.y, 0, 0};
  const double scale = std::min(box.width / videoWidth, box.height / videoHeight);
  const double width = videoWidth * scale;
  const double height = videoHeight * scale;
  return {box.x + (box.width - width) / 2, box.y + (box.height - height) / 2, width, height};
}

std::optional<NormalisedPoint> normalise(const Area& picture, double x, double y) {
  if (picture.width <= 0 || picture.height <= 0) return std::nullopt;
  return NormalisedPoint{std::clamp((x - picture.x) / picture.width, 0.0, 1.0),
                         std::clamp((y - picture.y) / picture.height, 0.0, 1.0)};
}

std::uint64_t modifierFlags(const ModifierKeys& keys) {
  return (keys.shift ? kFlagShift : 0) | (keys.control ? kFlagControl : 0) | (keys.alt ? kFlagOption : 0);
}

double wheelPixels(int angleEighths) {
  return angleEighths * 50.0 / 120.0;
}

}  // namespace quorvanta::viewer
