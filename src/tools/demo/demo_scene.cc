// quorvanta-demo-scene: fills the X screen with moving content (colour bands, a bouncing block
// and a frame counter), so that a demo stream has something to show. Runs until killed.
//
// With --clock, every frame also carries the moment it was drawn (CLOCK_MONOTONIC in microseconds)
// as a row of large black and white blocks near the top left corner, so that whoever decodes the
// stream on the same machine can tell how old each picture is. The row, in units of one block of
// width / 80 pixels (24 at 1920), starting one block from the left edge, three blocks from the top:
// the marker 1101, the 48 low bits of the clock, most significant first, and an 8-bit check
// (the sum of the clock's six bytes, exclusive-or 0xA5). A black margin of one block surrounds it.
// The scene's window is then also raised above any other window every frame.
//
// With --busy, the scene also gives an encoder more than any network path carries: a block of
// fresh noise under the clock row (a third of the screen's width and height) and, on the right
// half, a page of small text that scrolls up two pixels every frame.

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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

constexpr int kClockBlocksPerWidth = 80;
constexpr int kClockMarkerBits = 4;
constexpr int kClockValueBits = 48;
constexpr int kClockCheckBits = 8;
constexpr int kClockBits = kClockMarkerBits + kClockValueBits + kClockCheckBits;

std::uint64_t monotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000U +
         static_cast<std::uint64_t>(now.tv_nsec) / 1'000U;
}

// The row's bits, left to right.
std::array<bool, kClockBits> clockBits(std::uint64_t microseconds) {
  std::array<bool, kClockBits> bits{true, true, false, true};
  const std::uint64_t value = microseconds & ((std::uint64_t{1} << kClockValueBits) - 1);
  unsigned check = 0;
  for (int byte = 0; byte < kClockValueBits / 8; ++byte)
    check += static_cast<unsigned>(value >> (8 * byte)) & 0xFFU;
  check = (check ^ 0xA5U) & 0xFFU;
  for (int bit = 0; bit < kClockValueBits; ++bit)
    bits[static_cast<std::size_t>(kClockMarkerBits + bit)] =
        ((value >> (kClockValueBits - 1 - bit)) & 1U) != 0;
  for (int bit = 0; bit < kClockCheckBits; ++bit)
    bits[static_cast<std::size_t>(kClockMarkerBits + kClockValueBits + bit)] =
        ((check >> (kClockCheckBits - 1 - bit)) & 1U) != 0;
  return bits;
}

// Draws the clock row (see the top of this file) with the current time, as late as possible.
void drawClock(xcb_connection_t* c, xcb_window_t window, xcb_gcontext_t gc, const xcb_screen_t& screen,
               int width) {
  const int size = width / kClockBlocksPerWidth;
  const auto at = [size](int blocksX, int blocksY, int blocksWide, int blocksHigh) {
    return xcb_rectangle_t{
        static_cast<std::int16_t>(blocksX * size), static_cast<std::int16_t>(blocksY * size),
        static_cast<std::uint16_t>(blocksWide * size), static_cast<std::uint16_t>(blocksHigh * size)};
  };
  const std::array<bool, kClockBits> bits = clockBits(monotonicMicroseconds());
  std::vector<xcb_rectangle_t> white;
  for (int index = 0; index < kClockBits; ++index)
    if (bits[static_cast<std::size_t>(index)]) white.push_back(at(1 + index, 3, 1, 1));
  const xcb_rectangle_t margin = at(0, 2, kClockBits + 2, 3);
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &screen.black_pixel);
  xcb_poly_fill_rectangle(c, window, gc, 1, &margin);
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &screen.white_pixel);
  xcb_poly_fill_rectangle(c, window, gc, static_cast<std::uint32_t>(white.size()), white.data());
}

// Fills `area` of the window with fresh grey-level noise, in strips that fit one X request.
void drawNoise(xcb_connection_t* c, xcb_window_t window, xcb_gcontext_t gc, std::uint8_t depth,
               const xcb_rectangle_t& area, std::uint64_t& state, std::vector<std::uint32_t>& pixels) {
  constexpr int kStripRows = 16;
  pixels.resize(static_cast<std::size_t>(area.width) * kStripRows);
  for (int top = 0; top < area.height; top += kStripRows) {
    const int rows = std::min(kStripRows, area.height - top);
    for (std::uint32_t& pixel : pixels) {
      state ^= state << 13;  // xorshift64: cheap and plenty random for an encoder
      state ^= state >> 7;
      state ^= state << 17;
      const auto grey = static_cast<std::uint32_t>(state & 0xFFU);
      pixel = grey << 16 | grey << 8 | grey;
    }
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, area.width, static_cast<std::uint16_t>(rows),
                  area.x, static_cast<std::int16_t>(area.y + top), 0, depth,
                  static_cast<std::uint32_t>(area.width) * static_cast<std::uint32_t>(rows) * 4,
                  reinterpret_cast<const std::uint8_t*>(pixels.data()));
  }
}

