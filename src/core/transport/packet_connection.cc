#include "core/transport/packet_connection.h"

#include <chrono>

#include <asio/bind_executor.hpp>
#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

namespace quorvanta {
namespace {

constexpr auto kFinishGrace = std::chrono::milliseconds(500);
// How long an orderly TLS close may wait for the peer before the socket is closed.
constexpr auto kShutdownGrace = std::chrono::milliseconds(500);

}  // namespace

std::shared_ptr<PacketConnection> PacketConnection::create(TlsStream stream, Role role, Clock clock) {
  return std::shared_ptr<PacketConnection>(new PacketConnection(std::move(stream), role, std::move(clock)));
}

PacketConnection::PacketConnection(TlsStream stream, Role role, Clock clock)
    : stream_(std::move(stream)),
      strand_(asio::make_strand(stream_.get_executor())),
      role_(role),
      clock_(std::move(clock)),
      reader_(clock_()),
      finishTimer_(strand_),
      shutdownTimer_(strand_),
      lastReceived_(clock_()) {}

PacketConnection::~PacketConnection() = default;

void PacketConnection::start() {
  asio::post(strand_, [self = shared_from_this()] { self->handshake(); });
}

void PacketConnection::start(const asio::ip::tcp::endpoint& endpoint) {
  asio::post(strand_, [self = shared_from_this(), endpoint] {
    if (self->closed_) return;
    self->readPending_ = true;
    self->stream_.lowest_layer().async_connect(
        endpoint, asio::bind_executor(self->strand_, [self](const std::error_code& error) {
          self->readPending_ = false;
          if (self->closed_) return self->releaseTransportWhenIdle();
          if (error) return self->close(error.message());
          self->handshake();
        }));
  });
}

void PacketConnection::handshake() {
  if (closed_) return;
  std::error_code ignored;
  auto& socket = stream_.lowest_layer();
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  readPending_ = true;
  const auto type = role_ == Role::server ? asio::ssl::stream_base::server : asio::ssl::stream_base::client;
  stream_.async_handshake(
      type, asio::bind_executor(
                strand_, [self = shared_from_this()](const std::error_code& e) { self->onHandshake(e); }));
}

void PacketConnection::onHandshake(const std::error_code& error) {
  readPending_ = false;
  if (closed_) return releaseTransportWhenIdle();
  if (error) return close(error.message());
  handshaken_ = true;
  if (onReady_) onReady_();
  // Packets queued while the handshake ran go out now.
  if (!writing_) writeNext();
  receiveHeader();
}

void PacketConnection::receiveHeader() {
  if (closed_) return releaseTransportWhenIdle();
  if (readingStopped_) return;
  readPending_ = true;
  asio::async_read(
      stream_, asio::buffer(header_),
      asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& e, std::size_t) {
        self->onHeader(e);
      }));
}

void PacketConnection::onHeader(const std::error_code& error) {
  readPending_ = false;
  if (closed_) return releaseTransportWhenIdle();
  if (error) {
    // A TLS close_notify from the peer reads as end of file: an orderly end.
    if (error == asio::error::eof) return close(std::nullopt);
    return close(error.message());
  }
  const auto verdict = PacketReader::checkHeader(header_, static_cast<bool>(onVideo_));
  if (!verdict.header) return close(verdict.closeReason);
  const PacketKind kind = verdict.header->kind;
  body_.resize(verdict.header->length);
  readPending_ = true;
  asio::async_read(
      stream_, asio::buffer(body_),
      asio::bind_executor(strand_, [self = shared_from_this(), kind](const std::error_code& e, std::size_t) {
        self->onBody(e, kind);
      }));
}

void PacketConnection::onBody(const std::error_code& error, PacketKind kind) {
  readPending_ = false;
  if (closed_) return releaseTransportWhenIdle();
  if (error) {
    // A body cut short by the peer's orderly end carries no reason.
    if (error == asio::error::eof) return close(std::nullopt);
    return close(error.message());
  }
  {
    std::lock_guard guard(activityLock_);
    lastReceived_ = clock_();
  }
  Bytes payload;
  payload.swap(body_);
  if (kind == PacketKind::video) {
    handleVideo(std::move(payload));
  } else if (!handleControl(payload)) {
    return;
  }
  receiveHeader();
}

