#include "core/util/process.h"

#include <gtest/gtest.h>

#include <signal.h>

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

}  // namespace
}  // namespace quorvanta
