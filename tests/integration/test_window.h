#pragma once

// A window of the tests' own on a private X server: the host's screen content, and what the host
// injects into it.

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorvanta::test {

inline constexpr std::uint32_t kPatternColour = 0x3366cc;

// A full-screen window of one colour that records the key and button presses it gets.
class TestWindow {
 public:
  explicit TestWindow(const std::string& display) : connection_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    window_ = xcb_generate_id(connection_);
    const std::uint32_t values[] = {
        kPatternColour, 1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen_->root, 0, 0,
                      screen_->width_in_pixels, screen_->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
                      values);
    xcb_map_window(connection_, window_);
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  ~TestWindow() { xcb_disconnect(connection_); }

  // Raises the window above every other (the host's own panel included) and gives it the focus.
  void front() {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(connection_, window_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  struct Press {
    bool key = false;
    std::uint8_t detail = 0;  // keycode or button
    std::uint16_t state = 0;
    int x = 0;
    int y = 0;
    std::uint32_t keysym = 0;
  };

  // Collects presses until `count` have arrived or about 10 s have passed.
  std::vector<Press> presses(std::size_t count) {
    for (int round = 0; round < 1000 && presses_.size() < count; ++round) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const auto type = event->response_type & 0x7f;
        if (type == XCB_KEY_PRESS) {
          const auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
          presses_.push_back(
              {true, key->detail, key->state, key->root_x, key->root_y, keysym(key->detail, key->state)});
        } else if (type == XCB_BUTTON_PRESS) {
          const auto* button = reinterpret_cast<xcb_button_press_event_t*>(event);
          presses_.push_back({false, button->detail, button->state, button->root_x, button->root_y, 0});
        }
        free(event);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return presses_;
  }

  std::pair<int, int> pointer() {
    auto* reply =
        xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, screen_->root), nullptr);
    const std::pair<int, int> result{reply ? reply->root_x : -1, reply ? reply->root_y : -1};
    free(reply);
    return result;
  }

 private:
  // The keysym the key had when it was pressed (the host binds characters its layout lacks to
  // spare keys for a while, so reading the mapping right away sees the binding).
  std::uint32_t keysym(std::uint8_t keycode, std::uint16_t state) {
    auto* reply = xcb_get_keyboard_mapping_reply(connection_,
                                                 xcb_get_keyboard_mapping(connection_, keycode, 1), nullptr);
    if (!reply) return 0;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
    const int perKeycode = reply->keysyms_per_keycode;
    const int level = (state & XCB_MOD_MASK_SHIFT) && perKeycode > 1 && syms[1] != 0 ? 1 : 0;
    const std::uint32_t result = perKeycode > 0 ? syms[level] : 0;
    free(reply);
    return result;
  }

  xcb_connection_t* connection_;
  xcb_screen_t* screen_ = nullptr;
  xcb_window_t window_ = 0;
  std::vector<Press> presses_;
};

}  // namespace quorvanta::test
