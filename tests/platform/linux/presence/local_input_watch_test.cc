#include "platform/linux/presence/local_input_watch.h"

#include <gtest/gtest.h>
#include <xcb/xtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/linux/x11/xcb_handles.h"
#include "xvfb_server.h"

namespace quorvanta::presence {
namespace {

using namespace std::chrono_literals;
using testing::XvfbServer;

constexpr auto kLimit = 5s;
// Long enough for any event in flight to reach the watch and its callback to be posted.
constexpr auto kSettle = 300ms;
constexpr std::uint8_t kKeycodeA = 38;

// An X client that makes input through XTEST, as the host's input sink or a person's device would.
class InputMaker {
 public:
  explicit InputMaker(const std::string& display) : connection_(x11::Connection::connect(display)) {}

  // From now on, core fake input of this client goes through the named master pointer and its
  // paired keyboard (and so through their XTEST slaves).
  void useMaster(std::string_view pointerName) {
    xcb_connection_t* c = connection_.get();
    const x11::Reply<xcb_input_xi_query_device_reply_t> reply(
        xcb_input_xi_query_device_reply(c, xcb_input_xi_query_device(c, XCB_INPUT_DEVICE_ALL), nullptr));
    ASSERT_TRUE(reply);
    std::optional<xcb_input_device_id_t> pointer;
    for (auto it = xcb_input_xi_query_device_infos_iterator(reply.get()); it.rem > 0;
         xcb_input_xi_device_info_next(&it)) {
      const std::string_view name(xcb_input_xi_device_info_name(it.data), it.data->name_len);
      if (it.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER && name == pointerName)
        pointer = it.data->deviceid;
    }
    ASSERT_TRUE(pointer.has_value()) << pointerName;
    const x11::ErrorReply error(
        xcb_request_check(c, xcb_input_xi_set_client_pointer_checked(c, XCB_NONE, *pointer)));
    ASSERT_FALSE(error);
  }

  void move(std::int16_t x, std::int16_t y) {
    xcb_test_fake_input(connection_.get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, connection_.root(), x, y,
                        0);
    sync();
  }
  void typeKey() {
    fake(XCB_KEY_PRESS, kKeycodeA);
    fake(XCB_KEY_RELEASE, kKeycodeA);
    sync();
  }
  void click(std::uint8_t button) {
    fake(XCB_BUTTON_PRESS, button);
    fake(XCB_BUTTON_RELEASE, button);
    sync();
  }

 private:
  void fake(std::uint8_t type, std::uint8_t detail) {
    xcb_test_fake_input(connection_.get(), type, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  }
  // Returns once the server has handled every request sent so far.
  void sync() {
    const x11::Reply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
  }

  x11::Connection connection_;
};

class LocalInputWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.emplace();
    const std::string command = "DISPLAY=" + server_->display() + " xinput create-master test";
    ASSERT_EQ(std::system(command.c_str()), 0) << "xinput is needed to make a second master device";
  }

  std::unique_ptr<PresenceHold> watch() {
    return LocalInputWatch::start(server_->display(), io_.get_executor(), [this] { ++calls_; });
  }

  // Runs the main executor until `calls_` reaches `count` or the limit passes.
  bool runUntilCalls(int count) {
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (calls_ < count && std::chrono::steady_clock::now() < deadline)
      io_.run_one_until(deadline);
    return calls_ >= count;
  }
  void runFor(std::chrono::milliseconds period) { io_.run_for(period); }

  std::optional<XvfbServer> server_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  int calls_ = 0;
};

TEST_F(LocalInputWatchTest, IgnoresTheHostsInjectionAndReportsOtherDevices) {
  auto hold = watch();
  ASSERT_TRUE(hold);
  InputMaker host(server_->display());
  host.move(100, 100);
  host.typeKey();
  host.click(1);
  host.click(4);  // wheel
  // Longer than the quiet period, so that a callback for the host's input could not hide behind
  // the one for the person's input below.
  runFor(kSettle);
  EXPECT_EQ(calls_, 0);

  InputMaker person(server_->display());
  person.useMaster("test pointer");
  person.move(200, 200);
  // Events reach the watch in order: once this callback came, the host's input was seen too.
  ASSERT_TRUE(runUntilCalls(1));
  runFor(kSettle);
  EXPECT_EQ(calls_, 1);
}

TEST_F(LocalInputWatchTest, ReportsKeysAndButtonsOfOtherDevicesAndCoalescesBursts) {
  auto hold = watch();
  ASSERT_TRUE(hold);
  InputMaker person(server_->display());
  person.useMaster("test pointer");
  person.typeKey();
  ASSERT_TRUE(runUntilCalls(1));
  runFor(kSettle);
  person.click(3);
  ASSERT_TRUE(runUntilCalls(2));

  // A burst within a fraction of the quiet period gives far fewer callbacks than events.
  runFor(kSettle);
  const int before = calls_;
  for (std::int16_t step = 0; step < 20; ++step)
    person.move(static_cast<std::int16_t>(300 + step), 300);
  ASSERT_TRUE(runUntilCalls(before + 1));
  runFor(kSettle);
  EXPECT_LT(calls_ - before, 20);
}

TEST_F(LocalInputWatchTest, NothingIsReportedOnceTheHoldIsGone) {
  auto hold = watch();
  ASSERT_TRUE(hold);
  InputMaker person(server_->display());
  person.useMaster("test pointer");
  // Input whose callback is most likely posted, but not yet run, when the hold goes: it must not
  // run then.
  person.move(50, 60);
  std::this_thread::sleep_for(kSettle);
  hold.reset();
  person.typeKey();
  person.move(70, 80);
  runFor(kSettle);
  EXPECT_EQ(calls_, 0);
}

TEST_F(LocalInputWatchTest, TheCallbackMayEndItsOwnWatch) {
  std::unique_ptr<PresenceHold> hold;
  int seen = 0;
  hold = LocalInputWatch::start(server_->display(), io_.get_executor(), [&] {
    ++seen;
    hold.reset();
  });
  ASSERT_TRUE(hold);
  InputMaker person(server_->display());
  person.useMaster("test pointer");
  person.move(10, 10);
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (hold && std::chrono::steady_clock::now() < deadline)
    io_.run_one_until(deadline);
  EXPECT_FALSE(hold);
  runFor(kSettle);
  person.move(20, 20);
  runFor(kSettle);
  EXPECT_EQ(seen, 1);
}

}  // namespace
}  // namespace quorvanta::presence
