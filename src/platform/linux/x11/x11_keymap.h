#pragma once

// Key positions: the client names keys by its platform's virtual key codes, which identify
// positions on an ANSI keyboard. The X keycode of the same physical key is its Linux input event
// code plus 8, so the user's own layout decides which character the key types.

#include <cstdint>
#include <optional>

namespace quorvanta::x11 {

// Linux input event code + 8 of the key at `macKeyCode`'s position, or nothing for codes that
// name no key a PC keyboard has.
std::optional<std::uint8_t> keycodeForMacKey(std::uint16_t macKeyCode);

// The inverse, for a client on an X server: the virtual key code of the key at X keycode
// `keycode`'s position, or nothing for keys the table above leaves out. Where two virtual key
// codes share a position (command and control both sit on the control keys), the control key's
// code is given. keycodeForMacKey(*macKeyForKeycode(k)) == k wherever the result is present.
std::optional<std::uint16_t> macKeyForKeycode(std::uint32_t keycode);

// Whether `macKeyCode` names a modifier key (shift, control, option, command, caps lock).
bool isModifierMacKey(std::uint16_t macKeyCode);

// The keysym that types `scalar`: the control keys for tab and line ends, Latin-1 keysyms for
// U+0020...U+007E and U+00A0...U+00FF, and the Unicode keysym 0x01000000 + scalar otherwise.
// Nothing for other control characters.
std::optional<std::uint32_t> keysymForScalar(char32_t scalar);

}  // namespace quorvanta::x11
