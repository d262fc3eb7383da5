#include "platform/linux/x11/x11_capture_service.h"
#include "support/run_awaitable.h"

#include <gtest/gtest.h>

#include <xcb/xcb.h>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/video/screen_streamer.h"
#include "platform/linux/x11/xcb_handles.h"
#include "support/fake_capture_service.h"
#include "test_desktop.h"
#include "xvfb_server.h"

namespace quorvanta::x11 {
namespace {

using namespace std::chrono_literals;
using quorvanta::testing::FakePipeline;
using quorvanta::testing::XvfbServer;

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 720;

struct Rect {
  int x, y, width, height;
  std::uint32_t rgb;
};

// The test picture: large blocks of distinct colours covering the whole screen.
const std::vector<Rect> kPattern = {
    {0, 0, 640, 360, 0xFF0000},     {640, 0, 640, 360, 0x00FF00},   {0, 360, 640, 360, 0x0000FF},
    {640, 360, 320, 360, 0xFFFFFF}, {960, 360, 320, 360, 0x336699},
};

// Video-range BT.709 NV12 back to RGB.
std::array<double, 3> rgbAt(const PixelBuffer& frame, int x, int y) {
  const double luma = (frame.y[static_cast<std::size_t>(y * frame.strideY + x)] - 16.0) * 255.0 / 219.0;
  const auto uvIndex = static_cast<std::size_t>((y / 2) * frame.strideUV + (x / 2) * 2);
  const double cb = (frame.uv[uvIndex] - 128.0) * 255.0 / 224.0;
  const double cr = (frame.uv[uvIndex + 1] - 128.0) * 255.0 / 224.0;
  return {luma + 1.5748 * cr, luma - 0.1873 * cb - 0.4681 * cr, luma + 1.8556 * cb};
}

// Whether the frame shows `rgb` at (x, y), within `tolerance` on each channel.
::testing::AssertionResult showsColor(const PixelBuffer& frame, int x, int y, std::uint32_t rgb,
                                      double tolerance = 20) {
  const auto got = rgbAt(frame, x, y);
  for (int c = 0; c < 3; ++c) {
    if (std::abs(got[static_cast<std::size_t>(c)] - ((rgb >> (16 - 8 * c)) & 0xFF)) > tolerance) {
      return ::testing::AssertionFailure()
             << "(" << x << ", " << y << ") is " << got[0] << " " << got[1] << " " << got[2];
    }
  }
  return ::testing::AssertionSuccess();
}

// Whether the frame shows the pattern, scaled to the frame's size: each block's colour near each of
// its corners and at its centre.
::testing::AssertionResult showsPattern(const PixelBuffer& frame) {
  const double scale = static_cast<double>(frame.width) / kScreenWidth;
  for (const Rect& r : kPattern) {
    for (const auto& [x, y] : {std::pair{r.x + 6, r.y + 6}, std::pair{r.x + r.width - 7, r.y + r.height - 7},
                               std::pair{r.x + 6, r.y + r.height - 7}, std::pair{r.x + r.width - 7, r.y + 6},
                               std::pair{r.x + r.width / 2, r.y + r.height / 2}}) {
      auto shown = showsColor(frame, static_cast<int>(x * scale), static_cast<int>(y * scale), r.rgb);
      if (!shown) return shown;
    }
  }
  return ::testing::AssertionSuccess();
}

// The capture service on a bare X server (XvfbServer) or on a desktop (TestDesktop).
template <typename Server>
class CaptureFixture : public ::testing::Test {
 protected:
  CaptureFixture() : connection(Connection::connect(server.display())) {}

  void SetUp() override {
    service = std::make_shared<X11CaptureService>(server.display());
    streamer = ScreenStreamer::create(service, [this](asio::any_io_executor queue) {
      pipeline = std::make_shared<FakePipeline>(queue);
      return pipeline;
    });
  }

  void TearDown() override {
    if (streamer) stop();
  }
  void stop() {
    run<bool>([&]() -> asio::awaitable<bool> {
      co_await streamer->stop();
      co_return true;
    });
  }

  template <typename T>
  T run(std::function<asio::awaitable<T>()> operation) {
    return test::runAwaitable<T>(io, std::move(operation), 30s);
  }

  RemoteDisplay start(std::optional<DisplayID> id, int maxWidth, int fps) {
    return run<RemoteDisplay>([&] { return streamer->start(id, maxWidth, fps); });
  }

  bool exclude(std::set<WindowID> ids) {
    return run<bool>([&] { return streamer->exclude(ids); });
  }

  // Waits (bounded) until the pipeline has received at least `count` frames.
  std::vector<FakePipeline::Submission> waitForFrames(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      auto frames = pipeline->submissions();
      if (frames.size() >= count) return frames;
      std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "fewer than " << count << " frames arrived";
    return pipeline->submissions();
  }

