#include "platform/linux/keyring/secure_store_factory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/trust/file_secure_store.h"
#include "platform/linux/keyring/glib_support.h"
#include "platform/linux/keyring/secret_service_store.h"

namespace quorvanta {
namespace {

constexpr const char* kSecretsName = "org.freedesktop.secrets";

// Calls a method of the bus itself; nothing when it fails or does not answer in time.
glib::Variant callBus(GDBusConnection* connection, const char* method, GVariant* parameters,
                      const GVariantType* replyType, std::chrono::steady_clock::time_point deadline,
                      GCancellable* cancellable) {
  using namespace std::chrono;
  const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
  if (left <= 0) {
    if (parameters != nullptr) g_variant_unref(g_variant_ref_sink(parameters));
    return nullptr;
  }
  glib::ErrorSlot error;
  glib::Variant reply(g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method, parameters,
      replyType, G_DBUS_CALL_FLAGS_NO_AUTO_START, static_cast<gint>(std::min<long long>(left, G_MAXINT)),
      cancellable, error.out()));
  if (error) return nullptr;
  return reply;
}

bool nameHasOwner(GDBusConnection* connection, std::chrono::steady_clock::time_point deadline,
                  GCancellable* cancellable) {
  const glib::Variant reply = callBus(connection, "NameHasOwner", g_variant_new("(s)", kSecretsName),
                                      G_VARIANT_TYPE("(b)"), deadline, cancellable);
  if (!reply) return false;
  gboolean owned = FALSE;
  g_variant_get(reply.get(), "(b)", &owned);
  return owned != FALSE;
}

bool nameIsActivatable(GDBusConnection* connection, std::chrono::steady_clock::time_point deadline,
                       GCancellable* cancellable) {
  const glib::Variant reply =
      callBus(connection, "ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"), deadline, cancellable);
  if (!reply) return false;
  const glib::Variant names(g_variant_get_child_value(reply.get(), 0));
  gsize count = 0;
  // Borrowed strings into `names`; only the array itself is freed.
  const std::unique_ptr<const gchar*, decltype(&g_free)> strings(g_variant_get_strv(names.get(), &count),
                                                                 g_free);
  for (gsize i = 0; i < count; ++i)
    if (std::strcmp(strings.get()[i], kSecretsName) == 0) return true;
  return false;
}

}  // namespace

bool secretServiceAvailable(std::chrono::milliseconds timeout) {
  // Only the address the session gave us: GIO would otherwise try to autolaunch a bus.
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr || *address == '\0') return false;

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const glib::CancelAfter cancelAfter(timeout);
  glib::ErrorSlot error;
  // A connection of our own, so the answer reflects the address as it is now and not the one the
  // process-wide session connection was made with.
  const glib::Object<GDBusConnection> connection(g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancelAfter.cancellable(), error.out()));
  if (error || !connection) return false;

  const bool available = nameHasOwner(connection.get(), deadline, cancelAfter.cancellable()) ||
                         nameIsActivatable(connection.get(), deadline, cancelAfter.cancellable());
  g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
  return available;
}

std::unique_ptr<SecureStore> chooseSecureStore(const std::filesystem::path& dataDirectory) {
  auto files = std::make_unique<FileSecureStore>(dataDirectory / "credentials");
  // Credentials already kept in files stay there: switching to a keyring that appeared later
  // would orphan the identity password and the device list.
  if (files->holdsCredentials()) return files;
  // A service that can be started but has no default collection (a headless machine with the
  // keyring installed but never set up) could not keep anything without asking for a new
  // keyring password, which the host never does.
  if (secretServiceAvailable()) {
    auto keyring = std::make_unique<SecretServiceStore>();
    if (keyring->hasDefaultCollection()) return keyring;
  }
  return files;
}

std::optional<Bytes> ChosenSecureStore::read(const std::string& account, bool allowInteraction) {
  if (allowInteraction && !settled_) chosen_ = choose_();
  auto value = chosen_->read(account, allowInteraction);
  if (value) settled_ = true;
  return value;
}

void ChosenSecureStore::write(std::span<const std::uint8_t> data, const std::string& account) {
  chosen_->write(data, account);
  settled_ = true;
}

std::unique_ptr<SecureStore> makeSecureStore(const std::filesystem::path& dataDirectory) {
  return std::make_unique<ChosenSecureStore>([dataDirectory] { return chooseSecureStore(dataDirectory); });
}

}  // namespace quorvanta
