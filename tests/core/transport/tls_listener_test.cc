#include "core/transport/tls_listener.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <asio/strand.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/network_namespace.h"
#include "support/test_tls.h"

namespace quorvanta {

namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using Kind = TlsListener::State::Kind;

// Lives on the loopback interface of the test's private namespace only.
constexpr const char* kAddress = "100.64.0.1";

const TlsIdentity& sharedIdentity() {
  static const TlsIdentity identity = test::makeTestIdentity();
  return identity;
}

tcp::endpoint endpointOf(const std::string& address) {
  return {asio::ip::make_address_v4(address), TlsListener::kDefaultPort};
}

int intOption(int fd, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  if (::getsockopt(fd, level, name, &value, &size) != 0) return -1;
  return value;
}

std::string systemText(std::errc error) {
  return std::make_error_code(error).message();
}

// Records a listener's reports for the test thread.
struct Recorder {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<TlsListener::State> states;
  std::vector<PacketConnection::TlsStream> streams;
  bool offExecutor = false;  // a handler ran outside the listener's executor

  TlsListener::Handlers handlers(asio::strand<asio::io_context::executor_type> executor) {
    const auto record = [this, executor](auto& list, auto item) {
      std::lock_guard guard(lock);
      offExecutor = offExecutor || !executor.running_in_this_thread();
      list.push_back(std::move(item));
      changed.notify_all();
    };
    return {[record, this](TlsListener::State state) { record(states, std::move(state)); },
            [record, this](PacketConnection::TlsStream stream) { record(streams, std::move(stream)); }};
  }
  bool waitStates(std::size_t count) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, 5s, [&] { return states.size() >= count; });
  }
  bool waitStreams(std::size_t count) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, 5s, [&] { return streams.size() >= count; });
  }
  TlsListener::State state(std::size_t index) {
    std::lock_guard guard(lock);
    return states.at(index);
  }
  PacketConnection::TlsStream takeStream(std::size_t index) {
    std::lock_guard guard(lock);
    return std::move(streams.at(index));
  }
};

class TlsListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The namespace must exist before the I/O threads start: they inherit it.
    if (auto problem = test::enterPrivateNetworkNamespace({kAddress})) GTEST_SKIP() << *problem;
    io_.emplace(2);
    strand_.emplace(asio::make_strand(io_->context()));
    listener_.emplace(*strand_, makeServerTlsContext(sharedIdentity()));
  }
  void TearDown() override {
    listener_.reset();
    if (io_) io_->stop();
    EXPECT_FALSE(recorder_.offExecutor) << "a handler ran outside the listener's executor";
  }

  void start(const std::string& address) {
    listener_->start(address, TlsListener::kDefaultPort, recorder_.handlers(*strand_));
  }
  // Connects a plain TCP client; returns its error.
  std::error_code connectPlain(tcp::socket& socket, const std::string& address) {
    std::error_code error;
    socket.connect(endpointOf(address), error);
    return error;
  }

  std::optional<test::IoThreads> io_;
  std::optional<asio::strand<asio::io_context::executor_type>> strand_;
  std::optional<TlsListener> listener_;
  Recorder recorder_;
};

TEST_F(TlsListenerTest, ListensOnExactlyTheGivenAddressAndHandsOverTunedSockets) {
  start(kAddress);
  ASSERT_TRUE(recorder_.waitStates(1));
  EXPECT_EQ(recorder_.state(0), TlsListener::State::ready());
  tcp::socket client(io_->context());
  ASSERT_FALSE(connectPlain(client, kAddress));
  ASSERT_TRUE(recorder_.waitStreams(1));
  auto stream = recorder_.takeStream(0);
  EXPECT_EQ(stream.lowest_layer().remote_endpoint(), client.local_endpoint());
  const int fd = stream.lowest_layer().native_handle();
  EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);

  // Cancelling reports once and frees the port.
  listener_->cancel();
  listener_->cancel();
  ASSERT_TRUE(recorder_.waitStates(2));
  EXPECT_EQ(recorder_.state(1).kind, Kind::cancelled);
  tcp::socket refused(io_->context());
  EXPECT_EQ(connectPlain(refused, kAddress), asio::error::connection_refused);
}

TEST_F(TlsListenerTest, WaitsWhileTheAddressIsNotOnThisMachineAndFailsWithTheSystemsText) {
  start("100.64.0.77");
  ASSERT_TRUE(recorder_.waitStates(1));
  EXPECT_EQ(recorder_.state(0), TlsListener::State::waiting(systemText(std::errc::address_not_available)));
  {
    tcp::acceptor taken(io_->context());
    taken.open(tcp::v4());
    taken.set_option(tcp::acceptor::reuse_address(true));  // closed connections of other tests linger
    taken.bind(endpointOf(kAddress));
    taken.listen();
    start(kAddress);
    ASSERT_TRUE(recorder_.waitStates(2));
  }
  EXPECT_EQ(recorder_.state(1), TlsListener::State::failed(systemText(std::errc::address_in_use)));
  // Never the wildcard address, and nothing that is not an IPv4 address.
  start("0.0.0.0");
  ASSERT_TRUE(recorder_.waitStates(3));
  EXPECT_EQ(recorder_.state(2), TlsListener::State::failed(systemText(std::errc::invalid_argument)));
}

}  // namespace
}  // namespace quorvanta
