#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quorvanta::test {

std::vector<std::string> environmentWith(const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (!changes.contains(name)) result.push_back(text);
  }
  for (const auto& [name, value] : changes)
    if (value) result.push_back(name + "=" + *value);
  return result;
}

ChildProcess::ChildProcess(const std::string& executable, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::optional<std::string>>& environment,
                           std::filesystem::path outputFile, std::filesystem::path inputFile)
    : outputFile_(std::move(outputFile)) {
  std::vector<std::string> argumentTexts{executable};
  argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& text : argumentTexts)
    argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentTexts = environmentWith(environment);
  std::vector<char*> envp;
  for (auto& text : environmentTexts)
    envp.push_back(text.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputFile.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int error = posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + executable);
}

ChildProcess::~ChildProcess() {
  if (!terminate(5)) {
    ::kill(pid_, SIGKILL);
    wait(5);
  }
}

std::string ChildProcess::output() const {
  std::ifstream file(outputFile_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::optional<int> ChildProcess::wait(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!status_) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

std::optional<int> ChildProcess::terminate(double seconds) {
  if (!status_) ::kill(pid_, SIGTERM);
  return wait(seconds);
}

}  // namespace quorvanta::test