  // Capture grabs only what changed: waits (bounded) for at least `count` frames, then up to
  // 300 ms for one more, so that the last one shows the screen as it settled.
  std::vector<FakePipeline::Submission> waitForSettled(std::size_t count) {
    const std::size_t seen = waitForFrames(count).size();
    const auto deadline = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < deadline && pipeline->submissions().size() <= seen)
      std::this_thread::sleep_for(10ms);
    return pipeline->submissions();
  }

  // A plain window filled with `pixel`, override-redirect when it is a child of the root.
  xcb_window_t makeWindow(xcb_window_t parent, std::int16_t x, std::int16_t y, std::uint16_t width,
                          std::uint16_t height, std::uint32_t pixel) {
    xcb_connection_t* c = connection.get();
    const xcb_window_t window = xcb_generate_id(c);
    const bool topLevel = parent == connection.root();
    const std::uint32_t values[] = {pixel, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, parent, x, y, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, connection.screen()->root_visual,
                      XCB_CW_BACK_PIXEL | (topLevel ? std::uint32_t{XCB_CW_OVERRIDE_REDIRECT} : 0u), values);
    return window;
  }

  void sync() {
    Reply<xcb_get_input_focus_reply_t> ignored(
        xcb_get_input_focus_reply(connection.get(), xcb_get_input_focus(connection.get()), nullptr));
  }

  // A mapped, override-redirect window over the whole screen, filled with the test pattern, with the
  // pointer at (100, 100), inside the red block and away from the points showsPattern checks.
  void showPattern() {
    xcb_connection_t* c = connection.get();
    const xcb_window_t window = makeWindow(connection.root(), 0, 0, kScreenWidth, kScreenHeight, 0);
    xcb_map_window(c, window);
    xcb_warp_pointer(c, XCB_NONE, connection.root(), 0, 0, 0, 0, 100, 100);
    sync();
    for (const Rect& r : kPattern)
      fill(window, r);
    sync();
  }

  void fill(xcb_window_t window, const Rect& r) {
    xcb_connection_t* c = connection.get();
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, XCB_GC_FOREGROUND, &r.rgb);
    const xcb_rectangle_t rect{static_cast<std::int16_t>(r.x), static_cast<std::int16_t>(r.y),
                               static_cast<std::uint16_t>(r.width), static_cast<std::uint16_t>(r.height)};
    xcb_poly_fill_rectangle(c, window, gc, 1, &rect);
    xcb_free_gc(c, gc);
  }

  Server server;
  Connection connection;
  asio::io_context io;
  std::shared_ptr<X11CaptureService> service;
  std::shared_ptr<FakePipeline> pipeline;
  std::shared_ptr<ScreenStreamer> streamer;
};

using X11CaptureTest = CaptureFixture<XvfbServer>;

TEST_F(X11CaptureTest, CapturesTheScreenAsItLooksScaledToTheRequestedWidth) {
  showPattern();
  for (const auto& [maxWidth, width, height] :
       {std::tuple{1920, kScreenWidth, kScreenHeight}, std::tuple{960, 960, 540}}) {
    const RemoteDisplay display = start(std::nullopt, maxWidth, 30);
    EXPECT_EQ(display.width, width);
    EXPECT_EQ(display.height, height);
    const PixelBuffer& frame = *waitForSettled(1).back().buffer;  // a start resets the pipeline
    ASSERT_EQ(frame.width, width);
    ASSERT_EQ(frame.height, height);
    EXPECT_TRUE(showsPattern(frame)) << maxWidth;
    int differing = 0;  // the pointer is drawn in
    for (int y = 90; y < 110; ++y) {
      for (int x = 90; x < 110; ++x)
        differing +=
            showsColor(frame, x * width / kScreenWidth, y * width / kScreenWidth, 0xFF0000, 60) ? 0 : 1;
    }
    EXPECT_GT(differing, 10) << maxWidth;
  }
}

