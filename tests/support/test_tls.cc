#include "support/test_tls.h"

#include <stdexcept>

namespace quorvanta::test {

IoThreads::IoThreads(int threads) : work_(asio::make_work_guard(context_)) {
  for (int i = 0; i < threads; ++i)
    threads_.emplace_back([this] { context_.run(); });
}

IoThreads::~IoThreads() {
  stop();
}

void IoThreads::stop() {
  work_.reset();
  context_.stop();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

SocketPair makeLoopbackSockets(asio::io_context& context) {
  asio::ip::tcp::acceptor acceptor(context, {asio::ip::address_v4::loopback(), 0});
  asio::ip::tcp::socket client(context);
  client.connect(acceptor.local_endpoint());
  asio::ip::tcp::socket server = acceptor.accept();
  return {std::move(server), std::move(client)};
}

}  // namespace quorvanta::test
