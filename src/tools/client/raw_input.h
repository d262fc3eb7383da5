#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include "core/protocol/control_message.h"

namespace quorvanta::client {

// connect --raw: reads standard input line by line and hands each line that is a control
// message to `send`; other non-blank lines are reported on `err` and skipped. Runs on the thread
// that runs the context, and must outlive the context's run.
class RawInput {
 public:
  RawInput(asio::io_context& io, std::ostream& err, std::function<void(const ControlMessage&)> send)
      : io_(io), err_(err), send_(std::move(send)) {}

  // Starts reading a duplicate of `descriptor`, which stays open.
  void start(int descriptor);
  void stop();

 private:
  void readLine();
  void onLine(const std::error_code& error, std::size_t length);
  void forward(std::string line);

  asio::io_context& io_;
  std::ostream& err_;
  std::function<void(const ControlMessage&)> send_;
  std::optional<asio::posix::stream_descriptor> input_;
  std::string buffer_;
  bool stopped_ = false;
};

}  // namespace quorvanta::client
