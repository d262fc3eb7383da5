#include "core/util/with_timeout.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/redirect_error.hpp>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvanta {
namespace {

// An error of the operation's own, to tell it apart from the timeout.
struct CaptureFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Spawns `caller` on `io` and fails the test if it ends with an exception.
void spawnChecked(asio::io_context& io, std::function<asio::awaitable<void>()> caller) {
  asio::co_spawn(io, std::move(caller), [](const std::exception_ptr& error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "caller ended with an exception: " << e.what();
    }
  });
}

// A few trips through the executor, so the operation really suspends before it returns.
asio::awaitable<void> yieldSeveralTimes() {
  auto executor = co_await asio::this_coro::executor;
  for (int i = 0; i < 3; ++i)
    co_await asio::post(executor, asio::use_awaitable);
}

TEST(WithTimeoutTest, ValuesAndErrorsBeforeTheLimitComeBackOnceAndUnchanged) {
  asio::io_context io;
  std::unique_ptr<std::string> value;
  std::vector<std::string> caught;
  int resumptions = 0;
  spawnChecked(io, [&]() -> asio::awaitable<void> {
    value = co_await withTimeout(0.05, []() -> asio::awaitable<std::unique_ptr<std::string>> {
      co_await yieldSeveralTimes();
      co_return std::make_unique<std::string>("frame");
    });
    try {
      co_await withTimeout(0.05, []() -> asio::awaitable<void> {
        co_await yieldSeveralTimes();
        throw CaptureFailure("display went away");
      });
    } catch (const CaptureFailure& error) {
      caught.push_back(error.what());
    }
    ++resumptions;
  });
  const auto start = std::chrono::steady_clock::now();
  io.run();
  // run() returns only after the limits' timers have fired too; that changed nothing.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(*value, "frame");
  EXPECT_EQ(caught, std::vector<std::string>{"display went away"});
  EXPECT_EQ(resumptions, 1);
}

TEST(WithTimeoutTest, PendingOperationTimesOutRunsToItsEndAndItsLateOutcomeIsDropped) {
  // A zero or negative limit still starts the operation. A late error is dropped like a late value.
  for (const double limit : {0.02, 0.0, -1.0}) {
    SCOPED_TRACE(limit);
    asio::io_context io;
    asio::steady_timer gate(io, asio::steady_timer::time_point::max());
    bool started = false, finished = false;
    std::optional<std::string> timeoutMessage;
    spawnChecked(io, [&]() -> asio::awaitable<void> {
      try {
        co_await withTimeout(limit, [&]() -> asio::awaitable<int> {
          started = true;
          std::error_code ignored;
          co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
          finished = true;
          if (limit < 0) throw CaptureFailure("too late");
          co_return 7;
        });
        ADD_FAILURE() << "the late outcome was delivered";
      } catch (const QuorvantaError& error) {
        timeoutMessage = error.what();
      }
      EXPECT_FALSE(finished) << "the operation was awaited";
      gate.cancel();
    });
    io.run();
    EXPECT_TRUE(started);
    EXPECT_TRUE(finished);
    EXPECT_EQ(timeoutMessage, "The Mac capture service timed out. Retrying may restore the display.");
  }
}

}  // namespace
}  // namespace quorvanta
