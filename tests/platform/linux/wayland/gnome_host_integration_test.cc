// The real host on a headless GNOME Wayland session, in a private network namespace, with a paired
// reference client.

#include <gtest/gtest.h>

#include "headless_gnome.h"
#include "integration_fixture.h"
#include "png_pixel.h"

namespace quorvanta::test {
namespace {

class GnomeHostTest : public IntegrationFixture {
 protected:
  void SetUp() override {
    IntegrationFixture::SetUp();
    if (IsSkipped()) return;
    gnome_ = std::make_unique<HeadlessGnome>("fr");
    if (!gnome_->available()) GTEST_SKIP() << "no headless GNOME session here";
    environment_["XDG_RUNTIME_DIR"] = gnome_->runtimeDirectory().string();
    environment_["DBUS_SESSION_BUS_ADDRESS"] = gnome_->busAddress();
    environment_["XDG_SESSION_TYPE"] = "wayland";
    environment_["WAYLAND_DISPLAY"] = HeadlessGnome::kWaylandDisplay;
    // A full-screen window of a known colour that prints the input it gets.
    window_ = std::make_unique<ChildProcess>(QUORVANTA_WAYLAND_TEST_CLIENT, std::vector<std::string>{},
                                             environment_, directory_.path() / "client.log");
    ASSERT_TRUE(printed("ready")) << window_->output();
    startHost();
    ASSERT_EQ(control({"set", "control", "on"}).status, 0);
    const auto paired = client("phone.json", {"pair", pairingLink(), "--device-name", "Phone"});
    ASSERT_EQ(paired.status, 0) << paired.output;
  }

  void TearDown() override { host_.reset(); }  // before the session it lives on

  bool printed(const std::string& line) {
    return waitUntil([&] { return window_->output().find(line + "\n") != std::string::npos; }, 10);
  }

  std::unique_ptr<HeadlessGnome> gnome_;
  std::unique_ptr<ChildProcess> window_;
};

TEST_F(GnomeHostTest, TheClientSeesTheDesktopAndControlsIt) {
  const auto state = status();
  EXPECT_EQ(state["backend"], "GNOME (Wayland)") << state.dump();
  EXPECT_EQ(state["curtainAvailable"], false);

  const auto frame = directory_.path() / "frame.png";
  const auto streamed = client("phone.json", {"stream", "--seconds", "2", "--save-frame", frame.string()});
  ASSERT_EQ(streamed.status, 0) << streamed.output;
  const auto streaming = findMessage(streamed.output, "streaming");
  ASSERT_TRUE(streaming) << streamed.output;
  EXPECT_EQ((*streaming)["width"], 1280);
  EXPECT_EQ((*streaming)["controlAllowed"], true);
  const auto pixel = pngPixel(frame, 100, 100);
  ASSERT_TRUE(pixel);
  EXPECT_NEAR(pixel->red, 0x20, 12);
  EXPECT_NEAR(pixel->green, 0xc0, 12);
  EXPECT_NEAR(pixel->blue, 0x60, 12);

  // The next stream reuses GNOME's remote-desktop session: beside a second one, the pointer is lost.
  ASSERT_EQ(client("phone.json", {"stream", "--seconds", "1"}).status, 0);
  ASSERT_EQ(client("phone.json", {"input", "move", "0.25", "0.5"}).status, 0);
  EXPECT_TRUE(printed("motion 320 360")) << window_->output();
  // On this French layout keys go by their position (the A key types "q"), text by character.
  for (const std::vector<std::string>& input : std::vector<std::vector<std::string>>{
           {"click", "0.5", "0.5"}, {"key", "0"}, {"text", "Ah\u00e9"}, {"scroll", "0", "-40"}}) {
    std::vector<std::string> arguments{"input"};
    arguments.insert(arguments.end(), input.begin(), input.end());
    ASSERT_EQ(client("phone.json", arguments).status, 0) << input[0];
  }
  for (const char* line :
       {"button 272 1", "button 272 0", "text q", "text A", "text h", "text \u00e9", "axis 0 40"})
    EXPECT_TRUE(printed(line)) << line << "\n" << window_->output();

  // Clipboard text goes to GNOME and comes back from it.
  ASSERT_EQ(client("phone.json", {"clipboard", "set", "copied \u00e9"}).status, 0);
  const auto copied = client("phone.json", {"clipboard", "get"});
  ASSERT_EQ(copied.status, 0) << copied.output;
  const auto clipboard = findMessage(copied.output, "clipboard");
  ASSERT_TRUE(clipboard) << copied.output;
  EXPECT_EQ((*clipboard)["text"], "copied \u00e9");
}

}  // namespace
}  // namespace quorvanta::test
