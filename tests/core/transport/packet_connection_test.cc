#include "core/transport/packet_connection.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <asio/read.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <condition_variable>
#include <functional>

#include "support/test_tls.h"

namespace quorvanta {
namespace {

using namespace std::chrono_literals;
using Reason = std::optional<std::string>;

const TlsIdentity& sharedIdentity() {
  static const TlsIdentity identity = test::makeTestIdentity();
  return identity;
}

std::string header(std::uint8_t kind, std::uint32_t length) {
  const auto h = encodePacketHeader(static_cast<PacketKind>(kind), length);
  return std::string(h.begin(), h.end());
}
std::string framed(std::uint8_t kind, const std::string& payload) {
  return header(kind, static_cast<std::uint32_t>(payload.size())) + payload;
}

// The far end, driven synchronously from the test thread with a receive timeout so that a
// missing packet fails the test instead of hanging it.
class RawPeer {
 public:
  RawPeer(asio::ip::tcp::socket socket, asio::ssl::context& context) : stream_(std::move(socket), context) {
    timeval timeout{5, 0};
    ::setsockopt(stream_.lowest_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  std::error_code handshake() {
    std::error_code error;
    stream_.handshake(asio::ssl::stream_base::client, error);
    return error;
  }
  void write(const std::string& bytes) { asio::write(stream_, asio::buffer(bytes)); }
  // The next packet as kind byte + payload, or nothing when the stream ended or failed.
  std::optional<std::string> read(std::error_code* endError = nullptr) {
    std::array<std::uint8_t, 5> header{};
    std::error_code error;
    asio::read(stream_, asio::buffer(header), error);
    if (!error) {
      std::string packet(1 + ((std::size_t{header[1]} << 24) | (std::size_t{header[2]} << 16) |
                              (std::size_t{header[3]} << 8) | header[4]),
                         static_cast<char>(header[0]));
      asio::read(stream_, asio::buffer(packet.data() + 1, packet.size() - 1), error);
      if (!error) return packet;
    }
    if (endError) *endError = error;
    return std::nullopt;
  }
  void shutdown() {
    std::error_code ignored;
    stream_.shutdown(ignored);
  }

 private:
  asio::ssl::stream<asio::ip::tcp::socket> stream_;
};

// Collects a connection's callbacks for the test thread.
struct Events {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> controls;  // message types
  int readies = 0;
  int closes = 0;
  Reason reason;

  void install(PacketConnection& connection) {
    connection.setOnReady([this] { update([&] { ++readies; }); });
    connection.setOnControl([this](ControlMessage m) { update([&] { controls.push_back(m.type); }); });
    connection.setOnClose([this](Reason r) { update([&] { ++closes, reason = std::move(r); }); });
  }
  template <typename F>
  void update(F f) {
    // Notifying under the lock orders it before a waiter that wakes and destroys the events.
    std::lock_guard guard(lock);
    f();
    changed.notify_all();
  }
  template <typename F>
  auto read(F f) {
    std::lock_guard guard(lock);
    return f();
  }
  bool waitFor(const std::function<bool()>& predicate) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, 5s, predicate);
  }
};

class PacketConnectionTest : public testing::Test {
 protected:
  PacketConnectionTest()
      : serverTls_(makeServerTlsContext(sharedIdentity())),
        clientTls_(makeClientTlsContext(certificateSha256Hex(sharedIdentity().certificate.get()))) {}

