#include "core/host/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>

#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "core/host/control_request.h"
#include "core/util/paths.h"
#include "core/util/quorvanta_error.h"
#include "core/util/unique_fd.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;
using Protocol = asio::local::stream_protocol;
using Clock = std::chrono::steady_clock;

constexpr const char* kNotRunning = "Quorvanta Host is not running.";
constexpr const char* kNoAnswerInTime = "Quorvanta Host did not answer in time.";
constexpr const char* kHungUp = "Quorvanta Host closed the connection without answering.";
constexpr const char* kUnreadableReply = "Quorvanta Host sent a reply that could not be read.";
// Replies carry a status or a device list; anything far larger is not a reply of the host.
constexpr std::size_t kMaxReplyBytes = 1024 * 1024;
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

std::string systemText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

nlohmann::json failure(const std::string& sentence) {
  return {{"ok", false}, {"error", sentence}};
}

std::string encodeLine(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

sockaddr_un addressOf(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof(address.sun_path)) {
    throw QuorvantaError("The control socket path " + text + " is too long.");
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return address;
}

int connectTo(int fd, const sockaddr_un& address) {
  // sockaddr_un is one of the address types connect() accepts through sockaddr.
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
}

UniqueFd unixSocket() {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) throw QuorvantaError("Could not create a local socket: " + systemText(errno) + ".");
  return fd;
}

// Makes the socket's directory, or accepts an existing one that is a real directory of this
// user; its permissions are narrowed to 0700.
void prepareDirectory(const fs::path& directory) {
  try {
    createDirectories(directory, fs::perms::owner_all);
  } catch (const fs::filesystem_error& error) {
    throw QuorvantaError("Could not create the directory " + directory.string() + ": " +
                         error.code().message() + ".");
  }
  const std::string unsafe = "The directory " + directory.string() +
                             " cannot hold the control socket: it must be a directory that belongs to "
                             "this user, not a link.";
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    if (errno == ELOOP || errno == ENOTDIR) throw QuorvantaError(unsafe);
    throw QuorvantaError("Could not open the directory " + directory.string() + ": " + systemText(errno) +
                         ".");
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) {
    throw QuorvantaError(unsafe);
  }
  if ((status.st_mode & 07777) != S_IRWXU && ::fchmod(fd.get(), S_IRWXU) != 0) {
    throw QuorvantaError("Could not set the permissions of the directory " + directory.string() + ": " +
                         systemText(errno) + ".");
  }
}

enum class Occupant { none, live, stale };

// What is at the socket path: nothing, a server that accepts connections, or a socket nobody
// listens on any more. Other files are reported as none and make bind() fail.
Occupant probe(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return Occupant::none;
  UniqueFd fd = unixSocket();
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
  if (connectTo(fd.get(), addressOf(path)) == 0) return Occupant::live;
  const int error = errno;
  if (error == ECONNREFUSED) return Occupant::stale;
  // A full listen queue still means someone is listening.
  if (error == EAGAIN || error == EINPROGRESS) return Occupant::live;
  throw QuorvantaError("Could not check the control socket " + path.string() + ": " + systemText(error) +
                       ".");
}

// Device and inode of the file at `path`, to recognise the socket file this server made.
std::optional<std::pair<dev_t, ino_t>> identityOf(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  return std::pair{status.st_dev, status.st_ino};
}

}  // namespace

fs::path controlSocketPath() {
  return runtimeDirectory() / "control.sock";
}

struct ControlServer::Core : std::enable_shared_from_this<Core> {
  Core(asio::any_io_executor ex, fs::path socketPath, Handler h, std::chrono::milliseconds idle)
      : executor(std::move(ex)),
        path(std::move(socketPath)),
        handler(std::move(h)),
        idleLimit(idle),
        retryTimer(executor) {}

  void startAccept();
  void onAccepted(std::uint64_t generation, const std::error_code& error, Protocol::socket socket);
  void remove(const Connection* connection);
  void close();

