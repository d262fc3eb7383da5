// The viewer end to end: the real host captures a private X server in the test's network
// namespace; the viewer runs on a second X server, pairs by link, shows the host's screen and
// passes on a click and typed text that the test gives it with XTEST.

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "integration_fixture.h"
#include "test_window.h"

namespace quorvanta::test {
namespace {

bool near(std::uint32_t colour, std::uint32_t expected) {
  for (int shift : {0, 8, 16})
    if (std::abs(int((colour >> shift) & 0xff) - int((expected >> shift) & 0xff)) > 24) return false;
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
    screen_ = std::make_unique<TestWindow>(viewerServer_->display(), std::nullopt);
    const auto paired = run(QUORVANTA_VIEWER_BINARY, {"pair", pairingLink()}, 30);
    ASSERT_EQ(paired.status, 0) << paired.output;
    EXPECT_NE(paired.output.find("Paired with "), std::string::npos) << paired.output;
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
          const auto window = screen_->largestWindow();
          if (window && near(screen_->pixel(window->x + window->width / 2, window->y + window->height / 2),
                             kPatternColour))
            shown = window;
          return shown.has_value();
        },
        30);
    return shown;
  }

  std::unique_ptr<TestWindow> desk_;
  std::unique_ptr<quorvanta::testing::XvfbServer> viewerServer_;
  std::unique_ptr<TestWindow> screen_;
};

TEST_F(ViewerIntegrationTest, ShowsTheScreenAndPassesOnInput) {
  const auto notALink = run(QUORVANTA_VIEWER_BINARY, {"pair", "https://example.org/pair"}, 30);
  EXPECT_EQ(notALink.status, 2);
  EXPECT_NE(notALink.output.find("This is not a Quorvanta pairing link."), std::string::npos)
      << notALink.output;

  auto shown = startViewer();
  const auto window = showingTheHost();
  ASSERT_TRUE(window) << shown->output() << host_->output();

  // A click at the centre of the picture lands at the centre of the host's screen.
  screen_->focus(window->window);
  screen_->move(window->x + window->width / 2, window->y + window->height / 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  screen_->press(XCB_BUTTON_PRESS, 1);
  auto presses = desk_->presses(1);
  ASSERT_FALSE(presses.empty()) << shown->output();
  EXPECT_FALSE(presses[0].key);
  EXPECT_EQ(presses[0].detail, 1);
  EXPECT_NEAR(presses[0].x, 640, 40);
  EXPECT_NEAR(presses[0].y, 360, 40);

  // The key in the position of A types "a" on the host.
  screen_->press(XCB_KEY_PRESS, 38);
  presses = desk_->presses(2);
  ASSERT_EQ(presses.size(), 2u) << shown->output();
  EXPECT_EQ(presses[1].keysym, std::uint32_t('a'));

  // A narrower window asks for a narrower stream.
  ASSERT_NE(shown->output().find("streaming 1280 × 720"), std::string::npos) << shown->output();
  screen_->resize(window->window, 1000);
  EXPECT_TRUE(waitUntil([&] { return shown->output().find("streaming 1000 × ") != std::string::npos; }, 15))
      << shown->output();
}

TEST_F(ViewerIntegrationTest, BusyTakeOverAndReconnectAfterAHostRestart) {
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

  host_->terminate(10);
  EXPECT_TRUE(waitUntil([&] { return viewer->output().find("Reconnecting in") != std::string::npos; }, 15))
      << viewer->output();
  const auto before = viewer->output().size();
  startHost();
  EXPECT_TRUE(waitUntil([&] { return viewer->output().find("streaming ", before) != std::string::npos; }, 40))
      << viewer->output();
  EXPECT_TRUE(showingTheHost());
}

}  // namespace
}  // namespace quorvanta::test
