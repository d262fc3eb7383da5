#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

namespace quorvanta::test {

// Runs one asynchronous operation on `io` (from the test thread) to its end and returns its
// value, or rethrows its error. Fails when it has not finished within `limit`.
template <typename T>
T runAwaitable(asio::io_context& io, std::function<asio::awaitable<T>()> operation,
               std::chrono::steady_clock::duration limit) {
  std::optional<T> value;
  std::exception_ptr error;
  bool done = false;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        try {
          value.emplace(co_await operation());
        } catch (...) {
          error = std::current_exception();
        }
        done = true;
        io.stop();
      },
      asio::detached);
  io.restart();
  io.run_for(limit);
  if (!done) throw std::runtime_error("operation did not finish");
  if (error) std::rethrow_exception(error);
  return std::move(*value);
}

}  // namespace quorvanta::test
