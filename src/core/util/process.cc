#include "core/util/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <system_error>

#include "core/util/unique_fd.h"

extern char** environ;

namespace quorvanta {
namespace {

[[noreturn]] void throwSystemError(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

class FileActions {
 public:
  FileActions() {
    if (const int error = ::posix_spawn_file_actions_init(&actions_); error != 0) {
      throwSystemError(error, "Could not prepare a child process");
    }
  }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  void duplicate(int fd, int target) { check(::posix_spawn_file_actions_adddup2(&actions_, fd, target)); }
  void open(int target, const char* path, int flags) {
    check(::posix_spawn_file_actions_addopen(&actions_, target, path, flags, 0));
  }
  // Descriptors that are not close-on-exec (sockets of libraries, say) stay behind.
  void closeFrom(int first) { check(::posix_spawn_file_actions_addclosefrom_np(&actions_, first)); }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  static void check(int error) {
    if (error != 0) throwSystemError(error, "Could not prepare a child process");
  }
  posix_spawn_file_actions_t actions_{};
};

class SpawnAttributes {
 public:
  SpawnAttributes() {
    if (const int error = ::posix_spawnattr_init(&attributes_); error != 0) {
      throwSystemError(error, "Could not prepare a child process");
    }
  }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  // The child starts with no blocked signal and SIGPIPE at its default action, whatever this
  // thread's mask and this process's dispositions are.
  void resetSignals() {
    sigset_t empty;
    sigemptyset(&empty);
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    check(::posix_spawnattr_setsigmask(&attributes_, &empty));
    check(::posix_spawnattr_setsigdefault(&attributes_, &pipeSignal));
    check(::posix_spawnattr_setpgroup(&attributes_, 0));
    check(::posix_spawnattr_setflags(&attributes_,
                                     POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP));
  }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  static void check(int error) {
    if (error != 0) throwSystemError(error, "Could not prepare a child process");
  }
  posix_spawnattr_t attributes_{};
};

// Keeps a pipe end clear of descriptors 0 to 2, so that the child's dup2() calls cannot
// overwrite one pipe end with another when this process runs with a standard stream closed.
UniqueFd aboveStandardStreams(UniqueFd fd) {
  if (fd.get() > STDERR_FILENO) return fd;
  UniqueFd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
  if (!moved) throwSystemError(errno, "Could not create a pipe");
  return moved;
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throwSystemError(errno, "Could not create a pipe");
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  return {aboveStandardStreams(std::move(readEnd)), aboveStandardStreams(std::move(writeEnd))};
}

// Blocks SIGPIPE in the calling thread for its lifetime. A SIGPIPE that a write to a closed pipe
// raised meanwhile is consumed before the previous mask comes back; one that was pending before
// is left alone.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipeSignal_);
    sigaddset(&pipeSignal_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal_, &previous_);
  }
  ~SigpipeBlock() {
    if (!wasPending_) {
      sigset_t pending;
      sigemptyset(&pending);
      ::sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec noWait{0, 0};
        while (::sigtimedwait(&pipeSignal_, nullptr, &noWait) < 0 && errno == EINTR) {
        }
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t pipeSignal_{};
  sigset_t previous_{};
  bool wasPending_ = false;
};

// Milliseconds until `deadline` for poll(); -1 without a deadline.
int pollTimeout(const std::optional<std::chrono::steady_clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000));
}

// Reaps the child. Until wait() succeeds, destruction (an error in between) kills and reaps it,
// so that no zombie or orphan outlives the call.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() {
    if (pid_ <= 0) return;
    // The child leads its own process group: whatever it started goes too.
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Returns once the child has exited; throws ETIMEDOUT at the deadline. Without a process
  // descriptor (kernels before 5.3) the wait is left to waitpid().
  void waitForExit(std::chrono::steady_clock::time_point deadline) const {
    const UniqueFd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (!exited) return;
    while (true) {
      pollfd entry{exited.get(), POLLIN, 0};
      const int ready = ::poll(&entry, 1, pollTimeout(deadline));
      if (ready > 0) return;
      if (ready == 0) throwSystemError(ETIMEDOUT, "A child process did not finish in time");
      if (errno != EINTR) return;
    }
  }

  int wait(const std::optional<std::chrono::steady_clock::time_point>& deadline) {
    if (deadline) waitForExit(*deadline);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) throwSystemError(errno, "Could not wait for a child process");
    }
    pid_ = 0;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 255;
  }

 private:
  pid_t pid_;
};

std::vector<std::string> childEnvironment(const ProcessOptions& options) {
  std::vector<std::string> entries;
  for (const auto& [name, value] : options.environment) {
    if (name.empty() || name.find('=') != std::string::npos) {
      throwSystemError(EINVAL, "Invalid environment variable name \"" + name + "\"");
    }
  }
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    const bool replaced = std::any_of(options.environment.begin(), options.environment.end(),
                                      [&](const auto& variable) { return variable.first == name; });
    if (!replaced) entries.emplace_back(text);
  }
  for (const auto& [name, value] : options.environment) {
    std::string entry = name;
    entry += '=';
    entry += value;
    entries.push_back(std::move(entry));
  }
  return entries;
}

