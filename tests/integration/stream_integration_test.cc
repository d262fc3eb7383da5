// Streaming sessions end to end: the real host captures a private Xvfb inside the test's network
// namespace; the reference client streams, decodes, injects input and moves clipboard text; a
// window of the test's own sees what arrives.

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "integration_fixture.h"
#include "platform/linux/x11/x11_clipboard.h"
#include "png_pixel.h"

namespace quorvanta::test {
namespace {

constexpr std::uint32_t kPatternColour = 0x3366cc;
constexpr std::uint32_t kControlMask = XCB_MOD_MASK_CONTROL;

// A full-screen window of one colour that records the key and button presses it gets.
class TestWindow {
 public:
  explicit TestWindow(const std::string& display) : connection_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    window_ = xcb_generate_id(connection_);
    const std::uint32_t values[] = {
        kPatternColour, 1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen_->root, 0, 0,
                      screen_->width_in_pixels, screen_->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
                      values);
    xcb_map_window(connection_, window_);
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  ~TestWindow() { xcb_disconnect(connection_); }

  // Raises the window above every other (the host's own panel included) and gives it the focus.
  void front() {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(connection_, window_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  struct Press {
    bool key = false;
    std::uint8_t detail = 0;  // keycode or button
    std::uint16_t state = 0;
    int x = 0;
    int y = 0;
    std::uint32_t keysym = 0;
  };

  // Collects presses until `count` have arrived or about 10 s have passed.
  std::vector<Press> presses(std::size_t count) {
    for (int round = 0; round < 1000 && presses_.size() < count; ++round) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const auto type = event->response_type & 0x7f;
        if (type == XCB_KEY_PRESS) {
          const auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
          presses_.push_back(
              {true, key->detail, key->state, key->root_x, key->root_y, keysym(key->detail, key->state)});
        } else if (type == XCB_BUTTON_PRESS) {
          const auto* button = reinterpret_cast<xcb_button_press_event_t*>(event);
          presses_.push_back({false, button->detail, button->state, button->root_x, button->root_y, 0});
        }
        free(event);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return presses_;
  }

  std::pair<int, int> pointer() {
    auto* reply =
        xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, screen_->root), nullptr);
    const std::pair<int, int> result{reply ? reply->root_x : -1, reply ? reply->root_y : -1};
    free(reply);
    return result;
  }

 private:
  // The keysym the key had when it was pressed (the host binds characters its layout lacks to
  // spare keys for a while, so reading the mapping right away sees the binding).
  std::uint32_t keysym(std::uint8_t keycode, std::uint16_t state) {
    auto* reply = xcb_get_keyboard_mapping_reply(connection_,
                                                 xcb_get_keyboard_mapping(connection_, keycode, 1), nullptr);
    if (!reply) return 0;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
    const int perKeycode = reply->keysyms_per_keycode;
    const int level = (state & XCB_MOD_MASK_SHIFT) && perKeycode > 1 && syms[1] != 0 ? 1 : 0;
    const std::uint32_t result = perKeycode > 0 ? syms[level] : 0;
    free(reply);
    return result;
  }

  xcb_connection_t* connection_;
  xcb_screen_t* screen_ = nullptr;
  xcb_window_t window_ = 0;
  std::vector<Press> presses_;
};

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

  std::size_t count(const std::string& output, const std::string& type) {
    std::size_t result = 0;
    for (auto& message : messagesIn(output))
      result += message["type"] == type ? 1u : 0u;
    return result;
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
  EXPECT_EQ(count(resumed.output, "streaming"), 1u);
  EXPECT_EQ(count(resumed.output, "permissions"), 0u) << resumed.output;

  // Two quick "stream" requests attach once.
  const auto script = directory_.path() / "twice.jsonl";
  std::ofstream(script)
      << "{\"type\":\"stream\",\"version\":1}\n{\"type\":\"stream\",\"version\":1,\"restart\":true}\n";
  auto twice = clientInBackground("phone.json", {"connect", "--raw", "--exit-after", "4"}, script);
  ASSERT_TRUE(twice->wait(20));
  EXPECT_EQ(count(twice->output(), "streaming"), 1u) << twice->output();
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
