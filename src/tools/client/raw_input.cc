#include "tools/client/raw_input.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <asio/read_until.hpp>

namespace quorvanta::client {
namespace {

constexpr std::size_t kMaxInputLine = 1024 * 1024;

}  // namespace

void RawInput::start(int descriptor) {
  const int duplicate = ::dup(descriptor);
  if (duplicate < 0) {
    err_ << "Standard input cannot be read: " << std::error_code(errno, std::system_category()).message()
         << "." << std::endl;
    return;
  }
  std::error_code error;
  input_.emplace(io_);
  input_->assign(duplicate, error);
  if (error) {
    ::close(duplicate);
    input_.reset();
    err_ << "Standard input cannot be read: " << error.message() << "." << std::endl;
    return;
  }
  readLine();
}

void RawInput::stop() {
  stopped_ = true;
  input_.reset();
}

void RawInput::readLine() {
  asio::async_read_until(*input_, asio::dynamic_buffer(buffer_, kMaxInputLine), '\n',
                         [this](const std::error_code& error, std::size_t length) { onLine(error, length); });
}

void RawInput::onLine(const std::error_code& error, std::size_t length) {
  if (stopped_ || error == asio::error::operation_aborted) return;
  if (!error) {
    const std::string line = buffer_.substr(0, length - 1);
    buffer_.erase(0, length);
    forward(line);
    return readLine();
  }
  if (error == asio::error::eof) {
    // A last line without a newline still counts; after it the session goes on without input.
    forward(buffer_);
  } else if (error == asio::error::not_found) {
    err_ << "A line of standard input is too long; standard input is no longer read." << std::endl;
  } else {
    err_ << "Standard input could not be read: " << error.message() << "." << std::endl;
  }
  buffer_.clear();
  input_.reset();
}

void RawInput::forward(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.find_first_not_of(" \t") == std::string::npos) return;
  if (auto message = decodeControlMessage(line)) {
    send_(*message);
  } else {
    err_ << "Not a control message: " << line << std::endl;
  }
}

}  // namespace quorvanta::client
