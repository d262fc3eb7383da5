#pragma once

#include <chrono>
#include <memory>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace quorvanta {

// Marks the end of one asynchronous task so that later tasks can wait for it. Waiting and
// setting happen on the one executor the signal was made for (no lock).
class CompletionSignal {
 public:
  explicit CompletionSignal(asio::any_io_executor executor)
      : timer_(std::move(executor), std::chrono::steady_clock::time_point::max()) {}

  void set() {
    done_ = true;
    timer_.cancel();
  }
  [[nodiscard]] bool done() const { return done_; }

  // Returns once set() has been called (at once when it already has).
  asio::awaitable<void> wait() {
    while (!done_) {
      // Woken by set(), which cancels the wait.
      [[maybe_unused]] auto [error] =
          co_await timer_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
    }
  }

 private:
  asio::steady_timer timer_;
  bool done_ = false;
};

// Sets a signal when it goes out of scope, however the task that holds it ends.
class SignalOnExit {
 public:
  explicit SignalOnExit(std::shared_ptr<CompletionSignal> signal) : signal_(std::move(signal)) {}
  ~SignalOnExit() { signal_->set(); }
  SignalOnExit(const SignalOnExit&) = delete;
  SignalOnExit& operator=(const SignalOnExit&) = delete;

 private:
  std::shared_ptr<CompletionSignal> signal_;
};

}  // namespace quorvanta