  asio::any_io_executor executor;
  fs::path path;
  Handler handler;
  std::chrono::milliseconds idleLimit;
  std::optional<Protocol::acceptor> acceptor;
  asio::steady_timer retryTimer;
  std::uint64_t generation = 0;  // counts open() calls, so that late accepts are dropped
  bool accepting = false;
  std::optional<std::pair<dev_t, ino_t>> madeFile;
  std::unordered_map<const Connection*, std::shared_ptr<Connection>> connections;
};

// One accepted client: reads request lines, answers each, and closes after the idle limit.
class ControlServer::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Protocol::socket socket, std::weak_ptr<ControlServer::Core> core,
             std::chrono::milliseconds idleLimit)
      : socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        core_(std::move(core)),
        idleLimit_(idleLimit) {}

  void start() {
    armTimer();
    readMore();
  }

  // Closes the socket; the owner is told unless it is the one closing.
  void close(bool tellOwner) {
    if (closed_) return;
    closed_ = true;
    std::error_code ignored;
    timer_.cancel();
    socket_.shutdown(Protocol::socket::shutdown_both, ignored);
    socket_.close(ignored);
    if (!tellOwner) return;
    if (auto core = core_.lock()) core->remove(this);
  }

 private:
  void armTimer() {
    timer_.expires_after(idleLimit_);
    timer_.async_wait([self = shared_from_this()](const std::error_code& error) {
      // A wait replaced by a newer one completes as aborted, or late with an expiry still ahead.
      if (error || self->closed_ || self->timer_.expiry() > Clock::now()) return;
      self->close(true);
    });
  }

  void readMore() {
    socket_.async_read_some(asio::buffer(chunk_),
                            [self = shared_from_this()](const std::error_code& error, std::size_t size) {
                              if (self->closed_) return;
                              if (error) {
                                self->close(true);
                                return;
                              }
                              self->armTimer();
                              self->pending_.append(self->chunk_.data(), size);
                              self->serveNext();
                            });
  }

  void serveNext() {
    const std::size_t newline = pending_.find('\n');
    if (newline == std::string::npos && pending_.size() <= ControlServer::kMaxRequestBytes) {
      readMore();
      return;
    }
    if (newline == std::string::npos || newline > ControlServer::kMaxRequestBytes) {
      pending_.clear();
      send(failure("The request is too long."), true);
      return;
    }
    const std::string line = pending_.substr(0, newline);
    pending_.erase(0, newline + 1);
    nlohmann::json reply = answer(line);
    // The handler may have closed the server, and with it this connection.
    if (closed_) return;
    send(reply, false);
  }

  nlohmann::json answer(const std::string& line) {
    const auto parsed = parseControlRequest(line);
    if (!parsed) return failure("The request is not valid JSON.");
    const nlohmann::json& request = *parsed;
    const auto core = core_.lock();
    if (!core || !core->handler) return failure("Quorvanta Host is shutting down.");
    // A copy, so that the handler may close or destroy the server while it runs.
    const ControlServer::Handler handler = core->handler;
    try {
      nlohmann::json reply = handler(request);
      if (!reply.is_object()) return failure("Quorvanta Host could not answer the request.");
      return reply;
    } catch (const std::exception& error) {
      return failure(error.what());
    } catch (...) {
      return failure("Quorvanta Host could not answer the request.");
    }
  }

  void send(const nlohmann::json& reply, bool closeAfter) {
    outgoing_ = encodeLine(reply);
    asio::async_write(socket_, asio::buffer(outgoing_),
                      [self = shared_from_this(), closeAfter](const std::error_code& error, std::size_t) {
                        if (self->closed_) return;
                        if (error || closeAfter) {
                          self->close(true);
                          return;
                        }
                        self->armTimer();
                        self->serveNext();
                      });
  }

  Protocol::socket socket_;
  asio::steady_timer timer_;
  std::weak_ptr<ControlServer::Core> core_;
  std::chrono::milliseconds idleLimit_;
  std::array<char, 4096> chunk_{};
  std::string pending_;
  std::string outgoing_;
  bool closed_ = false;
};

void ControlServer::Core::startAccept() {
  if (!acceptor || !acceptor->is_open() || accepting) return;
  accepting = true;
  acceptor->async_accept([self = shared_from_this(), expected = generation](const std::error_code& error,
                                                                            Protocol::socket socket) {
    self->onAccepted(expected, error, std::move(socket));
  });
}

