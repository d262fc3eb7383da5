#include "core/host/host_settings.h"
#include "core/host/login_item.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <stdexcept>

#include "core/util/paths.h"
#include "core/util/quorvanta_error.h"
#include "host_test_directory.h"
#include "support/test_helpers.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;
using test::thrownMessage;

void write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string read(const fs::path& path) {
  return readFile(path, 1 << 20);
}

unsigned modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

TEST(HostSettingsTest, ChangesAreWrittenPrivatelyAndReadBack) {
  ScratchDirectory dir;
  const fs::path file = dir.path() / "config" / "quorvanta" / "host.conf";
  EXPECT_FALSE(HostSettings(file).hostEnabled());
  EXPECT_FALSE(fs::exists(dir.path() / "config")) << "reading creates nothing";
  {
    HostSettings settings(file);
    settings.setHostEnabled(true);
    settings.setCurtainEnabled(true);
    settings.setCurtainEnabled(false);
    settings.setControlEnabled(true);
  }
  EXPECT_EQ(read(file), "hostEnabled=true\ncurtainEnabled=false\ncontrolEnabled=true\n");
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(file.parent_path()), 0700u);
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
  const HostSettings reread(file);
  EXPECT_TRUE(reread.hostEnabled());
  EXPECT_TRUE(reread.controlEnabled());
  EXPECT_FALSE(reread.curtainEnabled());
}

TEST(HostSettingsTest, FormatToleratesCommentsSpacingAndKeepsOtherKeys) {
  ScratchDirectory dir;
  const fs::path file = dir.path() / "host.conf";
  write(file,
        "# written by hand\n\n  hostEnabled = true \r\nfutureOption=some value\ncontrolEnabled=false\n"
        "controlEnabled=true");
  HostSettings settings(file);
  EXPECT_TRUE(settings.hostEnabled());
  EXPECT_TRUE(settings.controlEnabled());  // the later line counts
  EXPECT_FALSE(settings.boolValue("futureOption"));
  settings.setCurtainEnabled(true);
  EXPECT_EQ(read(file),
            "hostEnabled=true\nfutureOption=some value\ncontrolEnabled=true\ncurtainEnabled=true\n");
}

TEST(HostSettingsTest, CorruptFileReadsAllFalseUntilTheNextWriteReplacesIt) {
  ScratchDirectory dir;
  const fs::path file = dir.path() / "host.conf";
  for (const std::string& corrupt : {
           std::string("hostEnabled=true\njust some words\n"),
           std::string("hostEnabled=yes\n"),
           std::string("hostEnabled=true\n=true\n"),
           std::string("hostEnabled=true\nnote=\xff\xfe\n"),
           std::string("hostEnabled=true\0\n", 18),
           std::string("hostEnabled=true\n") + std::string(70 * 1024, '#'),
       }) {
    write(file, corrupt);
    HostSettings settings(file);
    EXPECT_FALSE(settings.hostEnabled()) << corrupt.substr(0, 40);
    EXPECT_EQ(read(file), corrupt);  // left alone while only read
    settings.setControlEnabled(true);
    EXPECT_EQ(read(file), "controlEnabled=true\n");
  }
  // A directory where the file should be is unreadable, not fatal.
  fs::remove(file);
  fs::create_directory(file);
  EXPECT_FALSE(HostSettings(file).hostEnabled());
}

TEST(HostSettingsTest, FailedWriteKeepsTheValueAndReportsASentence) {
  ScratchDirectory dir;
  write(dir.path() / "blocker", "");  // a file stands where the directory should be
  HostSettings settings(dir.path() / "blocker" / "host.conf");
  try {
    settings.setHostEnabled(true);
    FAIL() << "the write should have failed";
  } catch (const QuorvantaError& error) {
    EXPECT_STREQ(error.what(), "Quorvanta Host could not save its settings.");
  }
  EXPECT_TRUE(settings.hostEnabled());
  for (const char* key : {"bad key", "", "a=b"})
    EXPECT_THROW(settings.setBool(key, true), std::invalid_argument) << key;
}

constexpr const char* kCannotEnable = "Quorvanta Host could not be set to open at login.";

