// The keyring store against a scripted collection, and against a real keyring (with_keyring.sh).

#include "platform/linux/keyring/secret_service_store.h"
#include "support/fake_secure_store.h"
#include "support/test_helpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "core/trust/host_identity.h"
#include "platform/linux/keyring/glib_support.h"
#include "platform/linux/keyring/secure_store_factory.h"

namespace quorvanta {
namespace {

using test::thrownMessage;
using namespace std::chrono_literals;

// The sentence itself is checked with the file store.
std::string storageSentence(long status) {
  return storageError(status).message();
}

// A default collection whose lock and unlock prompt the test scripts.
struct ScriptedKeyring {
  bool exists = true;
  bool locked = true;
  int prompts = 0;
  std::map<std::string, Bytes> items;

  struct Collection final : KeyringCollection {
    explicit Collection(ScriptedKeyring& owner) : keyring(owner) {}
    bool locked() override { return keyring.locked; }
    bool unlock(std::chrono::milliseconds) override {
      ++keyring.prompts;
      keyring.locked = false;  // the person typed the keyring's password
      return true;
    }
    std::optional<Bytes> find(const std::string& account) override {
      const auto item = keyring.items.find(account);
      if (item == keyring.items.end()) return std::nullopt;
      if (keyring.locked) throw storageError(kStatusInteractionNotAllowed);
      return item->second;
    }
    void replace(const std::string& account, std::span<const std::uint8_t> data) override {
      keyring.items[account] = Bytes(data.begin(), data.end());
    }
    ScriptedKeyring& keyring;
  };

  SecretServiceStore store() {
    return SecretServiceStore({}, [this](std::chrono::milliseconds) -> std::unique_ptr<KeyringCollection> {
      return exists ? std::make_unique<Collection>(*this) : nullptr;
    });
  }
};

class ScriptedKeyringTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(directory_); }
  const std::filesystem::path directory_ = std::filesystem::path(testing::TempDir()) / makeUuidText();
};

TEST_F(ScriptedKeyringTest, RetryUnlocksALockedEmptyCollectionOnFirstStart) {
  ScriptedKeyring keyring;
  SecretServiceStore store = keyring.store();
  EXPECT_EQ(thrownMessage([&] { HostIdentity::create(directory_, store, false); }), storageSentence(-25308));
  EXPECT_EQ(keyring.prompts, 0) << "only a retry may prompt";

  const auto identity = HostIdentity::create(directory_, store, true);
  EXPECT_EQ(keyring.prompts, 1);
  EXPECT_EQ(keyring.items.count("identity-password-" + identity.hostID()), 1u);
  keyring.exists = false;
  EXPECT_EQ(thrownMessage([&] { store.read("other", true); }), storageSentence(-25294));
}

TEST_F(ScriptedKeyringTest, RetryChoosesTheStoreAgainUntilOneHeldACredential) {
  std::vector<std::unique_ptr<test::FakeSecureStore>> offers;
  int choices = 0;
  ChosenSecureStore store([&]() -> std::unique_ptr<SecureStore> {
    ++choices;
    auto offer = std::make_unique<test::FakeSecureStore>();
    if (choices == 1) offer->writeFailure = kStatusNoDefaultCollection;  // no keyring yet at start
    return offer;
  });
  EXPECT_THROW(HostIdentity::create(directory_, store, false), QuorvantaError);
  EXPECT_EQ(choices, 1) << "a start without interaction keeps the first choice";
  const auto identity = HostIdentity::create(directory_, store, true);
  EXPECT_EQ(choices, 2);
  // The credential now lives in the second choice: later retries keep it.
  EXPECT_EQ(HostIdentity::create(directory_, store, true).hostID(), identity.hostID());
  EXPECT_EQ(choices, 2);
}

class SecretServiceStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Outside the private session these cases would write to, and lock, the user's own keyring.
    const char* marker = std::getenv("QUORVANTA_TEST_KEYRING");
    ASSERT_TRUE(marker != nullptr && std::string(marker) == "1")
        << "run through with_keyring.sh, which provides a private session bus and keyring";
  }
  const std::string account = "test-account";  // each case runs in a keyring session of its own

  static void lockDefaultCollection() {
    glib::ErrorSlot error;
    const glib::Object<SecretService> service(secret_service_open_sync(
        SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, error.out()));
    const glib::Object<SecretCollection> collection(secret_collection_for_alias_sync(
        service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, error.out()));
    ASSERT_TRUE(collection) << (error ? error.get()->message : "no default collection");
    const glib::List objects(g_list_append(nullptr, collection.get()));
    secret_service_lock_sync(service.get(), objects.get(), nullptr, nullptr, error.out());
    ASSERT_FALSE(error) << error.get()->message;
  }

  SecretServiceStore store_{SecretServiceStore::Options{5s, 2s}};
};

TEST_F(SecretServiceStoreTest, ValuesComeBackByteForByteAndAWriteReplacesTheItem) {
  EXPECT_EQ(store_.read(account, true), std::nullopt);
  // NUL bytes, bytes that are not UTF-8 and a byte sequence no C string could hold.
  const Bytes value{0x00, 'a', 0xFF, 0x80, 0x00, 0xC3, 0x28, '\n', 0x00};
  store_.write(asBytes("first"), account);
  store_.write(value, account);
  store_.write(Bytes{}, account + "-empty");
  EXPECT_EQ(store_.read(account, false), value);
  EXPECT_EQ(store_.read(account + "-empty", false), Bytes{});
}

TEST_F(SecretServiceStoreTest, LockedKeyringRefusesWithoutPromptingAndAnUnansweredPromptIsCancelled) {
  store_.write(Bytes{1, 2, 3}, account);
  lockDefaultCollection();
  // A prompt would be dismissed at once (there is no display) and read as -128.
  EXPECT_EQ(thrownMessage([&] { store_.read(account, false); }), storageSentence(-25308));
  EXPECT_EQ(thrownMessage([&] { store_.write(Bytes{9, 9}, account); }), storageSentence(-25308));
  // Absent accounts are still absent: a locked keyring does not hide what is not there.
  EXPECT_EQ(store_.read(account + "-missing", false), std::nullopt);
  // Nobody can answer the unlock prompt: it is dismissed or runs into the prompt deadline.
  EXPECT_EQ(thrownMessage([&] { store_.read(account + "-missing", true); }), storageSentence(-128));
}

TEST_F(SecretServiceStoreTest, FactoryChoosesKeyringOnlyWhenTheSessionBusHasOneAndKeepsFiles) {
  const auto data =
      std::filesystem::temp_directory_path() / ("quorvanta-factory-" + std::to_string(::getpid()));
  EXPECT_EQ(makeSecureStore(data)->kind(), SecureStore::Kind::keyring);
  const std::string bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (data / "no-bus").string()).c_str(), 1);
  EXPECT_FALSE(secretServiceAvailable());
  auto store = makeSecureStore(data);
  ASSERT_EQ(store->kind(), SecureStore::Kind::file);
  store->write(asBytes("kept"), "identity-password-X");
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
  // Credentials already in files keep the file store even where a keyring is now available, also
  // on a retry.
  EXPECT_EQ(store->read("identity-password-X", true), test::bytesOf("kept"));
  EXPECT_EQ(store->kind(), SecureStore::Kind::file);
  EXPECT_EQ(makeSecureStore(data)->kind(), SecureStore::Kind::file);
  std::filesystem::remove_all(data);
}

}  // namespace
}  // namespace quorvanta
