// Streaming sessions end to end: the real host captures a private Xvfb inside the test's network
// namespace; the reference client streams, decodes, injects input and moves clipboard text; a
// window of the test's own sees what arrives.

#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "integration_fixture.h"
#include "platform/linux/x11/x11_clipboard.h"
#include "png_pixel.h"
#include "test_window.h"

namespace quorvanta::test {
namespace {

constexpr std::uint32_t kControlMask = XCB_MOD_MASK_CONTROL;

class StreamIntegrationTest : public IntegrationFixture {
 protected:
  void SetUp() override {
    IntegrationFixture::SetUp();
    if (IsSkipped()) return;
    window_ = std::make_unique<TestWindow>(startDisplay());
    startHost();
    ASSERT_EQ(control({"set", "control", "on"}).status, 0);
    const auto paired = client("phone.json", {"pair", pairingLink(), "--device-name", "Phone"});
    ASSERT_EQ(paired.status, 0) << paired.output;
  }

  std::unique_ptr<TestWindow> window_;
};

TEST_F(StreamIntegrationTest, StreamsDecodableVideoOfTheScreenAndResumesAWarmCapture) {
  const auto frame = directory_.path() / "frame.png";
  const auto streamed = client("phone.json", {"stream", "--seconds", "3", "--save-frame", frame.string()});
  ASSERT_EQ(streamed.status, 0) << streamed.output;
  const auto messages = messagesIn(streamed.output);
  std::vector<std::string> order;
  for (auto& message : messages)
    if (message["type"] == "streaming" || message["type"] == "videoConfig") order.push_back(message["type"]);
  ASSERT_GE(order.size(), 2u) << streamed.output;
  EXPECT_EQ(order[0], "streaming");
  EXPECT_EQ(order[1], "videoConfig");
  const auto streaming = findMessage(streamed.output, "streaming");
  EXPECT_EQ((*streaming)["width"], 1280);
  EXPECT_EQ((*streaming)["height"], 720);
  EXPECT_EQ((*streaming)["controlAllowed"], true);
  const auto pixel = pngPixel(frame, 100, 100);
  ASSERT_TRUE(pixel);
  EXPECT_NEAR(pixel->red, 0x33, 12);
  EXPECT_NEAR(pixel->green, 0x66, 12);
  EXPECT_NEAR(pixel->blue, 0xcc, 12);

  // A client that drops (no "disconnect") gets its capture back without a fresh start, which
  // would begin with "permissions".
  auto dropped = clientInBackground("phone.json", {"stream", "--seconds", "30"});
  ASSERT_TRUE(waitUntil([&] { return dropped->output().find("\"videoConfig\"") != std::string::npos; }, 15));
  ::kill(dropped->pid(), SIGKILL);
  ASSERT_TRUE(waitUntil(
      [&] { return status()["status"] == "Connection dropped \u00b7 display held 30 s for a quick return"; },
      10));
  const auto resumed = client("phone.json", {"stream", "--seconds", "2"});
  ASSERT_EQ(resumed.status, 0) << resumed.output;
  EXPECT_EQ(countMessages(resumed.output, "streaming"), 1u);
  EXPECT_EQ(countMessages(resumed.output, "permissions"), 0u) << resumed.output;

  // Two quick "stream" requests attach once.
  const auto script = directory_.path() / "twice.jsonl";
  std::ofstream(script)
      << "{\"type\":\"stream\",\"version\":1}\n{\"type\":\"stream\",\"version\":1,\"restart\":true}\n";
  auto twice = clientInBackground("phone.json", {"connect", "--raw", "--exit-after", "4"}, script);
  ASSERT_TRUE(twice->wait(20));
  EXPECT_EQ(countMessages(twice->output(), "streaming"), 1u) << twice->output();
}

TEST_F(StreamIntegrationTest, InputAndClipboardReachTheDesktop) {
  window_->front();
  ASSERT_EQ(client("phone.json", {"input", "move", "0.25", "0.5"}).status, 0);
  EXPECT_EQ(window_->pointer(), (std::pair<int, int>{320, 360}));

  ASSERT_EQ(client("phone.json", {"input", "click", "0.5", "0.5"}).status, 0);
  ASSERT_EQ(client("phone.json", {"input", "text", "h\u00e9"}).status, 0);
  ASSERT_EQ(client("phone.json", {"clipboard", "set", "pasted words", "--paste"}).status, 0);
  const auto presses = window_->presses(4);
  ASSERT_GE(presses.size(), 4u);
  EXPECT_FALSE(presses[0].key);
  EXPECT_EQ(presses[0].detail, 1);  // the left button
  EXPECT_EQ(presses[0].x, 640);
  EXPECT_EQ(presses[0].y, 360);
  EXPECT_EQ(presses[1].keysym, 0x68u);  // h
  EXPECT_EQ(presses[2].keysym, 0xe9u);  // é, which the test layout lacks
  // The paste action: Control+V, with the text already on the clipboard.
  const auto paste = presses.back();
  EXPECT_EQ(paste.keysym, 0x76u);
  EXPECT_TRUE(paste.state & kControlMask);
  x11::X11Clipboard reader(xvfb_->display());
  EXPECT_EQ(reader.readText(std::chrono::seconds(3)), "pasted words");

  // Clipboard text from the computer arrives cut to fit one message; the ping before it is
  // answered with the pacer's figures.
  reader.setText(std::string(100'000, 'x'));
  const auto copied = client("phone.json", {"clipboard", "get"});
  ASSERT_EQ(copied.status, 0) << copied.output.substr(0, 400);
  const auto clipboard = findMessage(copied.output, "clipboard");
  ASSERT_TRUE(clipboard);
  EXPECT_EQ((*clipboard)["text"].get<std::string>().size(), 45'000u);
  const auto pong = findMessage(copied.output, "pong");
  ASSERT_TRUE(pong);
  // The pacer's current target and delivered frame rate.
  EXPECT_GE((*pong)["bitrate"].get<std::int64_t>(), 1'000'000);
  EXPECT_TRUE((*pong)["fps"].is_number_integer());
}

}  // namespace
}  // namespace quorvanta::test
