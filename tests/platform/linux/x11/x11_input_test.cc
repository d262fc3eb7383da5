#include "platform/linux/x11/x11_input_sink.h"

#include <gtest/gtest.h>

#include <poll.h>
// xkb.h names a field `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/input/input_controller.h"
#include "platform/linux/x11/xcb_handles.h"
#include "test_desktop.h"
#include "xvfb_server.h"

namespace quorvanta::x11 {
namespace {

using quorvanta::testing::XvfbServer;

constexpr std::uint16_t kMacF1 = 122;  // ends each batch of events
constexpr xcb_keycode_t kF1Keycode = 59 + 8;

struct Received {
  std::uint8_t type;
  std::uint8_t detail;
  std::uint16_t state;
  std::int16_t rootX, rootY;
};

// A client with a full-screen window that has the keyboard focus and records key and button
// presses.
class TestClient {
 public:
  explicit TestClient(const std::string& display) : connection_(Connection::connect(display)) {
    xcb_connection_t* c = connection_.get();
    window_ = xcb_generate_id(c);
    const std::uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, connection_.root(), 0, 0,
                      connection_.screen()->width_in_pixels, connection_.screen()->height_in_pixels, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    xcb_map_window(c, window_);
    // A window manager maps the window when it gets to it.
    for (int i = 0; i < 500 && !viewable(); ++i)
      ::poll(nullptr, 0, 10);
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

  // The presses that arrive before the F1 key that ends the batch, waiting at most `limit`.
  std::vector<Received> batch(std::chrono::milliseconds limit = std::chrono::seconds(10),
                              bool required = true) {
    std::vector<Received> received;
    ended_ = false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    xcb_connection_t* c = connection_.get();
    while (std::chrono::steady_clock::now() < deadline) {
      Reply<xcb_generic_event_t> event(xcb_poll_for_event(c));
      if (!event) {
        pollfd descriptor{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&descriptor, 1, 100);
        continue;
      }
      const std::uint8_t type = event->response_type & 0x7F;
      if (type == XCB_KEY_PRESS) {
        const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
        if (key->detail == kF1Keycode) {
          ended_ = true;
          return received;
        }
        received.push_back({type, key->detail, key->state, key->root_x, key->root_y});
      } else if (type == XCB_BUTTON_PRESS) {
        const auto* press = reinterpret_cast<const xcb_button_press_event_t*>(event.get());
        received.push_back({type, press->detail, press->state, press->root_x, press->root_y});
      }
    }
    if (required) ADD_FAILURE() << "the batch did not end";
    return received;
  }

  std::vector<xcb_keysym_t> mapping() {
    xcb_connection_t* c = connection_.get();
    const xcb_setup_t* setup = xcb_get_setup(c);
    Reply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        c,
        xcb_get_keyboard_mapping(c, setup->min_keycode,
                                 static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
        nullptr));
    perKeycode_ = reply->keysyms_per_keycode;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
    return {keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply.get())};
  }

  // The keysym of `keycode` at the level that `state` selects (shift or not).
  xcb_keysym_t keysym(xcb_keycode_t keycode, std::uint16_t state) {
    const auto keysyms = mapping();
    const std::size_t row = static_cast<std::size_t>(keycode - xcb_get_setup(connection_.get())->min_keycode);
    return keysyms[row * perKeycode_ + ((state & XCB_MOD_MASK_SHIFT) ? 1 : 0)];
  }

  xcb_connection_t* get() const { return connection_.get(); }

  bool viewable() {
    Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
        connection_.get(), xcb_get_window_attributes(connection_.get(), window_), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  }

 private:
  Connection connection_;
  xcb_window_t window_ = XCB_NONE;
  std::uint8_t perKeycode_ = 0;
  bool ended_ = false;

 public:
  bool ended() const { return ended_; }
};

// A sink and a client on a bare X server (XvfbServer) or on a desktop (TestDesktop).
template <typename Server>
class InputFixture : public ::testing::Test {
 protected:
  InputFixture() : client_(xvfb_.display()), sink_(std::make_shared<X11InputSink>(xvfb_.display())) {
    // A window manager gives the client the focus when it gets to it: wait until keys arrive.
    for (int attempt = 0; attempt < 20; ++attempt) {
      sink_->emit(KeyEvent{kMacF1, true, 0});
      sink_->emit(KeyEvent{kMacF1, false, 0});
      client_.batch(std::chrono::milliseconds(500), false);
      if (client_.ended()) return;
    }
  }

