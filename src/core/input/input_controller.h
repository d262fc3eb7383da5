#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/input/input_event_sink.h"
#include "core/protocol/control_message.h"
#include "core/util/monotonic_clock.h"

namespace quorvanta {

// Turns the client's "input" messages into synthetic pointer, wheel and keyboard events on the
// display being streamed. It maps normalised positions onto that display, counts double and
// triple clicks, remembers the keys and buttons it holds down so that releaseAll() can let go of
// them, and acts on at most 500 messages a second (releases always pass).
//
// Not thread-safe: handle() and releaseAll() run on one thread, one at a time.
class InputController {
 public:
  // Whether input may be injected now; asked before every message.
  using Permission = std::function<bool()>;
  // A display's bounds in global display coordinates.
  using DisplayBounds = std::function<DisplayRect(DisplayID)>;

  static constexpr int kRateLimit = 500;         // messages acted on per window
  static constexpr double kRateWindow = 1.0;     // seconds
  static constexpr double kClickInterval = 0.5;  // seconds between presses of one series
  static constexpr double kClickDistance = 8.0;  // points between presses of one series
  static constexpr std::int64_t kMaxClickCount = 3;
  static constexpr std::int32_t kMaxScroll = 2000;    // pixels per message, either way
  static constexpr std::size_t kMaxTextUnits = 1024;  // UTF-16 code units per message
  static constexpr std::size_t kTextChunkUnits = 20;  // UTF-16 code units per typed chunk

  InputController(Permission permission, DisplayBounds displayBounds, std::shared_ptr<InputEventSink> sink,
                  Clock clock = monotonicSeconds);

  // Processes one "input" message. Never fails; messages that cannot be acted on are ignored.
  void handle(const ControlMessage& message);

  // Releases every key and button still held, then forgets them.
  void releaseAll();

  // The display that pointer positions refer to.
  DisplayID displayID() const { return displayID_; }
  void setDisplayID(DisplayID display) { displayID_ = display; }

 private:
  void move(std::uint64_t flags);
  void button(const ControlMessage& message, std::uint64_t flags, double now);
  void scroll(const ControlMessage& message);
  void key(const ControlMessage& message, std::uint64_t flags);
  void text(const ControlMessage& message);

  Permission permission_;
  DisplayBounds displayBounds_;
  std::shared_ptr<InputEventSink> sink_;
  Clock clock_;

  DisplayID displayID_ = 0;
  std::set<std::uint16_t> heldKeys_;
  std::set<MouseButton> heldButtons_;
  InputPoint point_;
  int eventCount_ = 0;
  double rateWindow_;
  double lastClickTime_;
  InputPoint lastClickPoint_;
  std::int64_t clickCount_ = 1;
};

// Cuts `text` (UTF-8) into pieces of at most `maxUnits` UTF-16 code units without splitting a
// Unicode scalar. Returns nothing when `text` is not valid UTF-8.
std::optional<std::vector<std::string>> splitUtf16Chunks(std::string_view text, std::size_t maxUnits);

}  // namespace quorvanta
