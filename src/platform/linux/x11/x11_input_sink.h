#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
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
//   and pointer moves leave the modifiers as they are: X gives them no meaning of their own. Only
//   keys this sink holds are released for a flag and pressed again afterwards: X keeps each
//   device's keys apart, so a modifier held on a physical keyboard neither yields to a release
//   from here nor may be left pressed by this device.
// - Keys held through this sink do not auto-repeat (the client sends its own repeats); their
//   repeat setting is put back when the sink lets go of them. Two client keys on one X key (the
//   command and control keys are both the left control key) hold it until both are released.
// - Text is typed character by character with whatever key (and shift) of the first layout
//   group produces each character's keysym; Caps Lock and a locked group are lifted for the
//   text's keys and put back afterwards, so the keyboard's state does not change the text.
//   Characters the layout lacks are bound to spare keycodes, all of a text in one keymap change
//   (see restoreKeymap()).
// - Pixel scroll amounts become wheel clicks, one per kScrollPixelsPerClick pixels, about what
//   GTK, Qt and the browsers scroll for one click; the rest is carried over to the next scroll
//   in the same direction, so slow scrolling still moves.
// - X applications work out double clicks from the timing and distance of the presses
//   themselves, so the presses and releases of a click series all land at the series' first
//   point.
//
// Not thread-safe: call from one thread at a time.
class X11InputSink final : public InputEventSink {
 public:
  static constexpr int kScrollPixelsPerClick = 50;

  // Throws std::runtime_error when the display cannot be reached or lacks XTEST.
  explicit X11InputSink(const std::string& display = {});
  // Releases the keys and buttons this sink still holds and restores the keymap.
  ~X11InputSink() override;
  X11InputSink(const X11InputSink&) = delete;
  X11InputSink& operator=(const X11InputSink&) = delete;

  void emit(const InputEvent& event) override;

  // Releases every key and button held through this sink, modifiers included.
  void releaseAll();

  // Gives back the spare keycodes bound to characters that the layout lacks. Applications look
  // up a key's keysym some time after the key event, when they get to it, so a binding is kept
  // until this is called, until the sink goes away, or until the next non-text event that comes
  // at least kBindingLifetime seconds after the last text. A keycode bound less than that long
  // ago is never bound to another character; a character that finds no keycode is dropped.
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
  // Binds spare keycodes to those of `keysyms` that the first group lacks, in one change.
  void bindMissing(const std::vector<xcb_keysym_t>& keysyms, const KeyboardMapping& mapping);
  std::optional<xcb_keycode_t> findKeycode(xcb_keysym_t keysym, const KeyboardMapping& mapping,
                                           bool& shifted);

  void press(xcb_keycode_t keycode);
  void release(xcb_keycode_t keycode);
  void fake(std::uint8_t type, std::uint8_t detail);
  void clickWheel(std::uint8_t button, int times);
  ModifierChange applyModifiers(std::uint64_t flags);
  void undo(const ModifierChange& change);
  ModifierKeys readModifierKeys();
  KeyboardMapping readKeyboardMapping();
  void setKeysyms(const std::map<xcb_keycode_t, xcb_keysym_t>& rows, const KeyboardMapping& mapping);
  void discardEvents();
  // Lifts Caps Lock and a locked group for typing; what was lifted goes back with restoreLocks().
  void liftLocks();
  void restoreLocks();

  struct Binding {
    xcb_keycode_t keycode = 0;
    double since = 0;
  };
  struct Locks {
    std::uint8_t mods = 0;
    std::uint8_t group = 0;
  };

  Connection connection_;
  bool xkb_ = false;
  ModifierKeys modifiers_;
  std::map<xcb_keysym_t, Binding> bindings_;
  std::deque<xcb_keycode_t> bindingOrder_;  // oldest first
  std::uint8_t bindingWidth_ = 0;           // keysyms per keycode when the bindings were made
  double lastText_ = 0;
  // Keys down through this sink: each X keycode with the client keys that hold it (none for
  // modifiers pressed for a flag), and the auto-repeat setting it had before.
  std::map<xcb_keycode_t, std::set<std::uint16_t>> held_;
  std::map<xcb_keycode_t, bool> repeatBefore_;
  std::set<std::uint8_t> heldButtons_;
  std::optional<InputPoint> seriesPoint_;  // where the current click series began
  std::optional<Locks> lifted_;
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