  std::vector<Received> send(const std::vector<InputEvent>& events) {
    for (const auto& event : events)
      sink_->emit(event);
    sink_->emit(KeyEvent{kMacF1, true, 0});
    sink_->emit(KeyEvent{kMacF1, false, 0});
    return client_.batch();
  }
  std::vector<Received> keyPresses(const std::vector<Received>& received) {
    std::vector<Received> keys;
    for (const auto& r : received) {
      if (r.type == XCB_KEY_PRESS) keys.push_back(r);
    }
    return keys;
  }

  Server xvfb_;
  TestClient client_;
  std::shared_ptr<X11InputSink> sink_;
};

using X11InputTest = InputFixture<XvfbServer>;

TEST_F(X11InputTest, KeyPositionsAndModifierFlagsReachTheFocusedWindow) {
  EXPECT_TRUE(xtestAvailable(xvfb_.display()));
  auto received = send({KeyEvent{0, true, 0}, KeyEvent{0, false, 0}});
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].detail, 38);
  EXPECT_EQ(client_.keysym(received[0].detail, received[0].state), 'a');

  received = send({KeyEvent{0, true, modifier_flags::kShift}, KeyEvent{0, false, 0}});
  ASSERT_EQ(received.size(), 2u);  // shift, then A
  EXPECT_EQ(received[1].detail, 38);
  EXPECT_EQ(client_.keysym(received[1].detail, received[1].state), 'A');

  // The paste shortcut: command-V arrives as control-V, and control is let go afterwards.
  received = send({KeyEvent{9, true, modifier_flags::kCommand}, KeyEvent{9, false, modifier_flags::kCommand},
                   KeyEvent{9, true, 0}});
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0].detail, 37);  // Control_L
  EXPECT_EQ(received[1].detail, 55);
  EXPECT_TRUE(received[1].state & XCB_MOD_MASK_CONTROL);
  EXPECT_EQ(client_.keysym(received[1].detail, received[1].state), 'v');
  EXPECT_FALSE(received[2].state & XCB_MOD_MASK_CONTROL);

  // A held shift key stays held around a key sent without flags.
  received = send({KeyEvent{56, true, modifier_flags::kShift}, KeyEvent{0, true, 0}, KeyEvent{0, false, 0},
                   KeyEvent{0, true, modifier_flags::kShift}, KeyEvent{0, false, 0}, KeyEvent{56, false, 0}});
  ASSERT_EQ(received.size(), 4u);  // shift, A without shift, shift again, A
  EXPECT_EQ(received[0].detail, 50);
  EXPECT_FALSE(received[1].state & XCB_MOD_MASK_SHIFT);
  EXPECT_EQ(received[2].detail, 50);
  EXPECT_TRUE(received[3].state & XCB_MOD_MASK_SHIFT);

  // Codes with no PC key are ignored.
  EXPECT_TRUE(send({KeyEvent{63, true, 0}, KeyEvent{52, true, 0}}).empty());
}

TEST_F(X11InputTest, ButtonsLandAtTheDisplayPointOfTheController) {
  // An unknown display is the first (here the only) output.
  auto bounds = std::make_shared<X11DisplayBounds>(xvfb_.display());
  EXPECT_EQ(bounds->bounds(12345), (DisplayRect{0, 0, 1280, 720}));
  InputController controller([] { return true; }, [bounds](DisplayID id) { return bounds->bounds(id); },
                             sink_);
  ControlMessage press = ControlMessage::make("input");
  press.event = "button";
  press.x = 0.25;
  press.y = 0.5;
  press.keyDown = true;
  controller.handle(press);
  press.keyDown = false;
  controller.handle(press);
  press.button = 1;
  press.x = 1.0;
  press.y = 0.0;
  press.keyDown = true;
  press.modifiers = modifier_flags::kOption;
  controller.handle(press);
  controller.releaseAll();

  const auto received = send({});
  ASSERT_EQ(received.size(), 3u);  // left, Alt_L, right
  EXPECT_EQ(received[0].type, XCB_BUTTON_PRESS);
  EXPECT_EQ(received[0].detail, 1);
  EXPECT_EQ(received[0].rootX, 320);
  EXPECT_EQ(received[0].rootY, 360);
  EXPECT_EQ(received[1].detail, 64);
  EXPECT_EQ(received[2].detail, 3);
  EXPECT_EQ(received[2].rootX, 1280 - 1);  // the pointer stays on the screen
  EXPECT_EQ(received[2].rootY, 0);
  EXPECT_TRUE(received[2].state & XCB_MOD_MASK_1);
}

