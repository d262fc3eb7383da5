#include "core/util/with_timeout.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/util/quorvanta_error.h"

namespace quorvanta {
namespace {

using namespace std::chrono_literals;

constexpr const char* kExpectedTimeout =
    "The Mac capture service timed out. Retrying may restore the display.";

// An error of the operation's own, to tell it apart from the timeout.
class CaptureFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Spawns `caller` on `io` and fails the test if it ends with an exception.
void spawnChecked(asio::io_context& io, std::function<asio::awaitable<void>()> caller) {
  asio::co_spawn(io, std::move(caller), [](const std::exception_ptr& error) {
    if (!error) return;
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "caller ended with an exception: " << e.what();
    } catch (...) {
      ADD_FAILURE() << "caller ended with an unknown exception";
    }
  });
}

// A few trips through the executor, so the operation really suspends before it returns.
asio::awaitable<void> yieldSeveralTimes() {
  auto executor = co_await asio::this_coro::executor;
  for (int i = 0; i < 3; ++i)
    co_await asio::post(executor, asio::use_awaitable);
}

// Suspends until `gate` is cancelled (it never expires on its own).
asio::awaitable<void> waitForGate(asio::steady_timer& gate) {
  std::error_code ignored;
  co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

TEST(WithTimeoutTest, ReturnsValueProducedBeforeTheLimit) {
  asio::io_context io;
  std::optional<std::string> value;
  int resumptions = 0;
  spawnChecked(io, [&]() -> asio::awaitable<void> {
    value = co_await withTimeout(0.05, []() -> asio::awaitable<std::string> {
      co_await yieldSeveralTimes();
      co_return "frame";
    });
    ++resumptions;
  });

  const auto start = std::chrono::steady_clock::now();
  io.run();
  // run() only returns once the limit's timer has fired too; firing after the value changed
  // nothing: the caller was resumed once, with the value.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  EXPECT_EQ(value, "frame");
  EXPECT_EQ(resumptions, 1);
}

TEST(WithTimeoutTest, MoveOnlyValueIsHandedThrough) {
  asio::io_context io;
  std::unique_ptr<int> value;
  spawnChecked(io, [&]() -> asio::awaitable<void> {
    value = co_await withTimeout(
        0.02, []() -> asio::awaitable<std::unique_ptr<int>> { co_return std::make_unique<int>(17); });
  });
  io.run();
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(*value, 17);
}

TEST(WithTimeoutTest, StalledOperationTimesOutAndItsLateValueIsDropped) {
  asio::io_context io;
  asio::steady_timer gate(io, asio::steady_timer::time_point::max());
  bool operationFinished = false;
  std::optional<int> value;
  std::optional<std::string> timeoutMessage;
  int resumptions = 0;

  spawnChecked(io, [&]() -> asio::awaitable<void> {
    try {
      value = co_await withTimeout(0.02, [&]() -> asio::awaitable<int> {
        co_await waitForGate(gate);
        operationFinished = true;
        co_return 7;
      });
    } catch (const QuorvantaError& error) {
      timeoutMessage = error.what();
    }
    ++resumptions;
    // The operation was neither cancelled nor awaited; let it run to its end now.
    EXPECT_FALSE(operationFinished);
    gate.cancel();
  });
  io.run();

  EXPECT_EQ(timeoutMessage, kExpectedTimeout);
  EXPECT_EQ(std::string(kTimeoutSentence), kExpectedTimeout);
  EXPECT_TRUE(operationFinished);
  EXPECT_EQ(value, std::nullopt);
  EXPECT_EQ(resumptions, 1);
}

TEST(WithTimeoutTest, SlowOperationLosesToAShorterLimit) {
  // The operation's own timer starts after the limit's and runs longer, so the limit wins
  // however slowly the loop runs.
  asio::io_context io;
  bool operationFinished = false;
  std::optional<std::string> timeoutMessage;
  spawnChecked(io, [&]() -> asio::awaitable<void> {
    try {
      co_await withTimeout(0.01, [&]() -> asio::awaitable<int> {
        asio::steady_timer slow(co_await asio::this_coro::executor, 40ms);
        co_await slow.async_wait(asio::use_awaitable);
        operationFinished = true;
        co_return 1;
      });
      ADD_FAILURE() << "the slow operation's value was delivered";
    } catch (const QuorvantaError& error) {
      timeoutMessage = error.what();
    }
  });
  io.run();
  EXPECT_EQ(timeoutMessage, kExpectedTimeout);
  EXPECT_TRUE(operationFinished);
}

TEST(WithTimeoutTest, OperationErrorIsRethrownUnchanged) {
  asio::io_context io;
  std::vector<std::string> caught;
  spawnChecked(io, [&]() -> asio::awaitable<void> {
    // Thrown after suspending.
    try {
      co_await withTimeout(0.05, []() -> asio::awaitable<int> {
        co_await yieldSeveralTimes();
        throw CaptureFailure("display went away");
      });
      ADD_FAILURE() << "no error";
    } catch (const CaptureFailure& error) {
      caught.push_back(error.what());
    } catch (const QuorvantaError& error) {
      ADD_FAILURE() << "got the timeout instead: " << error.what();
    }
    // Thrown before the operation's first suspension.
    try {
      co_await withTimeout(0.05, []() -> asio::awaitable<int> {
        throw CaptureFailure("no such display");
        co_return 0;
      });
      ADD_FAILURE() << "no error";
    } catch (const CaptureFailure& error) {
      caught.push_back(error.what());
    }
    // The system's own error keeps its own sentence; it is not turned into the timeout.
    try {
      co_await withTimeout(0.05, []() -> asio::awaitable<int> {
        throw QuorvantaError("Screen recording is not allowed.");
        co_return 0;
      });
      ADD_FAILURE() << "no error";
    } catch (const QuorvantaError& error) {
      caught.push_back(error.what());
    }
  });
  io.run();
  EXPECT_EQ(caught, (std::vector<std::string>{"display went away", "no such display",
                                              "Screen recording is not allowed."}));
}

TEST(WithTimeoutTest, ZeroOrNegativeLimitStillStartsTheOperation) {
  for (const double limit : {0.0, -1.0}) {
    SCOPED_TRACE(limit);
    asio::io_context io;
    bool started = false;
    std::optional<int> value;
    std::optional<std::string> timeoutMessage;
    spawnChecked(io, [&]() -> asio::awaitable<void> {
      try {
        value = co_await withTimeout(limit, [&]() -> asio::awaitable<int> {
          started = true;
          co_return 3;
        });
      } catch (const QuorvantaError& error) {
        timeoutMessage = error.what();
      }
    });
    io.run();
    EXPECT_TRUE(started);
    // Either side may win the race, but exactly one outcome is delivered.
    EXPECT_NE(value.has_value(), timeoutMessage.has_value());
    EXPECT_EQ(value.value_or(3), 3);
    EXPECT_EQ(timeoutMessage.value_or(kExpectedTimeout), kExpectedTimeout);
  }
}

TEST(WithTimeoutTest, ZeroLimitTimesOutAPendingOperation) {
  asio::io_context io;
  asio::steady_timer gate(io, asio::steady_timer::time_point::max());
  bool started = false;
  bool finished = false;
  std::optional<std::string> timeoutMessage;
  spawnChecked(io, [&]() -> asio::awaitable<void> {
    try {
      co_await withTimeout(0.0, [&]() -> asio::awaitable<int> {
        started = true;
        co_await waitForGate(gate);
        finished = true;
        co_return 3;
      });
    } catch (const QuorvantaError& error) {
      timeoutMessage = error.what();
    }
    gate.cancel();
  });
  io.run();
  EXPECT_TRUE(started);
  EXPECT_TRUE(finished);
  EXPECT_EQ(timeoutMessage, kExpectedTimeout);
}

TEST(WithTimeoutTest, VoidOperations) {
  asio::io_context io;
  asio::steady_timer gate(io, asio::steady_timer::time_point::max());
  int sideEffects = 0;
  std::vector<std::string> outcomes;
  bool lateOperationFinished = false;

  spawnChecked(io, [&]() -> asio::awaitable<void> {
    co_await withTimeout(0.05, [&]() -> asio::awaitable<void> {
      co_await yieldSeveralTimes();
      ++sideEffects;
    });
    outcomes.push_back("done");

    try {
      co_await withTimeout(0.05, [&]() -> asio::awaitable<void> {
        co_await yieldSeveralTimes();
        throw CaptureFailure("stream stopped");
      });
    } catch (const CaptureFailure& error) {
      outcomes.push_back(error.what());
    }

    // A late error after the timeout is dropped like a late value.
    try {
      co_await withTimeout(0.01, [&]() -> asio::awaitable<void> {
        co_await waitForGate(gate);
        lateOperationFinished = true;
        throw CaptureFailure("too late");
      });
    } catch (const QuorvantaError& error) {
      outcomes.push_back(error.what());
    }
    gate.cancel();
  });
  io.run();

  EXPECT_EQ(sideEffects, 1);
  EXPECT_TRUE(lateOperationFinished);
  EXPECT_EQ(outcomes, (std::vector<std::string>{"done", "stream stopped", kExpectedTimeout}));
}

TEST(WithTimeoutTest, ConcurrentCallsOnTwoThreadsEachResolveOnce) {
  // Quick values, slow operations, errors and zero limits, all racing on a loop run by two
  // threads. Each caller must be resumed exactly once with the outcome its case allows, and
  // every operation must run to its end.
  constexpr int kCalls = 48;
  asio::io_context io(2);
  std::atomic<int> resumed{0};
  std::atomic<int> operationsFinished{0};
  std::atomic<int> wrongOutcomes{0};
  std::atomic<int> zeroLimitValues{0};
  std::atomic<int> zeroLimitTimeouts{0};

  for (int i = 0; i < kCalls; ++i) {
    spawnChecked(io, [&, i]() -> asio::awaitable<void> {
      const int kind = i % 4;
      try {
        if (kind == 0) {
          const int value = co_await withTimeout(0.3, [&, i]() -> asio::awaitable<int> {
            co_await yieldSeveralTimes();
            ++operationsFinished;
            co_return i;
          });
          if (value != i) ++wrongOutcomes;
        } else if (kind == 1) {
          co_await withTimeout(0.01, [&]() -> asio::awaitable<void> {
            asio::steady_timer slow(co_await asio::this_coro::executor, 300ms);
            co_await slow.async_wait(asio::use_awaitable);
            ++operationsFinished;
          });
          ++wrongOutcomes;
        } else if (kind == 2) {
          co_await withTimeout(0.3, [&]() -> asio::awaitable<int> {
            co_await yieldSeveralTimes();
            ++operationsFinished;
            throw CaptureFailure("failed");
          });
          ++wrongOutcomes;
        } else {
          const int value = co_await withTimeout(0.0, [&, i]() -> asio::awaitable<int> {
            ++operationsFinished;
            co_return i;
          });
          if (value == i) {
            ++zeroLimitValues;
          } else {
            ++wrongOutcomes;
          }
        }
      } catch (const QuorvantaError& error) {
        if (kind == 1 && std::string(error.what()) == kExpectedTimeout) {
          // Expected.
        } else if (kind == 3 && std::string(error.what()) == kExpectedTimeout) {
          ++zeroLimitTimeouts;
        } else {
          ++wrongOutcomes;
        }
      } catch (const CaptureFailure& error) {
        if (kind != 2 || std::string(error.what()) != "failed") ++wrongOutcomes;
      }
      ++resumed;
    });
  }

  std::thread second([&io] { io.run(); });
  io.run();
  second.join();

  EXPECT_EQ(resumed.load(), kCalls);
  EXPECT_EQ(operationsFinished.load(), kCalls);
  EXPECT_EQ(wrongOutcomes.load(), 0);
  EXPECT_EQ(zeroLimitValues.load() + zeroLimitTimeouts.load(), kCalls / 4);
}

TEST(WithTimeoutTest, RepeatedBurstsOnTwoThreadsResumeEveryCallerOnce) {
  // Operations that finish at once, so a caller is often resumed on the other thread while the
  // call that suspended it is still arming its timer. Nothing may outlive what it refers to.
  constexpr int kRounds = 20;
  constexpr int kCalls = 100;
  for (int round = 0; round < kRounds; ++round) {
    asio::io_context io(2);
    std::atomic<int> resumed{0};
    std::atomic<int> operationsRun{0};
    std::atomic<int> wrongOutcomes{0};
    for (int i = 0; i < kCalls; ++i) {
      spawnChecked(io, [&, i]() -> asio::awaitable<void> {
        try {
          const int value = co_await withTimeout(0.02, [&, i]() -> asio::awaitable<int> {
            ++operationsRun;
            co_return i;
          });
          if (value != i) ++wrongOutcomes;
        } catch (const QuorvantaError& error) {
          if (std::string(error.what()) != kExpectedTimeout) ++wrongOutcomes;
        }
        ++resumed;
      });
    }
    std::thread second([&io] { io.run(); });
    io.run();
    second.join();
    ASSERT_EQ(resumed.load(), kCalls) << "round " << round;
    ASSERT_EQ(operationsRun.load(), kCalls) << "round " << round;
    ASSERT_EQ(wrongOutcomes.load(), 0) << "round " << round;
  }
}

}  // namespace
}  // namespace quorvanta
