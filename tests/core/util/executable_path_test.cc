#include "core/util/executable_path.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/host/host_test_directory.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

TEST(ExecutablePathTest, AReplacedProgramIsNamedByItsPath) {
  ScratchDirectory directory;
  const fs::path program = directory.path() / "quorvanta-host";
  const fs::path oddName = directory.path() / "odd (deleted)";
  std::ofstream(program) << "new";
  std::ofstream(oddName) << "odd";
  const fs::path gone = directory.path() / "removed";

  const struct {
    fs::path target;
    fs::path expected;
  } cases[] = {
      {program, program},
      {program.string() + " (deleted)", program},  // replaced by an upgrade
      {gone.string() + " (deleted)", gone},        // removed: still where it was installed
      {oddName, oddName},                          // a file that has that name
  };
  for (const auto& each : cases)
    EXPECT_EQ(executableFromLink(each.target), each.expected) << each.target;
  EXPECT_TRUE(runningExecutable().is_absolute());
}

}  // namespace
}  // namespace quorvanta
