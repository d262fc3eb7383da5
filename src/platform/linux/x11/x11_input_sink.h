#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/input/input_event_sink.h"
#include "platform/linux/x11/xcb_handles.h"

namespace quorvanta::x11 {

// Whether the X display `display` (as in $DISPLAY; empty: $DISPLAY itself) can be reached and
// offers the XTEST extension, without which no input can be injected. Each call opens a
// connection, so callers that ask often keep the answer: the extension does not come and go.
bool xtestAvailable(const std::string& display = {});

// Synthetic input on an X11 display through XTEST fake input.
//
// - Pointer positions are root-window coordinates; the left button is button 1, the right 3.
// - Key codes name positions on the client's ANSI keyboard and become the X keycode of the same
//   physical key (see x11_keymap.h); the active layout picks the character.
// - Modifier flags are applied by pressing or releasing shift, control and alt keys around a key
//   or button press, and put back afterwards. Command acts as control, option as alt. Releases
//   and pointer moves leave the modifiers as they are: X gives them no meaning of their own. A
//   modifier held on a physical keyboard may not yield to a release from here and then stays in
//   effect.
// - Text is typed character by character with whatever key (and shift) produces each
//   character's keysym. Characters the layout lacks are bound to spare keycodes for the time
//   being (see restoreKeymap()).
// - Pixel scroll amounts become wheel clicks, one per kScrollPixelsPerClick pixels; the rest is
//   carried over to the next scroll in the same direction, so slow scrolling still moves.
// - X works out double clicks from the timing of the presses, so the click count of a button
//   event has nowhere to go and is not used.
//
// Not thread-safe: call from one thread at a time.
class X11InputSink final : public InputEventSink {
 public:
  static constexpr int kScrollPixelsPerClick = 10;

  // Throws std::runtime_error when the display cannot be reached or lacks XTEST.
  explicit X11InputSink(const std::string& display = {});
  // Restores the keymap.
  ~X11InputSink() override;
  X11InputSink(const X11InputSink&) = delete;
  X11InputSink& operator=(const X11InputSink&) = delete;

  void emit(const InputEvent& event) override;

  // Gives back the spare keycodes bound to characters that the layout lacks. Applications look
  // up a key's keysym some time after the key event, when they get to it, so a binding is kept
  // until this is called, until the sink goes away, until the next non-text event that comes at
  // least kBindingLifetime seconds after the last text, or until its keycode is needed for
  // another character.
  void restoreKeymap();
  static constexpr double kBindingLifetime = 2.0;

 private:
  // The keys that make up each modifier the client can ask for.
  struct ModifierKeys {
    std::vector<xcb_keycode_t> shift, control, alt;
  };
  // Modifier keys pressed and released to apply some flags, to be undone afterwards.
  struct ModifierChange {
    std::vector<xcb_keycode_t> pressed, released;
  };
  struct KeyboardMapping {
    xcb_keycode_t first = 0;
    std::uint8_t perKeycode = 0;
    std::vector<xcb_keysym_t> keysyms;
  };

  void moveTo(const InputPoint& point);
  void button(const MouseButtonEvent& event);
  void scroll(const ScrollEvent& event);
  void key(const KeyEvent& event);
  void text(const TextEvent& event);
  void typeKeysym(xcb_keysym_t keysym, const KeyboardMapping& mapping);
  xcb_keycode_t bindSpareKeycode(xcb_keysym_t keysym, const KeyboardMapping& mapping);

  void fake(std::uint8_t type, std::uint8_t detail);
  void clickWheel(std::uint8_t button, int times);
  ModifierChange applyModifiers(std::uint64_t flags);
  void undo(const ModifierChange& change);
  ModifierKeys readModifierKeys();
  KeyboardMapping readKeyboardMapping();
  void setKeysym(xcb_keycode_t keycode, xcb_keysym_t keysym, std::uint8_t perKeycode);
  void discardEvents();

  Connection connection_;
  ModifierKeys modifiers_;
  std::map<xcb_keysym_t, xcb_keycode_t> bindings_;
  std::deque<xcb_keycode_t> bindingOrder_;  // oldest first
  std::uint8_t bindingWidth_ = 0;           // keysyms per keycode when the bindings were made
  double lastText_ = 0;
  int scrollRestVertical_ = 0;
  int scrollRestHorizontal_ = 0;
};

// Display bounds in root-window coordinates from RandR: the area of the CRTC that shows the
// output whose XID is the display ID, or the whole root window for an unknown display.
class X11DisplayBounds {
 public:
  // Throws std::runtime_error when the display cannot be reached.
  explicit X11DisplayBounds(const std::string& display = {});

  DisplayRect bounds(DisplayID display);

 private:
  Connection connection_;
};

}  // namespace quorvanta::x11