TEST(LoginItemTest, EnablingWritesTheAutostartEntryAndDisablingRemovesIt) {
  ScratchDirectory dir;
  const fs::path autostart = dir.path() / "config" / "autostart";
  LoginItem item("/usr/bin/true", autostart);
  EXPECT_EQ(item.entryPath(), autostart / "app.quorvanta.host.desktop");
  item.setEnabled(true);
  EXPECT_TRUE(item.isEnabled());
  EXPECT_EQ(readFile(item.entryPath(), 1 << 16),
            "[Desktop Entry]\nType=Application\nName=Quorvanta Host\nExec=\"/usr/bin/true\"\n"
            "X-GNOME-Autostart-enabled=true\nNoDisplay=false\n");
  item.setEnabled(false);
  EXPECT_FALSE(item.isEnabled());
  EXPECT_FALSE(fs::exists(item.entryPath()));
  item.setEnabled(false);  // nothing to remove is no error

  // The desktop may turn an entry off or hide it; keys of another group do not count.
  const auto entryWith = [&](const std::string& text) {
    std::ofstream(item.entryPath()) << text;
    return item.isEnabled();
  };
  EXPECT_FALSE(entryWith("[Desktop Entry]\nType=Application\nX-GNOME-Autostart-enabled=false\n"));
  EXPECT_FALSE(entryWith("[Desktop Entry]\n  Hidden = true \n"));
  EXPECT_TRUE(entryWith("[Desktop Entry]\nExec=x\n[Desktop Action quit]\nHidden=true\n"));
}

TEST(LoginItemTest, ExecLineQuotesAndEscapesThePathOrRefusesIt) {
  EXPECT_NE(LoginItem::entryText("/home/ana/My Apps/quorvanta-host")
                .find("\nExec=\"/home/ana/My Apps/quorvanta-host\"\n"),
            std::string::npos);
  // Inside quotes: \" \` \$ \\ ; then each backslash doubled for the string value; % doubled.
  EXPECT_NE(LoginItem::entryText("/a\"b`c$d\\e%f").find("\nExec=\"/a\\\\\"b\\\\`c\\\\$d\\\\\\\\e%%f\"\n"),
            std::string::npos);
  for (const char* refused : {"relative/quorvanta-host", "", "/bad\nname", "/bad\xff"})
    EXPECT_EQ(LoginItem::entryText(refused), "") << refused;
}

TEST(LoginItemTest, FailuresAreReportedAsSentences) {
  ScratchDirectory dir;
  LoginItem relative("quorvanta-host", dir.path());
  EXPECT_EQ(thrownMessage([&] { relative.setEnabled(true); }), kCannotEnable);
  EXPECT_FALSE(fs::exists(relative.entryPath()));

  std::ofstream(dir.path() / "blocked") << "";  // the autostart "directory" is a file
  LoginItem blocked("/usr/bin/true", dir.path() / "blocked");
  EXPECT_EQ(thrownMessage([&] { blocked.setEnabled(true); }), kCannotEnable);

  LoginItem stuck("/usr/bin/quorvanta-host", dir.path() / "autostart");
  fs::create_directories(stuck.entryPath() / "content");  // cannot be removed
  EXPECT_EQ(thrownMessage([&] { stuck.setEnabled(false); }),
            "Quorvanta Host could not stop opening at login.");

  const fs::path shared = dir.path() / "shared";
  fs::create_directories(shared / "bin");
  fs::copy_file("/usr/bin/true", shared / "bin" / "quorvanta-host");
  fs::permissions(shared, fs::perms::all);  // like a build tree in /tmp
  LoginItem exposed(shared / "bin" / "quorvanta-host", dir.path() / "exposed");
  EXPECT_EQ(thrownMessage([&] { exposed.setEnabled(true); }),
            "Quorvanta Host could not be set to open at login: it runs from " + shared.string() +
                ", which other users can change. Install it where only you or the system can write.");
  EXPECT_FALSE(fs::exists(exposed.entryPath()));

  LoginItem deleted("/usr/bin/quorvanta-host-gone (deleted)", dir.path() / "deleted");
  EXPECT_EQ(thrownMessage([&] { deleted.setEnabled(true); }),
            "Quorvanta Host could not be set to open at login: its program file was removed or replaced "
            "since it started.");
  EXPECT_FALSE(fs::exists(deleted.entryPath()));
}

}  // namespace
}  // namespace quorvanta
