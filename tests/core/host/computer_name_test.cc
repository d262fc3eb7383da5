#include "core/host/computer_name.h"

#include <gtest/gtest.h>

#include <fstream>

#include "host_test_directory.h"

namespace quorvanta {
namespace {

TEST(ComputerNameTest, PrettyHostNameIsReadInShellStyle) {
  const auto pretty = [](const std::string& text) { return prettyHostNameFromMachineInfo(text); };
  EXPECT_EQ(pretty("PRETTY_HOSTNAME=Studio\n"), "Studio");
  EXPECT_EQ(pretty("CHASSIS=desktop\nPRETTY_HOSTNAME=\"Ana's Workstation\"\nDEPLOYMENT=production\n"),
            "Ana's Workstation");
  EXPECT_EQ(pretty("PRETTY_HOSTNAME='Say \"hi\" \\n'"), "Say \"hi\" \\n");
  EXPECT_EQ(pretty("PRETTY_HOSTNAME=\"A \\\"quoted\\\" \\\\ name\""), "A \"quoted\" \\ name");
  EXPECT_EQ(pretty("PRETTY_HOSTNAME=Two\\ Words  \n"), "Two Words");
  EXPECT_EQ(pretty("PRETTY_HOSTNAME=  Mixed\" quoted\"' parts' \r\n"), "Mixed quoted parts");
  EXPECT_EQ(pretty("PRETTY_HOSTNAME=\"Trailing space \"   \n"), "Trailing space ");
  EXPECT_EQ(pretty("PRETTY_HOSTNAME=Line\\\nJoined\n"), "LineJoined");
  EXPECT_EQ(pretty("PRETTY_HOSTNAME=\"Łukasz’s PC ✓\""), "Łukasz’s PC ✓");
  EXPECT_EQ(pretty("PRETTY_HOSTNAME=First\nPRETTY_HOSTNAME=Second\n"), "Second");
  EXPECT_EQ(pretty("  PRETTY_HOSTNAME = Spaced\n"), "Spaced");

  EXPECT_EQ(pretty(""), std::nullopt);
  EXPECT_EQ(pretty("# PRETTY_HOSTNAME=Commented\n; PRETTY_HOSTNAME=Also\n"), std::nullopt);
  EXPECT_EQ(pretty("OTHER_PRETTY_HOSTNAME=No\nPRETTY_HOSTNAMEX=No\n"), std::nullopt);
  EXPECT_EQ(pretty("PRETTY_HOSTNAME\n"), std::nullopt);
  EXPECT_EQ(pretty("PRETTY_HOSTNAME=\"Unterminated\n"), std::nullopt);
  EXPECT_EQ(pretty("PRETTY_HOSTNAME=Good\nPRETTY_HOSTNAME='Broken\n"), std::nullopt);
}

TEST(ComputerNameTest, ChoiceFallsFromPrettyNameToHostNameToTheUnnamedText) {
  EXPECT_EQ(chooseComputerName("PRETTY_HOSTNAME=\"Ana's Laptop\"\n", "ana-laptop"), "Ana's Laptop");
  EXPECT_EQ(chooseComputerName(std::nullopt, "ana-laptop"), "ana-laptop");
  EXPECT_EQ(chooseComputerName("CHASSIS=laptop\n", "ana-laptop"), "ana-laptop");
  EXPECT_EQ(chooseComputerName("PRETTY_HOSTNAME=\n", "ana-laptop"), "ana-laptop");
  EXPECT_EQ(chooseComputerName("PRETTY_HOSTNAME=\"   \"\n", "ana-laptop"), "ana-laptop");
  EXPECT_EQ(chooseComputerName("PRETTY_HOSTNAME=\"bad \xff\"\n", "ana-laptop"), "ana-laptop");
  EXPECT_EQ(chooseComputerName(std::nullopt, ""), "My Mac");
  EXPECT_EQ(chooseComputerName(std::nullopt, "(none)"), "My Mac");
  EXPECT_EQ(chooseComputerName("PRETTY_HOSTNAME=\n", "\xff"), "My Mac");
  EXPECT_EQ(kUnnamedComputerName, "My Mac");
}

TEST(ComputerNameTest, MachineInfoFileIsReadWhenPresent) {
  ScratchDirectory dir;
  const auto file = dir.path() / "machine-info";
  std::ofstream(file) << "PRETTY_HOSTNAME=\"Render Box\"\n";
  EXPECT_EQ(computerName(file), "Render Box");
  // Without the file the system's host name is used, and some name always comes back.
  const std::string fallback = computerName(dir.path() / "absent");
  EXPECT_FALSE(fallback.empty());
  EXPECT_EQ(computerName(dir.path()), fallback);  // a directory is no machine-info file
}

}  // namespace
}  // namespace quorvanta
