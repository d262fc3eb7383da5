#include "host_model_harness.h"

#include <algorithm>
#include <thread>

#include <asio/ssl/stream.hpp>

namespace quorvanta::test {

TestClient::TestClient(asio::io_context& io, const std::string& certificateHash)
    : io_(io), tls_(makeClientTlsContext(certificateHash)) {}

TestClient::~TestClient() {
  if (!connection_) return;
  connection_->setOnControl(nullptr);
  connection_->cancel();
  // The callbacks point at this object: wait until the connection has let go of them.
  for (int step = 0; step < 400 && !closed(); ++step)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void TestClient::connect(const std::string& address, std::uint16_t port, const std::string& localAddress) {
  asio::ip::tcp::socket socket(io_);
  if (!localAddress.empty()) {
    socket.open(asio::ip::tcp::v4());
    socket.bind({asio::ip::make_address(localAddress), 0});
  }
  connection_ = PacketConnection::create({std::move(socket), *tls_}, PacketConnection::Role::client);
  connection_->setOnControl([this](ControlMessage message) {
    std::lock_guard guard(lock_);
    messages_.push_back(std::move(message));
  });
  connection_->setOnClose([this](const std::optional<std::string>&) {
    std::lock_guard guard(lock_);
    closed_ = true;
  });
  connection_->start({asio::ip::make_address(address), port});
}

void TestClient::send(const ControlMessage& message) {
  connection_->send(message);
}

void TestClient::close() {
  connection_->cancel();
}

std::vector<ControlMessage> TestClient::messages() {
  std::lock_guard guard(lock_);
  return messages_;
}

std::optional<ControlMessage> TestClient::find(const std::string& type) {
  std::lock_guard guard(lock_);
  for (const auto& message : messages_)
    if (message.type == type) return message;
  return std::nullopt;
}

std::size_t TestClient::count(const std::string& type) {
  std::lock_guard guard(lock_);
  return static_cast<std::size_t>(std::count_if(messages_.begin(), messages_.end(),
                                                [&](const auto& message) { return message.type == type; }));
}

bool TestClient::closed() {
  std::lock_guard guard(lock_);
  return closed_;
}

std::uint16_t freeLoopbackPort() {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  return acceptor.local_endpoint().port();
}

bool runUntil(asio::io_context& main, const std::function<bool()>& condition,
              std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    main.restart();
    main.run_for(std::chrono::milliseconds(5));
  }
  return true;
}

ControlMessage pairMessage(const std::string& hostID, const std::string& deviceID, const std::string& secret,
                           const std::string& deviceName) {
  ControlMessage message = ControlMessage::make("pair");
  message.hostID = hostID;
  message.deviceID = deviceID;
  message.deviceName = deviceName;
  message.secret = secret;
  return message;
}

ControlMessage authenticateMessage(const std::string& hostID, const std::string& deviceID,
                                   const std::string& token) {
  ControlMessage message = ControlMessage::make("authenticate");
  message.hostID = hostID;
  message.deviceID = deviceID;
  message.token = token;
  return message;
}

}  // namespace quorvanta::test
