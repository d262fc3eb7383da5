#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>

#include "core/transport/packet_connection.h"
#include "core/transport/tls_context.h"
#include "tools/ephemeral_identity.h"

namespace quorvanta::test {

inline TlsIdentity makeTestIdentity() {
  return makeEphemeralIdentity("Quorvanta Test");
}

// An io_context run by `threads` threads until stop() or destruction.
class IoThreads {
 public:
  explicit IoThreads(int threads = 2);
  ~IoThreads();
  asio::io_context& context() { return context_; }
  void stop();

 private:
  asio::io_context context_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::vector<std::thread> threads_;
};

// A TCP socket pair on 127.0.0.1: `server` accepted, `client` connected.
struct SocketPair {
  asio::ip::tcp::socket server;
  asio::ip::tcp::socket client;
};
SocketPair makeLoopbackSockets(asio::io_context& context);

}  // namespace quorvanta::test
