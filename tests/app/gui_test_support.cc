#include "gui_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

extern char** environ;

namespace quorvanta::testing {

std::string screenshotDirectory() {
  const std::filesystem::path directory = std::filesystem::path(QUORVANTA_TEST_OUTPUT_DIR) / "screenshots";
  std::filesystem::create_directories(directory);
  return directory.string();
}

ProcessResult runProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds limit) {
  ProcessResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copies)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool finished = false;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{fds[0], POLLIN, 0};
    if (poll(&fd, 1, 50) > 0) {
      char buffer[4096];
      const ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n > 0) {
        result.output.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      finished = true;  // end of output: the program is done or closed it
      break;
    }
  }
  close(fds[0]);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline || finished) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return result;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  result.status = -1;
  return result;
}

TrustedDevice device(const std::string& id, const std::string& name, double pairedAt) {
  TrustedDevice result;
  result.id = id;
  result.name = name;
  result.tokenHash = std::string(64, 'a');
  result.pairedAt = pairedAt;
  return result;
}

PairingInvitation invitation() {
  PairingInvitation result;
  result.hostID = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  result.name = "workstation";
  result.address = "100.101.102.103";
  result.certificateHash = std::string(64, 'c');
  result.secret = "b3Blbi1zZXNhbWUtc2VjcmV0LXRva2Vu";
  result.expiresAt = 818000000.5;
  return result;
}

}  // namespace quorvanta::testing
