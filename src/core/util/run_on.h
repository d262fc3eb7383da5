#pragma once

#include <utility>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>

namespace quorvanta {

// Runs `work` on `executor` and resumes the caller when it has run; an exception it throws reaches
// the caller.
template <typename Executor, typename Work>
asio::awaitable<void> runOn(const Executor& executor, Work work) {
  return asio::co_spawn(
      executor,
      [work = std::move(work)]() mutable -> asio::awaitable<void> {
        work();
        co_return;
      },
      asio::use_awaitable);
}

}  // namespace quorvanta
