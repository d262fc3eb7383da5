#include "platform/linux/x11/x11_input_sink.h"

#include <xcb/randr.h>
// xkb.h names a field `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <set>
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
  xcb_connection_t* c = connection_.get();
  Reply<xcb_xkb_use_extension_reply_t> xkb(xcb_xkb_use_extension_reply(
      c, xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION), nullptr));
  xkb_ = xkb && xkb->supported;
  modifiers_ = readModifierKeys();
}

X11InputSink::~X11InputSink() {
  releaseAll();
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

void X11InputSink::releaseAll() {
  for (const std::uint8_t number : std::set(heldButtons_))
    fake(XCB_BUTTON_RELEASE, number);
  heldButtons_.clear();
  while (!held_.empty())
    release(held_.begin()->first);
  xcb_flush(connection_.get());
}

void X11InputSink::restoreKeymap() {
  if (bindings_.empty()) return;
  const KeyboardMapping mapping = readKeyboardMapping();
  std::map<xcb_keycode_t, xcb_keysym_t> rows;
  for (const xcb_keycode_t keycode : bindingOrder_)
    rows[keycode] = XCB_NO_SYMBOL;
  setKeysyms(rows, mapping);
  bindings_.clear();
  bindingOrder_.clear();
  xcb_flush(connection_.get());
}

void X11InputSink::moveTo(const InputPoint& point) {
  xcb_test_fake_input(connection_.get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, connection_.root(),
                      rootCoordinate(point.x), rootCoordinate(point.y), 0);
}

void X11InputSink::button(const MouseButtonEvent& event) {
  // The presses of a series go where it began, so that applications see a double click.
  InputPoint point = event.point;
  if (event.button == MouseButton::left && event.clickCount == 1 && event.down) seriesPoint_ = event.point;
  if (event.button == MouseButton::left && event.clickCount > 1 && seriesPoint_) point = *seriesPoint_;
  moveTo(point);
  const std::uint8_t number = event.button == MouseButton::right ? 3 : 1;
  if (!event.down) {
    heldButtons_.erase(number);
    fake(XCB_BUTTON_RELEASE, number);
    return;
  }
  const ModifierChange change = applyModifiers(event.flags);
  fake(XCB_BUTTON_PRESS, number);
  heldButtons_.insert(number);
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
    const auto found = held_.find(*keycode);
    if (found == held_.end()) return fake(XCB_KEY_RELEASE, *keycode);
    found->second.erase(event.keyCode);
    // Another client key on the same X key still holds it.
    if (found->second.empty()) release(*keycode);
    return;
  }
  // A modifier key goes down as it is; its own flag describes the state it brings about.
  const ModifierChange change =
      isModifierMacKey(event.keyCode) ? ModifierChange{} : applyModifiers(event.flags);
  press(*keycode);
  held_[*keycode].insert(event.keyCode);
  undo(change);
}

void X11InputSink::text(const TextEvent& event) {
  KeyboardMapping mapping = readKeyboardMapping();
  if (mapping.perKeycode == 0) return;
  std::vector<xcb_keysym_t> keysyms;
  for (std::size_t i = 0; i < event.text.size();) {
    if (const auto keysym = keysymForScalar(nextScalar(event.text, i))) keysyms.push_back(*keysym);
  }
  bindMissing(keysyms, mapping);
  liftLocks();
  const ModifierChange change = applyModifiers(0);
  for (const xcb_keysym_t keysym : keysyms)
    typeKeysym(keysym, mapping);
  undo(change);
  restoreLocks();
  lastText_ = monotonicSeconds();
}