void ControlServer::Core::onAccepted(std::uint64_t expected, const std::error_code& error,
                                     Protocol::socket socket) {
  if (expected != generation || !acceptor || !acceptor->is_open()) return;
  accepting = false;
  if (error) {
    if (error == asio::error::operation_aborted) return;
    // A client that gave up before it was accepted, or a shortage of descriptors or memory,
    // passes: accepting resumes after a short pause rather than failing in a tight loop.
    accepting = true;
    retryTimer.expires_after(kAcceptRetryDelay);
    retryTimer.async_wait([self = shared_from_this(), expected](const std::error_code& waitError) {
      if (waitError || expected != self->generation) return;
      self->accepting = false;
      self->startAccept();
    });
    return;
  }
  ucred peer{};
  socklen_t length = sizeof(peer);
  const bool sameUser = ::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
                        peer.uid == ::geteuid();
  if (sameUser) {
    auto connection = std::make_shared<Connection>(std::move(socket), weak_from_this(), idleLimit);
    connections.emplace(connection.get(), connection);
    connection->start();
  } else {
    std::error_code ignored;
    socket.close(ignored);
  }
  // Further clients wait in the listen queue while the limit is reached.
  if (connections.size() < kMaxConnections) startAccept();
}

void ControlServer::Core::remove(const Connection* connection) {
  connections.erase(connection);
  if (connections.size() < kMaxConnections) startAccept();
}

void ControlServer::Core::close() {
  ++generation;
  accepting = false;
  retryTimer.cancel();
  if (acceptor) {
    std::error_code ignored;
    acceptor->close(ignored);
    acceptor.reset();
  }
  auto closing = std::move(connections);
  connections.clear();
  for (auto& [key, connection] : closing)
    connection->close(false);
  // Only the file this server bound is removed, not one that a newer host put in its place.
  if (madeFile) {
    if (identityOf(path) == madeFile) ::unlink(path.c_str());
    madeFile.reset();
  }
}

ControlServer::ControlServer(asio::any_io_executor executor, fs::path socketPath, Handler handler,
                             std::chrono::milliseconds idleLimit)
    : core_(std::make_shared<Core>(std::move(executor), std::move(socketPath), std::move(handler),
                                   idleLimit)) {}

ControlServer::~ControlServer() {
  core_->close();
  core_->handler = nullptr;
}

const fs::path& ControlServer::socketPath() const {
  return core_->path;
}

void ControlServer::close() {
  core_->close();
}

ControlServer::OpenResult ControlServer::open() {
  Core& core = *core_;
  if (core.acceptor) return OpenResult::listening;
  addressOf(core.path);  // rejects a path too long for a socket address
  prepareDirectory(core.path.parent_path());
  const Protocol::endpoint endpoint(core.path.native());
  const auto cannotListen = [&](const std::error_code& error) {
    return QuorvantaError("Quorvanta Host could not listen on " + core.path.string() + ": " +
                          error.message() + ".");
  };
  // Two attempts: a host starting at the same moment may take the path between probe and bind.
  for (int attempt = 0;; ++attempt) {
    switch (probe(core.path)) {
      case Occupant::live:
        return OpenResult::alreadyRunning;
      case Occupant::stale:
        if (::unlink(core.path.c_str()) != 0 && errno != ENOENT) {
          throw cannotListen(std::error_code(errno, std::generic_category()));
        }
        break;
      case Occupant::none:
        break;
    }
    Protocol::acceptor acceptor(core.executor);
    std::error_code error;
    acceptor.open(endpoint.protocol(), error);
    if (!error) acceptor.bind(endpoint, error);
    if (error == asio::error::address_in_use && attempt == 0) continue;
    if (error) throw cannotListen(error);
    core.madeFile = identityOf(core.path);
    if (::chmod(core.path.c_str(), S_IRUSR | S_IWUSR) != 0) {
      error = std::error_code(errno, std::generic_category());
    } else {
      acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
      std::error_code ignored;
      acceptor.close(ignored);
      core.close();
      throw cannotListen(error);
    }
    core.acceptor.emplace(std::move(acceptor));
    core.startAccept();
    return OpenResult::listening;
  }
}

