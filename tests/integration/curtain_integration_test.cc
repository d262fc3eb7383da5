// The privacy curtain end to end: the real host (the desktop application) on a private Xvfb in the
// test's network namespace dims the screen during a stream while the client still sees the
// desktop; the host's own input leaves it alone, input from another device lifts it.

#include <xcb/xcb.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "integration_fixture.h"
#include "png_pixel.h"

namespace quorvanta::test {
namespace {

constexpr std::uint32_t kDesktopColour = 0x33cc66;

// An X client of the test: paints the desktop one colour, reads pixels of the screen and makes
// input through a master device of its own (as a person's second keyboard and mouse would).
class Desk {
 public:
  explicit Desk(const std::string& display) : connection_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    const std::uint32_t background = kDesktopColour;
    xcb_change_window_attributes(connection_, screen_->root, XCB_CW_BACK_PIXEL, &background);
    xcb_clear_area(connection_, 0, screen_->root, 0, 0, 0, 0);
    sync();
  }
  ~Desk() { xcb_disconnect(connection_); }
  Desk(const Desk&) = delete;
  Desk& operator=(const Desk&) = delete;

  // The screen's pixel at (x, y) as 0xRRGGBB.
  std::uint32_t pixel(int x, int y) {
    auto* reply = xcb_get_image_reply(
        connection_,
        xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), 1, 1, 0xffffffff),
        nullptr);
    if (!reply) return 0xffffffff;
    std::uint32_t value = 0;
    std::memcpy(&value, xcb_get_image_data(reply), 4);
    free(reply);
    return value & 0xffffff;
  }
  bool dark() { return pixel(200, 200) < 0x101010; }

  // From now on this client's fake input goes through the master pointer `name`.
  bool useMaster(const std::string& name) {
    auto* reply = xcb_input_xi_query_device_reply(
        connection_, xcb_input_xi_query_device(connection_, XCB_INPUT_DEVICE_ALL), nullptr);
    if (!reply) return false;
    std::optional<xcb_input_device_id_t> pointer;
    for (auto it = xcb_input_xi_query_device_infos_iterator(reply); it.rem > 0;
         xcb_input_xi_device_info_next(&it)) {
      const std::string deviceName(xcb_input_xi_device_info_name(it.data), it.data->name_len);
      if (it.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER && deviceName == name)
        pointer = it.data->deviceid;
    }
    free(reply);
    if (!pointer) return false;
    xcb_input_xi_set_client_pointer(connection_, XCB_NONE, *pointer);
    sync();
    return true;
  }
  void move(std::int16_t x, std::int16_t y) {
    xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, screen_->root, x, y, 0);
    sync();
  }

 private:
  void sync() { free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

  xcb_connection_t* connection_;
  xcb_screen_t* screen_ = nullptr;
};

class CurtainIntegrationTest : public IntegrationFixture {
 protected:
  void SetUp() override {
    IntegrationFixture::SetUp();
    if (IsSkipped()) return;
    startDisplay();
    environment_["QT_QPA_PLATFORM"] = "xcb";
    ASSERT_EQ(std::system(("DISPLAY=" + xvfb_->display() + " xinput create-master person").c_str()), 0);
    desk_ = std::make_unique<Desk>(xvfb_->display());
    std::ofstream(directory_.path() / "config" / "quorvanta" / "host.conf")
        << "hostEnabled=true\ncontrolEnabled=true\ncurtainEnabled=true\n";
    startHost();
    const auto paired = client("phone.json", {"pair", pairingLink(), "--device-name", "Phone"});
    ASSERT_EQ(paired.status, 0) << paired.output;
  }

  std::unique_ptr<Desk> desk_;
};

TEST_F(CurtainIntegrationTest, DimsTheScreenButNotTheStreamAndLiftsForAPersonOnly) {
  EXPECT_FALSE(desk_->dark());
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
  ASSERT_TRUE(waitUntil([&] { return desk_->dark(); }, 10)) << host_->output();

  // The host's own input, a remote click, leaves the curtain in place.
  say(R"({"type":"input","version":1,"event":"button","button":0,"keyDown":true,"x":0.5,"y":0.5})");
  say(R"({"type":"input","version":1,"event":"button","button":0,"keyDown":false,"x":0.5,"y":0.5})");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_TRUE(desk_->dark());

  // Someone at the computer moves their mouse: the curtain lifts and the client hears of it once.
  ASSERT_TRUE(desk_->useMaster("person pointer"));
  desk_->move(100, 100);
  ASSERT_TRUE(waitUntil([&] { return !desk_->dark(); }, 5));
  desk_->move(300, 300);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(desk_->dark());
  say(R"({"type":"disconnect","version":1})");
  ASSERT_TRUE(session->wait(10));
  ::close(writer);
  std::size_t notices = 0;
  for (auto& message : messagesIn(session->output()))
    notices += message["type"] == "notice" &&
                       message["message"] ==
                           "Someone at the Mac used its keyboard or mouse, so its screen is no longer dimmed."
                   ? 1u
                   : 0u;
  EXPECT_EQ(notices, 1u) << session->output();
}

TEST_F(CurtainIntegrationTest, TurningTheSettingOffLiftsItAtOnce) {
  auto stream = clientInBackground("phone.json", {"stream", "--seconds", "10", "--save-frame",
                                                  (directory_.path() / "frame.png").string()});
  ASSERT_TRUE(waitUntil([&] { return desk_->dark(); }, 10)) << host_->output();
  ASSERT_EQ(control({"set", "curtain", "off"}).status, 0);
  EXPECT_FALSE(desk_->dark());
  ASSERT_EQ(control({"set", "curtain", "on"}).status, 0);
  EXPECT_TRUE(waitUntil([&] { return desk_->dark(); }, 5));
  ASSERT_TRUE(stream->wait(20));
  EXPECT_TRUE(waitUntil([&] { return !desk_->dark(); }, 5)) << "the session's end lifts it";
  // What the client saw all along was the desktop, not the curtain.
  const auto seen = pngPixel(directory_.path() / "frame.png", 200, 200);
  ASSERT_TRUE(seen);
  EXPECT_NEAR(seen->red, 0x33, 12);
  EXPECT_NEAR(seen->green, 0xcc, 12);
  EXPECT_NEAR(seen->blue, 0x66, 12);
}

}  // namespace
}  // namespace quorvanta::test
