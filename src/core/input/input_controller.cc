#include "core/input/input_controller.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace quorvanta {
namespace {

// The scalar that starts at `text[i]` and its length in bytes, or nothing for a malformed or
// overlong sequence, a surrogate or a value past U+10FFFF.
std::optional<std::pair<char32_t, std::size_t>> decodeScalar(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  char32_t scalar = 0;
  char32_t minimum = 0;
  if (lead < 0x80) return std::pair{char32_t{lead}, std::size_t{1}};
  if ((lead & 0xE0) == 0xC0) {
    length = 2, scalar = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, scalar = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, scalar = lead & 0x07u, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - i < length) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    scalar = (scalar << 6) | (next & 0x3Fu);
  }
  if (scalar < minimum || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) return std::nullopt;
  return std::pair{scalar, length};
}

bool isRelease(const ControlMessage& message) {
  return (message.event == "key" || message.event == "button") && message.keyDown.has_value() &&
         !*message.keyDown;
}

bool finite(const std::optional<double>& value) {
  return value && std::isfinite(*value);
}

// Clamped to ±kMaxScroll and truncated toward zero.
std::int32_t scrollPixels(double amount) {
  const double limit = InputController::kMaxScroll;
  return static_cast<std::int32_t>(std::trunc(std::clamp(amount, -limit, limit)));
}

}  // namespace

std::optional<std::vector<std::string>> splitUtf16Chunks(std::string_view text, std::size_t maxUnits) {
  std::vector<std::string> chunks;
  std::string current;
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto scalar = decodeScalar(text, i);
    if (!scalar) return std::nullopt;
    const std::size_t scalarUnits = scalar->first >= 0x10000 ? 2 : 1;
    if (units + scalarUnits > maxUnits && !current.empty()) {
      chunks.push_back(std::move(current));
      current.clear();
      units = 0;
    }
    current.append(text.substr(i, scalar->second));
    units += scalarUnits;
    i += scalar->second;
  }
  if (!current.empty()) chunks.push_back(std::move(current));
  return chunks;
}

InputController::InputController(Permission permission, DisplayBounds displayBounds,
                                 std::shared_ptr<InputEventSink> sink, Clock clock)
    : permission_(std::move(permission)),
      displayBounds_(std::move(displayBounds)),
      sink_(std::move(sink)),
      clock_(std::move(clock)),
      rateWindow_(clock_()),
      lastClickTime_(-std::numeric_limits<double>::infinity()) {}

void InputController::handle(const ControlMessage& message) {
  if (!permission_()) return;

  const double now = clock_();
  if (now - rateWindow_ >= kRateWindow) {
    rateWindow_ = now;
    eventCount_ = 0;
  }
  ++eventCount_;
  if (eventCount_ > kRateLimit && !isRelease(message)) return;

  const DisplayRect bounds = displayBounds_(displayID_);
  if (message.event != "scroll" && finite(message.x) && finite(message.y)) {
    // The far edges stay on the display: its last pixel, not the first one of its neighbour.
    const auto along = [](double fraction, double origin, double size) {
      return origin + std::min(std::clamp(fraction, 0.0, 1.0) * size, std::max(size - 1, 0.0));
    };
    point_ = {along(*message.x, bounds.x, bounds.width), along(*message.y, bounds.y, bounds.height)};
  }

  const std::uint64_t flags = message.modifiers ? (*message.modifiers & modifier_flags::kMask) : 0;
  if (!message.event) return;
  const std::string& event = *message.event;
  if (event == "move") {
    move(flags);
  } else if (event == "button") {
    button(message, flags, now);
  } else if (event == "scroll") {
    scroll(message);
  } else if (event == "key") {
    key(message, flags);
  } else if (event == "text") {
    text(message);
  }
}

void InputController::releaseAll() {
  for (const std::uint16_t code : heldKeys_)
    sink_->emit(KeyEvent{code, false, 0});
  for (const MouseButton held : heldButtons_)
    sink_->emit(MouseButtonEvent{held, false, 0, point_, 0});
  heldKeys_.clear();
  heldButtons_.clear();
}

void InputController::move(std::uint64_t flags) {
  std::optional<MouseButton> dragging;
  if (heldButtons_.contains(MouseButton::left)) {
    dragging = MouseButton::left;
  } else if (heldButtons_.contains(MouseButton::right)) {
    dragging = MouseButton::right;
  }
  sink_->emit(MouseMoveEvent{point_, dragging, flags});
}

void InputController::button(const ControlMessage& message, std::uint64_t flags, double now) {
  const MouseButton which = message.button == 1 ? MouseButton::right : MouseButton::left;
  const bool down = message.keyDown.value_or(false);
  if (down) {
    if (which == MouseButton::left) {
      const double distance = std::hypot(point_.x - lastClickPoint_.x, point_.y - lastClickPoint_.y);
      const bool series = now - lastClickTime_ < kClickInterval && distance < kClickDistance;
      clickCount_ = series ? std::min(clickCount_ + 1, kMaxClickCount) : 1;
      lastClickTime_ = now;
      lastClickPoint_ = point_;
    }
    heldButtons_.insert(which);
  } else {
    heldButtons_.erase(which);
  }
  // The left button's release carries the series' count too, so a double-click's second release
  // still reads as part of a double-click.
  const std::int64_t clicks = which == MouseButton::right ? 1 : clickCount_;
  sink_->emit(MouseButtonEvent{which, down, clicks, point_, flags});
}

void InputController::scroll(const ControlMessage& message) {
  if (!finite(message.x) || !finite(message.y)) return;
  sink_->emit(ScrollEvent{scrollPixels(*message.y), scrollPixels(*message.x)});
}

void InputController::key(const ControlMessage& message, std::uint64_t flags) {
  if (!message.keyCode || *message.keyCode > 127) return;
  const bool down = message.keyDown.value_or(false);
  if (down) {
    heldKeys_.insert(*message.keyCode);
  } else {
    heldKeys_.erase(*message.keyCode);
  }
  sink_->emit(KeyEvent{*message.keyCode, down, flags});
}

void InputController::text(const ControlMessage& message) {
  if (!message.text || message.text->empty()) return;
  const auto chunks = splitUtf16Chunks(*message.text, kTextChunkUnits);
  if (!chunks) return;
  std::size_t units = 0;
  for (std::size_t i = 0; i < message.text->size(); ++i) {
    const auto byte = static_cast<unsigned char>((*message.text)[i]);
    if ((byte & 0xC0) != 0x80) units += (byte & 0xF8) == 0xF0 ? 2 : 1;
  }
  if (units > kMaxTextUnits) return;
  for (const std::string& chunk : *chunks)
    sink_->emit(TextEvent{chunk});
}

}  // namespace quorvanta
