#include "core/host/login_item.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>

#include "core/util/paths.h"
#include "core/util/quorvanta_error.h"
#include "host_test_directory.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const QuorvantaError& error) {
    return error.what();
  }
  return "";
}

TEST(LoginItemTest, EnablingWritesTheAutostartEntryAndDisablingRemovesIt) {
  ScratchDirectory dir;
  const fs::path autostart = dir.path() / "config" / "autostart";
  LoginItem item("/usr/bin/true", autostart);
  EXPECT_EQ(item.entryPath(), autostart / "app.quorvanta.host.desktop");
  EXPECT_FALSE(item.isEnabled());

  item.setEnabled(true);
  EXPECT_TRUE(item.isEnabled());
  EXPECT_EQ(readFile(item.entryPath(), 1 << 16),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Quorvanta Host\n"
            "Exec=\"/usr/bin/true\"\n"
            "X-GNOME-Autostart-enabled=true\n"
            "NoDisplay=false\n");
  item.setEnabled(true);  // again: still one entry
  EXPECT_EQ(std::distance(fs::directory_iterator(autostart), fs::directory_iterator()), 1);

  item.setEnabled(false);
  EXPECT_FALSE(item.isEnabled());
  EXPECT_FALSE(fs::exists(item.entryPath()));
  item.setEnabled(false);  // nothing to remove is no error
}

TEST(LoginItemTest, EntryTurnedOffOrHiddenByTheDesktopCountsAsOff) {
  ScratchDirectory dir;
  LoginItem item("/usr/bin/quorvanta-host", dir.path());
  const auto entryWith = [&](const std::string& text) {
    std::ofstream(item.entryPath()) << text;
    return item.isEnabled();
  };
  EXPECT_FALSE(entryWith("[Desktop Entry]\nType=Application\nX-GNOME-Autostart-enabled=false\n"));
  EXPECT_FALSE(entryWith("[Desktop Entry]\nHidden=true\nExec=x\n"));
  EXPECT_FALSE(entryWith("[Desktop Entry]\n  Hidden = true \n"));
  EXPECT_TRUE(entryWith("[Desktop Entry]\nHidden=false\nX-GNOME-Autostart-enabled=true\n"));
  // Keys of another group do not count.
  EXPECT_TRUE(entryWith("[Desktop Entry]\nExec=x\n[Desktop Action quit]\nHidden=true\n"));
  EXPECT_TRUE(entryWith("# Hidden=true\n[Desktop Entry]\nExec=x\n"));
  fs::remove(item.entryPath());
  fs::create_directory(item.entryPath());
  EXPECT_FALSE(item.isEnabled());
}

TEST(LoginItemTest, ExecLineQuotesAndEscapesThePath) {
  EXPECT_NE(LoginItem::entryText("/home/ana/My Apps/quorvanta-host")
                .find("\nExec=\"/home/ana/My Apps/quorvanta-host\"\n"),
            std::string::npos);
  // Inside quotes: \" \` \$ \\ ; then each backslash doubled for the string value; % doubled.
  EXPECT_NE(LoginItem::entryText("/a\"b`c$d\\e%f").find("\nExec=\"/a\\\\\"b\\\\`c\\\\$d\\\\\\\\e%%f\"\n"),
            std::string::npos);
  EXPECT_EQ(LoginItem::entryText("relative/quorvanta-host"), "");
  EXPECT_EQ(LoginItem::entryText(""), "");
  EXPECT_EQ(LoginItem::entryText("/bad\nname"), "");
  EXPECT_EQ(LoginItem::entryText("/bad\xff"), "");
}

TEST(LoginItemTest, FailuresAreReportedAsSentences) {
  ScratchDirectory dir;
  LoginItem relative("quorvanta-host", dir.path());
  EXPECT_EQ(messageOf([&] { relative.setEnabled(true); }),
            "Quorvanta Host could not be set to open at login.");
  EXPECT_FALSE(fs::exists(relative.entryPath()));

  // The autostart "directory" is a file: the entry cannot be written.
  std::ofstream(dir.path() / "blocked") << "";
  LoginItem blocked("/usr/bin/true", dir.path() / "blocked");
  EXPECT_EQ(messageOf([&] { blocked.setEnabled(true); }),
            "Quorvanta Host could not be set to open at login.");
  EXPECT_FALSE(blocked.isEnabled());

  // Something that cannot be removed stands where the entry should be.
  LoginItem stuck("/usr/bin/quorvanta-host", dir.path() / "autostart");
  fs::create_directories(stuck.entryPath() / "content");
  EXPECT_EQ(messageOf([&] { stuck.setEnabled(false); }), "Quorvanta Host could not stop opening at login.");
  EXPECT_TRUE(fs::exists(stuck.entryPath()));
}

TEST(LoginItemTest, RefusesAProgramOthersCouldReplaceOrOneThatIsGone) {
  ScratchDirectory dir;
  const fs::path shared = dir.path() / "shared";
  fs::create_directories(shared / "bin");
  fs::copy_file("/usr/bin/true", shared / "bin" / "quorvanta-host");
  fs::permissions(shared, fs::perms::all);  // like a build tree in /tmp
  LoginItem exposed(shared / "bin" / "quorvanta-host", dir.path() / "autostart");
  EXPECT_EQ(messageOf([&] { exposed.setEnabled(true); }),
            "Quorvanta Host could not be set to open at login: it runs from " + shared.string() +
                ", which other users can change. Install it where only you or the system can write.");
  EXPECT_FALSE(fs::exists(exposed.entryPath()));

  LoginItem deleted("/usr/bin/quorvanta-host-gone (deleted)", dir.path() / "autostart");
  EXPECT_EQ(messageOf([&] { deleted.setEnabled(true); }),
            "Quorvanta Host could not be set to open at login: its program file was removed or replaced "
            "since it started.");
  EXPECT_FALSE(fs::exists(deleted.entryPath()));
}

TEST(LoginItemTest, DefaultDirectoryFollowsXdgConfigHome) {
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  const std::string previous = saved ? saved : "";
  ::setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
  EXPECT_EQ(LoginItem::defaultAutostartDirectory(), fs::path("/somewhere/config/autostart"));
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // ignored, as the base directory rules say
  EXPECT_EQ(LoginItem::defaultAutostartDirectory(), homeDirectory() / ".config" / "autostart");
  if (saved)
    ::setenv("XDG_CONFIG_HOME", previous.c_str(), 1);
  else
    ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace quorvanta