TEST_F(X11InputTest, TextIsTypedAsUnicodeAndTheKeymapIsRestored) {
  const auto original = client_.mapping();
  const auto received = keyPresses(send({TextEvent{"aB\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xA9"}}));
  std::vector<xcb_keysym_t> keysyms;
  for (const auto& key : received) {
    const xcb_keysym_t keysym = client_.keysym(key.detail, key.state);
    if (keysym != 0xFFE1) keysyms.push_back(keysym);  // Shift_L
  }
  EXPECT_EQ(keysyms, (std::vector<xcb_keysym_t>{'a', 'B', 0xE9, 0x10020AC, 0x101F600, 0xE9}));
  EXPECT_NE(client_.mapping(), original);
  sink_->restoreKeymap();
  EXPECT_EQ(client_.mapping(), original);

  send({TextEvent{"\xC3\xA9"}});
  sink_.reset();  // also gives the keycodes back
  EXPECT_EQ(client_.mapping(), original);
}

TEST_F(X11InputTest, PixelScrollingBecomesWheelClicksWithTheRestCarriedOver) {
  // Slow scrolling adds up to a click.
  auto received = send({ScrollEvent{20, 0}, ScrollEvent{20, 0}, ScrollEvent{20, 0}});
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].detail, 4);

  received = send({ScrollEvent{-125, 0}, ScrollEvent{0, 50}, ScrollEvent{0, -50}});
  std::vector<std::uint8_t> buttons(received.size());
  std::transform(received.begin(), received.end(), buttons.begin(),
                 [](const Received& r) { return r.detail; });
  EXPECT_EQ(buttons, (std::vector<std::uint8_t>{5, 5, 6, 7}));

  // 300 pixels are a handful of clicks, as a toolkit scrolls about that far for them.
  EXPECT_EQ(send({ScrollEvent{-300, 0}}).size(), 300u / X11InputSink::kScrollPixelsPerClick);
}

// The same sink on a desktop with a window manager, a compositor and two layouts (us,de).
class X11DesktopInputTest : public InputFixture<quorvanta::testing::TestDesktop> {
 protected:
  bool isDown(xcb_keycode_t key) {
    xcb_connection_t* c = client_.get();
    Reply<xcb_query_keymap_reply_t> keymap(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
    return keymap && ((keymap->keys[key / 8] >> (key % 8)) & 1);
  }
  bool repeats(xcb_keycode_t key) {
    xcb_connection_t* c = client_.get();
    Reply<xcb_get_keyboard_control_reply_t> control(
        xcb_get_keyboard_control_reply(c, xcb_get_keyboard_control(c), nullptr));
    return control && ((control->auto_repeats[key / 8] >> (key % 8)) & 1);
  }
};

TEST_F(X11DesktopInputTest, AHeldKeyIsPressedOnceAndRepeatsAgainAfterwards) {
  constexpr xcb_keycode_t kA = 38;
  ASSERT_TRUE(repeats(kA));
  auto received = keyPresses(send({KeyEvent{0, true, 0}}));
  EXPECT_FALSE(repeats(kA));
  // Longer than the server's repeat delay (660 ms) and several repeat intervals.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto later = keyPresses(send({KeyEvent{0, false, 0}}));
  received.insert(received.end(), later.begin(), later.end());
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].detail, kA);
  send({});
  EXPECT_TRUE(repeats(kA));
}

TEST_F(X11DesktopInputTest, CapsLockAndTheSecondLayoutDoNotChangeTypedText) {
  xcb_connection_t* c = client_.get();
  Reply<xcb_xkb_use_extension_reply_t>(
      xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr));
  // Caps Lock on, the German group active: "yz" would come out as "ZY".
  xcb_xkb_latch_lock_state(c, XCB_XKB_ID_USE_CORE_KBD, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_LOCK, 1, 1, 0, 0, 0);
  Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

  const auto received = keyPresses(send({TextEvent{"Hey yz!"}}));
  std::string typed;
  for (const auto& key : received) {
    // What an XKB client reads: the group in bits 13-14, Caps Lock and shift pick the level.
    EXPECT_EQ((key.state >> 13) & 3, 0) << "group";
    EXPECT_FALSE(key.state & XCB_MOD_MASK_LOCK);
    const xcb_keysym_t keysym = client_.keysym(key.detail, key.state);
    if (keysym < 0x80) typed.push_back(static_cast<char>(keysym));
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

TEST_F(X11InputTest, TheClicksOfASeriesLandAtItsFirstPoint) {
  const auto click = [](int count, double x) {
    return std::vector<InputEvent>{MouseButtonEvent{MouseButton::left, true, count, {x, 300}, 0},
                                   MouseButtonEvent{MouseButton::left, false, count, {x, 300}, 0}};
  };
  auto events = click(1, 400);
  for (const auto& event : click(2, 405))
    events.push_back(event);
  const auto received = send(events);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1].rootX, 400);
}

}  // namespace
}  // namespace quorvanta::x11
