#include "core/transport/tls_listener.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/strand.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/network_namespace.h"
#include "support/test_tls.h"

namespace quorvanta {

void PrintTo(const TlsListener::State& state, std::ostream* out) {
  *out << toString(state.kind);
  if (!state.error.empty()) *out << "(" << state.error << ")";
}

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

tcp::endpoint endpointOf(const std::string& address, std::uint16_t port = TlsListener::kDefaultPort) {
  return {asio::ip::make_address_v4(address), port};
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

// The sockets in LISTEN state in this namespace, as "hexaddress:HEXPORT" from /proc/net/tcp.
std::vector<std::string> listeningSockets() {
  std::ifstream table("/proc/net/tcp");
  std::vector<std::string> result;
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A") result.push_back(local);
  }
  return result;
}

// Records a listener's reports for the test thread.
struct Recorder {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<TlsListener::State> states;
  std::vector<PacketConnection::TlsStream> streams;
  bool offExecutor = false;  // a handler ran outside the listener's executor

  TlsListener::Handlers handlers(asio::strand<asio::io_context::executor_type> executor) {
    return {
        [this, executor](TlsListener::State state) {
          update([&] {
            offExecutor = offExecutor || !executor.running_in_this_thread();
            states.push_back(std::move(state));
          });
        },
        [this, executor](PacketConnection::TlsStream stream) {
          update([&] {
            offExecutor = offExecutor || !executor.running_in_this_thread();
            streams.push_back(std::move(stream));
          });
        },
    };
  }
  template <typename F>
  void update(F f) {
    std::lock_guard guard(lock);
    f();
    changed.notify_all();
  }
  bool waitStates(std::size_t count, std::chrono::milliseconds limit = 5s) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, limit, [&] { return states.size() >= count; });
  }
  bool waitStreams(std::size_t count, std::chrono::milliseconds limit = 5s) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, limit, [&] { return streams.size() >= count; });
  }
  std::vector<Kind> kinds() {
    std::lock_guard guard(lock);
    std::vector<Kind> result;
    for (const auto& state : states)
      result.push_back(state.kind);
    return result;
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

  void start(const std::string& address, std::uint16_t port = TlsListener::kDefaultPort) {
    listener_->start(address, port, recorder_.handlers(*strand_));
  }
  // Connects a plain TCP client; returns its error.
  std::error_code connectPlain(tcp::socket& socket, const tcp::endpoint& endpoint) {
    std::error_code error;
    socket.connect(endpoint, error);
    return error;
  }

  std::optional<test::IoThreads> io_;
  std::optional<asio::strand<asio::io_context::executor_type>> strand_;
  std::optional<TlsListener> listener_;
  Recorder recorder_;
};

TEST_F(TlsListenerTest, ListensOnExactlyTheGivenAddressAndPort) {
  start(kAddress);
  ASSERT_TRUE(recorder_.waitStates(1));
  EXPECT_EQ(recorder_.state(0), TlsListener::State::ready());

  // 100.64.0.1 is 64 40 00 01 in memory, printed as a little-endian word; 48725 is 0xBE55.
  EXPECT_EQ(listeningSockets(), std::vector<std::string>{"01004064:BE55"});

  tcp::socket other(io_->context());
  EXPECT_EQ(connectPlain(other, endpointOf("127.0.0.1")), asio::error::connection_refused);

  tcp::socket client(io_->context());
  ASSERT_FALSE(connectPlain(client, endpointOf(kAddress)));
  ASSERT_TRUE(recorder_.waitStreams(1));
  auto stream = recorder_.takeStream(0);
  const auto local = stream.lowest_layer().local_endpoint();
  EXPECT_EQ(local, endpointOf(kAddress));
  EXPECT_EQ(stream.lowest_layer().remote_endpoint(), client.local_endpoint());
}

TEST_F(TlsListenerTest, HandsOverStreamsThatCompleteThePinnedHandshake) {
  start(kAddress);
  ASSERT_TRUE(recorder_.waitStates(1));
  ASSERT_EQ(recorder_.state(0).kind, Kind::ready);

  const auto pin = certificateSha256Hex(sharedIdentity().certificate.get());
  auto clientContext = makeClientTlsContext(pin);
  std::mutex lock;
  std::condition_variable changed;
  int ready = 0;
  auto markReady = [&] {
    std::lock_guard guard(lock);
    ++ready;
    changed.notify_all();
  };

  std::vector<std::shared_ptr<PacketConnection>> connections;
  for (int i = 0; i < 2; ++i) {
    auto client =
        PacketConnection::create(PacketConnection::TlsStream(tcp::socket(io_->context()), *clientContext),
                                 PacketConnection::Role::client);
    client->setOnReady(markReady);
    client->start(endpointOf(kAddress));
    connections.push_back(client);

    ASSERT_TRUE(recorder_.waitStreams(static_cast<std::size_t>(i) + 1));
    auto stream = recorder_.takeStream(static_cast<std::size_t>(i));
    const int fd = stream.lowest_layer().native_handle();
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    auto server = PacketConnection::create(std::move(stream), PacketConnection::Role::server);
    server->setOnReady(markReady);
    server->start();
    connections.push_back(server);
  }
  {
    std::unique_lock guard(lock);
    EXPECT_TRUE(changed.wait_for(guard, 5s, [&] { return ready == 4; })) << ready << " of 4 sides ready";
  }
  for (auto& connection : connections) {
    connection->setOnReady(nullptr);
    connection->cancel();
  }
  EXPECT_EQ(recorder_.kinds(), std::vector<Kind>{Kind::ready});
}

