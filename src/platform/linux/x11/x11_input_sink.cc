#include "platform/linux/x11/x11_input_sink.h"

#include <xcb/randr.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "core/util/monotonic_clock.h"
#include "platform/linux/x11/x11_keymap.h"

namespace quorvanta::x11 {
namespace {

constexpr xcb_keycode_t kNoKey = 0;

enum Wheel : std::uint8_t { kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6, kWheelRight = 7 };

bool hasXTest(xcb_connection_t* connection) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_test_id);
  return extension && extension->present;
}

std::int16_t rootCoordinate(double value) {
  return static_cast<std::int16_t>(std::clamp(std::round(value), -32768.0, 32767.0));
}

// Decodes the next scalar of well-formed UTF-8 (the controller checked it) and advances `i`.
char32_t nextScalar(const std::string& text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
  char32_t scalar = extra == 0 ? lead : lead & (0x3Fu >> extra);
  for (; extra > 0 && i < text.size(); --extra)
    scalar = (scalar << 6) | (static_cast<unsigned char>(text[i++]) & 0x3Fu);
  return scalar;
}

bool contains(const std::vector<xcb_keycode_t>& keys, xcb_keycode_t key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

}  // namespace

bool xtestAvailable(const std::string& display) {
  try {
    const Connection connection = Connection::connect(display);
    return hasXTest(connection.get());
  } catch (const std::exception&) {
    return false;
  }
}

X11InputSink::X11InputSink(const std::string& display) : connection_(Connection::connect(display)) {
  if (!hasXTest(connection_.get())) throw std::runtime_error("The X display has no XTEST extension.");
  modifiers_ = readModifierKeys();
}

X11InputSink::~X11InputSink() {
  restoreKeymap();
}

void X11InputSink::emit(const InputEvent& event) {
  discardEvents();
  if (!std::holds_alternative<TextEvent>(event) && !bindings_.empty() &&
      monotonicSeconds() - lastText_ >= kBindingLifetime) {
    restoreKeymap();
  }
  if (const auto* move = std::get_if<MouseMoveEvent>(&event)) {
    moveTo(move->point);  // the button state of the server makes it a drag
  } else if (const auto* press = std::get_if<MouseButtonEvent>(&event)) {
    button(*press);
  } else if (const auto* wheel = std::get_if<ScrollEvent>(&event)) {
    scroll(*wheel);
  } else if (const auto* keyEvent = std::get_if<KeyEvent>(&event)) {
    key(*keyEvent);
  } else if (const auto* typed = std::get_if<TextEvent>(&event)) {
    text(*typed);
  }
  xcb_flush(connection_.get());
}

void X11InputSink::restoreKeymap() {
  if (bindings_.empty()) return;
  for (const xcb_keycode_t keycode : bindingOrder_)
    setKeysym(keycode, XCB_NO_SYMBOL, bindingWidth_);
  bindings_.clear();
  bindingOrder_.clear();
  xcb_flush(connection_.get());
}

void X11InputSink::moveTo(const InputPoint& point) {
  xcb_test_fake_input(connection_.get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, connection_.root(),
                      rootCoordinate(point.x), rootCoordinate(point.y), 0);
}

void X11InputSink::button(const MouseButtonEvent& event) {
  moveTo(event.point);
  const std::uint8_t number = event.button == MouseButton::right ? 3 : 1;
  if (!event.down) {
    fake(XCB_BUTTON_RELEASE, number);
    return;
  }
  const ModifierChange change = applyModifiers(event.flags);
  fake(XCB_BUTTON_PRESS, number);
  undo(change);
}

void X11InputSink::scroll(const ScrollEvent& event) {
  const auto clicks = [](int& rest, std::int32_t pixels) {
    if ((rest > 0 && pixels < 0) || (rest < 0 && pixels > 0)) rest = 0;  // a turn starts afresh
    rest += pixels;
    const int count = rest / kScrollPixelsPerClick;
    rest -= count * kScrollPixelsPerClick;
    return count;
  };
  const int vertical = clicks(scrollRestVertical_, event.vertical);
  const int horizontal = clicks(scrollRestHorizontal_, event.horizontal);
  clickWheel(vertical > 0 ? kWheelUp : kWheelDown, std::abs(vertical));
  clickWheel(horizontal > 0 ? kWheelLeft : kWheelRight, std::abs(horizontal));
}

void X11InputSink::key(const KeyEvent& event) {
  const auto keycode = keycodeForMacKey(event.keyCode);
  if (!keycode) return;
  if (!event.down) {
    fake(XCB_KEY_RELEASE, *keycode);
    return;
  }
  // A modifier key goes down as it is; its own flag describes the state it brings about.
  const ModifierChange change =
      isModifierMacKey(event.keyCode) ? ModifierChange{} : applyModifiers(event.flags);
  fake(XCB_KEY_PRESS, *keycode);
  undo(change);
}

