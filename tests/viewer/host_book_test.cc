#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "core/host/host_test_directory.h"
#include "core/util/paths.h"
#include "core/util/quorvanta_error.h"
#include "support/fake_secure_store.h"
#include "support/test_helpers.h"
#include "viewer/host_book.h"

namespace quorvanta::viewer {
namespace {

PairedHost makeHost(std::string id, std::string name, std::string token = "token") {
  PairedHost host;
  host.state = {"6F1C2D3E-4A5B-4C6D-8E7F-0123456789AB",
                "Test viewer",
                std::move(id),
                std::move(token),
                std::string(64, 'a'),
                "100.64.0.1",
                48725};
  host.name = std::move(name);
  return host;
}

class HostBookTest : public testing::Test {
 protected:
  std::filesystem::path file() const {
    return scratch_.path() / "config" / "quorvanta-viewer" / "hosts.json";
  }
  ScratchDirectory scratch_;
  test::FakeSecureStore store_;
  HostBook book_{file(), store_};
};

TEST_F(HostBookTest, KeepsHostsInAPrivateFileAndTokensInTheStore) {
  book_.remember(makeHost("H1", "Office", "secret-token-1"));
  book_.remember(makeHost("H2", "Laptop", "secret-token-2"));
  struct stat info {};
  ASSERT_EQ(::stat(file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(file().parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(readFile(file(), 1 << 20).find("secret-token"), std::string::npos);

  const auto hosts = book_.hosts();
  ASSERT_EQ(hosts.size(), 2u);
  EXPECT_TRUE(hosts[0].state.token.empty());
  EXPECT_EQ(book_.token(hosts[1]), "secret-token-2");
  EXPECT_EQ(book_.deviceID(), "6F1C2D3E-4A5B-4C6D-8E7F-0123456789AB");

  // Pairing again with the same host replaces it.
  book_.remember(makeHost("H1", "Office desk", "secret-token-3"));
  ASSERT_EQ(book_.hosts().size(), 2u);
  EXPECT_EQ(book_.hosts()[0].name, "Office desk");
  EXPECT_EQ(book_.token(book_.hosts()[0]), "secret-token-3");
}

TEST_F(HostBookTest, FindsByIdThenByUniqueNameAndForgets) {
  EXPECT_FALSE(book_.find(""));
  book_.remember(makeHost("H1", "Office"));
  EXPECT_EQ(book_.find("")->state.hostID, "H1") << "the only host";
  book_.remember(makeHost("H2", "office"));
  book_.remember(makeHost("H3", "Laptop"));
  EXPECT_FALSE(book_.find("")) << "several hosts";
  EXPECT_EQ(book_.find("H2")->name, "office");
  EXPECT_EQ(book_.find("LAPTOP")->state.hostID, "H3");
  EXPECT_FALSE(book_.find("Office")) << "two hosts have that name";

  const auto laptop = *book_.find("H3");
  book_.forget("H3");
  EXPECT_FALSE(book_.find("H3"));
  EXPECT_EQ(book_.token(laptop), "") << "the token is overwritten";
}

TEST_F(HostBookTest, ADamagedFileIsReportedAndAFailedStoreKeepsTheFile) {
  std::filesystem::create_directories(file().parent_path());
  std::ofstream(file()) << "{\"hosts\": 3}";
  EXPECT_EQ(test::thrownMessage([&] { book_.hosts(); }),
            "The list of hosts " + file().string() + " is damaged. Remove it and pair this computer again.");
  std::filesystem::remove(file());
  store_.writeFailure = -25291;
  EXPECT_THROW(book_.remember(makeHost("H1", "Office")), QuorvantaError);
  EXPECT_FALSE(std::filesystem::exists(file())) << "no host without its token";
}

}  // namespace
}  // namespace quorvanta::viewer
