// Runs against a real gnome-keyring-daemon in a private session bus (with_keyring.sh).

#include "platform/linux/keyring/secret_service_store.h"
#include "support/test_helpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "core/trust/file_secure_store.h"
#include "platform/linux/keyring/glib_support.h"
#include "platform/linux/keyring/secure_store_factory.h"

namespace quorvanta {
namespace {

using test::bytesOf;
using test::thrownMessage;

using namespace std::chrono_literals;

constexpr gint kBusTimeoutMs = 10'000;

std::string storageSentence(long status) {
  return "Secure credential storage is unavailable (" + std::to_string(status) +
         "). Unlock your device or login keychain and try again.";
}

glib::Object<SecretService> openService() {
  glib::ErrorSlot error;
  glib::Object<SecretService> service(secret_service_open_sync(
      SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, error.out()));
  EXPECT_FALSE(error) << error.get()->message;
  return service;
}

glib::Object<SecretCollection> defaultCollection(SecretService* service) {
  glib::ErrorSlot error;
  glib::Object<SecretCollection> collection(secret_collection_for_alias_sync(
      service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, error.out()));
  EXPECT_FALSE(error) << error.get()->message;
  return collection;
}

// Every item with our service and this account, in any collection and whatever other attributes
// it has.
guint countItems(const std::string& account) {
  const auto service = openService();
  const glib::HashTable attributes(g_hash_table_new(g_str_hash, g_str_equal));
  g_hash_table_insert(attributes.get(), const_cast<char*>("service"), const_cast<char*>(kCredentialService));
  g_hash_table_insert(attributes.get(), const_cast<char*>("account"), const_cast<char*>(account.c_str()));
  glib::ErrorSlot error;
  const glib::ObjectList items(secret_service_search_sync(service.get(), nullptr, attributes.get(),
                                                          SECRET_SEARCH_ALL, nullptr, error.out()));
  EXPECT_FALSE(error) << error.get()->message;
  return g_list_length(items.get());
}

void lockDefaultCollection() {
  const auto service = openService();
  const auto collection = defaultCollection(service.get());
  ASSERT_TRUE(collection);
  const glib::List objects(g_list_append(nullptr, collection.get()));
  glib::ErrorSlot error;
  secret_service_lock_sync(service.get(), objects.get(), nullptr, nullptr, error.out());
  ASSERT_FALSE(error) << error.get()->message;
  ASSERT_TRUE(secret_collection_get_locked(defaultCollection(service.get()).get()));
}

glib::Variant callSecrets(GDBusConnection* bus, const char* path, const char* interface, const char* method,
                          GVariant* parameters) {
  glib::ErrorSlot error;
  glib::Variant reply(g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", path, interface, method,
                                                  parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs,
                                                  nullptr, error.out()));
  EXPECT_FALSE(error) << method << ": " << error.get()->message;
  return reply;
}

// Unlocks the default collection with the keyring's password, as a login would, without a prompt.
void unlockDefaultCollectionWithPassword() {
  glib::ErrorSlot error;
  const glib::Object<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
  ASSERT_FALSE(error) << error.get()->message;

  const auto alias = callSecrets(bus.get(), "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
                                 "ReadAlias", g_variant_new("(s)", "default"));
  ASSERT_TRUE(alias);
  const gchar* collection = nullptr;
  g_variant_get(alias.get(), "(&o)", &collection);

  const auto session = callSecrets(bus.get(), "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
                                   "OpenSession", g_variant_new("(sv)", "plain", g_variant_new_string("")));
  ASSERT_TRUE(session);
  const gchar* sessionPath = nullptr;
  g_variant_get(session.get(), "(v&o)", nullptr, &sessionPath);

  const char* password = std::getenv("QUORVANTA_TEST_KEYRING_PASSWORD");
  ASSERT_NE(password, nullptr);
  GVariant* secret = g_variant_new(
      "(o@ay@ays)", sessionPath, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password, std::char_traits<char>::length(password), 1),
      "text/plain");
  const auto unlocked = callSecrets(
      bus.get(), "/org/freedesktop/secrets", "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
      "UnlockWithMasterPassword", g_variant_new("(o@(oayays))", collection, secret));
  ASSERT_TRUE(unlocked);
  callSecrets(bus.get(), sessionPath, "org.freedesktop.Secret.Session", "Close", nullptr);

  const auto service = openService();
  ASSERT_FALSE(secret_collection_get_locked(defaultCollection(service.get()).get()));
}

