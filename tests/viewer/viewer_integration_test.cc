// The viewer end to end: the real host captures a private X server in the test's network
// namespace; the viewer runs on a second X server, pairs by link, shows the host's screen and
// passes on a click and typed text that the test gives it with XTEST.

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "integration_fixture.h"
#include "test_window.h"

namespace quorvanta::test {
namespace {

struct Geometry {
  xcb_window_t window = 0;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The viewer's X server as a person at it would see and touch it.
class ViewerScreen {
 public:
  explicit ViewerScreen(const std::string& display) : connection_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  }
  ~ViewerScreen() { xcb_disconnect(connection_); }
  ViewerScreen(const ViewerScreen&) = delete;
  ViewerScreen& operator=(const ViewerScreen&) = delete;

  // The largest mapped top-level window: the viewer's main window.
  std::optional<Geometry> window() {
    std::optional<Geometry> best;
    auto* tree = xcb_query_tree_reply(connection_, xcb_query_tree(connection_, screen_->root), nullptr);
    if (!tree) return best;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
      auto* attributes = xcb_get_window_attributes_reply(
          connection_, xcb_get_window_attributes(connection_, children[i]), nullptr);
      const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
      free(attributes);
      if (!viewable) continue;
      auto* geometry =
          xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, children[i]), nullptr);
      if (geometry && geometry->width > 400 &&
          (!best || geometry->width * geometry->height > best->width * best->height))
        best = Geometry{children[i], geometry->x, geometry->y, geometry->width, geometry->height};
      free(geometry);
    }
    free(tree);
    return best;
  }

  // The colour at (x, y) of the screen as 0xRRGGBB.
  std::optional<std::uint32_t> pixel(int x, int y) {
    auto* image = xcb_get_image_reply(connection_,
                                      xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root,
                                                    std::int16_t(x), std::int16_t(y), 1, 1, ~0u),
                                      nullptr);
    if (!image || xcb_get_image_data_length(image) < 4) {
      free(image);
      return std::nullopt;
    }
    const std::uint8_t* data = xcb_get_image_data(image);
    const std::uint32_t colour = std::uint32_t(data[2]) << 16 | std::uint32_t(data[1]) << 8 | data[0];
    free(image);
    return colour;
  }

  void focus(xcb_window_t window) {
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    sync();
  }
  void click(int x, int y) {
    xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, screen_->root, std::int16_t(x),
                        std::int16_t(y), 0);
    sync();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    xcb_test_fake_input(connection_, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(connection_, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    sync();
  }
  void type(std::uint8_t keycode) {
    xcb_test_fake_input(connection_, XCB_KEY_PRESS, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(connection_, XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    sync();
  }
  void resize(xcb_window_t window, int width) {
    const std::uint32_t value = std::uint32_t(width);
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_WIDTH, &value);
    sync();
  }

 private:
  void sync() { free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

  xcb_connection_t* connection_;
  xcb_screen_t* screen_ = nullptr;
};

bool near(std::uint32_t colour, std::uint32_t expected) {
  for (int shift : {0, 8, 16}) {
    if (std::abs(int((colour >> shift) & 0xff) - int((expected >> shift) & 0xff)) > 24) return false;
  }
  return true;
}

class ViewerIntegrationTest : public IntegrationFixture {
 protected:
  void SetUp() override {
    IntegrationFixture::SetUp();
    if (IsSkipped()) return;
    desk_ = std::make_unique<TestWindow>(startDisplay());
    startHost();
    ASSERT_EQ(control({"set", "control", "on"}).status, 0);
    viewerServer_ = std::make_unique<quorvanta::testing::XvfbServer>();
    screen_ = std::make_unique<ViewerScreen>(viewerServer_->display());
  }

  Result viewer(const std::vector<std::string>& arguments) {
    return run(QUORVANTA_VIEWER_BINARY, arguments, 30);
  }

  // Starts the viewer's window on the second X server.
  std::unique_ptr<ChildProcess> startViewer(const std::vector<std::string>& arguments = {}) {
    const auto hostDisplay = environment_["DISPLAY"];
    environment_["DISPLAY"] = viewerServer_->display();
    environment_["QT_QPA_PLATFORM"] = "xcb";
    auto child = background(QUORVANTA_VIEWER_BINARY, arguments);
    environment_["DISPLAY"] = hostDisplay;
    return child;
  }

  // The viewer's window, once it shows the host's screen colour at its centre.
  std::optional<Geometry> showingTheHost() {
    std::optional<Geometry> shown;
    waitUntil(
        [&] {
          desk_->front();
          const auto window = screen_->window();
          if (!window) return false;
          const auto colour = screen_->pixel(window->x + window->width / 2, window->y + window->height / 2);
          if (colour && near(*colour, kPatternColour)) shown = window;
          return shown.has_value();
        },
        30);
    return shown;
  }

  static std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      ++count;
    return count;
  }

  std::unique_ptr<TestWindow> desk_;
  std::unique_ptr<quorvanta::testing::XvfbServer> viewerServer_;
  std::unique_ptr<ViewerScreen> screen_;
};

TEST_F(ViewerIntegrationTest, PairsShowsTheScreenAndPassesOnInput) {
  const auto paired = viewer({"pair", pairingLink()});
  ASSERT_EQ(paired.status, 0) << paired.output;
  EXPECT_NE(paired.output.find("Paired with "), std::string::npos) << paired.output;

  auto shown = startViewer();
  const auto window = showingTheHost();
  ASSERT_TRUE(window) << shown->output() << host_->output();

  // A click at the centre of the picture lands at the centre of the host's screen.
  screen_->focus(window->window);
  screen_->click(window->x + window->width / 2, window->y + window->height / 2);
  auto presses = desk_->presses(1);
  ASSERT_FALSE(presses.empty()) << shown->output();
  EXPECT_FALSE(presses[0].key);
  EXPECT_EQ(presses[0].detail, 1);
  EXPECT_NEAR(presses[0].x, 640, 40);
  EXPECT_NEAR(presses[0].y, 360, 40);

  // The key in the position of A types "a" on the host.
  screen_->type(38);
  presses = desk_->presses(2);
  ASSERT_EQ(presses.size(), 2u) << shown->output();
  EXPECT_TRUE(presses[1].key);
  EXPECT_EQ(presses[1].keysym, std::uint32_t('a'));

  // A narrower window asks for a narrower stream.
  ASSERT_NE(shown->output().find("streaming 1280 × 720"), std::string::npos) << shown->output();
  screen_->resize(window->window, 1000);
  EXPECT_TRUE(waitUntil([&] { return shown->output().find("streaming 1000 × ") != std::string::npos; }, 15))
      << shown->output();
}

TEST_F(ViewerIntegrationTest, BusyTakeOverAndReconnectAfterAHostRestart) {
  ASSERT_EQ(viewer({"pair", pairingLink()}).status, 0);
  ASSERT_EQ(client("phone.json", {"pair", pairingLink(), "--device-name", "Phone"}).status, 0);
  auto phone = clientInBackground("phone.json", {"connect", "--exit-after", "60"});
  ASSERT_TRUE(waitUntil([&] { return findMessage(phone->output(), "hello").has_value(); }, 15))
      << phone->output();

  auto refused = startViewer();
  EXPECT_TRUE(waitUntil(
      [&] { return refused->output().find("This Mac is in use by Phone.") != std::string::npos; }, 20))
      << refused->output();
  refused.reset();

  auto viewer = startViewer({"--take-over"});
  ASSERT_TRUE(showingTheHost()) << viewer->output();
  EXPECT_TRUE(waitUntil([&] { return findMessage(phone->output(), "takenOver").has_value(); }, 10))
      << phone->output();

  const auto streamsBefore = occurrences(viewer->output(), "streaming ");
  host_->terminate(10);
  EXPECT_TRUE(waitUntil([&] { return viewer->output().find("Reconnecting in") != std::string::npos; }, 15))
      << viewer->output();
  startHost();
  EXPECT_TRUE(waitUntil([&] { return occurrences(viewer->output(), "streaming ") > streamsBefore; }, 40))
      << viewer->output();
  EXPECT_TRUE(showingTheHost());
}

}  // namespace
}  // namespace quorvanta::test
