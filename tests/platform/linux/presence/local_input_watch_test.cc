#include "platform/linux/presence/local_input_watch.h"

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "integration/test_window.h"
#include "xvfb_server.h"

namespace quorvanta::presence {
namespace {

using namespace std::chrono_literals;
using testing::XvfbServer;

constexpr auto kLimit = 5s;
// Long enough for any event in flight to reach the watch and its callback to be posted.
constexpr auto kSettle = 300ms;
constexpr std::uint8_t kKeycodeA = 38;

class LocalInputWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.emplace();
    const std::string command = "DISPLAY=" + server_->display() + " xinput create-master test";
    ASSERT_EQ(std::system(command.c_str()), 0) << "xinput is needed to make a second master device";
  }

  // An X client whose input goes through a second master device, as a person's would.
  std::unique_ptr<test::TestWindow> person() {
    auto window = std::make_unique<test::TestWindow>(server_->display(), std::nullopt);
    EXPECT_TRUE(window->useMaster("test pointer"));
    return window;
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

TEST_F(LocalInputWatchTest, ReportsKeysAndButtonsOfOtherDevicesAndCoalescesBursts) {
  auto hold = watch();
  ASSERT_TRUE(hold);
  const auto person = this->person();
  person->press(XCB_KEY_PRESS, kKeycodeA);
  ASSERT_TRUE(runUntilCalls(1));
  runFor(kSettle);
  person->press(XCB_BUTTON_PRESS, 3);
  ASSERT_TRUE(runUntilCalls(2));

  // A burst within a fraction of the quiet period gives far fewer callbacks than events.
  runFor(kSettle);
  const int before = calls_;
  for (std::int16_t step = 0; step < 20; ++step)
    person->move(300 + step, 300);
  ASSERT_TRUE(runUntilCalls(before + 1));
  runFor(kSettle);
  EXPECT_LT(calls_ - before, 20);
}

TEST_F(LocalInputWatchTest, NothingIsReportedOnceTheHoldIsGone) {
  auto hold = watch();
  ASSERT_TRUE(hold);
  const auto person = this->person();
  // Input whose callback is most likely posted, but not yet run, when the hold goes: it must not
  // run then.
  person->move(50, 60);
  std::this_thread::sleep_for(kSettle);
  hold.reset();
  person->press(XCB_KEY_PRESS, kKeycodeA);
  person->move(70, 80);
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
  const auto person = this->person();
  person->move(10, 10);
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (hold && std::chrono::steady_clock::now() < deadline)
    io_.run_one_until(deadline);
  EXPECT_FALSE(hold);
  runFor(kSettle);
  person->move(20, 20);
  runFor(kSettle);
  EXPECT_EQ(seen, 1);
}

}  // namespace
}  // namespace quorvanta::presence