TEST_F(TlsListenerTest, WaitsWhileTheAddressIsNotOnThisMachine) {
  start("100.64.0.77");
  ASSERT_TRUE(recorder_.waitStates(1));
  EXPECT_EQ(recorder_.state(0), TlsListener::State::waiting(systemText(std::errc::address_not_available)));
  EXPECT_TRUE(listeningSockets().empty());

  // Once the address appears, starting again (as the host does from its tick) listens.
  ASSERT_EQ(test::enterPrivateNetworkNamespace({kAddress, "100.64.0.9"}), std::nullopt);
  start("100.64.0.9");
  ASSERT_TRUE(recorder_.waitStates(2));
  EXPECT_EQ(recorder_.state(1).kind, Kind::ready);
  EXPECT_EQ(listeningSockets(), std::vector<std::string>{"09004064:BE55"});
}

TEST_F(TlsListenerTest, FailsWithTheSystemsTextWhenItCannotOpen) {
  {
    tcp::acceptor taken(io_->context());
    taken.open(tcp::v4());
    taken.set_option(tcp::acceptor::reuse_address(true));  // closed connections of other tests linger
    taken.bind(endpointOf(kAddress));
    taken.listen();
    start(kAddress);
    ASSERT_TRUE(recorder_.waitStates(1));
  }
  EXPECT_EQ(recorder_.state(0), TlsListener::State::failed(systemText(std::errc::address_in_use)));

  // Never the wildcard address, and nothing that is not an IPv4 address.
  for (const char* address : {"0.0.0.0", "not an address", "", "fd7a::1", "100.64.0.1.5"}) {
    const auto before = recorder_.kinds().size();
    start(address);
    ASSERT_TRUE(recorder_.waitStates(before + 1)) << address;
    const auto state = recorder_.state(before);
    EXPECT_EQ(state.kind, Kind::failed) << address;
    EXPECT_FALSE(state.error.empty()) << address;
  }
  EXPECT_EQ(recorder_.state(1).error, systemText(std::errc::invalid_argument));  // 0.0.0.0
  EXPECT_TRUE(listeningSockets().empty());

  // After a failure the listener can be started again.
  const auto before = recorder_.kinds().size();
  start(kAddress);
  ASSERT_TRUE(recorder_.waitStates(before + 1));
  EXPECT_EQ(recorder_.state(before).kind, Kind::ready);
}

