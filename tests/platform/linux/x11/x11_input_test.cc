#include "platform/linux/x11/x11_input_sink.h"

#include <gtest/gtest.h>

// xkb.h names a field `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/input/input_controller.h"
#include "integration/test_window.h"
#include "platform/linux/x11/xcb_handles.h"
#include "test_desktop.h"
#include "xvfb_server.h"

namespace quorvanta::x11 {
namespace {

using quorvanta::testing::XvfbServer;
using Press = quorvanta::test::TestWindow::Press;

constexpr std::uint16_t kMacF1 = 122;  // ends each batch of events
constexpr xcb_keycode_t kF1Keycode = 59 + 8;

// The whole keyboard mapping, as a client reads it.
std::vector<xcb_keysym_t> keyboardMapping(xcb_connection_t* c) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  Reply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
      c,
      xcb_get_keyboard_mapping(c, setup->min_keycode,
                               static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
      nullptr));
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
  return {keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply.get())};
}

// A sink and a focused full-screen window that records presses, on a bare X server (XvfbServer) or
// on a desktop (TestDesktop).
template <typename Server>
class InputFixture : public ::testing::Test {
 protected:
  InputFixture()
      : window_(xvfb_.display()),
        observer_(Connection::connect(xvfb_.display())),
        sink_(std::make_shared<X11InputSink>(xvfb_.display())) {}

  // Sends `events` and then F1; the presses that arrive before the F1.
  std::vector<Press> send(const std::vector<InputEvent>& events) {
    for (const auto& event : events)
      sink_->emit(event);
    sink_->emit(KeyEvent{kMacF1, true, 0});
    sink_->emit(KeyEvent{kMacF1, false, 0});
    const auto ends = [](const Press& p) { return p.key && p.detail == kF1Keycode; };
    std::vector<Press> all = window_.presses(seen_ + 1);
    while (std::find_if(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end(), ends) == all.end()) {
      const std::size_t before = all.size();
      all = window_.presses(before + 1);
      if (all.size() == before) {
        ADD_FAILURE() << "the batch did not end";
        return {};
      }
    }
    const auto end = std::find_if(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end(), ends);
    std::vector<Press> batch(all.begin() + static_cast<std::ptrdiff_t>(seen_), end);
    seen_ = static_cast<std::size_t>(end - all.begin()) + 1;
    return batch;
  }
  static std::vector<Press> keys(const std::vector<Press>& presses) {
    std::vector<Press> found;
    std::copy_if(presses.begin(), presses.end(), std::back_inserter(found),
                 [](const Press& p) { return p.key; });
    return found;
  }

  Server xvfb_;
  quorvanta::test::TestWindow window_;
  Connection observer_;
  std::shared_ptr<X11InputSink> sink_;
  std::size_t seen_ = 0;
};

using X11InputTest = InputFixture<XvfbServer>;

TEST_F(X11InputTest, KeyPositionsAndModifierFlagsReachTheFocusedWindow) {
  EXPECT_TRUE(xtestAvailable(xvfb_.display()));
  auto received = send({KeyEvent{0, true, 0}, KeyEvent{0, false, 0}});
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].detail, 38);
  EXPECT_EQ(received[0].keysym, 'a');

  // The paste shortcut: command-V arrives as control-V, and control is let go afterwards.
  received = send({KeyEvent{9, true, modifier_flags::kCommand}, KeyEvent{9, false, modifier_flags::kCommand},
                   KeyEvent{9, true, 0}});
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0].detail, 37);  // Control_L
  EXPECT_TRUE(received[1].state & XCB_MOD_MASK_CONTROL);
  EXPECT_EQ(received[1].keysym, 'v');
  EXPECT_FALSE(received[2].state & XCB_MOD_MASK_CONTROL);

  // Codes with no PC key are ignored.
  EXPECT_TRUE(send({KeyEvent{63, true, 0}, KeyEvent{52, true, 0}}).empty());
}

TEST_F(X11InputTest, TextIsTypedAsUnicodeAndTheKeymapIsRestored) {
  const auto original = keyboardMapping(observer_.get());
  std::vector<xcb_keysym_t> keysyms;
  for (const auto& key : keys(send({TextEvent{"aB\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xA9"}}))) {
    if (key.keysym != 0xFFE1) keysyms.push_back(key.keysym);  // Shift_L
  }
  EXPECT_EQ(keysyms, (std::vector<xcb_keysym_t>{'a', 'B', 0xE9, 0x10020AC, 0x101F600, 0xE9}));
  EXPECT_NE(keyboardMapping(observer_.get()), original);
  sink_->restoreKeymap();
  EXPECT_EQ(keyboardMapping(observer_.get()), original);

  send({TextEvent{"\xC3\xA9"}});
  sink_.reset();  // also gives the keycodes back
  EXPECT_EQ(keyboardMapping(observer_.get()), original);
}