void X11InputSink::text(const TextEvent& event) {
  const KeyboardMapping mapping = readKeyboardMapping();
  if (mapping.perKeycode == 0) return;
  const ModifierChange change = applyModifiers(0);
  for (std::size_t i = 0; i < event.text.size();) {
    if (const auto keysym = keysymForScalar(nextScalar(event.text, i))) typeKeysym(*keysym, mapping);
  }
  undo(change);
  lastText_ = monotonicSeconds();
}

void X11InputSink::typeKeysym(xcb_keysym_t keysym, const KeyboardMapping& mapping) {
  // The first two columns are the group's plain and shifted levels.
  xcb_keycode_t keycode = kNoKey;
  bool shifted = false;
  for (std::size_t level = 0; level < std::min<std::size_t>(2, mapping.perKeycode) && keycode == kNoKey;
       ++level) {
    for (std::size_t index = level; index < mapping.keysyms.size(); index += mapping.perKeycode) {
      if (mapping.keysyms[index] != keysym) continue;
      keycode = static_cast<xcb_keycode_t>(mapping.first + index / mapping.perKeycode);
      shifted = level == 1;
      break;
    }
  }
  if (keycode == kNoKey) {
    const auto bound = bindings_.find(keysym);
    keycode = bound != bindings_.end() ? bound->second : bindSpareKeycode(keysym, mapping);
    if (keycode == kNoKey) return;
  }
  const xcb_keycode_t shiftKey = modifiers_.shift.empty() ? kNoKey : modifiers_.shift.front();
  if (shifted && shiftKey != kNoKey) fake(XCB_KEY_PRESS, shiftKey);
  fake(XCB_KEY_PRESS, keycode);
  fake(XCB_KEY_RELEASE, keycode);
  if (shifted && shiftKey != kNoKey) fake(XCB_KEY_RELEASE, shiftKey);
}

xcb_keycode_t X11InputSink::bindSpareKeycode(xcb_keysym_t keysym, const KeyboardMapping& mapping) {
  if (bindings_.empty()) bindingWidth_ = mapping.perKeycode;
  xcb_keycode_t spare = kNoKey;
  // Spare keycodes have no keysym at all (nor one bound earlier) and no modifier role. Keycodes
  // below 16 are left alone, as some servers give them special meaning.
  for (std::size_t key = 0; key * mapping.perKeycode < mapping.keysyms.size(); ++key) {
    const auto first = mapping.keysyms.begin() + static_cast<std::ptrdiff_t>(key * mapping.perKeycode);
    const auto keycode = static_cast<xcb_keycode_t>(mapping.first + key);
    if (keycode < 16 || contains(modifiers_.shift, keycode) || contains(modifiers_.control, keycode) ||
        contains(modifiers_.alt, keycode) ||
        std::find(bindingOrder_.begin(), bindingOrder_.end(), keycode) != bindingOrder_.end()) {
      continue;
    }
    if (std::all_of(first, first + mapping.perKeycode, [](xcb_keysym_t k) { return k == XCB_NO_SYMBOL; })) {
      spare = keycode;
      break;
    }
  }
  if (spare == kNoKey) {
    if (bindingOrder_.empty()) return kNoKey;
    spare = bindingOrder_.front();  // reuse the oldest binding
    bindingOrder_.pop_front();
    std::erase_if(bindings_, [spare](const auto& entry) { return entry.second == spare; });
  }
  setKeysym(spare, keysym, bindingWidth_);
  bindings_[keysym] = spare;
  bindingOrder_.push_back(spare);
  return spare;
}

