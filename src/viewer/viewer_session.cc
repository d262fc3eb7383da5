#include "viewer/viewer_session.h"

#include <asio/post.hpp>

#include "client/pinned_tls.h"
#include "core/transport/tls_context.h"
#include "viewer/session_rules.h"

namespace quorvanta::viewer {
namespace {

using std::chrono::steady_clock;

// Refusals after which the viewer waits for the person instead of reconnecting.
bool isRefusal(const std::string& type) {
  return type == "busy" || type == "authRejected" || type == "error" || type == "takenOver";
}

}  // namespace

ViewerSession::ViewerSession(client::ClientState host, Handlers handlers, Options options)
    : work_(io_.get_executor()),
      host_(std::move(host)),
      handlers_(std::move(handlers)),
      options_(std::move(options)),
      retryTimer_(io_),
      pingTimer_(io_),
      admissionTimer_(io_),
      takeover_(options_.takeover) {}

ViewerSession::~ViewerSession() {
  stop();
}

void ViewerSession::start() {
  if (thread_.joinable()) return;
  asio::post(io_, [this] { connect(); });
  thread_ = std::thread([this] { io_.run(); });
}

void ViewerSession::requestStream(StreamRequest request) {
  asio::post(io_, [this, request] {
    const bool changed = !stream_ || !(*stream_ == request);
    stream_ = request;
    stream_->restart = false;
    if (admitted_ && (changed || request.restart)) sendStream(request.restart);
  });
}

void ViewerSession::send(ControlMessage message) {
  asio::post(io_, [this, message = std::move(message)] {
    if (admitted_ && connection_) connection_->send(message);
  });
}

void ViewerSession::takeOver() {
  asio::post(io_, [this] {
    takeover_ = true;
    attempt_ = 0;
    connect();
  });
}

void ViewerSession::reconnect() {
  asio::post(io_, [this] {
    attempt_ = 0;
    connect();
  });
}

void ViewerSession::stop() {
  if (!thread_.joinable()) return;
  asio::post(io_, [this] {
    stopped_ = true;
    retryTimer_.cancel();
    pingTimer_.cancel();
    admissionTimer_.cancel();
    if (socket_) {
      std::error_code ignored;
      socket_->close(ignored);
    }
    if (connection_) {
      // finish() closes at the latest 0.5 s later; the executor runs until then.
      if (ready_) {
        connection_->finish(ControlMessage::make("disconnect"));
      } else {
        connection_->cancel();
      }
      connection_.reset();
    }
    work_.reset();
  });
  thread_.join();
}

void ViewerSession::connect() {
  if (stopped_) return;
  retryTimer_.cancel();
  pingTimer_.cancel();
  if (connection_) connection_->cancel();
  connection_.reset();
  ++generation_;
  ready_ = admitted_ = refused_ = false;
  pings_.clear();
  ++attempt_;
  SessionEvent event;
  event.kind = SessionEvent::Kind::connecting;
  event.attempt = attempt_;
  emit(std::move(event));

  std::error_code error;
  const auto address = asio::ip::make_address(host_.address, error);
  if (error) return endAttempt("The host's address " + host_.address + " is not valid.", false);
  socket_.emplace(io_);
  admissionTimer_.expires_after(kAdmissionTimeout);
  admissionTimer_.async_wait([this, generation = generation_](const std::error_code& timerError) {
    if (timerError || generation != generation_ || admitted_) return;
    endAttempt("The host did not answer.", true);
  });
  socket_->async_connect({address, host_.port}, [this, generation = generation_](const std::error_code& e) {
    onConnected(generation, e);
  });
}

void ViewerSession::onConnected(std::uint64_t generation, const std::error_code& error) {
  if (generation != generation_ || stopped_) return;
  if (error) {
    return endAttempt("Could not reach the host at " + host_.address + ":" + std::to_string(host_.port) +
                          ": " + error.message() + ".",
                      true);
  }
  // One context for every attempt: a cancelled connection may still hold the previous one's.
  if (!tls_) tls_ = makeClientTlsContext(host_.certificateHash);
  pinMismatch_ = std::make_shared<bool>(false);
  connection_ = PacketConnection::create(
      client::pinnedTlsStream(std::move(*socket_), *tls_, host_.certificateHash, pinMismatch_),
      PacketConnection::Role::client);
  socket_.reset();
  connection_->setAcknowledgesVideo(true);
  connection_->setOnVideo([this, generation](Bytes payload) {
    if (generation == generation_ && handlers_.onVideo) handlers_.onVideo(std::move(payload));
  });
  connection_->setOnReady([this, generation] { onReady(generation); });
  connection_->setOnControl(
      [this, generation](ControlMessage message) { onMessage(generation, std::move(message)); });
  connection_->setOnClose(
      [this, generation](std::optional<std::string> reason) { onClosed(generation, std::move(reason)); });
  connection_->start();
}

void ViewerSession::onReady(std::uint64_t generation) {
  if (generation != generation_ || stopped_) return;
  ready_ = true;
  auto message = ControlMessage::make(options_.secret ? "pair" : "authenticate");
  message.hostID = host_.hostID;
  message.deviceID = host_.deviceID;
  if (options_.secret) {
    message.deviceName = host_.deviceName;
    message.secret = *options_.secret;
  } else {
    message.token = host_.token;
  }
  message.features = std::vector<std::string>{kFeatureFrameAck, kFeatureWarmResume};
  if (takeover_) message.takeover = true;
  connection_->send(message);
}

void ViewerSession::onMessage(std::uint64_t generation, ControlMessage message) {
  if (generation != generation_ || stopped_) return;
  if (message.type == "videoConfig") {
    if (handlers_.onVideoConfig) handlers_.onVideoConfig(message);
    return;
  }
  SessionEvent event;
  event.kind = SessionEvent::Kind::message;
  if (message.type == "paired" && message.token) {
    // From now on this device authenticates with its token; the secret is used up.
    host_.token = *message.token;
    options_.secret.reset();
  } else if (message.type == "hello" && !admitted_) {
    admitted_ = true;
    takeover_ = false;
    attempt_ = 0;
    admissionTimer_.cancel();
    schedulePing();
    if (options_.stream && stream_) sendStream(false);
  } else if (message.type == "pong" && !pings_.empty()) {
    event.roundTripMs =
        std::chrono::duration<double, std::milli>(steady_clock::now() - pings_.front()).count();
    pings_.pop_front();
  } else if (isRefusal(message.type)) {
    refused_ = true;
  }
  event.message = std::move(message);
  emit(std::move(event));
}

void ViewerSession::onClosed(std::uint64_t generation, std::optional<std::string> reason) {
  if (generation != generation_ || stopped_) return;
  connection_.reset();
  pingTimer_.cancel();
  admissionTimer_.cancel();
  if (!ready_ && pinMismatch_ && *pinMismatch_) return endAttempt(client::kCertificateMismatch, false);
  std::string text = "The connection to the host ended.";
  if (!ready_)
    text = "The secure connection with the host failed" + (reason ? ": " + *reason : ".");
  else if (reason)
    text += " " + *reason;
  endAttempt(std::move(text), !refused_);
}

void ViewerSession::endAttempt(std::string text, bool retry) {
  ++generation_;  // late callbacks of this attempt are dropped
  if (connection_) connection_->cancel();
  connection_.reset();
  socket_.reset();
  admitted_ = false;
  pingTimer_.cancel();
  admissionTimer_.cancel();
  SessionEvent event;
  event.kind = SessionEvent::Kind::disconnected;
  event.text = std::move(text);
  if (retry && options_.reconnect && !stopped_) {
    event.retryIn = reconnectDelay(attempt_);
    retryTimer_.expires_after(*event.retryIn);
    retryTimer_.async_wait([this](const std::error_code& error) {
      if (!error) connect();
    });
  }
  emit(std::move(event));
}

void ViewerSession::sendStream(bool restart) {
  if (!connection_ || !stream_) return;
  auto message = ControlMessage::make("stream");
  message.displayID = stream_->displayID;
  message.maxWidth = stream_->maxWidth;
  if (restart) message.restart = true;
  connection_->send(message);
}

void ViewerSession::schedulePing() {
  pingTimer_.expires_after(kPingInterval);
  pingTimer_.async_wait([this, generation = generation_](const std::error_code& error) {
    if (error || generation != generation_ || !connection_) return;
    pings_.push_back(steady_clock::now());
    if (pings_.size() > 8) pings_.pop_front();
    connection_->send(ControlMessage::make("ping"));
    schedulePing();
  });
}

void ViewerSession::emit(SessionEvent event) {
  if (handlers_.onEvent && !stopped_) handlers_.onEvent(event);
}

}  // namespace quorvanta::viewer
