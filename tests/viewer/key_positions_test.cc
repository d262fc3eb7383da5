// The viewer sends keys by position as the host's virtual key codes, mapped back from X keycodes
// through the host's own table.

#include <gtest/gtest.h>

#include "platform/linux/x11/x11_keymap.h"

namespace quorvanta::x11 {
namespace {

// Every X keycode the viewer maps comes out of the host's table as the same keycode, and every
// key the host's table knows can be sent from some keycode.
TEST(KeyPositionsTest, RoundTripThroughBothTablesIsTheIdentity) {
  int mapped = 0;
  for (std::uint32_t keycode = 0; keycode < 300; ++keycode) {
    const auto mac = macKeyForKeycode(keycode);
    if (!mac) continue;
    ++mapped;
    EXPECT_EQ(keycodeForMacKey(*mac), keycode) << "keycode " << keycode;
  }
  EXPECT_GT(mapped, 100);
  for (std::uint16_t mac = 0; mac < 128; ++mac) {
    const auto keycode = keycodeForMacKey(mac);
    if (!keycode) continue;
    ASSERT_TRUE(macKeyForKeycode(*keycode)) << "virtual key " << mac;
    EXPECT_EQ(keycodeForMacKey(*macKeyForKeycode(*keycode)), keycode);
  }
}

TEST(KeyPositionsTest, NamedKeysLandOnTheirPositions) {
  struct Case {
    const char* name;
    std::uint32_t keycode;  // X keycode: Linux input event code + 8
    std::uint16_t mac;
  };
  const Case cases[] = {
      {"A", 38, 0},
      {"1", 10, 18},
      {"Return", 36, 36},
      {"Space", 65, 49},
      {"BackSpace", 22, 51},
      {"Escape", 9, 53},
      {"Left Control", 37, 59},
      {"Left Shift", 50, 56},
      {"Left Alt", 64, 58},
      {"F1", 67, 122},
      {"Left", 113, 123},
      {"KP Enter", 104, 76},
      {"Section (ISO)", 94, 10},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(macKeyForKeycode(c.keycode), std::optional<std::uint16_t>(c.mac)) << c.name;
  }
  EXPECT_FALSE(macKeyForKeycode(0));
  EXPECT_FALSE(macKeyForKeycode(8));
  EXPECT_FALSE(macKeyForKeycode(133)) << "Super has no place in the host's table";
}

}  // namespace
}  // namespace quorvanta::x11