void PacketConnection::handleVideo(Bytes payload) {
  if (acknowledgesVideo_) {
    auto ack = ControlMessage::make("ack");
    ack.frames = videoReceived_ + 1;
    if (auto json = encodeControlMessage(ack)) {
      ++videoReceived_;
      sendControl(std::move(*json));
    }
  }
  if (onVideo_ && !closed_) onVideo_(std::move(payload));
}

bool PacketConnection::handleControl(const Bytes& payload) {
  auto verdict = reader_.acceptControl(payload, clock_());
  using Action = PacketReader::ControlVerdict::Action;
  switch (verdict.action) {
    case Action::close:
      close(verdict.closeReason);
      return false;
    case Action::acknowledge:
      pacer_.acknowledge(verdict.acknowledgedFrames);
      break;
    case Action::deliver:
      if (onControl_ && !readingStopped_) onControl_(std::move(verdict.message));
      break;
    case Action::ignore:
      break;
  }
  return true;
}

void PacketConnection::send(const ControlMessage& message) {
  auto json = encodeControlMessage(message);
  if (!json || json->size() > kMaxControlJson) return;
  asio::post(strand_, [weak = weak_from_this(), json = std::move(*json)]() mutable {
    if (auto self = weak.lock()) self->sendControl(std::move(json));
  });
}

void PacketConnection::sendControl(std::string json) {
  if (closed_) return;
  if (controlInFlight_ >= kMaxControlInFlight) return close(close_reason::kControlQueue);
  ++controlInFlight_;
  Outgoing packet;
  const auto header = encodePacketHeader(PacketKind::control, static_cast<std::uint32_t>(json.size()));
  std::copy(header.begin(), header.end(), packet.prefix.begin());
  packet.payload.assign(json.begin(), json.end());
  packet.completion = [this] { --controlInFlight_; };
  sendPacket(std::move(packet));
}

void PacketConnection::sendVideo(Bytes frame, bool isKeyframe) {
  asio::post(strand_, [weak = weak_from_this(), frame = std::move(frame), isKeyframe]() mutable {
    auto self = weak.lock();
    if (!self) return;
    auto& pacer = self->pacer_;
    if (self->closed_ || (self->waitingForKeyframe_ && !isKeyframe)) return pacer.releaseReservation();
    if (frame.size() > kMaxVideoFrame) {
      pacer.releaseReservation();
      return self->close(close_reason::kVideoTooLarge);
    }
    if (isKeyframe) self->waitingForKeyframe_ = false;
    const auto payloadSize = frame.size() + 1;
    Outgoing packet;
    const auto header = encodePacketHeader(PacketKind::video, static_cast<std::uint32_t>(payloadSize));
    std::copy(header.begin(), header.end(), packet.prefix.begin());
    packet.prefix[kPacketHeaderSize] = isKeyframe ? 1 : 0;
    packet.prefixSize = kPacketHeaderSize + 1;
    packet.payload = std::move(frame);
    packet.completion = [self] { self->pacer_.didComplete(); };
    pacer.didSend(static_cast<std::int64_t>(payloadSize), isKeyframe);
    self->sendPacket(std::move(packet));
  });
}

void PacketConnection::finish(const ControlMessage& message) {
  auto json = encodeControlMessage(message);
  if (!json || json->size() > kMaxControlJson) return cancel();
  asio::post(strand_, [self = shared_from_this(), json = std::move(*json)] {
    if (self->closed_) return;
    Outgoing packet;
    const auto header = encodePacketHeader(PacketKind::control, static_cast<std::uint32_t>(json.size()));
    std::copy(header.begin(), header.end(), packet.prefix.begin());
    packet.payload.assign(json.begin(), json.end());
    packet.completion = [self] { self->close(std::nullopt); };
    self->sendPacket(std::move(packet));
    self->finishTimer_.expires_after(kFinishGrace);
    self->finishTimer_.async_wait([self](const std::error_code& error) {
      if (!error) self->close(std::nullopt);
    });
  });
}