// What the bus monitor has seen. GDBus calls the monitor's filter on its own worker thread, handing
// it over under GLib's locks, which ThreadSanitizer cannot see; state that exists before that
// thread is started needs no hand-off at all. It is never destroyed, as the worker thread may
// still deliver a message while the process exits.
struct MonitoredTraffic {
  std::mutex mutex;
  std::condition_variable seen;
  int pings = 0;
  int requests = 0;
};
MonitoredTraffic& traffic = *new MonitoredTraffic;

// Watches the session bus for unlock requests and prompt traffic to the keyring, with a bus
// monitor connection of its own.
class UnlockWatch {
 public:
  UnlockWatch() {
    glib::ErrorSlot error;
    monitor_.reset(g_dbus_connection_new_for_address_sync(
        std::getenv("DBUS_SESSION_BUS_ADDRESS"),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, error.out()));
    if (error) ADD_FAILURE() << error.get()->message;
    if (!monitor_) return;
    {
      const std::lock_guard lock(traffic.mutex);
      requestsBefore_ = traffic.requests;
    }
    filter_ = g_dbus_connection_add_filter(monitor_.get(), &UnlockWatch::filter, nullptr, nullptr);
    const char* rules[] = {"interface='org.freedesktop.Secret.Service',member='Unlock'",
                           "interface='org.freedesktop.Secret.Prompt'",
                           "interface='org.freedesktop.DBus.Peer',member='Ping'", nullptr};
    const glib::Variant reply(g_dbus_connection_call_sync(
        monitor_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Monitoring",
        "BecomeMonitor", g_variant_new("(^asu)", rules, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs,
        nullptr, error.out()));
    if (error) ADD_FAILURE() << error.get()->message;
  }
  ~UnlockWatch() {
    if (monitor_) {
      g_dbus_connection_remove_filter(monitor_.get(), filter_);
      g_dbus_connection_close_sync(monitor_.get(), nullptr, nullptr);
    }
  }
  UnlockWatch(const UnlockWatch&) = delete;
  UnlockWatch& operator=(const UnlockWatch&) = delete;

  // Unlock calls and prompt messages sent since the watch began. Everything sent before this call
  // is counted: a ping to the keyring, sent after it, is waited for first.
  int requests() {
    int pingsBefore = 0;
    {
      const std::lock_guard lock(traffic.mutex);
      pingsBefore = traffic.pings;
    }
    glib::ErrorSlot error;
    const glib::Object<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
    const glib::Variant pong(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.DBus.Peer", "Ping",
        nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs, nullptr, error.out()));
    EXPECT_FALSE(error) << error.get()->message;
    std::unique_lock lock(traffic.mutex);
    EXPECT_TRUE(traffic.seen.wait_for(lock, 10s, [&] { return traffic.pings > pingsBefore; }))
        << "the monitor missed a ping";
    return traffic.requests - requestsBefore_;
  }

 private:
  static GDBusMessage* filter(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) {
    // Replies go on to GDBus: one of them answers BecomeMonitor.
    const GDBusMessageType type = g_dbus_message_get_message_type(message);
    if (!incoming || (type != G_DBUS_MESSAGE_TYPE_METHOD_CALL && type != G_DBUS_MESSAGE_TYPE_SIGNAL))
      return message;
    const char* name = g_dbus_message_get_interface(message);
    const std::string interface = name != nullptr ? name : "";
    {
      const std::lock_guard lock(traffic.mutex);
      if (interface == "org.freedesktop.DBus.Peer") ++traffic.pings;
      if (interface == "org.freedesktop.Secret.Service" || interface == "org.freedesktop.Secret.Prompt")
        ++traffic.requests;
    }
    traffic.seen.notify_all();
    // A monitor may not send anything, so the calls it sees are kept from GDBus, which would
    // answer them.
    g_object_unref(message);
    return nullptr;
  }

  glib::Object<GDBusConnection> monitor_;
  guint filter_ = 0;
  int requestsBefore_ = 0;
};

// Sets or unsets an environment variable for the lifetime of the object.
class EnvironmentOverride {
 public:
  EnvironmentOverride(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~EnvironmentOverride() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }
  EnvironmentOverride(const EnvironmentOverride&) = delete;
  EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class SecretServiceStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Outside the private session these cases would write to, and lock, the user's own keyring.
    const char* marker = std::getenv("QUORVANTA_TEST_KEYRING");
    ASSERT_TRUE(marker != nullptr && std::string(marker) == "1")
        << "run through with_keyring.sh, which provides a private session bus and keyring";
  }

  // One account per test case, so cases do not see each other's items when run in one session.
  static std::string account() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("test-") + info->name();
  }

  SecretServiceStore store_{SecretServiceStore::Options{5s, 5s}};
};

