#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvanta::test {

// A program started in the background with its own environment; standard output and standard
// error go to a file the test can read while it runs. Killed (SIGTERM, then SIGKILL) and reaped on
// destruction, and killed by the kernel when the test process dies first (a sanitizer abort, a
// crash), so that no server outlives the test that started it.
class ChildProcess {
 public:
  ChildProcess(const std::string& executable, const std::vector<std::string>& arguments,
               const std::map<std::string, std::optional<std::string>>& environment,
               std::filesystem::path outputFile, std::filesystem::path inputFile = "/dev/null");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Everything written so far.
  std::string output() const;
  // Waits up to `seconds` for the child to exit; its exit status (128 + signal) or nothing.
  std::optional<int> wait(double seconds);
  // Sends SIGTERM and waits up to `seconds`.
  std::optional<int> terminate(double seconds);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::filesystem::path outputFile_;
};

// This process's environment with `changes` applied (a name mapped to nothing is removed), in
// the form execve takes.
std::vector<std::string> environmentWith(const std::map<std::string, std::optional<std::string>>& changes);

}  // namespace quorvanta::test
