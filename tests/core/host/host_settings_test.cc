#include "core/host/host_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <stdexcept>

#include "core/util/paths.h"
#include "core/util/quorvanta_error.h"
#include "host_test_directory.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

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

TEST(HostSettingsTest, AbsentFileReadsAllFalse) {
  ScratchDirectory dir;
  const HostSettings settings(dir.path() / "missing" / "host.conf");
  EXPECT_FALSE(settings.hostEnabled());
  EXPECT_FALSE(settings.controlEnabled());
  EXPECT_FALSE(settings.curtainEnabled());
  EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

TEST(HostSettingsTest, ChangesAreWrittenPrivatelyAndReadBack) {
  ScratchDirectory dir;
  const fs::path file = dir.path() / "config" / "quorvanta" / "host.conf";
  {
    HostSettings settings(file);
    settings.setHostEnabled(true);
    settings.setCurtainEnabled(true);
    settings.setCurtainEnabled(false);
    settings.setControlEnabled(true);
    EXPECT_TRUE(settings.hostEnabled());
    EXPECT_TRUE(settings.controlEnabled());
    EXPECT_FALSE(settings.curtainEnabled());
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
  EXPECT_FALSE(settings.curtainEnabled());
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
    EXPECT_FALSE(HostSettings(file).hostEnabled());
  }

  // A directory where the file should be is unreadable, not fatal.
  fs::remove(file);
  fs::create_directory(file);
  EXPECT_FALSE(HostSettings(file).hostEnabled());
}

TEST(HostSettingsTest, FailedWriteKeepsTheValueAndReportsASentence) {
  ScratchDirectory dir;
  // The settings directory cannot be made: a file stands where it should be.
  write(dir.path() / "blocker", "");
  HostSettings settings(dir.path() / "blocker" / "host.conf");
  try {
    settings.setHostEnabled(true);
    FAIL() << "the write should have failed";
  } catch (const QuorvantaError& error) {
    EXPECT_STREQ(error.what(), "Quorvanta Host could not save its settings.");
  }
  EXPECT_TRUE(settings.hostEnabled());
  EXPECT_THROW(settings.setBool("bad key", true), std::invalid_argument);
  EXPECT_THROW(settings.setBool("", true), std::invalid_argument);
  EXPECT_THROW(settings.setBool("a=b", true), std::invalid_argument);
}

}  // namespace
}  // namespace quorvanta
