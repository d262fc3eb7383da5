// quorvanta-loopback: a short end-to-end run of the wire protocol on 127.0.0.1. A TLS server
// and a client (pinned to the server's certificate) exchange "ping"/"pong", and the server
// streams synthetic frames through its pacer while the client acknowledges them.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "core/transport/packet_connection.h"
#include "core/transport/tls_context.h"
#include "tools/ephemeral_identity.h"

using namespace quorvanta;

namespace {

constexpr int kFrames = 150;
constexpr std::size_t kFrameBytes = 40'000;
constexpr int kFps = 30;

}  // namespace

int main() {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread worker([&] { io.run(); });

  const TlsIdentity identity = makeEphemeralIdentity("quorvanta-loopback");
  auto serverTls = makeServerTlsContext(identity);
  auto clientTls = makeClientTlsContext(certificateSha256Hex(identity.certificate.get()));

  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  const auto endpoint = acceptor.local_endpoint();
  std::printf("listening on %s:%u (TLS 1.2+)\n", endpoint.address().to_string().c_str(), endpoint.port());

  auto client =
      PacketConnection::create({asio::ip::tcp::socket(io), *clientTls}, PacketConnection::Role::client);
  std::atomic<int> received{0};
  std::promise<void> pong;
  std::promise<std::optional<std::string>> clientClosed;
  client->setAcknowledgesVideo(true);
  client->setOnVideo([&](Bytes) { ++received; });
  client->setOnControl([&](ControlMessage message) {
    if (message.type == "pong") {
      std::printf("client got pong: fps %lld, bitrate %lld bit/s\n",
                  static_cast<long long>(message.fps.value_or(0)),
                  static_cast<long long>(message.bitrate.value_or(0)));
      pong.set_value();
    }
  });
  client->setOnClose([&](std::optional<std::string> reason) { clientClosed.set_value(reason); });
  client->start(endpoint);

  auto server = PacketConnection::create({acceptor.accept(), *serverTls}, PacketConnection::Role::server);
  std::promise<void> serverReady;
  server->setOnReady([&] { serverReady.set_value(); });
  server->setOnControl([&](ControlMessage message) {
    if (message.type != "ping") return;
    auto stats = server->pacer().stats();
    auto reply = ControlMessage::make("pong");
    reply.fps = stats.fps;
    reply.bitrate = stats.target;
    server->send(reply);
  });
  server->start();
  serverReady.get_future().wait();
  std::printf("TLS handshake done\n");

  client->send(ControlMessage::make("ping"));
  pong.get_future().wait();

  // Stream: one frame per period when the pacer grants a slot; the first frame is a keyframe.
  server->pacer().configure(true, kFps, 8'000'000);
  int sent = 0;
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < kFrames; ++i) {
    std::this_thread::sleep_until(begin + std::chrono::microseconds(1'000'000 / kFps) * i);
    if (!server->pacer().tryReserve()) continue;
    server->sendVideo(Bytes(kFrameBytes, static_cast<std::uint8_t>(i)), sent == 0);
    ++sent;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto stats = server->pacer().stats();
  std::printf("frames: %d offered, %d sent, %d received\n", kFrames, sent, received.load());
  std::printf("pacer: target %lld bit/s, path delay %lld ms, rate %lld bit/s\n",
              static_cast<long long>(stats.target), static_cast<long long>(stats.pathDelay.value_or(-1)),
              static_cast<long long>(stats.rate.value_or(-1)));

  server->finish(ControlMessage::make("disconnect"));
  const auto reason = clientClosed.get_future().get();
  std::printf("client closed: %s\n", reason ? reason->c_str() : "orderly end");

  work.reset();
  worker.join();
  return received.load() == sent && sent > 0 ? 0 : 1;
}
