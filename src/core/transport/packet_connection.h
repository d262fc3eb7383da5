#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <asio/ip/tcp.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include "core/protocol/control_message.h"
#include "core/transport/packet_reader.h"
#include "core/transport/video_pacer.h"
#include "core/transport/video_sink.h"
#include "core/util/monotonic_clock.h"

namespace quorvanta {

// One client connection as a two-way stream of framed control and video packets over TLS.
//
// All state lives on the connection's own strand; every callback runs there. The public
// operations may be called from any thread and run on the strand in the order of the calls, so
// a "videoConfig" sent before its keyframe reaches the peer first.
//
// The protocol's limits are enforced here: packet sizes, at most 128 control sends waiting on the
// network, at most 1,000 control packets per one-second window and protocol version 1. Breaking
// one closes the connection with a fixed reason.
//
// Lifetime: outstanding I/O keeps the object alive until it is closed. The owner ends a
// connection with cancel() or finish(); callbacks are cleared on close.
class PacketConnection : public VideoSink, public std::enable_shared_from_this<PacketConnection> {
 public:
  using TlsStream = asio::ssl::stream<asio::ip::tcp::socket>;
  enum class Role { server, client };

  // `stream` wraps a connected socket (accepted, for a server) or an unconnected one that
  // start(endpoint) connects (for a client).
  static std::shared_ptr<PacketConnection> create(TlsStream stream, Role role,
                                                  Clock clock = monotonicSeconds);

  ~PacketConnection() override;
  PacketConnection(const PacketConnection&) = delete;
  PacketConnection& operator=(const PacketConnection&) = delete;

  // Set before start().
  void setOnControl(std::function<void(ControlMessage)> callback) { onControl_ = std::move(callback); }
  void setOnVideo(std::function<void(Bytes)> callback) { onVideo_ = std::move(callback); }
  void setOnReady(std::function<void()> callback) { onReady_ = std::move(callback); }
  void setOnClose(std::function<void(std::optional<std::string>)> callback) {
    onClose_ = std::move(callback);
  }
  void setAcknowledgesVideo(bool acknowledges) { acknowledgesVideo_ = acknowledges; }

  // Runs the TLS handshake; the connection is ready when it completes.
  void start();
  // Client side: connects to `endpoint` first.
  void start(const asio::ip::tcp::endpoint& endpoint);

  // Sends one control message. A message that cannot be encoded, or whose JSON is 65,536 bytes
  // or longer, is dropped silently.
  void send(const ControlMessage& message) override;
  // Sends one encoded frame. The caller holds one reservation from pacer().tryReserve(); it is
  // consumed by the send or handed back.
  void sendVideo(Bytes frame, bool isKeyframe) override;
  // Sends a final message and closes, at the latest 0.5 s later even if the peer never reads.
  void finish(const ControlMessage& message);
  // Closes without a reason.
  void cancel();
  // Reads no further packet and delivers no further message; sending still works. For a peer
  // that has been refused and is about to be closed.
  void stopReading();

  VideoPacer& pacer() override { return pacer_; }
  // Arrival time of the last complete packet, on the connection's clock. Any thread.
  double lastReceived() const;
  const asio::strand<asio::any_io_executor>& strand() const { return strand_; }
  // The peer's address, or empty when the socket has none.
  std::string remoteAddress() const;

 private:
  struct Outgoing {
    std::array<std::uint8_t, kPacketHeaderSize + 1> prefix{};  // header, and the flag byte of video
    std::size_t prefixSize = kPacketHeaderSize;
    Bytes payload;
    std::function<void()> completion;
  };

  PacketConnection(TlsStream stream, Role role, Clock clock);

  void handshake();
  void onHandshake(const std::error_code& error);
  void receiveHeader();
  void onHeader(const std::error_code& error);
  void onBody(const std::error_code& error, PacketKind kind);
  void handleVideo(Bytes payload);
  bool handleControl(const Bytes& payload);
  void sendControl(std::string json);
  void sendPacket(Outgoing packet);
  void writeNext();
  void onWritten(const std::error_code& error);
  void close(std::optional<std::string> reason);
  void releaseTransportWhenIdle();
  void closeSocket();

  TlsStream stream_;
  asio::strand<asio::any_io_executor> strand_;
  Role role_;
  Clock clock_;
  VideoPacer pacer_;

  std::function<void(ControlMessage)> onControl_;
  std::function<void(Bytes)> onVideo_;
  std::function<void()> onReady_;
  std::function<void(std::optional<std::string>)> onClose_;
  bool acknowledgesVideo_ = false;

  bool closed_ = false;
  int controlInFlight_ = 0;
  bool waitingForKeyframe_ = true;
  std::int64_t videoReceived_ = 0;
  PacketReader reader_;

  std::array<std::uint8_t, kPacketHeaderSize> header_{};
  Bytes body_;
  bool readPending_ = false;
  bool readingStopped_ = false;
  std::deque<Outgoing> writeQueue_;
  bool writing_ = false;
  bool handshaken_ = false;  // nothing is written before the TLS handshake has completed
  bool transportReleased_ = false;
  bool cleanShutdown_ = true;
  asio::steady_timer finishTimer_;
  asio::steady_timer shutdownTimer_;

  mutable std::mutex activityLock_;
  double lastReceived_;
};

}  // namespace quorvanta