// `name` in the first absolute directory of $PATH that holds an executable file of that name.
std::string findOnPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string_view entries = path ? path : "";
  while (!entries.empty()) {
    const std::size_t colon = entries.find(':');
    const std::string_view entry = entries.substr(0, colon);
    entries.remove_prefix(colon == std::string_view::npos ? entries.size() : colon + 1);
    if (entry.empty() || entry.front() != '/') continue;
    std::string candidate(entry);
    candidate += '/';
    candidate += name;
    struct stat status {};
    if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  throwSystemError(ENOENT, "Could not start " + name);
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (auto& text : strings)
    result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ProcessResult runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
  const std::string program = options.searchPath ? findOnPath(executable) : executable;
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (options.timeLimit > 0)
    deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                      std::chrono::duration<double>(options.timeLimit));
  std::vector<std::string> argumentStrings;
  argumentStrings.reserve(arguments.size() + 1);
  argumentStrings.push_back(executable);
  argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
  std::vector<std::string> environmentStrings = childEnvironment(options);
  const std::vector<char*> argv = pointers(argumentStrings);
  const std::vector<char*> envp = pointers(environmentStrings);

  Pipe input = makePipe();
  Pipe output = makePipe();

  // Every pipe descriptor is close-on-exec; dup2() clears the flag on the child's copies only.
  FileActions actions;
  actions.duplicate(input.read.get(), STDIN_FILENO);
  actions.duplicate(output.write.get(), STDOUT_FILENO);
  if (options.standardError == ProcessOptions::StandardError::mergeWithOutput) {
    actions.duplicate(output.write.get(), STDERR_FILENO);
  } else {
    actions.open(STDERR_FILENO, "/dev/null", O_WRONLY);
  }
  actions.closeFrom(STDERR_FILENO + 1);
  SpawnAttributes attributes;
  attributes.resetSignals();

  pid_t pid = 0;
  const int spawnError =
      ::posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), envp.data());
  if (spawnError != 0) throwSystemError(spawnError, "Could not start " + executable);
  Child child(pid);

  // Only the child keeps these ends, so that end of file and EPIPE arrive when it is done.
  input.read.reset();
  output.write.reset();

  const std::string_view pending = options.standardInput ? std::string_view(*options.standardInput) : "";
  std::size_t written = 0;
  if (pending.empty()) {
    input.write.reset();
  } else if (::fcntl(input.write.get(), F_SETFL, O_NONBLOCK) != 0) {
    throwSystemError(errno, "Could not configure a pipe");
  }

  ProcessResult result;
  {
    SigpipeBlock noSigpipe;
    char buffer[65536];
    while (output.read || input.write) {
      pollfd fds[2]{};
      nfds_t count = 0;
      int outputSlot = -1;
      int inputSlot = -1;
      if (output.read) {
        outputSlot = static_cast<int>(count);
        fds[count++] = {output.read.get(), POLLIN, 0};
      }
      if (input.write) {
        inputSlot = static_cast<int>(count);
        fds[count++] = {input.write.get(), POLLOUT, 0};
      }
      const int ready = ::poll(fds, count, pollTimeout(deadline));
      if (ready < 0) {
        if (errno == EINTR) continue;
        throwSystemError(errno, "Could not wait for a child process's output");
      }
      // Leaving kills the child and its group (Child's destructor).
      if (ready == 0) throwSystemError(ETIMEDOUT, executable + " did not finish in time");
      if (outputSlot >= 0 && fds[outputSlot].revents != 0) {
        const ssize_t got = ::read(output.read.get(), buffer, sizeof buffer);
        if (got > 0) {
          result.output.append(buffer, static_cast<std::size_t>(got));
          if (result.output.size() > options.outputLimit)
            throwSystemError(EFBIG, executable + " printed more than expected");
        } else if (got == 0) {
          output.read.reset();
        } else if (errno != EINTR && errno != EAGAIN) {
          throwSystemError(errno, "Could not read a child process's output");
        }
      }
      if (inputSlot >= 0 && fds[inputSlot].revents != 0) {
        const std::size_t chunk = std::min<std::size_t>(pending.size() - written, sizeof buffer);
        const ssize_t sent = ::write(input.write.get(), pending.data() + written, chunk);
        if (sent > 0) {
          written += static_cast<std::size_t>(sent);
          if (written == pending.size()) input.write.reset();
        } else if (sent < 0 && errno == EPIPE) {
          // The child closed its input or exited; its exit status tells the rest.
          input.write.reset();
        } else if (sent < 0 && errno != EINTR && errno != EAGAIN) {
          throwSystemError(errno, "Could not write to a child process");
        }
      }
    }
  }
  // The output is closed; a child that lingers after it is still bound by the deadline.
  result.exitStatus = child.wait(deadline);
  return result;
}

}  // namespace quorvanta
