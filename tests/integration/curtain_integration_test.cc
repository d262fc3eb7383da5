// The privacy curtain end to end: the real host (the desktop application) on a private Xvfb in the
// test's network namespace dims the screen during a stream while the client still sees the
// desktop; the host's own input leaves it alone, input from another device lifts it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "integration_fixture.h"
#include "png_pixel.h"
#include "test_window.h"

namespace quorvanta::test {
namespace {

constexpr std::uint32_t kDesktopColour = 0x33cc66;

class CurtainIntegrationTest : public IntegrationFixture {
 protected:
  void SetUp() override {
    IntegrationFixture::SetUp();
    if (IsSkipped()) return;
    startDisplay();
    environment_["QT_QPA_PLATFORM"] = "xcb";
    ASSERT_EQ(std::system(("DISPLAY=" + xvfb_->display() + " xinput create-master person").c_str()), 0);
    desk_ = std::make_unique<TestWindow>(xvfb_->display(), std::nullopt);
    desk_->paintDesktop(kDesktopColour);
    std::ofstream(directory_.path() / "config" / "quorvanta" / "host.conf")
        << "hostEnabled=true\ncontrolEnabled=true\ncurtainEnabled=true\n";
    startHost();
    const auto paired = client("phone.json", {"pair", pairingLink(), "--device-name", "Phone"});
    ASSERT_EQ(paired.status, 0) << paired.output;
  }

  bool dark() { return desk_->pixel(200, 200) < 0x101010; }

  std::unique_ptr<TestWindow> desk_;
};

TEST_F(CurtainIntegrationTest, DimsTheScreenButNotTheStreamAndLiftsForAPersonOnly) {
  EXPECT_FALSE(dark());
  // The client takes its messages from a pipe the test writes to as it goes.
  const auto pipe = directory_.path() / "to-client";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const int writer = ::open(pipe.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  const auto say = [&](const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(writer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  };
  auto session = clientInBackground("phone.json", {"connect", "--raw", "--exit-after", "25"}, pipe);
  ASSERT_TRUE(waitUntil([&] { return findMessage(session->output(), "hello").has_value(); }, 10));
  say(R"({"type":"stream","version":1})");
  ASSERT_TRUE(waitUntil([&] { return dark(); }, 10)) << host_->output();

  // The host's own input, a remote click, leaves the curtain in place.
  say(R"({"type":"input","version":1,"event":"button","button":0,"keyDown":true,"x":0.5,"y":0.5})");
  say(R"({"type":"input","version":1,"event":"button","button":0,"keyDown":false,"x":0.5,"y":0.5})");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_TRUE(dark());

  // Someone at the computer moves their mouse: the curtain lifts and the client hears of it once.
  ASSERT_TRUE(desk_->useMaster("person pointer"));
  desk_->move(100, 100);
  ASSERT_TRUE(waitUntil([&] { return !dark(); }, 5));
  desk_->move(300, 300);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(dark());
  say(R"({"type":"disconnect","version":1})");
  ASSERT_TRUE(session->wait(10));
  ::close(writer);
  EXPECT_EQ(
      countMessages(session->output(), "notice",
                    "Someone at the Mac used its keyboard or mouse, so its screen is no longer dimmed."),
      1u)
      << session->output();
}

TEST_F(CurtainIntegrationTest, TurningTheSettingOffLiftsItAtOnce) {
  auto stream = clientInBackground("phone.json", {"stream", "--seconds", "10", "--save-frame",
                                                  (directory_.path() / "frame.png").string()});
  ASSERT_TRUE(waitUntil([&] { return dark(); }, 10)) << host_->output();
  ASSERT_EQ(control({"set", "curtain", "off"}).status, 0);
  EXPECT_FALSE(dark());
  ASSERT_EQ(control({"set", "curtain", "on"}).status, 0);
  EXPECT_TRUE(waitUntil([&] { return dark(); }, 5));
  ASSERT_TRUE(stream->wait(20));
  EXPECT_TRUE(waitUntil([&] { return !dark(); }, 5)) << "the session's end lifts it";
  // What the client saw all along was the desktop, not the curtain.
  const auto seen = pngPixel(directory_.path() / "frame.png", 200, 200);
  ASSERT_TRUE(seen);
  EXPECT_NEAR(seen->red, 0x33, 12);
  EXPECT_NEAR(seen->green, 0xcc, 12);
  EXPECT_NEAR(seen->blue, 0x66, 12);
}

}  // namespace
}  // namespace quorvanta::test
