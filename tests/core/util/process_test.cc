#include "core/util/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <vector>

namespace quorvanta {
namespace {

// The error code a run ends with, or 0 when it returns.
std::errc failureOf(const std::string& executable, const std::vector<std::string>& arguments,
                    const ProcessOptions& options = {}) {
  try {
    runProcess(executable, arguments, options);
  } catch (const std::system_error& error) {
    return static_cast<std::errc>(error.code().value());
  }
  return std::errc{};
}

TEST(ProcessTest, InputLargerThanAPipeReachesTheChildAndAChildIgnoringItHarmsNothing) {
  ProcessOptions options;
  options.standardInput = std::string(std::size_t{4} << 20, 'q');
  EXPECT_EQ(runProcess("/bin/cat", {}, options).output, *options.standardInput);
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "exec 0<&-; exit 7"}, options).exitStatus, 7);
  // No SIGPIPE was left pending for this thread either.
  sigset_t pending;
  sigemptyset(&pending);
  ASSERT_EQ(sigpending(&pending), 0);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

// Discarding standard error and passing variables are TailscaleLookupTest's; merged here.
TEST(ProcessTest, StandardErrorIsMergedAndVariablesReplaceInheritedOnes) {
  ProcessOptions options;
  options.environment = {{"HOME", "/nowhere"}};
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "echo err >&2; echo $HOME; env | grep -c '^HOME='"}, options).output,
            "err\n/nowhere\n1\n");
}

TEST(ProcessTest, ExitStatusSignalsAndLaunchFailures) {
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "exit 3"}).exitStatus, 3);
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "kill -KILL $$"}).exitStatus, 128 + SIGKILL);
  EXPECT_EQ(failureOf("/nonexistent/quorvanta-tool", {}), std::errc::no_such_file_or_directory);
}

TEST(ProcessTest, OnlyAbsolutePathEntriesAreSearchedAndOnlyWhenAsked) {
  EXPECT_EQ(failureOf("true", {}), std::errc::no_such_file_or_directory);
  const char* saved = std::getenv("PATH");
  const std::string previous = saved ? saved : "";
  ProcessOptions options;
  options.searchPath = true;
  const auto cwd = ::open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::chdir("/bin"), 0);
  // "." and "" (the current directory) come first but do not count.
  ::setenv("PATH", (".::relative:" + previous).c_str(), 1);
  EXPECT_EQ(failureOf("true", {}, options), std::errc{});
  ::setenv("PATH", ".:relative", 1);
  EXPECT_EQ(failureOf("true", {}, options), std::errc::no_such_file_or_directory);
  ASSERT_EQ(::fchdir(cwd), 0);
  ::close(cwd);
  ::setenv("PATH", previous.c_str(), 1);
}

TEST(ProcessTest, ChildrenInheritOnlyTheirStandardStreams) {
  // Descriptors of this process that are not close-on-exec, as a library's socket may be.
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  const int file = ::open("/dev/null", O_RDONLY);
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
}

}  // namespace
}  // namespace quorvanta
