#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/steady_timer.hpp>

#include "client/client_state.h"
#include "core/protocol/control_message.h"
#include "core/transport/packet_connection.h"

namespace quorvanta::viewer {

// The "stream" fields the viewer asks for; absent ones take the host's defaults.
struct StreamRequest {
  std::optional<std::uint32_t> displayID;
  std::optional<std::int64_t> maxWidth;
  bool restart = false;

  bool operator==(const StreamRequest&) const = default;
};

// What the session reports, on its own thread.
struct SessionEvent {
  enum class Kind {
    connecting,    // an attempt to reach the host begins (`attempt` counts from 1)
    message,       // a control message from the host (video configuration aside)
    disconnected,  // the connection ended: `text` says why; `retryIn` when a reconnection follows
  };
  Kind kind = Kind::message;
  ControlMessage message = ControlMessage::make("");
  std::string text;
  int attempt = 0;
  std::optional<std::chrono::milliseconds> retryIn;
  std::optional<double> roundTripMs;  // with "pong": the time since its "ping" was sent
};

// One viewer's connection to one host, on an executor of its own: connects with the pinned
// certificate, pairs (once) or authenticates announcing "frameAck" and "warmResume", asks for the
// stream, acknowledges every video packet (the packet connection does), pings every 5 seconds and
// reconnects with backoff after a drop, asking for the same stream so that the host resumes warm.
// After a refusal ("busy", "authRejected", "error", "takenOver") it waits for takeOver() or
// reconnect(). Public operations may be called from any thread.
class ViewerSession {
 public:
  struct Handlers {
    std::function<void(const SessionEvent&)> onEvent;
    std::function<void(const ControlMessage&)> onVideoConfig;
    std::function<void(Bytes)> onVideo;
  };
  struct Options {
    std::optional<std::string> secret;  // pair with this invitation secret first
    bool stream = true;                 // ask for a stream once admitted
    bool reconnect = true;
    bool takeover = false;  // the first attempt takes the session over
  };

  ViewerSession(client::ClientState host, Handlers handlers, Options options);
  ~ViewerSession();
  ViewerSession(const ViewerSession&) = delete;
  ViewerSession& operator=(const ViewerSession&) = delete;

  void start();
  // Asks for a stream with these settings now (when admitted) and after every reconnection.
  void requestStream(StreamRequest request);
  // Sends a message while admitted; dropped otherwise.
  void send(ControlMessage message);
  // Connects again at once, asking to take the session over from another device.
  void takeOver();
  // Connects again at once (after a refusal, or to skip the wait).
  void reconnect();
  // Says goodbye to the host and stops the executor; no handler is called after it returns.
  void stop();

 private:
  void connect();
  void onConnected(std::uint64_t generation, const std::error_code& error);
  void onReady(std::uint64_t generation);
  void onMessage(std::uint64_t generation, ControlMessage message);
  void onClosed(std::uint64_t generation, std::optional<std::string> reason);
  void sendStream(bool restart);
  void schedulePing();
  void endAttempt(std::string text, bool retry);
  void emit(SessionEvent event);

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
  client::ClientState host_;
  Handlers handlers_;
  Options options_;

  std::shared_ptr<asio::ssl::context> tls_;
  std::optional<asio::ip::tcp::socket> socket_;
  std::shared_ptr<PacketConnection> connection_;
  std::shared_ptr<bool> pinMismatch_;
  asio::steady_timer retryTimer_;
  asio::steady_timer pingTimer_;
  asio::steady_timer admissionTimer_;
  std::uint64_t generation_ = 0;
  int attempt_ = 0;
  bool ready_ = false;
  bool admitted_ = false;
  bool refused_ = false;
  bool takeover_ = false;
  bool stopped_ = false;
  std::optional<StreamRequest> stream_;
  std::deque<std::chrono::steady_clock::time_point> pings_;
};

}  // namespace quorvanta::viewer
