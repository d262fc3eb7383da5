#include "viewer/session_rules.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace quorvanta::viewer {

std::int64_t streamWidthFor(double devicePixels) {
  if (!std::isfinite(devicePixels)) return kMinStreamWidth;
  const double clamped = std::clamp(devicePixels, double(kMinStreamWidth), double(kMaxStreamWidth));
  return static_cast<std::int64_t>(std::lround(clamped));
}

bool widthChangeIsSignificant(std::int64_t current, std::int64_t proposed) {
  return std::llabs(proposed - current) * 10 > current;
}

std::chrono::milliseconds reconnectDelay(int attempt) {
  if (attempt <= 1) return std::chrono::seconds(1);
  if (attempt >= 5) return std::chrono::seconds(15);
  return std::chrono::seconds(1 << (attempt - 1));
}

}  // namespace quorvanta::viewer