// The root's own background (as xsetroot -solid sets it, no window holds it) shows where a
// left-out window was, through a window of the capture's own that stays lowest and takes no input.
TEST_F(X11CaptureTest, TheRootBackgroundShowsWhereAnExcludedWindowWas) {
  xcb_connection_t* c = connection.get();
  const std::uint32_t rootBackground = 0x3366CC;
  xcb_change_window_attributes(c, connection.root(), XCB_CW_BACK_PIXEL, &rootBackground);
  xcb_clear_area(c, 0, connection.root(), 0, 0, 0, 0);
  const xcb_window_t cover = makeWindow(connection.root(), 400, 200, 480, 300, 0xFF00FF);
  const xcb_window_t kept = makeWindow(connection.root(), 100, 100, 100, 100, 0x00FF00);
  const xcb_window_t inner = makeWindow(cover, 10, 10, 100, 100, 0xFF00FF);
  const xcb_window_t hidden = makeWindow(connection.root(), 10, 10, 100, 100, 0);
  for (const xcb_window_t window : {inner, cover, kept})
    xcb_map_window(c, window);
  sync();
  start(std::nullopt, 1920, 30);
  EXPECT_FALSE(exclude({hidden}));  // not on screen
  // Without a window manager's WM_STATE the inner window is not a listed window of its own.
  EXPECT_FALSE(exclude({inner}));
  ASSERT_TRUE(exclude({cover}));
  auto frames = waitForSettled(pipeline->submissions().size() + 1);
  EXPECT_TRUE(showsColor(*frames.back().buffer, 640, 350, 0x3366CC, 12));  // inside the left-out window
  EXPECT_TRUE(showsColor(*frames.back().buffer, 150, 150, 0x00FF00));      // the window not left out
  // The capture's own background window is not listed.
  auto content = run<ShareableContent>([&] { return service->shareableContent(); });
  EXPECT_EQ(content.windows.size(), 2u);

  // Left out no more: the window shows again and the background window is gone.
  ASSERT_TRUE(exclude({}));
  frames = waitForSettled(pipeline->submissions().size());  // the frame without the composer may be in
  EXPECT_TRUE(showsColor(*frames.back().buffer, 640, 350, 0xFF00FF));
}

// Nobody receives a paused stream's frames: it grabs nothing, and on resuming shows the screen
// as it is then.
TEST_F(X11CaptureTest, APausedStreamGrabsNothingUntilResumed) {
  start(std::nullopt, 1920, 30);
  waitForSettled(1);
  streamer->currentStream()->setPaused(true);
  std::this_thread::sleep_for(100ms);  // the pause reaches the capture queue
  const std::size_t paused = pipeline->submissions().size();
  xcb_map_window(connection.get(), makeWindow(connection.root(), 100, 100, 200, 200, 0xFF0000));
  sync();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(pipeline->submissions().size(), paused);
  streamer->currentStream()->setPaused(false);
  EXPECT_TRUE(showsColor(*waitForFrames(paused + 1).back().buffer, 200, 200, 0xFF0000));
}

// The same capture on a desktop with a window manager and a compositing manager.
using X11DesktopCaptureTest = CaptureFixture<quorvanta::testing::TestDesktop>;

TEST_F(X11DesktopCaptureTest, AStillScreenSendsAlmostNothingAndChangesArriveAtOnce) {
  start(std::nullopt, 1920, 30);
  waitForFrames(1);
  std::this_thread::sleep_for(500ms);  // the first paints of the window and compositing managers
  const std::size_t settled = pipeline->submissions().size();
  std::this_thread::sleep_for(1500ms);
  EXPECT_LE(pipeline->submissions().size(), settled + 1) << "a still screen at 30 fps";

  // Drawing shows at once.
  const std::size_t drawn = pipeline->submissions().size();  // read first: the frame may come at once
  const xcb_window_t window = makeWindow(connection.root(), 100, 100, 200, 200, 0xFF0000);
  xcb_map_window(connection.get(), window);
  sync();
  auto frames = waitForSettled(drawn + 1);
  const auto red = rgbAt(*frames.back().buffer, 200, 200);
  EXPECT_NEAR(red[0], 255, 20);
  EXPECT_NEAR(red[1], 0, 20);
}

TEST_F(X11DesktopCaptureTest, AnXrandrChangeKeepsTheStreamAliveAtTheNewSize) {
  std::vector<std::string> errors;
  std::mutex lock;
  streamer->setErrorCallback([&](const std::string& message, std::int64_t) {
    std::lock_guard guard(lock);
    errors.push_back(message);
  });
  const RemoteDisplay started = start(std::nullopt, 1920, 30);
  ASSERT_EQ(started.width, kScreenWidth);
  waitForFrames(1);
  // Xvfb may refuse new modes; then there is nothing to follow.
  const std::string xrandr = "DISPLAY=" + server.display() + " xrandr ";
  const std::string mode = "\"1024x576_test\" ";
  for (const std::string& arguments :
       {"--newmode " + mode + "48 1024 1064 1168 1312 576 579 584 597", "--addmode screen " + mode,
        "--output screen --fb 1024x576 --mode " + mode}) {
    if (std::system((xrandr + arguments + " >/dev/null 2>&1").c_str()) != 0)
      GTEST_SKIP() << "this X server refuses RandR mode changes";
  }
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline && pipeline->submissions().back().buffer->width != 1024)
    std::this_thread::sleep_for(10ms);
  const PixelBuffer& frame = *pipeline->submissions().back().buffer;
  EXPECT_EQ(frame.width, 1024);
  EXPECT_EQ(frame.height, 576);
  {
    std::lock_guard guard(lock);
    EXPECT_TRUE(errors.empty()) << errors.front();
  }
  // The listing follows too.
  auto displays = run<std::vector<RemoteDisplay>>([&] { return streamer->displays(); });
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].width, 1024);
  EXPECT_EQ(displays[0].height, 576);
}

}  // namespace
}  // namespace quorvanta::x11