TEST_F(X11InputTest, PixelScrollingBecomesWheelClicksWithTheRestCarriedOver) {
  const auto received = send({ScrollEvent{-125, 0}, ScrollEvent{0, 50}, ScrollEvent{0, -50}});
  std::vector<std::uint8_t> buttons(received.size());
  std::transform(received.begin(), received.end(), buttons.begin(), [](const Press& r) { return r.detail; });
  EXPECT_EQ(buttons, (std::vector<std::uint8_t>{5, 5, 6, 7}));

  // 300 pixels are a handful of clicks, as a toolkit scrolls about that far for them.
  EXPECT_EQ(send({ScrollEvent{-300, 0}}).size(), 300u / X11InputSink::kScrollPixelsPerClick);
}

// The same sink on a desktop with a window manager, a compositor and two layouts (us,de).
class X11DesktopInputTest : public InputFixture<quorvanta::testing::TestDesktop> {
 protected:
  bool isDown(xcb_keycode_t key) {
    xcb_connection_t* c = observer_.get();
    Reply<xcb_query_keymap_reply_t> keymap(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
    return keymap && ((keymap->keys[key / 8] >> (key % 8)) & 1);
  }
  bool repeats(xcb_keycode_t key) {
    xcb_connection_t* c = observer_.get();
    Reply<xcb_get_keyboard_control_reply_t> control(
        xcb_get_keyboard_control_reply(c, xcb_get_keyboard_control(c), nullptr));
    return control && ((control->auto_repeats[key / 8] >> (key % 8)) & 1);
  }
};

TEST_F(X11DesktopInputTest, AHeldKeyIsPressedOnceAndRepeatsAgainAfterwards) {
  constexpr xcb_keycode_t kA = 38;
  ASSERT_TRUE(repeats(kA));
  auto received = keys(send({KeyEvent{0, true, 0}}));
  EXPECT_FALSE(repeats(kA));
  // Longer than the server's repeat delay (660 ms) and several repeat intervals.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto later = keys(send({KeyEvent{0, false, 0}}));
  received.insert(received.end(), later.begin(), later.end());
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].detail, kA);
  send({});
  EXPECT_TRUE(repeats(kA));
}

TEST_F(X11DesktopInputTest, CapsLockAndTheSecondLayoutDoNotChangeTypedText) {
  xcb_connection_t* c = observer_.get();
  Reply<xcb_xkb_use_extension_reply_t>(
      xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr));
  // Caps Lock on, the German group active: "yz" would come out as "ZY".
  xcb_xkb_latch_lock_state(c, XCB_XKB_ID_USE_CORE_KBD, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_LOCK, 1, 1, 0, 0, 0);
  Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

  std::string typed;
  for (const auto& key : keys(send({TextEvent{"Hey yz!"}}))) {
    // What an XKB client reads: the group in bits 13-14, Caps Lock and shift pick the level.
    EXPECT_EQ((key.state >> 13) & 3, 0) << "group";
    EXPECT_FALSE(key.state & XCB_MOD_MASK_LOCK);
    if (key.keysym < 0x80) typed.push_back(static_cast<char>(key.keysym));
  }
  EXPECT_EQ(typed, "Hey yz!");

  Reply<xcb_xkb_get_state_reply_t> state(
      xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr));
  ASSERT_TRUE(state);
  EXPECT_EQ(state->lockedGroup, 1) << "the user's layout comes back";
  EXPECT_TRUE(state->lockedMods & XCB_MOD_MASK_LOCK);
}

TEST_F(X11DesktopInputTest, CommandAndControlAreReleasedIndependentlyAndReleaseAllClearsAll) {
  constexpr xcb_keycode_t kControlL = 37;
  sink_->emit(KeyEvent{55, true, modifier_flags::kCommand});
  sink_->emit(KeyEvent{59, true, modifier_flags::kCommand | modifier_flags::kControl});
  sink_->emit(KeyEvent{55, false, modifier_flags::kControl});
  send({});  // the server has handled everything before the batch's end
  EXPECT_TRUE(isDown(kControlL)) << "control is still held";
  sink_->emit(KeyEvent{56, true, modifier_flags::kShift});
  sink_->emit(KeyEvent{0, true, modifier_flags::kShift | modifier_flags::kControl});
  sink_->releaseAll();
  send({});
  for (const xcb_keycode_t key : {kControlL, xcb_keycode_t{50}, xcb_keycode_t{38}})
    EXPECT_FALSE(isDown(key)) << int{key};
  EXPECT_TRUE(repeats(38));
}

}  // namespace
}  // namespace quorvanta::x11