std::optional<xcb_keycode_t> X11InputSink::findKeycode(xcb_keysym_t keysym, const KeyboardMapping& mapping,
                                                       bool& shifted) {
  // The first two columns are the first group's plain and shifted levels.
  for (std::size_t level = 0; level < std::min<std::size_t>(2, mapping.perKeycode); ++level) {
    for (std::size_t index = level; index < mapping.keysyms.size(); index += mapping.perKeycode) {
      if (mapping.keysyms[index] != keysym) continue;
      shifted = level == 1;
      return static_cast<xcb_keycode_t>(mapping.first + index / mapping.perKeycode);
    }
  }
  shifted = false;
  if (const auto bound = bindings_.find(keysym); bound != bindings_.end()) return bound->second.keycode;
  return std::nullopt;
}

void X11InputSink::typeKeysym(xcb_keysym_t keysym, const KeyboardMapping& mapping) {
  bool shifted = false;
  const auto keycode = findKeycode(keysym, mapping, shifted);
  if (!keycode) return;
  const xcb_keycode_t shiftKey = modifiers_.shift.empty() ? kNoKey : modifiers_.shift.front();
  if (shifted && shiftKey != kNoKey) fake(XCB_KEY_PRESS, shiftKey);
  fake(XCB_KEY_PRESS, *keycode);
  fake(XCB_KEY_RELEASE, *keycode);
  if (shifted && shiftKey != kNoKey) fake(XCB_KEY_RELEASE, shiftKey);
}

void X11InputSink::bindMissing(const std::vector<xcb_keysym_t>& keysyms, const KeyboardMapping& mapping) {
  const double now = monotonicSeconds();
  std::set<xcb_keysym_t> missing;
  for (const xcb_keysym_t keysym : keysyms) {
    bool shifted = false;
    if (const auto found = bindings_.find(keysym); found != bindings_.end()) {
      found->second.since = now;  // in use again: not to be taken for another character
      continue;
    }
    if (!findKeycode(keysym, mapping, shifted)) missing.insert(keysym);
  }
  if (missing.empty()) return;
  if (bindings_.empty()) bindingWidth_ = mapping.perKeycode;

  // Spare keycodes have no keysym at all (nor one bound earlier) and no modifier role. Keycodes
  // below 16 are left alone, as some servers give them special meaning.
  std::deque<xcb_keycode_t> spare;
  for (std::size_t key = 0; key * mapping.perKeycode < mapping.keysyms.size(); ++key) {
    const auto first = mapping.keysyms.begin() + static_cast<std::ptrdiff_t>(key * mapping.perKeycode);
    const auto keycode = static_cast<xcb_keycode_t>(mapping.first + key);
    if (keycode < 16 || contains(modifiers_.shift, keycode) || contains(modifiers_.control, keycode) ||
        contains(modifiers_.alt, keycode) || held_.contains(keycode) ||
        std::find(bindingOrder_.begin(), bindingOrder_.end(), keycode) != bindingOrder_.end()) {
      continue;
    }
    if (std::all_of(first, first + mapping.perKeycode, [](xcb_keysym_t k) { return k == XCB_NO_SYMBOL; }))
      spare.push_back(keycode);
  }

  std::map<xcb_keycode_t, xcb_keysym_t> rows;
  for (const xcb_keysym_t keysym : missing) {
    xcb_keycode_t keycode = kNoKey;
    if (!spare.empty()) {
      keycode = spare.front();
      spare.pop_front();
    } else {
      // The oldest binding, unless an application may still be about to read it.
      const auto oldest = std::find_if(bindings_.begin(), bindings_.end(), [&](const auto& entry) {
        return entry.second.keycode == (bindingOrder_.empty() ? kNoKey : bindingOrder_.front());
      });
      if (oldest == bindings_.end() || now - oldest->second.since < kBindingLifetime) continue;
      keycode = oldest->second.keycode;
      bindings_.erase(oldest);
      bindingOrder_.pop_front();
    }
    rows[keycode] = keysym;
    bindings_[keysym] = Binding{keycode, now};
    bindingOrder_.push_back(keycode);
  }
  setKeysyms(rows, mapping);
}

