#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>

#include <asio/any_io_executor.hpp>
#include <nlohmann/json.hpp>

namespace quorvanta {

// The local control channel of the running host: a Unix stream socket in the user's runtime
// directory through which the `quorvanta` command (and a second launch of the application) talk
// to the host.
//
// Wire format, both ways: one compact JSON object per line, UTF-8, terminated by "\n". A
// connection carries requests in sequence, each answered by one reply line. Every reply is an
// object with "ok"; when "ok" is false, "error" holds a sentence for the user.

// The control socket of the running host: runtimeDirectory() / "control.sock".
std::filesystem::path controlSocketPath();

// Serves the control socket. Only processes of the same user are answered: the peer's uid
// (SO_PEERCRED) must equal this process's effective uid, otherwise the connection is closed at
// once without a reply.
//
// Limits: a request line of at most kMaxRequestBytes (a longer one is answered with
// {"ok":false,"error":"The request is too long."} and the connection closed), at most
// kMaxConnections connections at once (further clients wait in the listen queue until one
// closes), and a connection that stays silent for `idleLimit` is closed.
//
// Threads: every member function is called on the thread that runs `executor`, or while it runs
// nothing; the handler is called there too. The executor is meant to be the host's main
// executor, run by a single thread.
class ControlServer {
 public:
  // Called for every request object; returns the reply object. A thrown exception becomes
  // {"ok":false,"error":"<what()>"}.
  using Handler = std::function<nlohmann::json(const nlohmann::json& request)>;
  enum class OpenResult { listening, alreadyRunning };

  static constexpr std::size_t kMaxRequestBytes = 64 * 1024;
  static constexpr std::size_t kMaxConnections = 16;
  static constexpr std::chrono::milliseconds kDefaultIdleLimit = std::chrono::seconds(10);

  ControlServer(asio::any_io_executor executor, std::filesystem::path socketPath, Handler handler,
                std::chrono::milliseconds idleLimit = kDefaultIdleLimit);
  // Closes the listener and every connection and removes the socket file this server made. The
  // handler is not called afterwards.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Creates the socket's directory (0700) and refuses, with a QuorvantaError, a directory that
  // is a symbolic link or belongs to another user. Then:
  // - a server that accepts connections on the path: alreadyRunning, nothing is bound;
  // - a stale socket file (connection refused): it is removed;
  // then binds the socket (file mode 0600), listens and returns listening. Throws
  // QuorvantaError naming the path when it cannot listen. Does nothing more while listening.
  OpenResult open();
  // Stops listening, closes every connection and removes the socket file. May be opened again.
  void close();

  [[nodiscard]] const std::filesystem::path& socketPath() const;

 private:
  struct Core;
  class Connection;
  std::shared_ptr<Core> core_;
};

// Client side, blocking: connects to `socketPath`, writes one request line and reads one reply
// line, all within `timeout`. Throws QuorvantaError:
// - "Quorvanta Host is not running." when nothing listens on the path;
// - "The directory <dir> of the control socket is not private to this user, so Quorvanta will not
//   use it." when the socket's directory is not this user's own, is a link or is open to others;
// - "The server at <path> belongs to another user, so Quorvanta will not talk to it." when the
//   listening process (SO_PEERCRED) runs as another user;
// - "Quorvanta Host did not answer in time." after `timeout`;
// - "Quorvanta Host closed the connection without answering." when it hangs up first;
// - "Quorvanta Host sent a reply that could not be read." for a reply that is not a JSON object;
// - a sentence naming the path and the system's error for any other failure.
nlohmann::json sendControlRequest(const std::filesystem::path& socketPath, const nlohmann::json& request,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace quorvanta