void PacketConnection::cancel() {
  asio::post(strand_, [self = shared_from_this()] { self->close(std::nullopt); });
}

void PacketConnection::stopReading() {
  asio::post(strand_, [self = shared_from_this()] { self->readingStopped_ = true; });
}

void PacketConnection::sendPacket(Outgoing packet) {
  if (closed_) {
    if (packet.completion) packet.completion();
    return;
  }
  writeQueue_.push_back(std::move(packet));
  if (!writing_ && handshaken_) writeNext();
}

void PacketConnection::writeNext() {
  if (writeQueue_.empty() || closed_) return;
  writing_ = true;
  const Outgoing& packet = writeQueue_.front();
  const std::array<asio::const_buffer, 2> buffers{asio::buffer(packet.prefix.data(), packet.prefixSize),
                                                  asio::buffer(packet.payload)};
  asio::async_write(
      stream_, buffers,
      asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& e, std::size_t) {
        self->onWritten(e);
      }));
}

void PacketConnection::onWritten(const std::error_code& error) {
  writing_ = false;
  Outgoing packet = std::move(writeQueue_.front());
  writeQueue_.pop_front();
  // The completion runs first so that counters and reservations are released even when the
  // write failed.
  if (packet.completion) packet.completion();
  // After a failed or abandoned write the TLS session is mid-record; it can only be dropped.
  if (error) cleanShutdown_ = false;
  if (error && !closed_) close(error.message());
  if (closed_) return releaseTransportWhenIdle();
  writeNext();
}

void PacketConnection::close(std::optional<std::string> reason) {
  if (closed_) return;
  closed_ = true;
  finishTimer_.cancel();

  // Stop reading; a write in progress is let finish or fail on its own so that its completion
  // runs, and packets not yet started are released at once.
  std::error_code ignored;
  if (readPending_) stream_.lowest_layer().cancel(ignored);
  auto pending = std::move(writeQueue_);
  writeQueue_.clear();
  if (writing_) {
    writeQueue_.push_back(std::move(pending.front()));
    pending.pop_front();
    // A peer that never reads must not hold the close back.
    stream_.lowest_layer().cancel(ignored);
  }

  auto onClose = std::move(onClose_);
  onControl_ = nullptr;
  onVideo_ = nullptr;
  onReady_ = nullptr;
  onClose_ = nullptr;
  pacer_.setCreditCallback(nullptr);
  pacer_.setBitrateCallback(nullptr);

  for (auto& packet : pending) {
    if (packet.completion) packet.completion();
  }
  if (onClose) onClose(std::move(reason));
  releaseTransportWhenIdle();
}

// Once nothing is outstanding on the stream, says goodbye with a TLS close_notify (bounded in
// time) and closes the socket.
void PacketConnection::releaseTransportWhenIdle() {
  if (!closed_ || transportReleased_ || readPending_ || writing_) return;
  transportReleased_ = true;
  if (!cleanShutdown_ || !SSL_is_init_finished(stream_.native_handle())) return closeSocket();
  shutdownTimer_.expires_after(kShutdownGrace);
  shutdownTimer_.async_wait([self = shared_from_this()](const std::error_code& error) {
    if (!error) self->closeSocket();
  });
  stream_.async_shutdown(asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code&) {
    self->shutdownTimer_.cancel();
    self->closeSocket();
  }));
}

void PacketConnection::closeSocket() {
  std::error_code ignored;
  auto& socket = stream_.lowest_layer();
  if (!socket.is_open()) return;
  socket.shutdown(asio::socket_base::shutdown_both, ignored);
  socket.close(ignored);
}

double PacketConnection::lastReceived() const {
  std::lock_guard guard(activityLock_);
  return lastReceived_;
}

std::string PacketConnection::remoteAddress() const {
  std::error_code error;
  const auto endpoint = stream_.lowest_layer().remote_endpoint(error);
  return error ? std::string() : endpoint.address().to_string();
}

}  // namespace quorvanta
