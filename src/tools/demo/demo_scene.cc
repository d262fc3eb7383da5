// quorvanta-demo-scene: fills the X screen with moving content (colour bands, a bouncing block
// and a frame counter), so that a demo stream has something to show. Runs until killed.

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace {

struct ConnectionCloser {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

std::uint32_t colour(int step) {
  const auto wave = [](int phase) {
    return static_cast<std::uint32_t>(
        128 + 127 * ((phase % 512) < 256 ? (phase % 256) : 255 - (phase % 256)) / 255);
  };
  return (wave(step) << 16) | (wave(step + 170) << 8) | wave(step + 340);
}

}  // namespace

int main() {
  int screenNumber = 0;
  std::unique_ptr<xcb_connection_t, ConnectionCloser> connection(xcb_connect(nullptr, &screenNumber));
  if (xcb_connection_has_error(connection.get())) {
    std::fprintf(stderr, "quorvanta-demo-scene: cannot open the X display.\n");
    return 1;
  }
  xcb_connection_t* c = connection.get();
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int index = 0; index < screenNumber; ++index)
    xcb_screen_next(&screens);
  const xcb_screen_t* screen = screens.data;
  const int width = screen->width_in_pixels;
  const int height = screen->height_in_pixels;

  const xcb_window_t window = xcb_generate_id(c);
  const std::uint32_t windowValues[] = {screen->black_pixel, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, windowValues);
  xcb_map_window(c, window);

  const xcb_font_t font = xcb_generate_id(c);
  xcb_open_font(c, font, 5, "fixed");
  const xcb_gcontext_t gc = xcb_generate_id(c);
  const std::uint32_t gcValues[] = {screen->white_pixel, screen->black_pixel, font};
  xcb_create_gc(c, gc, window, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT, gcValues);

  constexpr int kBands = 8;
  const auto start = std::chrono::steady_clock::now();
  for (int frame = 0;; ++frame) {
    for (int band = 0; band < kBands; ++band) {
      const std::uint32_t value = colour(frame * 4 + band * 64);
      xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &value);
      const xcb_rectangle_t area{static_cast<std::int16_t>(band * width / kBands), 0,
                                 static_cast<std::uint16_t>(width / kBands + 1),
                                 static_cast<std::uint16_t>(height)};
      xcb_poly_fill_rectangle(c, window, gc, 1, &area);
    }
    const int size = height / 5;
    const int x = (frame * 12) % (2 * (width - size));
    const int y = (frame * 7) % (2 * (height - size));
    const xcb_rectangle_t block{static_cast<std::int16_t>(x < width - size ? x : 2 * (width - size) - x),
                                static_cast<std::int16_t>(y < height - size ? y : 2 * (height - size) - y),
                                static_cast<std::uint16_t>(size), static_cast<std::uint16_t>(size)};
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &screen->white_pixel);
    xcb_poly_fill_rectangle(c, window, gc, 1, &block);
    const std::string label = "Quorvanta demo - frame " + std::to_string(frame);
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &screen->black_pixel);
    xcb_image_text_8(c, static_cast<std::uint8_t>(label.size()), window, gc, 20, 30, label.c_str());
    xcb_flush(c);
    if (xcb_connection_has_error(c)) return 0;  // the X server went away: the demo is over
    std::this_thread::sleep_until(start + std::chrono::milliseconds(33) * (frame + 1));
  }
}