// A page of small random text the size of `area`, to scroll through.
xcb_pixmap_t makeTextPage(xcb_connection_t* c, xcb_window_t window, xcb_gcontext_t gc,
                          const xcb_screen_t& screen, const xcb_rectangle_t& area) {
  const xcb_pixmap_t page = xcb_generate_id(c);
  xcb_create_pixmap(c, screen.root_depth, page, window, area.width, area.height);
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &screen.white_pixel);
  const xcb_rectangle_t all{0, 0, area.width, area.height};
  xcb_poly_fill_rectangle(c, page, gc, 1, &all);
  const std::uint32_t colours[] = {screen.black_pixel, screen.white_pixel};
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND, colours);
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (int y = 12; y < area.height; y += 14) {
    std::string line;
    while (static_cast<int>(line.size()) * 6 < area.width) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      const auto pick = static_cast<int>((state >> 33) % 40);
      line.push_back(pick < 8 ? ' '
                              : static_cast<char>('!' + (pick * 7 + static_cast<int>(line.size())) % 90));
    }
    xcb_image_text_8(c, static_cast<std::uint8_t>(std::min<std::size_t>(line.size(), 255)), page, gc, 2,
                     static_cast<std::int16_t>(y), line.c_str());
  }
  return page;
}

// Copies the page into `area` scrolled up by `offset` rows, wrapping round.
void drawTextPage(xcb_connection_t* c, xcb_window_t window, xcb_gcontext_t gc, xcb_pixmap_t page,
                  const xcb_rectangle_t& area, int offset) {
  const int shift = offset % area.height;
  xcb_copy_area(c, page, window, gc, 0, static_cast<std::int16_t>(shift), area.x, area.y, area.width,
                static_cast<std::uint16_t>(area.height - shift));
  if (shift > 0)
    xcb_copy_area(c, page, window, gc, 0, 0, area.x, static_cast<std::int16_t>(area.y + area.height - shift),
                  area.width, static_cast<std::uint16_t>(shift));
}

// Waits until the X server has carried out every request sent so far.
void sync(xcb_connection_t* c) {
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

}  // namespace

int main(int argc, char** argv) {
  bool withClock = false;
  bool busy = false;
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument(argv[index]);
    if (argument == "--clock") {
      withClock = true;
    } else if (argument == "--busy") {
      busy = true;
    } else {
      std::fprintf(stderr, "usage: quorvanta-demo-scene [--clock] [--busy]\n");
      return 2;
    }
  }

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

  const int unit = width / kClockBlocksPerWidth;
  const xcb_rectangle_t noiseArea{static_cast<std::int16_t>(unit), static_cast<std::int16_t>(6 * unit),
                                  static_cast<std::uint16_t>(width / 3),
                                  static_cast<std::uint16_t>(height / 3)};
  const xcb_rectangle_t textArea{static_cast<std::int16_t>(width / 2), static_cast<std::int16_t>(6 * unit),
                                 static_cast<std::uint16_t>(width / 2 - unit),
                                 static_cast<std::uint16_t>(height - 8 * unit)};
  const xcb_pixmap_t textPage = busy ? makeTextPage(c, window, gc, *screen, textArea) : 0;
  std::uint64_t noiseState = 0x2545F4914F6CDD1DULL;
  std::vector<std::uint32_t> noisePixels;

  constexpr int kBands = 8;
  const auto start = std::chrono::steady_clock::now();
  // With the clock, the rest of the scene never paints over the clock row's area: a picture captured
  // while a frame is being drawn still shows the previous clock rather than no clock at all.
  const int clockRight = (kClockBits + 2) * unit;
  const std::array<xcb_rectangle_t, 3> aroundClock{{
      {0, 0, static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(2 * unit)},
      {static_cast<std::int16_t>(clockRight), static_cast<std::int16_t>(2 * unit),
       static_cast<std::uint16_t>(width - clockRight), static_cast<std::uint16_t>(3 * unit)},
      {0, static_cast<std::int16_t>(5 * unit), static_cast<std::uint16_t>(width),
       static_cast<std::uint16_t>(height - 5 * unit)},
  }};
  for (int frame = 0;; ++frame) {
    if (withClock)
      xcb_set_clip_rectangles(c, XCB_CLIP_ORDERING_UNSORTED, gc, 0, 0,
                              static_cast<std::uint32_t>(aroundClock.size()), aroundClock.data());
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
    const std::uint32_t textColours[] = {screen->black_pixel, screen->white_pixel};
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND, textColours);
    xcb_image_text_8(c, static_cast<std::uint8_t>(label.size()), window, gc, 20, 30, label.c_str());
    if (busy) {
      drawNoise(c, window, gc, screen->root_depth, noiseArea, noiseState, noisePixels);
      drawTextPage(c, window, gc, textPage, textArea, 2 * frame);
    }
    if (withClock) {
      // Whatever else opened a window (a host's panel, say) stays below, so that the whole
      // screen moves and every run shows the same picture.
      const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
      xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, above);
      // The rest of the picture is on the screen before the clock is read, so the time drawn is
      // the moment the whole frame became visible, give or take the drawing of the row itself.
      sync(c);
      const std::uint32_t noClip[] = {XCB_NONE};
      xcb_change_gc(c, gc, XCB_GC_CLIP_MASK, noClip);
      drawClock(c, window, gc, *screen, width);
    }
    xcb_flush(c);
    if (xcb_connection_has_error(c)) return 0;  // the X server went away: the demo is over
    std::this_thread::sleep_until(start + std::chrono::milliseconds(33) * (frame + 1));
  }
}
