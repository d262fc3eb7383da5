#include "core/trust/file_secure_store.h"
#include "support/test_helpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
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

fs::perms modeOf(const fs::path& path) {
  return fs::status(path).permissions() & fs::perms::mask;
}

std::vector<fs::path> entriesOf(const fs::path& directory) {
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(directory))
    entries.push_back(entry.path());
  return entries;
}

class FileSecureStoreTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(root_); }

  const fs::path root_ = fs::path(testing::TempDir()) / ("quorvanta-store-" + std::to_string(::getpid()));
  const fs::path credentials_ = root_ / "data" / "credentials";
};

TEST_F(FileSecureStoreTest, BytesComeBackUnchangedInPrivateFilesThatStayInTheDirectory) {
  fs::create_directories(credentials_);
  fs::permissions(credentials_, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
  FileSecureStore store(credentials_);
  EXPECT_EQ(store.read("host-devices-1", false), std::nullopt);
  const Bytes value{0x00, 'p', 0xFF, 0xFE, 0x80, 0x00, '\n', 0xC3};
  store.write(asBytes("a much longer first value"), "identity-password-1");
  store.write(value, "identity-password-1");
  // A second store on the same directory (a later launch) sees the same values.
  EXPECT_EQ(FileSecureStore(credentials_).read("identity-password-1", false), value);
  EXPECT_EQ(modeOf(credentials_), fs::perms::owner_all);
  EXPECT_EQ(modeOf(store.fileFor("identity-password-1")), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(entriesOf(credentials_), std::vector<fs::path>{store.fileFor("identity-password-1")});

  const std::vector<std::string> accounts = {"../escape", "..", ".", "a/b", "/etc/passwd", "", ".hidden"};
  for (const auto& account : accounts)
    store.write(bytesOf("value of " + account), account);
  EXPECT_EQ(entriesOf(credentials_).size(), accounts.size() + 1);
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
  EXPECT_EQ(entriesOf(credentials_).size(), 1u) << "a temporary file was left behind";

  // The credentials "directory" is a file.
  fs::create_directories(root_ / "blocked");
  std::ofstream(root_ / "blocked" / "credentials") << "not a directory";
  FileSecureStore blocked(root_ / "blocked" / "credentials");
  EXPECT_EQ(thrownMessage([&] { blocked.write(asBytes("v"), "account"); }), storageSentence(ENOTDIR));
}

}  // namespace
}  // namespace quorvanta