void X11InputSink::press(xcb_keycode_t keycode) {
  xcb_connection_t* c = connection_.get();
  if (!repeatBefore_.contains(keycode)) {
    Reply<xcb_get_keyboard_control_reply_t> control(
        xcb_get_keyboard_control_reply(c, xcb_get_keyboard_control(c), nullptr));
    const bool repeats = control && ((control->auto_repeats[keycode / 8] >> (keycode % 8)) & 1);
    repeatBefore_[keycode] = repeats;
    if (repeats) {
      const std::uint32_t values[] = {keycode, XCB_AUTO_REPEAT_MODE_OFF};
      xcb_change_keyboard_control(c, XCB_KB_KEY | XCB_KB_AUTO_REPEAT_MODE, values);
    }
  }
  fake(XCB_KEY_PRESS, keycode);
  held_.try_emplace(keycode);
}

void X11InputSink::release(xcb_keycode_t keycode) {
  fake(XCB_KEY_RELEASE, keycode);
  held_.erase(keycode);
  const auto before = repeatBefore_.find(keycode);
  if (before == repeatBefore_.end()) return;
  if (before->second) {
    const std::uint32_t values[] = {keycode, XCB_AUTO_REPEAT_MODE_ON};
    xcb_change_keyboard_control(connection_.get(), XCB_KB_KEY | XCB_KB_AUTO_REPEAT_MODE, values);
  }
  repeatBefore_.erase(before);
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
      // Only this device's own keys: a release of another keyboard's key does nothing here, and
      // pressing it again afterwards would leave it held by this device.
      for (const xcb_keycode_t key : keys) {
        if (!isDown(key) || !held_.contains(key)) continue;
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

void X11InputSink::liftLocks() {
  if (!xkb_) return;
  xcb_connection_t* c = connection_.get();
  Reply<xcb_xkb_get_state_reply_t> state(
      xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr));
  if (!state) return;
  const std::uint8_t locked = state->lockedMods & XCB_MOD_MASK_LOCK;
  if (locked == 0 && state->lockedGroup == 0) return;
  lifted_ = Locks{locked, state->lockedGroup};
  xcb_xkb_latch_lock_state(c, XCB_XKB_ID_USE_CORE_KBD, XCB_MOD_MASK_LOCK, 0, 1, 0, 0, 0, 0);
}

void X11InputSink::restoreLocks() {
  if (!lifted_) return;
  xcb_xkb_latch_lock_state(connection_.get(), XCB_XKB_ID_USE_CORE_KBD, XCB_MOD_MASK_LOCK, lifted_->mods, 1,
                           lifted_->group, 0, 0, 0);
  lifted_.reset();
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

void X11InputSink::setKeysyms(const std::map<xcb_keycode_t, xcb_keysym_t>& rows,
                              const KeyboardMapping& mapping) {
  if (rows.empty() || mapping.perKeycode == 0) return;
  // One change per run of neighbouring keycodes (spare keycodes mostly are), so that clients
  // read the keymap once per text rather than once per character. A bound row has the same
  // keysym on the plain and the shifted level, so the shift state does not matter.
  const std::size_t width = std::max<std::size_t>(bindingWidth_ ? bindingWidth_ : mapping.perKeycode, 2);
  auto run = rows.begin();
  while (run != rows.end()) {
    auto end = std::next(run);
    while (end != rows.end() && end->first == std::prev(end)->first + 1)
      ++end;
    std::vector<xcb_keysym_t> keysyms;
    for (auto row = run; row != end; ++row) {
      keysyms.insert(keysyms.end(), width, XCB_NO_SYMBOL);
      keysyms[keysyms.size() - width] = keysyms[keysyms.size() - width + 1] = row->second;
    }
    xcb_change_keyboard_mapping(connection_.get(), static_cast<std::uint8_t>(std::distance(run, end)),
                                run->first, static_cast<std::uint8_t>(width), keysyms.data());
    run = end;
  }
  // Wait until the server has it, so that the key events that follow see the new mapping.
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
