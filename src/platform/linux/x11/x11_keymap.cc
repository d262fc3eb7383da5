#include "platform/linux/x11/x11_keymap.h"

#include <array>

namespace quorvanta::x11 {
namespace {

// X keycodes are Linux input event codes shifted by 8.
constexpr std::uint8_t kEvdevOffset = 8;

// Linux input event codes (linux/input-event-codes.h) indexed by the virtual key code of the key
// in the same position; 0 where no PC key corresponds. The command keys sit where a PC keyboard
// has its control keys, so shortcuts keep working: command-V arrives as control-V.
constexpr std::array<std::uint8_t, 128> kEvdevCodes = {
    30,  31,  32,  33,
    35,  34,  44,  45,  // 0-7: A S D F H G Z X
    46,  47,  86,  48,
    16,  17,  18,  19,  // 8-15: C V section B Q W E R
    21,  20,  2,   3,
    4,   5,   7,   6,  // 16-23: Y T 1 2 3 4 6 5
    13,  10,  8,   12,
    9,   11,  27,  24,  // 24-31: = 9 7 - 8 0 ] O
    22,  26,  23,  25,
    28,  38,  36,  40,  // 32-39: U [ I P Return L J '
    37,  39,  43,  51,
    53,  49,  50,  52,  // 40-47: K ; \ , / N M .
    15,  57,  41,  14,
    0,   1,   97,  29,  // 48-55: Tab Space ` Delete - Escape RightCommand Command
    42,  58,  56,  29,
    54,  100, 97,  0,  // 56-63: Shift CapsLock Option Control RightShift RightOption RightControl Fn
    187, 83,  0,   55,
    0,   78,  0,   69,  // 64-71: F17 KP. - KP* - KP+ - Clear(NumLock)
    115, 114, 113, 98,
    96,  0,   74,  188,  // 72-79: VolumeUp VolumeDown Mute KP/ KPEnter - KP- F18
    189, 117, 82,  79,
    80,  81,  75,  76,  // 80-87: F19 KP= KP0 KP1 KP2 KP3 KP4 KP5
    77,  71,  190, 72,
    73,  124, 89,  95,  // 88-95: KP6 KP7 F20 KP8 KP9 Yen Ro KPComma
    63,  64,  65,  61,
    66,  67,  123, 87,  // 96-103: F5 F6 F7 F3 F8 F9 Eisu F11
    122, 183, 186, 184,
    0,   68,  127, 88,  // 104-111: Kana F13 F16 F14 - F10 Menu F12
    0,   185, 110, 102,
    104, 111, 62,  107,  // 112-119: - F15 Help(Insert) Home PageUp ForwardDelete F4 End
    60,  109, 59,  105,
    106, 108, 103, 0,  // 120-127: F2 PageDown F1 Left Right Down Up -
};

}  // namespace

std::optional<std::uint8_t> keycodeForMacKey(std::uint16_t macKeyCode) {
  if (macKeyCode >= kEvdevCodes.size() || kEvdevCodes[macKeyCode] == 0) return std::nullopt;
  return static_cast<std::uint8_t>(kEvdevCodes[macKeyCode] + kEvdevOffset);
}

std::optional<std::uint16_t> macKeyForKeycode(std::uint32_t keycode) {
  if (keycode <= kEvdevOffset || keycode > 255) return std::nullopt;
  std::optional<std::uint16_t> found;
  for (std::uint16_t mac = 0; mac < kEvdevCodes.size(); ++mac) {
    if (kEvdevCodes[mac] != keycode - kEvdevOffset) continue;
    // The last of several codes wins: Control (59) and RightControl (62) come after the commands.
    found = mac;
  }
  return found;
}

bool isModifierMacKey(std::uint16_t macKeyCode) {
  return macKeyCode >= 54 && macKeyCode <= 62;
}

std::optional<std::uint32_t> keysymForScalar(char32_t scalar) {
  switch (scalar) {
    case U'\t':
      return 0xFF09;  // Tab
    case U'\n':
    case U'\r':
      return 0xFF0D;  // Return
    default:
      break;
  }
  if (scalar < 0x20 || (scalar >= 0x7F && scalar < 0xA0)) return std::nullopt;
  if (scalar <= 0xFF) return static_cast<std::uint32_t>(scalar);
  return 0x01000000u + static_cast<std::uint32_t>(scalar);
}

}  // namespace quorvanta::x11