TEST_F(TlsListenerTest, CancelReportsOnceFreesThePortAndAllowsAnotherStart) {
  listener_->cancel();  // nothing started: nothing to report
  start(kAddress);
  start(kAddress);  // already listening: ignored
  ASSERT_TRUE(recorder_.waitStates(1));
  listener_->cancel();
  listener_->cancel();
  ASSERT_TRUE(recorder_.waitStates(2));
  EXPECT_TRUE(listeningSockets().empty());
  {
    // The port is free again: binding it fails only while a socket listens there.
    tcp::acceptor probe(io_->context());
    probe.open(tcp::v4());
    probe.set_option(tcp::acceptor::reuse_address(true));
    std::error_code error;
    probe.bind(endpointOf(kAddress), error);
    EXPECT_FALSE(error) << error.message();
  }

  start(kAddress);
  ASSERT_TRUE(recorder_.waitStates(3));
  EXPECT_EQ(recorder_.kinds(), (std::vector<Kind>{Kind::ready, Kind::cancelled, Kind::ready}));
  tcp::socket client(io_->context());
  ASSERT_FALSE(connectPlain(client, endpointOf(kAddress)));
  EXPECT_TRUE(recorder_.waitStreams(1));

  // Destroying the listener closes it without a report.
  listener_.reset();
  for (int i = 0; i < 100 && !listeningSockets().empty(); ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(listeningSockets().empty());
  EXPECT_EQ(recorder_.kinds().size(), 3u);
}

// Takes every free descriptor of the process, and gives them back however the test ends.
class DescriptorExhaustion {
 public:
  DescriptorExhaustion() { ::getrlimit(RLIMIT_NOFILE, &saved_); }
  ~DescriptorExhaustion() { restore(); }
  // Lowers the limit a little above the descriptors in use and fills the gap with copies of
  // stdin. Another thread may hold a descriptor for a moment and free its slot afterwards, so
  // the gap is filled again until it stays full.
  bool exhaust() {
    const int lowestFree = ::dup(0);
    if (lowestFree < 0) return false;
    ::close(lowestFree);
    rlimit limit = saved_;
    limit.rlim_cur = static_cast<rlim_t>(lowestFree + 16);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    for (int round = 0; round < 3; ++round) {
      for (int fd = ::dup(0); fd >= 0; fd = ::dup(0))
        copies_.push_back(fd);
      if (errno != EMFILE) return false;
      std::this_thread::sleep_for(20ms);
    }
    for (int fd = ::dup(0); fd >= 0; fd = ::dup(0))
      copies_.push_back(fd);
    return errno == EMFILE;
  }
  void restore() {
    for (int fd : copies_)
      ::close(fd);
    copies_.clear();
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  rlimit saved_{};
  std::vector<int> copies_;
};

TEST_F(TlsListenerTest, KeepsListeningThroughDescriptorExhaustion) {
#ifdef __SANITIZE_ADDRESS__
  // UndefinedBehaviorSanitizer, built together with AddressSanitizer, checks dynamic types with a
  // small cache and probes memory through a pipe on every miss; with no descriptor free, that probe
  // fails and it reports a false "invalid vptr" from whichever thread misses first.
  GTEST_SKIP() << "descriptor exhaustion cannot be simulated under the address/UB sanitizers";
#endif
  start(kAddress);
  ASSERT_TRUE(recorder_.waitStates(1));
  ASSERT_EQ(recorder_.state(0).kind, Kind::ready);

  // While no descriptor is free the test thread only records plain values; the checks follow.
  tcp::socket client(io_->context());
  client.open(tcp::v4());  // the client's descriptor exists before the limit drops
  DescriptorExhaustion exhaustion;
  const bool exhausted = exhaustion.exhaust();
  const bool connected = exhausted && !connectPlain(client, endpointOf(kAddress));  // kernel backlog
  const bool acceptedMeanwhile = exhausted && recorder_.waitStreams(1, 300ms);      // accept: EMFILE
  exhaustion.restore();
  ASSERT_TRUE(exhausted);
  ASSERT_TRUE(connected);
  EXPECT_FALSE(acceptedMeanwhile);

  // The listener backs off (at most a second) and then takes the waiting connection.
  ASSERT_TRUE(recorder_.waitStreams(1));
  EXPECT_EQ(recorder_.kinds(), std::vector<Kind>{Kind::ready});
}

// Runs `openssl s_client` for TLS 1.2 with `ciphers` against the listener and returns its output.
std::string probeTls12(const std::string& ciphers) {
  const std::string command = "openssl s_client -connect " + std::string(kAddress) + ":" +
                              std::to_string(TlsListener::kDefaultPort) + " -tls1_2 -cipher '" + ciphers +
                              "' </dev/null 2>&1";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    while (const std::size_t count = std::fread(buffer, 1, sizeof buffer, pipe))
      output.append(buffer, count);
    ::pclose(pipe);
  }
  return output;
}

TEST_F(TlsListenerTest, Tls12OffersOnlyForwardSecretAeadSuitesInTheServersOrder) {
  start(kAddress);
  ASSERT_TRUE(recorder_.waitStates(1));
  ASSERT_EQ(recorder_.state(0).kind, Kind::ready);

  struct Case {
    std::string offered;
    std::string negotiated;  // empty: the handshake must fail
  };
  const std::vector<Case> cases = {
      {"AES128-SHA", ""},              // RSA key exchange, CBC
      {"ECDHE-ECDSA-AES128-SHA", ""},  // forward secret but CBC with SHA-1
      {"ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES128-GCM-SHA256"},
      {"ECDHE-ECDSA-CHACHA20-POLY1305", "ECDHE-ECDSA-CHACHA20-POLY1305"},
      // The client prefers AES-256; the server's order wins.
      {"ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES128-GCM-SHA256"},
  };
  std::vector<std::shared_ptr<PacketConnection>> servers;
  for (std::size_t index = 0; index < cases.size(); ++index) {
    auto probe = std::async(std::launch::async, probeTls12, cases[index].offered);
    ASSERT_TRUE(recorder_.waitStreams(index + 1));
    auto server = PacketConnection::create(recorder_.takeStream(index), PacketConnection::Role::server);
    server->start();
    servers.push_back(server);
    const std::string output = probe.get();
    const bool negotiated = output.find("Cipher is " + cases[index].negotiated + "\n") != std::string::npos;
    if (cases[index].negotiated.empty()) {
      EXPECT_EQ(output.find("New, TLSv1.2"), std::string::npos) << cases[index].offered << "\n" << output;
    } else {
      EXPECT_TRUE(negotiated) << cases[index].offered << "\n" << output;
    }
    server->cancel();
  }
}

}  // namespace
}  // namespace quorvanta
