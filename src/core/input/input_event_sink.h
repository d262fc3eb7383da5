#pragma once

// The platform side of input injection: the records the input controller produces and the one
// operation that posts them.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace quorvanta {

// A display as the capture and input code name it (the platform's own identifier).
using DisplayID = std::uint32_t;

// A point in global display coordinates: origin at the top-left of the desktop, y grows down.
struct InputPoint {
  double x = 0;
  double y = 0;

  bool operator==(const InputPoint&) const = default;
};

// A display's area in global display coordinates.
struct DisplayRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const DisplayRect&) const = default;
};

// Modifier flags as the client sends them (the bits of its platform's event flags).
namespace modifier_flags {
inline constexpr std::uint64_t kShift = 0x20000;
inline constexpr std::uint64_t kControl = 0x40000;
inline constexpr std::uint64_t kOption = 0x80000;
inline constexpr std::uint64_t kCommand = 0x100000;
inline constexpr std::uint64_t kMask = kShift | kControl | kOption | kCommand;
}  // namespace modifier_flags

enum class MouseButton { left, right };

// The pointer moves to `point`; `dragging` names the held button when it is a drag.
struct MouseMoveEvent {
  InputPoint point;
  std::optional<MouseButton> dragging;
  std::uint64_t flags = 0;

  bool operator==(const MouseMoveEvent&) const = default;
};

// A button goes down or up at `point`. `clickCount` is the position in a series of quick
// clicks (1 to 3); 0 when the event carries no click state (releases of held buttons).
struct MouseButtonEvent {
  MouseButton button = MouseButton::left;
  bool down = false;
  std::int64_t clickCount = 0;
  InputPoint point;
  std::uint64_t flags = 0;

  bool operator==(const MouseButtonEvent&) const = default;
};

// Scroll by whole pixels; positive `vertical` scrolls up, positive `horizontal` scrolls left.
struct ScrollEvent {
  std::int32_t vertical = 0;
  std::int32_t horizontal = 0;

  bool operator==(const ScrollEvent&) const = default;
};

// A key goes down or up. `keyCode` names a key position of the client's ANSI keyboard (the
// client platform's virtual key codes, 0 to 127).
struct KeyEvent {
  std::uint16_t keyCode = 0;
  bool down = false;
  std::uint64_t flags = 0;

  bool operator==(const KeyEvent&) const = default;
};

// Text to type as Unicode characters, whatever the keyboard layout; at most 20 UTF-16 units.
struct TextEvent {
  std::string text;  // UTF-8

  bool operator==(const TextEvent&) const = default;
};

using InputEvent = std::variant<MouseMoveEvent, MouseButtonEvent, ScrollEvent, KeyEvent, TextEvent>;

// Where synthetic input goes. Called on the thread that drives the input controller.
class InputEventSink {
 public:
  virtual ~InputEventSink() = default;

  // Posts one event. Events the platform cannot produce are dropped silently.
  virtual void emit(const InputEvent& event) = 0;
};

}  // namespace quorvanta
