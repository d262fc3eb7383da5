#include "core/trust/file_secure_store.h"
#include "support/test_helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace quorvanta {
namespace {

using test::bytesOf;
using test::thrownMessage;

namespace fs = std::filesystem;

std::string storageSentence(long status) {
  return "Secure credential storage is unavailable (" + std::to_string(status) +
         "). Unlock your device or login keychain and try again.";
}

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

std::vector<fs::path> entriesOf(const fs::path& directory) {
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(directory))
    entries.push_back(entry.path());
  return entries;
}

class FileSecureStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quorvanta-store-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    credentials_ = root_ / "data" / "credentials";
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_;
  fs::path credentials_;
};

TEST_F(FileSecureStoreTest, MissingAccountIsAbsentEvenBeforeTheDirectoryExists) {
  FileSecureStore store(credentials_);
  EXPECT_EQ(store.read("host-devices-1", false), std::nullopt);
  EXPECT_FALSE(fs::exists(credentials_));
  store.write(asBytes("x"), "other");
  EXPECT_EQ(store.read("host-devices-1", true), std::nullopt);
  EXPECT_EQ(store.kind(), SecureStore::Kind::file);
}

TEST_F(FileSecureStoreTest, BytesComeBackUnchanged) {
  FileSecureStore store(credentials_);
  const Bytes value{0x00, 'p', 0xFF, 0xFE, 0x80, 0x00, '\n', 0xC3};
  store.write(value, "identity-password-1");
  EXPECT_EQ(store.read("identity-password-1", false), value);

  store.write(Bytes{}, "empty");
  EXPECT_EQ(store.read("empty", false), Bytes{});

  // A second store on the same directory (a later launch) sees the same values.
  EXPECT_EQ(FileSecureStore(credentials_).read("identity-password-1", false), value);
}

TEST_F(FileSecureStoreTest, OverwriteLeavesOneFileAndNoTemporary) {
  FileSecureStore store(credentials_);
  store.write(asBytes("a much longer first value"), "account");
  store.write(asBytes("second"), "account");

  EXPECT_EQ(store.read("account", false), bytesOf("second"));
  EXPECT_EQ(entriesOf(credentials_), std::vector<fs::path>{store.fileFor("account")});
}

TEST_F(FileSecureStoreTest, DirectoryAndFilesArePrivateToTheUser) {
  fs::create_directories(credentials_);
  ASSERT_EQ(::chmod(credentials_.c_str(), 0755), 0);
  FileSecureStore store(credentials_);
  store.write(asBytes("secret"), "account");
  store.write(asBytes("secret 2"), "account");

  EXPECT_EQ(modeOf(credentials_), 0700u);
  EXPECT_EQ(modeOf(store.fileFor("account")), 0600u);

  FileSecureStore fresh(root_ / "new" / "credentials");
  fresh.write(asBytes("secret"), "account");
  EXPECT_EQ(modeOf(fresh.directory()), 0700u);
  EXPECT_EQ(modeOf(fresh.fileFor("account")), 0600u);
}

TEST_F(FileSecureStoreTest, AccountNamesCannotLeaveTheDirectory) {
  FileSecureStore store(credentials_);
  const std::vector<std::string> accounts = {"../escape", "..", ".", "a/b", "/etc/passwd", "", ".hidden"};
  for (const auto& account : accounts) {
    SCOPED_TRACE(account);
    EXPECT_EQ(store.fileFor(account).parent_path(), credentials_);
    store.write(bytesOf("value of " + account), account);
  }
  EXPECT_EQ(entriesOf(credentials_).size(), accounts.size());
  EXPECT_EQ(entriesOf(root_ / "data"), std::vector<fs::path>{credentials_});
  for (const auto& account : accounts)
    EXPECT_EQ(store.read(account, false), bytesOf("value of " + account)) << account;
}

TEST_F(FileSecureStoreTest, UnreadableStoreFailsWithTheErrno) {
  // Tests may run as root, which permissions do not stop, so the failures come from paths that
  // are in the way.
  FileSecureStore store(credentials_);
  fs::create_directories(store.fileFor("account"));
  EXPECT_EQ(thrownMessage([&] { store.read("account", false); }), storageSentence(EISDIR));
  EXPECT_EQ(thrownMessage([&] { store.write(asBytes("v"), "account"); }), storageSentence(EISDIR));
  // The failed write left no temporary file behind.
  EXPECT_EQ(entriesOf(credentials_), std::vector<fs::path>{store.fileFor("account")});

  // The credentials "directory" is a file.
  fs::create_directories(root_ / "blocked");
  std::ofstream(root_ / "blocked" / "credentials") << "not a directory";
  FileSecureStore blocked(root_ / "blocked" / "credentials");
  EXPECT_EQ(thrownMessage([&] { blocked.read("account", false); }), storageSentence(ENOTDIR));
  EXPECT_EQ(thrownMessage([&] { blocked.write(asBytes("v"), "account"); }), storageSentence(ENOTDIR));
}

}  // namespace
}  // namespace quorvanta
