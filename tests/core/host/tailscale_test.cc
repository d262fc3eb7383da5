#include "core/host/tailscale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "host_test_directory.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

TEST(TailscaleAddressTest, OnlyTheTailscaleBlockInPlainDottedFormIsAccepted) {
  for (const char* good : {"100.64.0.1", "100.127.255.255", "100.64.0.0", "100.100.100.100"})
    EXPECT_TRUE(isTailscaleAddress(good)) << good;
  for (const char* bad : {
           "100.63.255.255",
           "100.128.0.1",
           "10.0.0.1",
           "101.64.0.1",
           "100.64.1",
           "100.64.1.2.3",
           "100.64.-1.5",
           "100.64.256.1",
           "100.64.1.256",
           "100.64.0.1.",
           ".100.64.0.1",
           "100.64..1",
           "100.64.x.1",
           "100.64.x.1.2",  // a piece that is not a number is never skipped
           "100.+64.0.1",
           "100.064.0.1",
           "100.64.00.1",
           "100.64.0.0001",
           " 100.64.0.1",
           "100.64.0.1\n",
           "100.64.0.1/32",
           "",
           "...",
       })
    EXPECT_FALSE(isTailscaleAddress(bad)) << bad;
}

TEST(TailscaleAddressTest, OutputIsTrimmedDecodedAndValidatedAsAWhole) {
  EXPECT_EQ(tailscaleAddressFromOutput("100.64.0.1\n"), "100.64.0.1");
  EXPECT_EQ(tailscaleAddressFromOutput("\r\n\t 100.101.1.2 \r\n"), "100.101.1.2");
  // Unicode white space (no-break space, line separator) is trimmed as well.
  EXPECT_EQ(tailscaleAddressFromOutput("\xc2\xa0"
                                       "100.64.0.1\xe2\x80\xa8"),
            "100.64.0.1");
  // An address followed by more lines is not one address.
  EXPECT_EQ(tailscaleAddressFromOutput("100.64.0.1\ngarbage\n"), "");
  EXPECT_EQ(tailscaleAddressFromOutput("100.64.0.1\n\xff"), "");  // not UTF-8
}

// Stub programs in a directory that becomes $PATH for the duration of a test.
class TailscaleLookupTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("PATH");
    savedPath_ = path ? path : "";
    ::setenv("PATH", dir_.path().c_str(), 1);
    ::unsetenv("TAILSCALE_BE_CLI");
  }
  void TearDown() override { ::setenv("PATH", savedPath_.c_str(), 1); }

  void writeStub(const std::string& name, const std::string& script) {
    const fs::path file = dir_.path() / name;
    std::ofstream(file) << "#!/bin/sh\n" << script;
    fs::permissions(file, fs::perms::owner_all);
  }

  ScratchDirectory dir_;
  std::string savedPath_;
};

TEST_F(TailscaleLookupTest, AddressComesFromTheProgramOnPath) {
  writeStub("tailscale", "printf '100.64.0.1\\n'\n");
  EXPECT_EQ(lookupTailscaleAddress(), "100.64.0.1");
}

TEST_F(TailscaleLookupTest, ProgramSeesExactlyItsArgumentsAndTheCliVariable) {
  // Prints only when called as `tailscale ip -4` with TAILSCALE_BE_CLI=1; its complaints on
  // standard error must not reach the result.
  writeStub(
      "tailscale",
      "echo 'diagnostics' >&2\n"
      "if [ \"$#\" -eq 2 ] && [ \"$1\" = ip ] && [ \"$2\" = -4 ] && [ \"$TAILSCALE_BE_CLI\" = 1 ]; then\n"
      "  echo 100.100.7.8\n"
      "fi\n");
  EXPECT_EQ(lookupTailscaleAddress(), "100.100.7.8");
  EXPECT_EQ(std::getenv("TAILSCALE_BE_CLI"), nullptr);  // only the child's environment has it
}

TEST_F(TailscaleLookupTest, UnusableOutputGivesNoAddress) {
  const std::pair<const char*, const char*> cases[] = {
      {"block-low", "echo 100.63.255.1\n"},
      {"block-high", "echo 100.128.0.1\n"},
      {"words", "echo 'Tailscale is stopped.'\n"},
      {"two-lines", "echo 100.64.0.1; echo garbage\n"},
      {"silent", "exit 0\n"},
  };
  for (const auto& [name, script] : cases) {
    writeStub(name, script);
    EXPECT_EQ(lookupTailscaleAddress(name), "") << name;
  }
}

TEST_F(TailscaleLookupTest, ExitStatusDoesNotDecideOnlyTheOutputDoes) {
  writeStub("failing", "echo 100.64.9.9; exit 1\n");
  EXPECT_EQ(lookupTailscaleAddress("failing"), "100.64.9.9");
  writeStub("failing-silent", "echo 'not logged in' >&2; exit 1\n");
  EXPECT_EQ(lookupTailscaleAddress("failing-silent"), "");
}

TEST_F(TailscaleLookupTest, AProgramThatNeverAnswersGivesNoAddressAndLeavesNothingBehind) {
  writeStub("tailscale", "sleep 987.123\n");
  EXPECT_EQ(lookupTailscaleAddress("tailscale", 0.3), "");
  // Nothing of it is left running: its process group was killed.
  EXPECT_NE(std::system("pgrep -f '^sleep 987.123$' >/dev/null"), 0);
  // The next lookup is not held up.
  writeStub("tailscale", "echo 100.64.0.9\n");
  EXPECT_EQ(lookupTailscaleAddress(), "100.64.0.9");
}

TEST_F(TailscaleLookupTest, MissingOrUnstartableProgramGivesNoAddress) {
  EXPECT_EQ(lookupTailscaleAddress(), "");
  EXPECT_EQ(lookupTailscaleAddress((dir_.path() / "nowhere").string()), "");
  const fs::path notExecutable = dir_.path() / "tailscale";
  std::ofstream(notExecutable) << "#!/bin/sh\necho 100.64.0.1\n";
  fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(lookupTailscaleAddress(), "");
  // An explicit path is run without a search.
  fs::permissions(notExecutable, fs::perms::owner_all);
  ::setenv("PATH", "/nonexistent", 1);
  EXPECT_EQ(lookupTailscaleAddress(notExecutable.string()), "100.64.0.1");
}

}  // namespace
}  // namespace quorvanta
