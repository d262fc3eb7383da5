#include "core/util/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace quorvanta {
namespace {

TEST(ProcessTest, StandardInputReachesTheChildAndOutputComesBack) {
  ProcessOptions options;
  options.standardInput = "first line\nsecond line without end";
  const auto result = runProcess("/bin/cat", {}, options);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.output, "first line\nsecond line without end");

  // Larger than any pipe buffer in both directions: writing and reading must interleave.
  options.standardInput = std::string(std::size_t{4} << 20, 'q');
  EXPECT_EQ(runProcess("/bin/cat", {}, options).output, *options.standardInput);
}

TEST(ProcessTest, ChildThatIgnoresItsInputDoesNotKillTheCaller) {
  ProcessOptions options;
  options.standardInput = std::string(std::size_t{4} << 20, 'q');
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "exec 0<&-; exit 7"}, options).exitStatus, 7);

  // No SIGPIPE was left pending for this thread either.
  sigset_t pending;
  sigemptyset(&pending);
  ASSERT_EQ(sigpending(&pending), 0);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(ProcessTest, StandardErrorIsMergedOrDiscarded) {
  const std::vector<std::string> script{"-c", "echo out; echo err >&2; echo more"};
  ProcessOptions options;
  EXPECT_EQ(runProcess("/bin/sh", script, options).output, "out\nerr\nmore\n");
  options.standardError = ProcessOptions::StandardError::discard;
  EXPECT_EQ(runProcess("/bin/sh", script, options).output, "out\nmore\n");
}

TEST(ProcessTest, ExtraVariablesJoinTheEnvironment) {
  ProcessOptions options;
  options.environment = {{"QUORVANTA_PROCESS_TEST", "a value"}, {"HOME", "/nowhere"}};
  std::istringstream output(runProcess("/usr/bin/env", {}, options).output);
  std::vector<std::string> lines;
  for (std::string line; std::getline(output, line);)
    lines.push_back(line);
  const auto count = [&](const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.starts_with(prefix); });
  };
  EXPECT_EQ(count("QUORVANTA_PROCESS_TEST=a value"), 1);
  // A variable set already is replaced, not doubled; the rest is inherited.
  EXPECT_EQ(count("HOME="), 1);
  EXPECT_EQ(count("HOME=/nowhere"), 1);
  EXPECT_EQ(count("PATH="), 1);
}

TEST(ProcessTest, ExitStatusAndSignals) {
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "exit 3"}).exitStatus, 3);
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "kill -KILL $$"}).exitStatus, 128 + SIGKILL);
}

TEST(ProcessTest, LaunchFailuresCarryTheSystemError) {
  try {
    runProcess("/nonexistent/quorvanta-tool", {"--version"});
    FAIL() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(error.what()).find("/nonexistent/quorvanta-tool"), std::string::npos);
  }
  // A bare name is found on PATH only when asked.
  EXPECT_THROW(runProcess("sh", {"-c", "exit 0"}), std::system_error);
  ProcessOptions options;
  options.searchPath = true;
  EXPECT_EQ(runProcess("sh", {"-c", "exit 4"}, options).exitStatus, 4);
}

// The error code a run ends with, or 0 when it returns.
std::errc failureOf(const std::string& executable, const std::vector<std::string>& arguments,
                    const ProcessOptions& options) {
  try {
    runProcess(executable, arguments, options);
  } catch (const std::system_error& error) {
    return static_cast<std::errc>(error.code().value());
  }
  return std::errc{};
}

TEST(ProcessTest, ChildrenInheritOnlyTheirStandardStreams) {
  // Descriptors of this process that are not close-on-exec, as a library's socket may be.
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  const int file = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(socket, 0);
  ASSERT_GE(file, 0);
  const auto output = runProcess("/bin/sh", {"-c", "ls /proc/$$/fd"}).output;
  ::close(socket);
  ::close(file);
  EXPECT_EQ(output, "0\n1\n2\n");
}

TEST(ProcessTest, AHungOrChattyChildIsKilledWithWhatItStarted) {
  ProcessOptions options;
  options.timeLimit = 0.3;
  // The shell waits for a grandchild that would keep the output pipe open.
  EXPECT_EQ(failureOf("/bin/sh", {"-c", "sleep 1000; echo never"}, options), std::errc::timed_out);
  // A child that closes its output but does not exit is bound by the same limit.
  EXPECT_EQ(failureOf("/bin/sh", {"-c", "exec >&- 2>&-; sleep 1000"}, options), std::errc::timed_out);

  options.timeLimit = 0;
  options.outputLimit = 4096;
  EXPECT_EQ(failureOf("/usr/bin/yes", {}, options), std::errc::file_too_large);
  options.outputLimit = 1 << 20;
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "echo short"}, options).output, "short\n");
}

TEST(ProcessTest, OnlyAbsolutePathEntriesAreSearched) {
  const char* saved = std::getenv("PATH");
  const std::string previous = saved ? saved : "";
  // "." and "" (the current directory) come first but do not count.
  ::setenv("PATH", (".::relative:" + previous).c_str(), 1);
  ProcessOptions options;
  options.searchPath = true;
  const auto cwd = ::open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::chdir("/bin"), 0);
  EXPECT_EQ(failureOf("true", {}, options), std::errc{});
  ::setenv("PATH", ".:relative", 1);
  EXPECT_EQ(failureOf("true", {}, options), std::errc::no_such_file_or_directory);
  ASSERT_EQ(::fchdir(cwd), 0);
  ::close(cwd);
  ::setenv("PATH", previous.c_str(), 1);
}

}  // namespace
}  // namespace quorvanta
