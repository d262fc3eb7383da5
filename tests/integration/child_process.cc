#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quorvanta::test {
namespace {

// Runs every fork on one thread that lasts until the process ends. A child asks the kernel to kill
// it when its parent dies (PR_SET_PDEATHSIG), and the kernel counts the forking thread as the
// parent: forked from a test's short-lived worker thread, the child would die with that thread.
class Spawner {
 public:
  static Spawner& instance() {
    static Spawner* spawner = new Spawner;  // never destroyed: its thread outlives static destruction
    return *spawner;
  }
  pid_t run(std::function<pid_t()> fork) {
    std::packaged_task<pid_t()> task(std::move(fork));
    auto pid = task.get_future();
    {
      std::lock_guard guard(lock_);
      tasks_.push_back(std::move(task));
    }
    added_.notify_one();
    return pid.get();
  }

 private:
  Spawner() {
    std::thread([this] {
      for (;;) {
        std::unique_lock guard(lock_);
        added_.wait(guard, [this] { return !tasks_.empty(); });
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        guard.unlock();
        task();
      }
    }).detach();
  }

  std::mutex lock_;
  std::condition_variable added_;
  std::deque<std::packaged_task<pid_t()>> tasks_;
};

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts)
    pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

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
  std::vector<std::string> environmentTexts = environmentWith(environment);
  const auto argv = pointersTo(argumentTexts);
  const auto envp = pointersTo(environmentTexts);
  // The child reports a failed exec through this pipe; its closing on exec means success.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("cannot start " + executable);
  const pid_t parent = ::getpid();
  // Between fork and exec the child calls only async-signal-safe functions.
  pid_ = Spawner::instance().run([&]() -> pid_t {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);  // the test died before prctl took effect
    const int input = ::open(inputFile.c_str(), O_RDONLY);
    const int output = ::open(outputFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (input >= 0 && output >= 0 && ::dup2(input, 0) == 0 && ::dup2(output, 1) == 1 &&
        ::dup2(output, 2) == 2)
      ::execve(executable.c_str(), argv.data(), envp.data());
    const int error = errno;
    [[maybe_unused]] const auto written = ::write(report[1], &error, sizeof error);
    ::_exit(127);
  });
  ::close(report[1]);
  int error = 0;
  const bool failed =
      pid_ > 0 && ::read(report[0], &error, sizeof error) == static_cast<ssize_t>(sizeof error);
  ::close(report[0]);
  if (pid_ < 0 || failed) {
    if (pid_ > 0) wait(5);
    throw std::runtime_error("cannot start " + executable);
  }
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