  // A server-side connection and a raw TLS peer as its client; small socket buffers for a peer
  // that does not read.
  std::shared_ptr<PacketConnection> startServer(int bufferBytes = 0) {
    events_.update([&] { events_.closes = events_.readies = 0; });
    auto sockets = test::makeLoopbackSockets(io_.context());
    for (auto* socket : {&sockets.server, &sockets.client}) {
      if (bufferBytes == 0) break;
      ::setsockopt(socket->native_handle(), SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
      ::setsockopt(socket->native_handle(), SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
    }
    auto server =
        PacketConnection::create({std::move(sockets.server), *serverTls_}, PacketConnection::Role::server);
    events_.install(*server);
    server->start();
    peer_.emplace(std::move(sockets.client), *clientTls_);
    EXPECT_FALSE(peer_->handshake());
    EXPECT_TRUE(events_.waitFor([&] { return events_.readies == 1; }));
    return server;
  }

  // The connection threads stop before the peer, the events and the context go away.
  ~PacketConnectionTest() override { io_.stop(); }

  void expectClosedWith(const Reason& reason) {
    ASSERT_TRUE(events_.waitFor([&] { return events_.closes > 0; }));
    EXPECT_EQ(events_.read([&] { return std::make_pair(events_.closes, events_.reason); }),
              std::make_pair(1, reason));
  }

  test::IoThreads io_{2};
  std::shared_ptr<asio::ssl::context> serverTls_;
  std::shared_ptr<asio::ssl::context> clientTls_;
  Events events_;
  std::optional<RawPeer> peer_;
};

TEST_F(PacketConnectionTest, ControlMessagesTravelBothWaysWithinTheSizeLimitUntilThePeerEndsTheStream) {
  auto server = startServer();
  peer_->write(framed(1, R"({"type":"ping","version":1})") + framed(1, R"({"type":"keyframe","version":1})"));
  ASSERT_TRUE(events_.waitFor([&] { return events_.controls.size() == 2; }));
  EXPECT_EQ(events_.read([&] { return events_.controls; }), (std::vector<std::string>{"ping", "keyframe"}));
  // A message of the full packet size is dropped; one byte less is sent.
  auto big = ControlMessage::make("clipboard");
  big.text = std::string(65'536 - encodeControlMessage(ControlMessage::make("clipboard"))->size() - 10, 'x');
  ASSERT_EQ(encodeControlMessage(big)->size(), 65'536u);  // 10: the key, its quotes and colon
  server->send(big);
  big.text->pop_back();
  server->send(big);
  EXPECT_EQ(peer_->read().value_or("").size(), 1 + 65'535u);
  // A body cut short by the end of the stream is no message, and the end is no error.
  peer_->write(framed(1, "{\"type\"").substr(0, 9));
  peer_->shutdown();
  expectClosedWith(std::nullopt);
  EXPECT_EQ(events_.read([&] { return events_.controls.size(); }), 2u);
}

TEST_F(PacketConnectionTest, BadInputClosesWithItsFixedReason) {
  const std::pair<std::string, const char*> cases[] = {
      {header(3, 10), close_reason::kInvalidHeader},
      {header(2, 100), close_reason::kInvalidSize},  // video to the host
      {framed(1, R"({"type":"ping","version":2})"), close_reason::kUnsupported},
  };
  for (const auto& [bytes, reason] : cases) {
    SCOPED_TRACE(reason);
    auto server = startServer();
    peer_->write(bytes);
    expectClosedWith(std::string(reason));
    std::error_code end;
    EXPECT_FALSE(peer_->read(&end));  // the peer sees the stream end; nothing else arrives
  }
}

TEST_F(PacketConnectionTest, PeerThatDoesNotReadHitsTheQueueLimitAndFinishStillCloses) {
  auto message = ControlMessage::make("clipboard");
  message.text = std::string(60'000, 'c');
  auto server = startServer(16 * 1024);
  for (int i = 0; i < 60; ++i)
    server->send(message);  // fills the path, stays under the limit
  server->finish(ControlMessage::make("takenOver"));
  expectClosedWith(std::nullopt);  // by the grace timer, as the send never completes
  auto flooded = startServer(16 * 1024);
  // Far more than the socket buffers hold: the sends pile up until the 129th finds 128 waiting.
  for (int i = 0; i < 400; ++i)
    flooded->send(message);
  expectClosedWith(std::string(close_reason::kControlQueue));
}

TEST_F(PacketConnectionTest, VideoWaitsForTheFirstKeyframeAndHandsReservationsBack) {
  auto server = startServer();
  std::atomic<int> credits{0};
  server->pacer().configure(true, 30, 8'000'000);
  server->pacer().setCreditCallback([&] { ++credits; });
  const auto sendFrame = [&](Bytes frame, bool key) {
    ASSERT_TRUE(server->pacer().tryReserve());
    server->sendVideo(std::move(frame), key);
  };
  for (int i = 0; i < 3; ++i)
    sendFrame(Bytes(10, 0xAA), false);
  sendFrame(Bytes{1, 2, 3}, true);
  sendFrame(Bytes{4, 5}, false);

  EXPECT_EQ(peer_->read(), std::string("\x02\x01\x01\x02\x03", 5));
  EXPECT_EQ(peer_->read(), std::string("\x02\x00\x04\x05", 4));
  EXPECT_EQ(credits.load(), 3);
  EXPECT_EQ(server->pacer().reserved(), 2);  // the two sent frames until acknowledged

  // Acknowledgements go to the pacer, never to onControl; one without "frames" is dropped.
  peer_->write(framed(1, R"({"type":"ack","version":1,"frames":2})") +
               framed(1, R"({"type":"ack","version":1})") + framed(1, R"({"type":"ping","version":1})"));
  ASSERT_TRUE(events_.waitFor([&] { return events_.controls.size() == 1; }));
  EXPECT_EQ(server->pacer().reserved(), 0);
  EXPECT_EQ(credits.load(), 4);  // three frames handed back, one accepted acknowledgement
}

TEST_F(PacketConnectionTest, OversizeFrameIsRefusedAfterItsReservationIsHandedBack) {
  auto server = startServer();
  server->pacer().configure(false, 30, 8'000'000);
  ASSERT_TRUE(server->pacer().tryReserve());
  server->sendVideo(Bytes(kMaxVideoFrame, 7), true);
  EXPECT_EQ(peer_->read().value_or("").size(), 1 + kMaxVideoFrame + 1);
  ASSERT_TRUE(events_.waitFor([&] { return server->pacer().reserved() == 0; }));
  ASSERT_TRUE(server->pacer().tryReserve());
  server->sendVideo(Bytes(kMaxVideoFrame + 1, 7), true);
  expectClosedWith(std::string(close_reason::kVideoTooLarge));
  EXPECT_EQ(server->pacer().reserved(), 0);
}

}  // namespace
}  // namespace quorvanta