void X11InputSink::fake(std::uint8_t type, std::uint8_t detail) {
  xcb_test_fake_input(connection_.get(), type, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

void X11InputSink::clickWheel(std::uint8_t button, int times) {
  for (int i = 0; i < times; ++i) {
    fake(XCB_BUTTON_PRESS, button);
    fake(XCB_BUTTON_RELEASE, button);
  }
}

X11InputSink::ModifierChange X11InputSink::applyModifiers(std::uint64_t flags) {
  xcb_connection_t* c = connection_.get();
  Reply<xcb_query_keymap_reply_t> keymap(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
  if (!keymap) return {};
  const auto isDown = [&keymap](xcb_keycode_t key) { return (keymap->keys[key / 8] >> (key % 8)) & 1; };
  ModifierChange change;
  const auto bring = [&](const std::vector<xcb_keycode_t>& keys, bool wanted) {
    const bool down = std::any_of(keys.begin(), keys.end(), isDown);
    if (wanted && !down && !keys.empty()) {
      fake(XCB_KEY_PRESS, keys.front());
      change.pressed.push_back(keys.front());
    } else if (!wanted && down) {
      for (const xcb_keycode_t key : keys) {
        if (!isDown(key)) continue;
        fake(XCB_KEY_RELEASE, key);
        change.released.push_back(key);
      }
    }
  };
  bring(modifiers_.shift, (flags & modifier_flags::kShift) != 0);
  bring(modifiers_.control, (flags & (modifier_flags::kControl | modifier_flags::kCommand)) != 0);
  bring(modifiers_.alt, (flags & modifier_flags::kOption) != 0);
  return change;
}

void X11InputSink::undo(const ModifierChange& change) {
  for (auto key = change.pressed.rbegin(); key != change.pressed.rend(); ++key)
    fake(XCB_KEY_RELEASE, *key);
  for (const xcb_keycode_t key : change.released)
    fake(XCB_KEY_PRESS, key);
}

X11InputSink::ModifierKeys X11InputSink::readModifierKeys() {
  xcb_connection_t* c = connection_.get();
  Reply<xcb_get_modifier_mapping_reply_t> reply(
      xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
  ModifierKeys keys;
  if (!reply) return keys;
  const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply.get());
  const std::size_t perModifier = reply->keycodes_per_modifier;
  std::array<std::vector<xcb_keycode_t>, 8> byModifier;
  for (std::size_t modifier = 0; modifier < 8; ++modifier) {
    for (std::size_t k = 0; k < perModifier; ++k) {
      if (codes[modifier * perModifier + k] != kNoKey)
        byModifier[modifier].push_back(codes[modifier * perModifier + k]);
    }
  }
  keys.shift = byModifier[XCB_MAP_INDEX_SHIFT];
  keys.control = byModifier[XCB_MAP_INDEX_CONTROL];
  // Alt is whichever modifier holds the left Alt key, usually Mod1.
  const xcb_keycode_t altKey = *keycodeForMacKey(58);
  keys.alt = byModifier[XCB_MAP_INDEX_1];
  for (std::size_t modifier = XCB_MAP_INDEX_1; modifier < 8; ++modifier) {
    if (contains(byModifier[modifier], altKey)) keys.alt = byModifier[modifier];
  }
  // Put the left keys first: they are the ones pressed to apply a flag.
  const auto leftFirst = [](std::vector<xcb_keycode_t>& group, xcb_keycode_t left) {
    const auto found = std::find(group.begin(), group.end(), left);
    if (found != group.end()) std::rotate(group.begin(), found, found + 1);
  };
  leftFirst(keys.shift, *keycodeForMacKey(56));
  leftFirst(keys.control, *keycodeForMacKey(59));
  leftFirst(keys.alt, altKey);
  return keys;
}

X11InputSink::KeyboardMapping X11InputSink::readKeyboardMapping() {
  xcb_connection_t* c = connection_.get();
  const xcb_setup_t* setup = xcb_get_setup(c);
  const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  Reply<xcb_get_keyboard_mapping_reply_t> reply(
      xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, setup->min_keycode, count), nullptr));
  KeyboardMapping mapping;
  if (!reply) return mapping;
  mapping.first = setup->min_keycode;
  mapping.perKeycode = reply->keysyms_per_keycode;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
  mapping.keysyms.assign(
      keysyms, keysyms + static_cast<std::size_t>(xcb_get_keyboard_mapping_keysyms_length(reply.get())));
  return mapping;
}

void X11InputSink::setKeysym(xcb_keycode_t keycode, xcb_keysym_t keysym, std::uint8_t perKeycode) {
  // The same keysym on the plain and the shifted level, so the shift state does not matter.
  std::vector<xcb_keysym_t> row(std::max<std::size_t>(perKeycode, 2), XCB_NO_SYMBOL);
  row[0] = row[1] = keysym;
  xcb_change_keyboard_mapping(connection_.get(), 1, keycode, static_cast<std::uint8_t>(row.size()),
                              row.data());
  // Wait until the server has it, so that the key event that follows sees the new mapping.
  Reply<xcb_get_input_focus_reply_t>(
      xcb_get_input_focus_reply(connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
}

void X11InputSink::discardEvents() {
  // Nothing is selected, but mapping changes and errors still arrive. A new modifier mapping is
  // read again; the rest is dropped.
  while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(connection_.get())}) {
    if ((event->response_type & 0x7F) != XCB_MAPPING_NOTIFY) continue;
    const auto* notify = reinterpret_cast<const xcb_mapping_notify_event_t*>(event.get());
    if (notify->request == XCB_MAPPING_MODIFIER) modifiers_ = readModifierKeys();
  }
}

X11DisplayBounds::X11DisplayBounds(const std::string& display) : connection_(Connection::connect(display)) {}

DisplayRect X11DisplayBounds::bounds(DisplayID display) {
  xcb_connection_t* c = connection_.get();
  const DisplayRect whole{0, 0, static_cast<double>(connection_.screen()->width_in_pixels),
                          static_cast<double>(connection_.screen()->height_in_pixels)};
  if (display == 0) return whole;
  Reply<xcb_randr_get_output_info_reply_t> output(
      xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, display, XCB_CURRENT_TIME), nullptr));
  if (!output || output->crtc == XCB_NONE) return whole;
  Reply<xcb_randr_get_crtc_info_reply_t> crtc(
      xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, output->crtc, XCB_CURRENT_TIME), nullptr));
  if (!crtc || crtc->width == 0 || crtc->height == 0) return whole;
  return {static_cast<double>(crtc->x), static_cast<double>(crtc->y), static_cast<double>(crtc->width),
          static_cast<double>(crtc->height)};
}

}  // namespace quorvanta::x11
