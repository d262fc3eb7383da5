#include "core/host/tailscale.h"
#include "core/host/computer_name.h"

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
  // A piece that is not a number is never skipped.
  for (const char* bad :
       {"100.63.255.255", "100.128.0.1", "101.64.0.1", "100.64.1", "100.64.1.2.3", "100.64.-1.5",
        "100.64.256.1", "100.64.0.1.", "100.64..1", "100.64.x.1.2", "100.+64.0.1", "100.064.0.1",
        "100.64.0.0001", " 100.64.0.1", "100.64.0.1\n", "100.64.0.1/32", ""})
    EXPECT_FALSE(isTailscaleAddress(bad)) << bad;
}

TEST(TailscaleAddressTest, OutputIsTrimmedDecodedAndValidatedAsAWhole) {
  EXPECT_EQ(tailscaleAddressFromOutput("\r\n\t 100.101.1.2 \r\n"), "100.101.1.2");
  EXPECT_EQ(tailscaleAddressFromOutput("100.64.0.1\ngarbage\n"), "");  // more than one address
  EXPECT_EQ(tailscaleAddressFromOutput("100.64.0.1\n\xff"), "");       // not UTF-8
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

TEST_F(TailscaleLookupTest, TheProgramOnPathIsAskedForItsAddressAndOnlyItsOutputDecides) {
  // Answers only when called as `tailscale ip -4` with TAILSCALE_BE_CLI=1; its complaints on
  // standard error must not reach the result.
  writeStub(
      "tailscale",
      "echo 'diagnostics' >&2\n"
      "if [ \"$#\" -eq 2 ] && [ \"$1\" = ip ] && [ \"$2\" = -4 ] && [ \"$TAILSCALE_BE_CLI\" = 1 ]; then\n"
      "  echo 100.100.7.8\n"
      "fi\n");
  EXPECT_EQ(lookupTailscaleAddress(), "100.100.7.8");
  EXPECT_EQ(std::getenv("TAILSCALE_BE_CLI"), nullptr);  // only the child's environment has it

  const struct {
    const char* name;
    const char* script;
    const char* address;
  } cases[] = {
      {"block-low", "echo 100.63.255.1\n", ""},
      {"words", "echo 'Tailscale is stopped.'\n", ""},
      {"two-lines", "echo 100.64.0.1; echo garbage\n", ""},
      {"silent", "exit 0\n", ""},
      {"failing", "echo 100.64.9.9; exit 1\n", "100.64.9.9"},
      {"failing-silent", "echo 'not logged in' >&2; exit 1\n", ""},
  };
  for (const auto& each : cases) {
    writeStub(each.name, each.script);
    EXPECT_EQ(lookupTailscaleAddress(each.name), each.address) << each.name;
  }
}

TEST_F(TailscaleLookupTest, MissingOrUnstartableProgramGivesNoAddress) {
  EXPECT_EQ(lookupTailscaleAddress(), "");
  const fs::path notExecutable = dir_.path() / "tailscale";
  std::ofstream(notExecutable) << "#!/bin/sh\necho 100.64.0.1\n";
  fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(lookupTailscaleAddress(), "");
  // An explicit path is run without a search.
  fs::permissions(notExecutable, fs::perms::owner_all);
  ::setenv("PATH", "/nonexistent", 1);
  EXPECT_EQ(lookupTailscaleAddress(notExecutable.string()), "100.64.0.1");
}

TEST(ComputerNameTest, PrettyHostNameIsReadInShellStyleAndFallsBackToTheHostName) {
  const std::pair<const char*, const char*> cases[] = {
      {"CHASSIS=desktop\nPRETTY_HOSTNAME=\"Ana's Workstation\"\n", "Ana's Workstation"},
      {"PRETTY_HOSTNAME=Two\\ Words  \n", "Two Words"},
      {"PRETTY_HOSTNAME=First\n  PRETTY_HOSTNAME = Second\n", "Second"},
      // Anything else falls back to the host name.
      {"# PRETTY_HOSTNAME=Commented\n; PRETTY_HOSTNAME=Also\n", "ana-laptop"},
      {"OTHER_PRETTY_HOSTNAME=No\nPRETTY_HOSTNAMEX=No\nPRETTY_HOSTNAME\n", "ana-laptop"},
      {"PRETTY_HOSTNAME=Good\nPRETTY_HOSTNAME='Broken\n", "ana-laptop"},
      {"PRETTY_HOSTNAME=\"bad \xff\"\n", "ana-laptop"},
  };
  for (const auto& [machineInfo, name] : cases)
    EXPECT_EQ(chooseComputerName(machineInfo, "ana-laptop"), name) << machineInfo;
  EXPECT_EQ(chooseComputerName(std::nullopt, "ana-laptop"), "ana-laptop");
  for (const char* hostName : {"", "(none)", "\xff"})
    EXPECT_EQ(chooseComputerName(std::nullopt, hostName), "My Mac") << hostName;
}

TEST(ComputerNameTest, MachineInfoFileIsReadWhenPresent) {
  ScratchDirectory dir;
  std::ofstream(dir.path() / "machine-info") << "PRETTY_HOSTNAME=\"Render Box\"\n";
  EXPECT_EQ(computerName(dir.path() / "machine-info"), "Render Box");
  // Without the file the system's host name is used, and some name always comes back.
  const std::string fallback = computerName(dir.path() / "absent");
  EXPECT_FALSE(fallback.empty());
}

}  // namespace
}  // namespace quorvanta
