#pragma once

// The tests' own X client on a private X server: what a person at that screen sees and does.

#include <xcb/xcb.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorvanta::test {

inline constexpr std::uint32_t kPatternColour = 0x3366cc;

struct Geometry {
  xcb_window_t window = 0;
  int x = 0, y = 0, width = 0, height = 0;
};

class TestWindow {
 public:
  // Connects to `display`; with a colour, also covers the screen with a window of that colour that
  // records the key and button presses it gets.
  explicit TestWindow(const std::string& display, std::optional<std::uint32_t> colour = kPatternColour)
      : connection_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    if (!colour) return;
    window_ = xcb_generate_id(connection_);
    const std::uint32_t values[] = {
        *colour, 1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen_->root, 0, 0,
                      screen_->width_in_pixels, screen_->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
                      values);
    xcb_map_window(connection_, window_);
    front();
  }
  ~TestWindow() { xcb_disconnect(connection_); }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  // Raises the window above every other (the host's own panel included) and gives it the focus.
  void front() {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(connection_, window_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    focus(window_);
  }
  void focus(xcb_window_t window) {
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    sync();
  }
  void paintDesktop(std::uint32_t colour) {
    xcb_change_window_attributes(connection_, screen_->root, XCB_CW_BACK_PIXEL, &colour);
    xcb_clear_area(connection_, 0, screen_->root, 0, 0, 0, 0);
    sync();
  }

  // The screen's pixel at (x, y) as 0xRRGGBB.
  std::uint32_t pixel(int x, int y) {
    auto* image = xcb_get_image_reply(connection_,
                                      xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root,
                                                    std::int16_t(x), std::int16_t(y), 1, 1, ~0u),
                                      nullptr);
    std::uint32_t colour = 0xffffffff;
    if (image && xcb_get_image_data_length(image) >= 4) {
      const std::uint8_t* data = xcb_get_image_data(image);
      colour = std::uint32_t(data[2]) << 16 | std::uint32_t(data[1]) << 8 | data[0];
    }
    free(image);
    return colour;
  }

  // Input through XTEST: a key or button press and release, or a pointer motion to (x, y).
  void press(std::uint8_t type, std::uint8_t detail) {
    xcb_test_fake_input(connection_, type, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(connection_, static_cast<std::uint8_t>(type + 1), detail, XCB_CURRENT_TIME, XCB_NONE,
                        0, 0, 0);
    sync();
  }
  void move(int x, int y) {
    xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, screen_->root, std::int16_t(x),
                        std::int16_t(y), 0);
    sync();
  }
  // From now on this client's input goes through the master pointer `name` (a second person).
  bool useMaster(const std::string& name) {
    auto* reply = xcb_input_xi_query_device_reply(
        connection_, xcb_input_xi_query_device(connection_, XCB_INPUT_DEVICE_ALL), nullptr);
    std::optional<xcb_input_device_id_t> pointer;
    for (auto it = xcb_input_xi_query_device_infos_iterator(reply); reply && it.rem > 0;
         xcb_input_xi_device_info_next(&it)) {
      if (it.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER &&
          std::string(xcb_input_xi_device_info_name(it.data), it.data->name_len) == name)
        pointer = it.data->deviceid;
    }
    free(reply);
    if (pointer) xcb_input_xi_set_client_pointer(connection_, XCB_NONE, *pointer);
    sync();
    return pointer.has_value();
  }

  // The largest mapped top-level window wider than 400 pixels (another program's main window).
  std::optional<Geometry> largestWindow() {
    std::optional<Geometry> best;
    auto* tree = xcb_query_tree_reply(connection_, xcb_query_tree(connection_, screen_->root), nullptr);
    for (int i = 0; tree && i < xcb_query_tree_children_length(tree); ++i) {
      const xcb_window_t child = xcb_query_tree_children(tree)[i];
      auto* attributes = xcb_get_window_attributes_reply(
          connection_, xcb_get_window_attributes(connection_, child), nullptr);
      auto* geometry = xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, child), nullptr);
      if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE && geometry &&
          geometry->width > 400 && (!best || geometry->width * geometry->height > best->width * best->height))
        best = Geometry{child, geometry->x, geometry->y, geometry->width, geometry->height};
      free(attributes);
      free(geometry);
    }
    free(tree);
    return best;
  }
  void resize(xcb_window_t window, int width) {
    const std::uint32_t value = std::uint32_t(width);
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_WIDTH, &value);
    sync();
  }

  struct Press {
    bool key = false;
    std::uint8_t detail = 0;  // keycode or button
    std::uint16_t state = 0;
    int x = 0;
    int y = 0;
    std::uint32_t keysym = 0;
  };

  // Collects presses on the window until `count` have arrived or about 10 s have passed.
  std::vector<Press> presses(std::size_t count) {
    for (int round = 0; round < 1000 && presses_.size() < count; ++round) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const auto type = event->response_type & 0x7f;
        if (type == XCB_KEY_PRESS || type == XCB_BUTTON_PRESS) {
          const auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);  // same layout for both
          const bool key = type == XCB_KEY_PRESS;
          presses_.push_back({key, press->detail, press->state, press->root_x, press->root_y,
                              key ? keysym(press->detail, press->state) : 0});
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
  void sync() { free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

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
