#include "core/host/control_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "core/util/unique_fd.h"
#include "host_test_directory.h"
#include "support/test_helpers.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::thrownMessage;
using namespace std::chrono_literals;

constexpr const char* kNotRunning = "Quorvanta Host is not running.";
constexpr const char* kNoAnswer = "Quorvanta Host did not answer in time.";
constexpr int kNobody = 65534;

sockaddr_un addressOf(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

// A bare client (or, with `asServer`, a bound socket that listens only when asked) on `path`.
UniqueFd rawSocket(const fs::path& path, bool asServer = false, bool listens = true) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = addressOf(path);
  const auto* generic = reinterpret_cast<const sockaddr*>(&address);
  EXPECT_EQ(
      asServer ? ::bind(fd.get(), generic, sizeof(address)) : ::connect(fd.get(), generic, sizeof(address)),
      0)
      << std::strerror(errno);
  if (asServer && listens) {
    EXPECT_EQ(::listen(fd.get(), 4), 0);
  }
  return fd;
}

void sendAll(int fd, const std::string& bytes) {
  EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// The next line from `fd`, or nullopt when the peer closes first. Fails after 5 s.
std::optional<std::string> readLine(int fd) {
  std::string line;
  char byte = 0;
  while (true) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 5000) != 1) {
      ADD_FAILURE() << "no data within 5 s";
      return std::nullopt;
    }
    if (::recv(fd, &byte, 1, 0) != 1) return std::nullopt;
    if (byte == '\n') return line;
    line += byte;
  }
}

// What asking `path` for the status throws, "" when it answers.
std::string statusFailure(const fs::path& path, std::chrono::milliseconds limit = 5s) {
  return thrownMessage([&] { sendControlRequest(path, {{"command", "status"}}, limit); });
}

class ControlServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (!thread_.joinable()) return;
    onServerThread([this] { server_.reset(); });
    work_.reset();
    thread_.join();
  }

  // Opens a server on `path_` and runs its executor on a thread of its own.
  void start(ControlServer::Handler handler,
             std::chrono::milliseconds idle = ControlServer::kDefaultIdleLimit) {
    server_ = std::make_unique<ControlServer>(io_.get_executor(), path_, std::move(handler), idle);
    ASSERT_EQ(server_->open(), ControlServer::OpenResult::listening);
    thread_ = std::thread([this] { io_.run(); });
  }
  void onServerThread(std::function<void()> action) {
    std::promise<void> done;
    asio::post(io_, [&] {
      action();
      done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
  }
  static json echo(const json& request) {
    if (request.value("command", "") == "fail") throw std::runtime_error("The switch could not be saved.");
    return {{"ok", true}, {"echo", request}};
  }

  ScratchDirectory dir_;
  fs::path path_ = dir_.path() / "run" / "control.sock";
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  std::thread thread_;
  std::unique_ptr<ControlServer> server_;
};

TEST_F(ControlServerTest, AnswersRequestsOnTheServerThreadAndReportsHandlerErrors) {
  std::atomic<std::thread::id> handlerThread;
  start([&](const json& request) {
    handlerThread = std::this_thread::get_id();
    return echo(request);
  });
  const json request = {{"command", "set"}, {"text", "Café ✓"}};
  EXPECT_EQ(sendControlRequest(path_, request), json({{"ok", true}, {"echo", request}}));
  EXPECT_EQ(handlerThread.load(), thread_.get_id());
  EXPECT_EQ(sendControlRequest(path_, {{"command", "fail"}}),
            json({{"ok", false}, {"error", "The switch could not be saved."}}));

  // Several requests in sequence on one connection, the second split across writes.
  UniqueFd client = rawSocket(path_);
  sendAll(client.get(), "{\"command\":\"status\"}\n{\"command\":");
  EXPECT_EQ(readLine(client.get()), R"({"echo":{"command":"status"},"ok":true})");
  sendAll(client.get(), "\"show\"}\n");
  EXPECT_EQ(readLine(client.get()), R"({"echo":{"command":"show"},"ok":true})");
}

TEST_F(ControlServerTest, MakesPrivateDirectoryAndSocketAndRemovesTheSocketWhenClosed) {
  fs::create_directories(path_.parent_path());
  fs::permissions(path_.parent_path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  start(echo);
  EXPECT_EQ(fs::status(path_.parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(statusFailure(path_), "");
  onServerThread([this] { server_->close(); });
  EXPECT_FALSE(fs::exists(fs::symlink_status(path_)));
  EXPECT_EQ(statusFailure(path_), kNotRunning);
}

TEST_F(ControlServerTest, RefusesADirectoryThatIsALinkAndReplacesAStaleSocket) {
  fs::create_directory(dir_.path() / "elsewhere");
  fs::create_directory_symlink(dir_.path() / "elsewhere", path_.parent_path());
  const std::string message = thrownMessage([&] { ControlServer(io_.get_executor(), path_, echo).open(); });
  EXPECT_NE(message.find(path_.parent_path().string()), std::string::npos) << message;
  EXPECT_FALSE(fs::exists(dir_.path() / "elsewhere" / "control.sock"));

  fs::remove(path_.parent_path());
  fs::create_directory(path_.parent_path());
  fs::permissions(path_.parent_path(), fs::perms::owner_all);
  { UniqueFd abandoned = rawSocket(path_, true); }  // bound and closed: nobody listens any more
  EXPECT_EQ(statusFailure(path_), kNotRunning);
  start(echo);
  EXPECT_EQ(statusFailure(path_), "");
}

TEST_F(ControlServerTest, AnswersMalformedAndOverlongRequestsWithAnError) {
  start(echo);
  UniqueFd client = rawSocket(path_);
  sendAll(client.get(), "hello\n[1,2]\n");
  EXPECT_EQ(readLine(client.get()), R"({"error":"The request is not valid JSON.","ok":false})");
  EXPECT_EQ(readLine(client.get()), R"({"error":"The request is not valid JSON.","ok":false})");
  std::string longest = R"({"command":"status"})";  // exactly the limit is still a request
  longest.resize(ControlServer::kMaxRequestBytes, ' ');
  sendAll(client.get(), longest + "\n");
  EXPECT_EQ(readLine(client.get()), R"({"echo":{"command":"status"},"ok":true})");
  sendAll(client.get(), std::string(ControlServer::kMaxRequestBytes + 1, ' '));
  EXPECT_EQ(readLine(client.get()), R"({"error":"The request is too long.","ok":false})");
  EXPECT_EQ(readLine(client.get()), std::nullopt);
}

TEST_F(ControlServerTest, ClosesASilentClientAndHoldsAtMostTheConnectionLimitOpen) {
  start(echo, 1s);
  std::vector<UniqueFd> held;
  for (std::size_t i = 0; i < ControlServer::kMaxConnections; ++i)
    held.push_back(rawSocket(path_));
  EXPECT_EQ(statusFailure(path_, 300ms), kNoAnswer);
  EXPECT_EQ(readLine(held.front().get()), std::nullopt);
  EXPECT_EQ(statusFailure(path_), "");
}

TEST_F(ControlServerTest, HangsUpOnAnotherUserWithoutAReply) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  start(echo);
  // Let the other user reach the socket, so that only the peer check stands in the way.
  fs::permissions(path_.parent_path(), fs::perms::all);
  fs::permissions(path_, fs::perms::all);
  fs::permissions(dir_.path(), fs::perms::others_exec, fs::perm_options::add);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Exit codes: 0 hung up without a reply, 1 answered, 2 could not connect, 3 no user switch.
    if (::setresgid(kNobody, kNobody, kNobody) != 0 || ::setresuid(kNobody, kNobody, kNobody) != 0)
      ::_exit(3);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = addressOf(path_);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) ::_exit(2);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::send(fd, "{\"command\":\"status\"}\n", 21, MSG_NOSIGNAL);
    char byte = 0;
    // A hang-up reads as the end of the stream, or as a reset when the server closed first.
    const ssize_t got = ::recv(fd, &byte, 1, 0);
    ::_exit(got == 0 || (got < 0 && errno == ECONNRESET) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "the temporary directory is closed to other users";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  fs::permissions(path_.parent_path(), fs::perms::owner_all);
  EXPECT_EQ(statusFailure(path_), "");
}

TEST(SendControlRequestTest, AServerOfAnotherUserIsNotTalkedTo) {
  if (::geteuid() != 0) GTEST_SKIP() << "a server of another user needs root";
  ScratchDirectory dir;
  const fs::path path = dir.path() / "control.sock";
  UniqueFd listener = rawSocket(path, true, false);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The server's credentials are those of the process that listens.
    if (::setresuid(kNobody, kNobody, kNobody) != 0 || ::listen(listener.get(), 4) != 0) ::_exit(3);
    (void)!::write(ready[1], "x", 1);
    const int peer = ::accept(listener.get(), nullptr, nullptr);
    const char forged[] = "{\"ok\":true,\"link\":\"quorvanta://pair?data=forged\"}\n";
    if (peer >= 0) (void)!::send(peer, forged, sizeof(forged) - 1, MSG_NOSIGNAL);
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the other user's server did not start";
  ::close(ready[0]);
  const std::string message = statusFailure(path);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(message,
            "The server at " + path.string() + " belongs to another user, so Quorvanta will not talk to it.");
}

TEST(SendControlRequestTest, ReportsAnUnreadableReply) {
  ScratchDirectory dir;
  const fs::path garbling = dir.path() / "garbling.sock";
  UniqueFd garbler = rawSocket(garbling, true);
  std::thread server([&] {
    pollfd entry{garbler.get(), POLLIN, 0};
    if (::poll(&entry, 1, 5000) != 1) return;
    UniqueFd peer(::accept(garbler.get(), nullptr, nullptr));
    readLine(peer.get());
    sendAll(peer.get(), "[\"ok\"]\n");
  });
  EXPECT_EQ(statusFailure(garbling), "Quorvanta Host sent a reply that could not be read.");
  server.join();
}

}  // namespace
}  // namespace quorvanta
