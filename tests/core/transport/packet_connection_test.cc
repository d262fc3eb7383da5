#include "core/transport/packet_connection.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <asio/read.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>

#include "support/test_tls.h"

namespace quorvanta {
namespace {

using namespace std::chrono_literals;
using Reason = std::optional<std::string>;

const TlsIdentity& sharedIdentity() {
  static const TlsIdentity identity = test::makeTestIdentity();
  return identity;
}

std::string framed(std::uint8_t kind, const std::string& payload) {
  const auto header =
      encodePacketHeader(static_cast<PacketKind>(kind), static_cast<std::uint32_t>(payload.size()));
  return std::string(header.begin(), header.end()) + payload;
}

void setBufferSizes(asio::ip::tcp::socket& socket, int bytes) {
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

// The far end, driven synchronously from the test thread with a receive timeout so that a
// missing packet fails the test instead of hanging it.
class RawPeer {
 public:
  RawPeer(asio::ip::tcp::socket socket, asio::ssl::context& context) : stream_(std::move(socket), context) {
    timeval timeout{5, 0};
    ::setsockopt(stream_.lowest_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  std::error_code handshake(asio::ssl::stream_base::handshake_type type = asio::ssl::stream_base::client) {
    std::error_code error;
    stream_.handshake(type, error);
    return error;
  }
  void write(const std::string& bytes) { asio::write(stream_, asio::buffer(bytes)); }
  struct Packet {
    std::uint8_t kind = 0;
    std::string payload;
  };
  // The next packet, or nothing when the stream ended or failed.
  std::optional<Packet> read(std::error_code* endError = nullptr) {
    std::array<std::uint8_t, 5> header{};
    std::error_code error;
    asio::read(stream_, asio::buffer(header), error);
    if (!error) {
      Packet packet{header[0], std::string((std::size_t{header[1]} << 24) | (std::size_t{header[2]} << 16) |
                                               (std::size_t{header[3]} << 8) | header[4],
                                           '\0')};
      asio::read(stream_, asio::buffer(packet.payload), error);
      if (!error) return packet;
    }
    if (endError) *endError = error;
    return std::nullopt;
  }
  void shutdown() {
    std::error_code ignored;
    stream_.shutdown(ignored);
  }
  asio::ssl::stream<asio::ip::tcp::socket>& stream() { return stream_; }

 private:
  asio::ssl::stream<asio::ip::tcp::socket> stream_;
};

// Collects a connection's callbacks for the test thread.
struct Events {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<ControlMessage> controls;
  std::vector<Bytes> videos;
  int readyCount = 0;
  int closeCount = 0;
  Reason closeReason;

  void install(PacketConnection& connection, bool takesVideo = false) {
    connection.setOnReady([this] { update([&] { ++readyCount; }); });
    connection.setOnControl([this](ControlMessage m) { update([&] { controls.push_back(std::move(m)); }); });
    connection.setOnClose([this](Reason r) {
      update([&] {
        ++closeCount;
        closeReason = std::move(r);
      });
    });
    if (takesVideo)
      connection.setOnVideo([this](Bytes b) { update([&] { videos.push_back(std::move(b)); }); });
  }
  template <typename F>
  void update(F f) {
    // Notifying under the lock orders it before a waiter that wakes and destroys the events.
    std::lock_guard guard(lock);
    f();
    changed.notify_all();
  }
  template <typename Predicate>
  bool waitFor(Predicate predicate, std::chrono::milliseconds limit = 5s) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, limit, predicate);
  }
  bool waitClosed() {
    return waitFor([this] { return closeCount > 0; });
  }
  // Reads a field under the lock; the connection's threads write them.
  template <typename F>
  auto read(F f) {
    std::lock_guard guard(lock);
    return f();
  }
  int closes() {
    return read([this] { return closeCount; });
  }
  int readies() {
    return read([this] { return readyCount; });
  }
  Reason reason() {
    return read([this] { return closeReason; });
  }
  std::size_t controlCount() {
    return read([this] { return controls.size(); });
  }
};

class PacketConnectionTest : public testing::Test {
 protected:
  PacketConnectionTest()
      : serverTls_(makeServerTlsContext(sharedIdentity())),
        clientTls_(makeClientTlsContext(certificateSha256Hex(sharedIdentity().certificate.get()))) {}

  // A server-side connection and a raw TLS peer as its client.
  std::shared_ptr<PacketConnection> startServer(bool takesVideo = false, int bufferBytes = 0,
                                                Clock clock = monotonicSeconds) {
    auto sockets = test::makeLoopbackSockets(io_.context());
    if (bufferBytes > 0) {
      setBufferSizes(sockets.server, bufferBytes);
      setBufferSizes(sockets.client, bufferBytes);
    }
    auto server = PacketConnection::create({std::move(sockets.server), *serverTls_},
                                           PacketConnection::Role::server, std::move(clock));
    events_.install(*server, takesVideo);
    server->start();
    peer_.emplace(std::move(sockets.client), *clientTls_);
    EXPECT_FALSE(peer_->handshake());
    EXPECT_TRUE(events_.waitFor([&] { return events_.readyCount == 1; }));
    return server;
  }

  // The connection threads stop before the peer, the events and the context go away.
  ~PacketConnectionTest() override { io_.stop(); }

  void expectClosedWith(const Reason& reason) {
    ASSERT_TRUE(events_.waitClosed());
    std::lock_guard guard(events_.lock);
    EXPECT_EQ(events_.closeCount, 1);
    EXPECT_EQ(events_.closeReason, reason);
  }
  void expectClosedOnceWithSomeReason(Events& events) {
    ASSERT_TRUE(events.waitClosed());
    EXPECT_EQ(events.closes(), 1);
    EXPECT_TRUE(events.reason());
    EXPECT_EQ(events.readies(), 0);
  }

  test::IoThreads io_{2};
  std::shared_ptr<asio::ssl::context> serverTls_;
  std::shared_ptr<asio::ssl::context> clientTls_;
  Events events_;
  std::optional<RawPeer> peer_;
};

TEST_F(PacketConnectionTest, ControlMessagesTravelBothWaysInOrder) {
  auto server = startServer();
  peer_->write(framed(1, R"({"type":"ping","version":1})") + framed(1, R"({"type":"keyframe","version":1})"));
  ASSERT_TRUE(events_.waitFor([&] { return events_.controls.size() == 2; }));
  EXPECT_EQ(events_.read([&] { return events_.controls[0].type + "," + events_.controls[1].type; }),
            "ping,keyframe");
  EXPECT_GT(server->lastReceived(), 0);

  for (int i = 0; i < 20; ++i) {
    auto message = ControlMessage::make("pong");
    message.fps = i;
    server->send(message);
  }
  for (int i = 0; i < 20; ++i) {
    auto packet = peer_->read();
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->kind, 1);
    auto decoded = decodeControlMessage(packet->payload);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->fps, i);
  }
  server->cancel();
  expectClosedWith(std::nullopt);
}

struct BadInput {
  const char* name;
  std::string bytes;
  const char* reason;
};

class PacketConnectionBadInputTest : public PacketConnectionTest,
                                     public testing::WithParamInterface<BadInput> {};

TEST_P(PacketConnectionBadInputTest, ClosesWithItsFixedReason) {
  auto server = startServer();
  peer_->write(GetParam().bytes);
  expectClosedWith(std::string(GetParam().reason));
  // The peer sees the stream end; nothing else arrives.
  std::error_code end;
  EXPECT_FALSE(peer_->read(&end));
}

std::string header(std::uint8_t kind, std::uint32_t length) {
  const auto h = encodePacketHeader(static_cast<PacketKind>(kind), length);
  return std::string(h.begin(), h.end());
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, PacketConnectionBadInputTest,
    testing::Values(BadInput{"KindZero", header(0, 10), close_reason::kInvalidHeader},
                    BadInput{"KindThree", header(3, 10), close_reason::kInvalidHeader},
                    BadInput{"LengthZero", header(1, 0), close_reason::kInvalidSize},
                    BadInput{"ControlTooLong", header(1, 65'537), close_reason::kInvalidSize},
                    BadInput{"VideoToHost", header(2, 100), close_reason::kInvalidSize},
                    BadInput{"NoVersion", framed(1, R"({"type":"ping"})"), close_reason::kUnsupported},
                    BadInput{"VersionTwo", framed(1, R"({"type":"ping","version":2})"),
                             close_reason::kUnsupported},
                    BadInput{"NotJson", framed(1, "hello"), close_reason::kUnsupported}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(PacketConnectionTest, AcceptsLargestControlAndVideoPayloads) {
  auto server = startServer(/*takesVideo=*/true);
  std::string control = R"({"type":"ping","version":1,"pad":")";
  control += std::string(65'536 - control.size() - 2, 'a') + "\"}";
  ASSERT_EQ(control.size(), 65'536u);
  peer_->write(framed(1, control));
  peer_->write(framed(2, std::string(8'388'608, 'v')));
  ASSERT_TRUE(events_.waitFor([&] { return events_.videos.size() == 1; }, 20s));
  EXPECT_EQ(events_.read([&] { return events_.videos[0].size(); }), 8'388'608u);
  EXPECT_EQ(events_.controlCount(), 1u);

  peer_->write(header(2, 8'388'609));
  expectClosedWith(std::string(close_reason::kInvalidSize));
}

TEST_F(PacketConnectionTest, ControlFloodClosesOnThePacketAfterTheThousandth) {
  // A clock that never moves keeps all packets in one window.
  auto server = startServer(false, 0, [] { return 5.0; });
  const std::string ping = framed(1, R"({"type":"ping","version":1})");
  std::string thousand;
  for (int i = 0; i < 1'000; ++i)
    thousand += ping;
  peer_->write(thousand);
  ASSERT_TRUE(events_.waitFor([&] { return events_.controls.size() == 1'000; }));
  EXPECT_EQ(events_.closes(), 0);
  peer_->write(ping);
  expectClosedWith(std::string(close_reason::kControlRate));
  EXPECT_EQ(events_.controlCount(), 1'000u);
}

TEST_F(PacketConnectionTest, PeerEndingTheStreamIsAnOrderlyClose) {
  auto server = startServer();
  peer_->write(framed(1, R"({"type":"ping","version":1})"));
  peer_->shutdown();
  expectClosedWith(std::nullopt);
}

TEST_F(PacketConnectionTest, BodyCutShortByTheEndCarriesNoReason) {
  auto server = startServer();
  peer_->write(header(1, 100) + "{\"type\"");
  peer_->shutdown();
  expectClosedWith(std::nullopt);
  EXPECT_EQ(events_.controlCount(), 0u);
}

TEST_F(PacketConnectionTest, OversizeControlSendIsDroppedAndConnectionStaysOpen) {
  auto server = startServer();
  auto big = ControlMessage::make("clipboard");
  const std::string bare = *encodeControlMessage(big);  // {"type":"clipboard","version":1}
  const std::string withText = *encodeControlMessage([&] {
    auto m = big;
    m.text = "";
    return m;
  }());
  big.text = std::string(65'536 - withText.size(), 'x');
  ASSERT_EQ(encodeControlMessage(big)->size(), 65'536u);
  server->send(big);
  big.text->pop_back();
  server->send(big);  // 65,535 bytes: sent
  auto packet = peer_->read();
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->payload.size(), 65'535u);
  EXPECT_EQ(events_.closes(), 0);
  EXPECT_FALSE(bare.empty());
}

TEST_F(PacketConnectionTest, ControlQueueLimitAgainstAPeerThatDoesNotRead) {
  auto server = startServer(false, 16 * 1024);
  auto message = ControlMessage::make("clipboard");
  message.text = std::string(60'000, 'c');
  // Far more than the socket buffers hold: the sends pile up until the 129th finds 128 waiting.
  for (int i = 0; i < 400; ++i)
    server->send(message);
  expectClosedWith(std::string(close_reason::kControlQueue));
}

TEST_F(PacketConnectionTest, SendsSucceedAgainOnceCompletionsLowerTheCount) {
  auto server = startServer();
  auto message = ControlMessage::make("notice");
  message.message = "hello";
  // Three rounds of 100: far more than 128 in total, never 128 at once (a round's last
  // completions may still be on their way when the next round starts).
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 100; ++i)
      server->send(message);
    for (int i = 0; i < 100; ++i)
      ASSERT_TRUE(peer_->read());
  }
  EXPECT_EQ(events_.closes(), 0);
}

TEST_F(PacketConnectionTest, FinishDeliversTheFinalMessageThenEndsTheStream) {
  auto server = startServer();
  auto busy = ControlMessage::make("busy");
  busy.message = "Another device is connected.";
  server->finish(busy);
  auto packet = peer_->read();
  ASSERT_TRUE(packet);
  EXPECT_EQ(decodeControlMessage(packet->payload)->message, busy.message);
  std::error_code end;
  EXPECT_FALSE(peer_->read(&end));
  EXPECT_EQ(end, asio::error::eof);
  expectClosedWith(std::nullopt);
}

TEST_F(PacketConnectionTest, FinishClosesWithinHalfASecondWhenThePeerNeverReads) {
  auto server = startServer(false, 16 * 1024);
  auto message = ControlMessage::make("clipboard");
  message.text = std::string(60'000, 'c');
  for (int i = 0; i < 60; ++i)
    server->send(message);  // fills the path, stays under the limit
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(events_.closes(), 0);
  const auto begin = std::chrono::steady_clock::now();
  server->finish(ControlMessage::make("takenOver"));
  expectClosedWith(std::nullopt);
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(elapsed, 400ms);  // the grace timer, not the send, ended it
}

TEST_F(PacketConnectionTest, VideoWaitsForTheFirstKeyframeAndHandsReservationsBack) {
  auto server = startServer();
  std::atomic<int> credits{0};
  server->pacer().configure(true, 30, 8'000'000);
  server->pacer().setCreditCallback([&] { ++credits; });

  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(server->pacer().tryReserve());
    server->sendVideo(Bytes(10, 0xAA), false);
  }
  ASSERT_TRUE(server->pacer().tryReserve());
  server->sendVideo(Bytes{1, 2, 3}, true);
  ASSERT_TRUE(server->pacer().tryReserve());
  server->sendVideo(Bytes{4, 5}, false);

  auto key = peer_->read();
  ASSERT_TRUE(key);
  EXPECT_EQ(key->kind, 2);
  EXPECT_EQ(key->payload, std::string("\x01\x01\x02\x03", 4));
  auto delta = peer_->read();
  ASSERT_TRUE(delta);
  EXPECT_EQ(delta->payload, std::string("\x00\x04\x05", 3));
  EXPECT_EQ(credits.load(), 3);
  EXPECT_EQ(server->pacer().reserved(), 2);  // the two sent frames until acknowledged

  // Acknowledgements go to the pacer, never to onControl; one without "frames" is dropped.
  peer_->write(framed(1, R"({"type":"ack","version":1,"frames":2})") +
               framed(1, R"({"type":"ack","version":1})") + framed(1, R"({"type":"ping","version":1})"));
  ASSERT_TRUE(events_.waitFor([&] { return events_.controls.size() == 1; }));
  EXPECT_EQ(events_.read([&] { return events_.controls[0].type; }), "ping");
  EXPECT_EQ(server->pacer().reserved(), 0);
  EXPECT_EQ(credits.load(), 4);  // three frames handed back, one accepted acknowledgement
}

TEST_F(PacketConnectionTest, OversizeFrameIsRefusedAfterItsReservationIsHandedBack) {
  auto server = startServer();
  server->pacer().configure(false, 30, 8'000'000);
  ASSERT_TRUE(server->pacer().tryReserve());
  server->sendVideo(Bytes(kMaxVideoFrame, 7), true);
  auto packet = peer_->read();
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->payload.size(), kMaxVideoFrame + 1);
  ASSERT_TRUE(events_.waitFor([&] { return server->pacer().reserved() == 0; }));

  ASSERT_TRUE(server->pacer().tryReserve());
  server->sendVideo(Bytes(kMaxVideoFrame + 1, 7), true);
  expectClosedWith(std::string(close_reason::kVideoTooLarge));
  EXPECT_EQ(server->pacer().reserved(), 0);
}

TEST_F(PacketConnectionTest, AfterCloseNothingChangesButVideoReservationsReturn) {
  auto server = startServer();
  std::atomic<int> credits{0};
  server->pacer().setCreditCallback([&] { ++credits; });
  server->cancel();
  expectClosedWith(std::nullopt);

  server->pacer().configure(false, 30, 8'000'000);
  ASSERT_TRUE(server->pacer().tryReserve());
  server->sendVideo(Bytes(10, 1), true);
  server->send(ControlMessage::make("pong"));
  server->finish(ControlMessage::make("busy"));
  server->cancel();
  ASSERT_TRUE(events_.waitFor([&] { return server->pacer().reserved() == 0; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(events_.closes(), 1);
  EXPECT_EQ(credits.load(), 0);  // the close cleared the pacer's callbacks
  std::error_code end;
  EXPECT_FALSE(peer_->read(&end));
}

TEST_F(PacketConnectionTest, ClientSideAcknowledgesEveryVideoPacket) {
  // Here the connection under test is the client; the raw peer plays the host.
  auto sockets = test::makeLoopbackSockets(io_.context());
  auto client =
      PacketConnection::create({std::move(sockets.client), *clientTls_}, PacketConnection::Role::client);
  events_.install(*client, /*takesVideo=*/true);
  client->setAcknowledgesVideo(true);
  client->start();
  RawPeer host(std::move(sockets.server), *serverTls_);
  ASSERT_FALSE(host.handshake(asio::ssl::stream_base::server));

  for (int i = 0; i < 3; ++i)
    host.write(framed(2, std::string("\x01\x00\x00\x00\x01\x65", 6)));
  for (int n = 1; n <= 3; ++n) {
    auto ack = host.read();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->kind, 1);
    EXPECT_EQ(ack->payload, R"({"frames":)" + std::to_string(n) + R"(,"type":"ack","version":1})");
  }
  ASSERT_TRUE(events_.waitFor([&] { return events_.videos.size() == 3; }));
  client->cancel();
  expectClosedWith(std::nullopt);
}

TEST_F(PacketConnectionTest, ClientConnectsAndPinsTheServerCertificate) {
  asio::ip::tcp::acceptor acceptor(io_.context(), {asio::ip::address_v4::loopback(), 0});
  // Returns whether the client became ready, and its close reason after the test cancels it.
  auto connectTo = [&](std::shared_ptr<asio::ssl::context> tls) {
    auto client = PacketConnection::create({asio::ip::tcp::socket(io_.context()), *tls},
                                           PacketConnection::Role::client);
    auto settled = std::make_shared<std::promise<bool>>();
    auto closed = std::make_shared<std::promise<Reason>>();
    client->setOnReady([settled] { settled->set_value(true); });
    client->setOnClose([settled, closed](Reason r) {
      try {
        settled->set_value(false);
      } catch (const std::future_error&) {
      }
      closed->set_value(std::move(r));
    });
    client->start(acceptor.local_endpoint());
    RawPeer host(acceptor.accept(), *serverTls_);
    host.handshake(asio::ssl::stream_base::server);
    const bool ready = settled->get_future().get();
    client->cancel();
    return std::make_pair(ready, closed->get_future().get());
  };

  auto [pinnedReady, pinnedReason] = connectTo(clientTls_);
  EXPECT_TRUE(pinnedReady);
  EXPECT_EQ(pinnedReason, std::nullopt);

  auto [wrongReady, wrongReason] = connectTo(makeClientTlsContext(std::string(64, '0')));
  EXPECT_FALSE(wrongReady);
  ASSERT_TRUE(wrongReason);
  EXPECT_NE(wrongReason->find("certificate verify failed"), std::string::npos) << *wrongReason;
}

TEST_F(PacketConnectionTest, RefusesTlsOlderThanOnePointTwo) {
  auto sockets = test::makeLoopbackSockets(io_.context());
  auto server =
      PacketConnection::create({std::move(sockets.server), *serverTls_}, PacketConnection::Role::server);
  events_.install(*server);
  server->start();

  for (const int version : {TLS1_VERSION, TLS1_1_VERSION}) {
    SCOPED_TRACE(version);
    asio::ssl::context old(asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(old.native_handle(), version);
    SSL_CTX_set_max_proto_version(old.native_handle(), version);
    SSL_CTX_set_cipher_list(old.native_handle(), "DEFAULT:@SECLEVEL=0");
    if (version == TLS1_1_VERSION) {
      RawPeer legacy(std::move(sockets.client), old);
      EXPECT_TRUE(legacy.handshake());
      expectClosedOnceWithSomeReason(events_);  // the handshake's error
    } else {
      // Same refusal from a fresh server for TLS 1.0.
      auto pair = test::makeLoopbackSockets(io_.context());
      Events other;
      auto second =
          PacketConnection::create({std::move(pair.server), *serverTls_}, PacketConnection::Role::server);
      other.install(*second);
      second->start();
      RawPeer legacy(std::move(pair.client), old);
      EXPECT_TRUE(legacy.handshake());
      expectClosedOnceWithSomeReason(other);
    }
  }
}

}  // namespace
}  // namespace quorvanta
