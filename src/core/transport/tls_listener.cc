#include "core/transport/tls_listener.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/error.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

namespace quorvanta {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

constexpr auto kFirstBackoff = 10ms;
constexpr auto kLongestBackoff = 1s;

constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

// The errno behind an error from a socket call, or 0. Asio reports them in its own category, which
// does not compare equal to std::errc values.
int errnoOf(const std::error_code& error) {
  return error.category() == asio::error::get_system_category() ? error.value() : 0;
}

// Errors after which accept() may succeed again: the connection went away before it was taken,
// the process or the system ran out of descriptors or memory, or (Linux) a network error that was
// already pending on the new connection.
bool isTransientAcceptError(const std::error_code& error) {
  switch (errnoOf(error)) {
    case ECONNABORTED:
    case EINTR:
    case EAGAIN:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENETUNREACH:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case EOPNOTSUPP:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

// Errors that concern only the one connection: accept again at once.
bool concernsOneConnection(const std::error_code& error) {
  const int number = errnoOf(error);
  return number == ECONNABORTED || number == EINTR || number == EAGAIN;
}

}  // namespace

const char* toString(TlsListener::State::Kind kind) {
  switch (kind) {
    case TlsListener::State::Kind::ready:
      return "ready";
    case TlsListener::State::Kind::waiting:
      return "waiting";
    case TlsListener::State::Kind::failed:
      return "failed";
    case TlsListener::State::Kind::cancelled:
      return "cancelled";
  }
  return "unknown";
}

struct TlsListener::Core : std::enable_shared_from_this<Core> {
  // One start(): its listening socket and backoff timer. The accept loop holds it, so a loop that
  // outlives its run (a later start() made a new one) only ever sees its own, closed, socket.
  struct Run {
    explicit Run(const asio::any_io_executor& executor) : acceptor(executor), backoff(executor) {}
    tcp::acceptor acceptor;
    asio::steady_timer backoff;
    bool active = false;
  };

  Core(asio::any_io_executor executor, std::shared_ptr<asio::ssl::context> context,
       asio::any_io_executor connections)
      : strand(asio::make_strand(executor)),
        connectionExecutor(connections ? std::move(connections) : std::move(executor)),
        tls(std::move(context)) {}

  asio::strand<asio::any_io_executor> strand;
  asio::any_io_executor connectionExecutor;
  std::shared_ptr<asio::ssl::context> tls;

  std::mutex handlersLock;
  Handlers handlers;      // guarded by handlersLock
  bool silenced = false;  // guarded by handlersLock

  // On the strand only.
  std::shared_ptr<Run> run;  // the latest start() that was not cancelled

  void silence() {
    Handlers old;
    {
      std::lock_guard guard(handlersLock);
      silenced = true;
      old = std::exchange(handlers, {});
    }
    // `old` (and whatever its functions hold) is released outside the lock.
  }

  void report(State state) {
    std::function<void(State)> onState;
    {
      std::lock_guard guard(handlersLock);
      onState = handlers.onState;
    }
    if (onState) onState(std::move(state));
  }

  void handOver(PacketConnection::TlsStream stream) {
    std::function<void(PacketConnection::TlsStream)> onConnection;
    {
      std::lock_guard guard(handlersLock);
      onConnection = handlers.onConnection;
    }
    if (onConnection) onConnection(std::move(stream));
  }

  void start(const std::string& address, std::uint16_t port, Handlers newHandlers) {
    if (run && run->active) return;
    {
      std::lock_guard guard(handlersLock);
      if (!silenced) std::swap(handlers, newHandlers);
    }
    run = std::make_shared<Run>(strand);

    std::error_code error;
    const auto host = asio::ip::make_address_v4(address, error);
    // Binding the wildcard address would accept on every interface.
    if (!error && host.is_unspecified()) error = std::make_error_code(std::errc::invalid_argument);
    if (error) return report(State::failed(error.message()));

    auto& acceptor = run->acceptor;
    const tcp::endpoint endpoint(host, port);
    acceptor.open(endpoint.protocol(), error);
    if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error) acceptor.bind(endpoint, error);
    if (error) {
      std::error_code ignored;
      acceptor.close(ignored);
      if (errnoOf(error) == EADDRNOTAVAIL) return report(State::waiting(error.message()));
      return report(State::failed(error.message()));
    }
    acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      std::error_code ignored;
      acceptor.close(ignored);
      return report(State::failed(error.message()));
    }

    run->active = true;
    report(State::ready());
    asio::co_spawn(strand, acceptLoop(shared_from_this(), run), asio::detached);
  }

  void stop(bool reportCancelled) {
    if (!run) return;
    const auto ended = std::exchange(run, nullptr);
    ended->active = false;
    std::error_code ignored;
    ended->acceptor.close(ignored);
    ended->backoff.cancel();
    if (reportCancelled) report(State::cancelled());
  }

  static asio::awaitable<void> acceptLoop(std::shared_ptr<Core> self, std::shared_ptr<Run> run) {
    auto backoff = std::chrono::steady_clock::duration(kFirstBackoff);
    while (run->active) {
      auto [error, socket] = co_await run->acceptor.async_accept(self->connectionExecutor, kNoThrow);
      if (!run->active) co_return;
      if (error) {
        if (concernsOneConnection(error)) continue;
        if (!isTransientAcceptError(error)) {
          run->active = false;
          std::error_code ignored;
          run->acceptor.close(ignored);
          self->report(State::failed(error.message()));
          co_return;
        }
        run->backoff.expires_after(backoff);
        co_await run->backoff.async_wait(kNoThrow);
        backoff = std::min<std::chrono::steady_clock::duration>(backoff * 2, kLongestBackoff);
        continue;
      }
      backoff = kFirstBackoff;

      std::error_code optionError;
      socket.set_option(tcp::no_delay(true), optionError);
      if (!optionError) socket.set_option(asio::socket_base::keep_alive(true), optionError);
      if (optionError) continue;  // the connection is already broken; the socket closes here
      std::optional<PacketConnection::TlsStream> stream;
      try {
        stream.emplace(std::move(socket), *self->tls);
      } catch (const std::system_error&) {
        continue;  // no TLS session could be made for this connection (out of memory): drop it
      }
      self->handOver(std::move(*stream));
    }
  }
};

TlsListener::TlsListener(asio::any_io_executor executor, std::shared_ptr<asio::ssl::context> tls,
                         asio::any_io_executor connectionExecutor)
    : core_(std::make_shared<Core>(std::move(executor), std::move(tls), std::move(connectionExecutor))) {}

TlsListener::~TlsListener() {
  core_->silence();
  asio::post(core_->strand, [core = core_] { core->stop(false); });
}

void TlsListener::start(std::string address, std::uint16_t port, Handlers handlers) {
  asio::post(core_->strand,
             [core = core_, address = std::move(address), port, handlers = std::move(handlers)]() mutable {
               core->start(address, port, std::move(handlers));
             });
}

void TlsListener::cancel() {
  asio::post(core_->strand, [core = core_] { core->stop(true); });
}

}  // namespace quorvanta
