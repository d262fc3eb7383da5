#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "core/util/quorvanta_error.h"

namespace quorvanta {

// The sentence of every timeout raised by withTimeout.
inline constexpr const char* kTimeoutSentence =
    "The Mac capture service timed out. Retrying may restore the display.";

namespace detail {

template <typename T>
struct AwaitableValue;
template <typename T, typename Executor>
struct AwaitableValue<asio::awaitable<T, Executor>> {
  using type = T;
};

// What the waiting caller is resumed with: a value (none for void) or an error.
template <typename T>
struct TimeoutOutcome {
  std::exception_ptr error;
  std::optional<T> value;
};
template <>
struct TimeoutOutcome<void> {
  std::exception_ptr error;
};

// One call's shared state. Both racing sides hold it until they have run, so it outlives the
// call when one side is late. The first result wins; later ones are dropped.
template <typename T>
class TimeoutResult {
 public:
  using Outcome = TimeoutOutcome<T>;

  template <typename Handler>
  void setContinuation(Handler handler) {
    std::lock_guard guard(lock_);
    continuation_ = std::make_unique<Continuation<Handler>>(std::move(handler));
  }

  void finish(Outcome outcome) {
    std::unique_ptr<ContinuationBase> continuation;
    {
      std::lock_guard guard(lock_);
      if (finished_) return;
      finished_ = true;
      continuation = std::move(continuation_);
    }
    if (continuation) continuation->resume(std::move(outcome));
  }

 private:
  struct ContinuationBase {
    virtual ~ContinuationBase() = default;
    virtual void resume(Outcome outcome) = 0;
  };
  template <typename Handler>
  struct Continuation final : ContinuationBase {
    explicit Continuation(Handler h) : handler(std::move(h)) {}
    void resume(Outcome outcome) override {
      // Resume on the caller's own executor, never inline on the winning side's thread.
      auto executor = asio::get_associated_executor(handler);
      asio::post(executor,
                 [h = std::move(handler), o = std::move(outcome)]() mutable { std::move(h)(std::move(o)); });
    }
    Handler handler;
  };

  std::mutex lock_;
  std::unique_ptr<ContinuationBase> continuation_;
  bool finished_ = false;
};

template <typename T>
T unwrap(TimeoutOutcome<T> outcome) {
  if (outcome.error) std::rethrow_exception(outcome.error);
  if constexpr (!std::is_void_v<T>) return std::move(*outcome.value);
}

}  // namespace detail

// Races `operation` against a timer of `limitSeconds`. Returns the operation's value, rethrows
// its error, or throws QuorvantaError(kTimeoutSentence), whichever comes first. The losing side
// is neither cancelled nor awaited: a late result is dropped, and a timer that fires after the
// result changes nothing. Cancelling the caller does not shorten the wait.
template <typename Operation>
auto withTimeout(double limitSeconds, Operation operation)
    -> asio::awaitable<typename detail::AwaitableValue<decltype(operation())>::type> {
  using T = typename detail::AwaitableValue<decltype(operation())>::type;
  using Outcome = detail::TimeoutOutcome<T>;
  auto executor = co_await asio::this_coro::executor;
  auto result = std::make_shared<detail::TimeoutResult<T>>();

  auto outcome = co_await asio::async_initiate<decltype(asio::use_awaitable), void(Outcome)>(
      [&](auto handler) {
        // Once the continuation is stored, the caller may resume on another thread and free its
        // frame, this lambda with its captures included. Take everything needed first and touch
        // only these locals afterwards.
        auto state = result;
        auto ex = executor;
        const double limit = limitSeconds < 0 ? 0 : limitSeconds;
        auto op = std::move(operation);
        state->setContinuation(std::move(handler));

        asio::co_spawn(
            ex,
            [state, op = std::move(op)]() mutable -> asio::awaitable<void> {
              Outcome o;
              try {
                if constexpr (std::is_void_v<T>) {
                  co_await op();
                } else {
                  o.value.emplace(co_await op());
                }
              } catch (...) {
                o.error = std::current_exception();
              }
              state->finish(std::move(o));
            },
            [](const std::exception_ptr&) {});

        auto timer = std::make_shared<asio::steady_timer>(ex);
        timer->expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(limit)));
        timer->async_wait([state, timer](const std::error_code&) {
          Outcome o;
          o.error = std::make_exception_ptr(QuorvantaError(kTimeoutSentence));
          state->finish(std::move(o));
        });
      },
      asio::use_awaitable);
  co_return detail::unwrap<T>(std::move(outcome));
}

}  // namespace quorvanta
