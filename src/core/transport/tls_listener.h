#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <asio/any_io_executor.hpp>
#include <asio/ssl/context.hpp>

#include "core/transport/packet_connection.h"

namespace quorvanta {

// Accepts TLS-over-TCP connections on exactly one local IPv4 address and port and hands each
// accepted stream to its owner; the TLS handshake itself is left to PacketConnection.
//
// The listener binds only the address it is given (never the wildcard address), with
// SO_REUSEADDR, and every accepted socket gets TCP_NODELAY and SO_KEEPALIVE.
//
// States reported through Handlers::onState:
//   ready         listen() succeeded; connections are being accepted.
//   waiting(e)    bind() failed with EADDRNOTAVAIL: the address is not (yet) on this machine,
//                 for example while the VPN interface is down. The listener is closed again; the
//                 owner retries start() later.
//   failed(e)     any other failure to parse the address, open, configure, bind (EADDRINUSE,
//                 EACCES, ...) or listen, or an accept error that is not transient. The listener
//                 is closed; e is the system's text for the error.
//   cancelled     after cancel(), exactly once for each start() not cancelled before.
// Transient accept errors (a connection aborted before it was accepted, descriptor or memory
// exhaustion, pending network errors the kernel passes to accept) do not end the listener: it
// waits with a bounded backoff (10 ms doubling up to 1 s) and accepts again.
//
// Threads: all work runs on a strand of the executor passed in; both handlers are called there,
// never concurrently, and the owner hops to its own thread from them. The public functions may be
// called from any thread and take effect on the strand in the order of the calls. Accepted
// sockets are bound to `connectionExecutor` (by default the listener's executor), so that each
// connection can run on its own strand instead of the listener's.
//
// Lifetime: destroying the listener clears its handlers (no handler call starts afterwards, one
// already running may finish) and then cancels it without a report. An owner that must not see a
// late state simply destroys the listener instead of calling cancel().
class TlsListener {
 public:
  static constexpr std::uint16_t kDefaultPort = 48725;

  struct State {
    enum class Kind { ready, waiting, failed, cancelled };
    Kind kind = Kind::ready;
    std::string error;  // the system's text for waiting and failed, empty otherwise

    static State ready() { return {Kind::ready, {}}; }
    static State waiting(std::string e) { return {Kind::waiting, std::move(e)}; }
    static State failed(std::string e) { return {Kind::failed, std::move(e)}; }
    static State cancelled() { return {Kind::cancelled, {}}; }
    friend bool operator==(const State&, const State&) = default;
  };

  struct Handlers {
    std::function<void(State)> onState;
    // A stream around the accepted socket, ready for PacketConnection::create(…, Role::server).
    std::function<void(PacketConnection::TlsStream)> onConnection;
  };

  TlsListener(asio::any_io_executor executor, std::shared_ptr<asio::ssl::context> tls,
              asio::any_io_executor connectionExecutor = {});
  ~TlsListener();
  TlsListener(const TlsListener&) = delete;
  TlsListener& operator=(const TlsListener&) = delete;

  // Opens the listener on `address` (dotted IPv4 text) and `port`. Ignored while a previous
  // start() is still listening; allowed again after cancel(), waiting or failed.
  void start(std::string address, std::uint16_t port, Handlers handlers);
  void start(std::string address, Handlers handlers) {
    start(std::move(address), kDefaultPort, std::move(handlers));
  }
  // Stops accepting and closes the listening socket; reports cancelled once.
  void cancel();

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

const char* toString(TlsListener::State::Kind kind);

}  // namespace quorvanta
