#pragma once

#include <cstdint>
#include <optional>

namespace quorvanta::viewer {

// A rectangle in the window's logical pixels.
struct Area {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const Area&) const = default;
};

// The largest area of the video's aspect ratio that fits `box`, centred in it. Empty when either
// size is empty.
Area fitPicture(double videoWidth, double videoHeight, const Area& box);

struct NormalisedPoint {
  double x = 0;
  double y = 0;
};
// A window position as fractions of the displayed picture, 0 to 1 from its left and top edges,
// clamped to the picture. Nothing when the picture is empty.
std::optional<NormalisedPoint> normalise(const Area& picture, double x, double y);

// The modifier flags of "input" messages.
inline constexpr std::uint64_t kFlagShift = 0x20000;
inline constexpr std::uint64_t kFlagControl = 0x40000;
inline constexpr std::uint64_t kFlagOption = 0x80000;
inline constexpr std::uint64_t kFlagCommand = 0x100000;

struct ModifierKeys {
  bool shift = false;
  bool control = false;
  bool alt = false;
};
// Shift, Control and Alt (Option on the host's key positions) as flags.
std::uint64_t modifierFlags(const ModifierKeys& keys);

// A wheel turned by `angleEighths` eighths of a degree (120 for one notch) as a scroll in
// pixels: fifty pixels a notch, about what desktop toolkits scroll for one wheel click and what
// an X11 host turns back into one click.
double wheelPixels(int angleEighths);

}  // namespace quorvanta::viewer