namespace {

// Milliseconds left until `deadline` for poll(), at least 0.
int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000'000));
}

// Runs `transfer` (a send() or recv() on `fd`) once `fd` is ready for `events`, again after an
// interruption, until it moves bytes or fails. Throws when the deadline passes first.
template <typename Transfer>
std::size_t transferBefore(int fd, short events, Clock::time_point deadline, Transfer transfer) {
  while (true) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, remainingMs(deadline));
    if (ready == 0 && Clock::now() >= deadline) throw QuorvantaError(kNoAnswerInTime);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    const ssize_t result = transfer();
    if (result >= 0) return static_cast<std::size_t>(result);
    if (errno != EINTR && errno != EAGAIN) break;
  }
  if (errno == EPIPE || errno == ECONNRESET) throw QuorvantaError(kHungUp);
  throw QuorvantaError("Could not talk to Quorvanta Host: " + systemText(errno) + ".");
}

}  // namespace

namespace {

// The socket's directory must be this user's own, not a link and closed to everyone else, as
// the host makes it: otherwise someone else may have put a server there.
void checkPrivateDirectory(const fs::path& directory) {
  struct stat status {};
  if (::lstat(directory.c_str(), &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) throw QuorvantaError(kNotRunning);
    throw QuorvantaError("Could not check the directory " + directory.string() + ": " + systemText(errno) +
                         ".");
  }
  if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
    throw QuorvantaError("The directory " + directory.string() +
                         " of the control socket is not private to this user, so Quorvanta will not use it.");
  }
}

void checkServerUser(int fd, const fs::path& socketPath) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || credentials.uid != ::geteuid()) {
    throw QuorvantaError("The server at " + socketPath.string() +
                         " belongs to another user, so Quorvanta will not talk to it.");
  }
}

}  // namespace

nlohmann::json sendControlRequest(const fs::path& socketPath, const nlohmann::json& request,
                                  std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  const sockaddr_un address = addressOf(socketPath);
  checkPrivateDirectory(socketPath.parent_path());
  UniqueFd fd = unixSocket();

  // A blocking connect to a local socket waits for room in the listen queue at most this long.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(seconds.count());
  limit.tv_usec = static_cast<suseconds_t>(std::chrono::microseconds(timeout - seconds).count());
  if (limit.tv_sec == 0 && limit.tv_usec == 0) limit.tv_usec = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  if (connectTo(fd.get(), address) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) throw QuorvantaError(kNotRunning);
    if (error == EAGAIN || error == EINPROGRESS) throw QuorvantaError(kNoAnswerInTime);
    throw QuorvantaError("Could not reach Quorvanta Host at " + socketPath.string() + ": " +
                         systemText(error) + ".");
  }
  checkServerUser(fd.get(), socketPath);
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);

  const std::string line = encodeLine(request);
  for (std::size_t written = 0; written < line.size();) {
    written += transferBefore(fd.get(), POLLOUT, deadline, [&] {
      return ::send(fd.get(), line.data() + written, line.size() - written, MSG_NOSIGNAL);
    });
  }

  std::string reply;
  std::array<char, 4096> chunk{};
  while (reply.find('\n') == std::string::npos) {
    if (reply.size() > kMaxReplyBytes) throw QuorvantaError(kUnreadableReply);
    const std::size_t size = transferBefore(fd.get(), POLLIN, deadline,
                                            [&] { return ::recv(fd.get(), chunk.data(), chunk.size(), 0); });
    if (size == 0) throw QuorvantaError(reply.empty() ? kHungUp : kUnreadableReply);
    reply.append(chunk.data(), size);
  }
  reply.resize(reply.find('\n'));
  nlohmann::json decoded = nlohmann::json::parse(reply, nullptr, false);
  if (decoded.is_discarded() || !decoded.is_object()) throw QuorvantaError(kUnreadableReply);
  return decoded;
}

}  // namespace quorvanta
