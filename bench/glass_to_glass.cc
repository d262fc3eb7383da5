// glass_to_glass: the reading end of bench/viewer_glass_to_glass.sh.
//
// The host's screen shows quorvanta-demo-scene --clock (CLOCK_MONOTONIC in microseconds drawn
// into every frame as a row of black and white blocks, see e2e_latency.cc for the layout). The
// viewer shows that screen on a second X server. This program makes the viewer's window fill
// that server's screen (there is no window manager), finds the clock row in the window's content
// and then reads it from the screen every millisecond. Each new clock value seen is one frame on
// the viewer's glass; its age is the glass-to-glass latency (sender and reader share the clock).
//
//   glass_to_glass DISPLAY SECONDS
//
// Prints one line of key=value pairs; latencies in milliseconds.

#include <xcb/xcb.h>

#include "bench/frame_clock.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using quorvanta::bench::monotonicMicroseconds;
constexpr int kBlocksPerWidth = quorvanta::bench::kFrameClockBlocksPerWidth;

class Screen {
 public:
  explicit Screen(const char* display) : connection_(xcb_connect(display, nullptr)) {
    if (xcb_connection_has_error(connection_)) {
      std::fprintf(stderr, "Cannot connect to %s.\n", display);
      std::exit(1);
    }
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  }
  ~Screen() { xcb_disconnect(connection_); }

  int width() const { return screen_->width_in_pixels; }
  int height() const { return screen_->height_in_pixels; }

  // Moves the largest mapped top-level window over the whole screen; false when there is none.
  bool fillWithLargestWindow() {
    auto* tree = xcb_query_tree_reply(connection_, xcb_query_tree(connection_, screen_->root), nullptr);
    if (!tree) return false;
    xcb_window_t best = 0;
    int bestArea = 0;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
      auto* attributes = xcb_get_window_attributes_reply(
          connection_, xcb_get_window_attributes(connection_, children[i]), nullptr);
      const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
      free(attributes);
      auto* geometry =
          xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, children[i]), nullptr);
      if (viewable && geometry && geometry->width * geometry->height > bestArea) {
        best = children[i];
        bestArea = geometry->width * geometry->height;
      }
      free(geometry);
    }
    free(tree);
    if (best == 0) return false;
    const std::uint32_t values[] = {0, 0, std::uint32_t(width()), std::uint32_t(height())};
    xcb_configure_window(
        connection_, best,
        XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
        values);
    xcb_flush(connection_);
    return true;
  }

  // One row of the screen as brightness 0...255 per pixel.
  std::vector<int> row(int y) {
    std::vector<int> result;
    auto* image = xcb_get_image_reply(connection_,
                                      xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, 0,
                                                    std::int16_t(y), std::uint16_t(width()), 1, ~0u),
                                      nullptr);
    if (!image) return result;
    const std::uint8_t* data = xcb_get_image_data(image);
    const int length = xcb_get_image_data_length(image);
    for (int x = 0; x + 1 <= width() && x * 4 + 3 < length; ++x)
      result.push_back((data[x * 4] + data[x * 4 + 1] + data[x * 4 + 2]) / 3);
    free(image);
    return result;
  }

 private:
  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
};

// The clock in one screen row, the picture spanning the screen's width; nothing when the row does
// not hold a clock that passes its check.
std::optional<std::uint64_t> readClock(const std::vector<int>& row) {
  if (row.empty()) return std::nullopt;
  const double block = static_cast<double>(row.size()) / kBlocksPerWidth;
  const auto bit = [&](int index) {
    const double centre = (1 + index + 0.5) * block;
    const int half = std::max(1, static_cast<int>(block / 4));
    int sum = 0;
    int count = 0;
    for (int x = static_cast<int>(centre) - half; x < static_cast<int>(centre) + half; ++x) {
      if (x < 0 || x >= static_cast<int>(row.size())) continue;
      sum += row[std::size_t(x)];
      ++count;
    }
    return count > 0 && sum / count >= 128;
  };
  return quorvanta::bench::decodeFrameClock(bit);
}

double percentile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(index, samples.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "Usage: glass_to_glass DISPLAY SECONDS\n");
    return 2;
  }
  Screen screen(argv[1]);
  const double seconds = std::atof(argv[2]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);

  // Find the clock's row once the viewer fills the screen and shows the stream.
  std::optional<int> clockRow;
  while (!clockRow && std::chrono::steady_clock::now() < deadline) {
    screen.fillWithLargestWindow();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int y = 0; y < screen.height() && !clockRow; y += 2) {
      if (readClock(screen.row(y))) clockRow = y;
    }
  }
  if (!clockRow) {
    std::fprintf(stderr, "The viewer's window never showed the clock.\n");
    return 1;
  }
  // The middle of the row's blocks: a block is width / 80 pixels high.
  const int y = *clockRow + std::max(1, screen.width() / kBlocksPerWidth / 2 - 2);

  std::vector<double> latencies;
  std::uint64_t last = 0;
  int unreadable = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    const auto clock = readClock(screen.row(y));
    const std::uint64_t now = monotonicMicroseconds();
    if (!clock) {
      ++unreadable;
    } else if (*clock != last) {
      last = *clock;
      if (now >= *clock) latencies.push_back(static_cast<double>(now - *clock) / 1000.0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::printf("frames=%zu fps=%.1f median_ms=%.1f p95_ms=%.1f max_ms=%.1f unreadable_reads=%d\n",
              latencies.size(), static_cast<double>(latencies.size()) / seconds, percentile(latencies, 0.5),
              percentile(latencies, 0.95),
              latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()), unreadable);
  return latencies.empty() ? 1 : 0;
}
