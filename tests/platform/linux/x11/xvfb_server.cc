#include "xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace quorvanta::testing {

namespace {

constexpr auto kStartLimit = std::chrono::seconds(15);
constexpr auto kStopLimit = std::chrono::seconds(5);

bool waitForExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

XvfbServer::XvfbServer() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const int readEnd = fds[0];
  int writeEnd = fds[1];
  if (writeEnd == 3) {
    // dup2 onto itself would keep close-on-exec set; move it out of the way first.
    writeEnd = fcntl(3, F_DUPFD_CLOEXEC, 10);
    close(3);
  }

  // The child gets the write end as descriptor 3, where -displayfd writes the display number.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd, 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> arguments{"Xvfb",        "-displayfd", "3",       "-screen",    "0",
                                     "1280x720x24", "+extension", "RANDR",   "+extension", "Composite",
                                     "-nolisten",   "tcp",        "-noreset"};
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  const int spawned = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(writeEnd);
  if (spawned != 0) {
    close(readEnd);
    throw std::runtime_error("Xvfb cannot be started; is it installed?");
  }

  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (number.empty() || number.back() != '\n') {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{readEnd, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[16];
    const ssize_t n = read(readEnd, buffer, sizeof buffer);
    if (n <= 0) break;
    number.append(buffer, static_cast<std::size_t>(n));
  }
  close(readEnd);
  while (!number.empty() && (number.back() == '\n' || number.back() == ' '))
    number.pop_back();
  if (number.empty()) {
    kill(pid_, SIGKILL);
    waitForExit(pid_, kStopLimit);
    throw std::runtime_error("Xvfb did not report its display in time.");
  }
  display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!waitForExit(pid_, kStopLimit)) {
    kill(pid_, SIGKILL);
    waitForExit(pid_, kStopLimit);
  }
}

}  // namespace quorvanta::testing