TEST_F(SecretServiceStoreTest, NeverWrittenAccountIsAbsent) {
  EXPECT_EQ(store_.read(account(), false), std::nullopt);
  EXPECT_EQ(store_.read(account(), true), std::nullopt);
  EXPECT_EQ(store_.kind(), SecureStore::Kind::keyring);
}

TEST_F(SecretServiceStoreTest, ValueComesBackByteForByte) {
  // NUL bytes, bytes that are not UTF-8 and a byte sequence no C string could hold.
  const Bytes value{0x00, 'a', 0xFF, 0x80, 0x00, 0xC3, 0x28, '\n', 0x00};
  store_.write(value, account());
  EXPECT_EQ(store_.read(account(), false), value);

  // An empty value is a value, not an absent item.
  store_.write(Bytes{}, account() + "-empty");
  EXPECT_EQ(store_.read(account() + "-empty", false), Bytes{});
}

TEST_F(SecretServiceStoreTest, SecondWriteReplacesTheItem) {
  store_.write(asBytes("first"), account());
  store_.write(asBytes("second"), account());
  store_.write(asBytes("other account"), account() + "-other");

  EXPECT_EQ(countItems(account()), 1u);
  EXPECT_EQ(store_.read(account(), false), (Bytes{'s', 'e', 'c', 'o', 'n', 'd'}));
  EXPECT_EQ(countItems(account() + "-other"), 1u);
}

TEST_F(SecretServiceStoreTest, LockedKeyringRefusesWithoutPromptingAndKeepsTheValue) {
  const Bytes value{1, 2, 3, 0, 4};
  store_.write(value, account());
  lockDefaultCollection();

  UnlockWatch watch;
  EXPECT_EQ(thrownMessage([&] { store_.read(account(), false); }), storageSentence(-25308));
  EXPECT_EQ(thrownMessage([&] { store_.write(Bytes{9, 9}, account()); }), storageSentence(-25308));
  // Absent accounts are still absent: a locked keyring does not hide what is not there.
  EXPECT_EQ(store_.read(account() + "-missing", false), std::nullopt);
  EXPECT_EQ(watch.requests(), 0) << "the keyring was asked to unlock";

  unlockDefaultCollectionWithPassword();
  EXPECT_EQ(store_.read(account(), false), value);
  EXPECT_EQ(countItems(account()), 1u);
}

TEST_F(SecretServiceStoreTest, UnansweredUnlockPromptCountsAsCancelled) {
  // Nobody can answer a prompt in the private session (there is no display): the prompt is either
  // dismissed by the keyring or runs into the store's prompt deadline.
  const Bytes value{7, 7, 7};
  store_.write(value, account());
  lockDefaultCollection();

  UnlockWatch watch;
  SecretServiceStore store(SecretServiceStore::Options{5s, 2s});
  EXPECT_EQ(thrownMessage([&] { store.read(account(), true); }), storageSentence(-128));
  EXPECT_GT(watch.requests(), 0) << "the keyring was not asked to unlock";

  unlockDefaultCollectionWithPassword();
  EXPECT_EQ(store.read(account(), true), value);
}

TEST_F(SecretServiceStoreTest, FactoryChoosesKeyringOnlyWhenTheSessionBusHasOneAndKeepsFiles) {
  const auto data =
      std::filesystem::temp_directory_path() / ("quorvanta-factory-" + std::to_string(::getpid()));
  EXPECT_TRUE(secretServiceAvailable());
  EXPECT_EQ(makeSecureStore(data)->kind(), SecureStore::Kind::keyring);

  {
    const EnvironmentOverride nowhere("DBUS_SESSION_BUS_ADDRESS",
                                      ("unix:path=" + (data / "no-bus").string()).c_str());
    EXPECT_FALSE(secretServiceAvailable());
    const auto store = makeSecureStore(data);
    ASSERT_EQ(store->kind(), SecureStore::Kind::file);
    EXPECT_EQ(dynamic_cast<FileSecureStore&>(*store).directory(), data / "credentials");
  }
  {
    const EnvironmentOverride unset("DBUS_SESSION_BUS_ADDRESS", nullptr);
    auto store = makeSecureStore(data);
    ASSERT_EQ(store->kind(), SecureStore::Kind::file);
    store->write(asBytes("kept"), "identity-password-X");
  }
  // Credentials already in files keep the file store even where a keyring is now available.
  EXPECT_EQ(makeSecureStore(data)->kind(), SecureStore::Kind::file);
  std::filesystem::remove_all(data);
}

}  // namespace
}  // namespace quorvanta
