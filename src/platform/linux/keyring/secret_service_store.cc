#include "platform/linux/keyring/secret_service_store.h"

#include <utility>

#include "platform/linux/keyring/glib_support.h"

namespace quorvanta {
namespace {

constexpr const char* kContentType = "application/octet-stream";

// Items carry an xdg:schema attribute naming this schema besides service and account, which lets
// keyring managers show them as one kind of item.
const SecretSchema* credentialSchema() {
  static const SecretSchema schema = [] {
    SecretSchema s{};
    s.name = "app.quorvanta.host.Credential";
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &schema;
}

// The table borrows `account`, which must outlive it.
glib::HashTable attributesFor(const std::string& account) {
  glib::HashTable table(g_hash_table_new(g_str_hash, g_str_equal));
  g_hash_table_insert(table.get(), const_cast<char*>("service"), const_cast<char*>(kCredentialService));
  g_hash_table_insert(table.get(), const_cast<char*>("account"), const_cast<char*>(account.c_str()));
  return table;
}

// A locked item or collection is reported as such; an unlock prompt that was cancelled (by its
// deadline) as cancelled by the user; everything else, including a call that ran out of time,
// as an unavailable service.
[[noreturn]] void throwFor(const glib::ErrorSlot& error, bool prompting) {
  if (g_error_matches(error.get(), SECRET_ERROR, SECRET_ERROR_IS_LOCKED))
    throw storageError(kStatusInteractionNotAllowed);
  if (prompting && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED))
    throw storageError(kStatusUserCanceled);
  throw storageError(kStatusNotAvailable);
}

glib::Object<SecretService> openService(const glib::CancelAfter& deadline) {
  glib::ErrorSlot error;
  // A private proxy with its own session, rather than the process-wide instance: nothing of a
  // failed call survives it.
  glib::Object<SecretService> service(secret_service_open_sync(
      SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, deadline.cancellable(), error.out()));
  if (error || !service) throw storageError(kStatusNotAvailable);
  return service;
}

Bytes bytesOf(SecretValue* value) {
  gsize length = 0;
  const gchar* data = secret_value_get(value, &length);
  const auto* begin = reinterpret_cast<const std::uint8_t*>(data);
  return Bytes(begin, begin + length);
}

// The default collection through libsecret, with its own service connection; every blocking call
// is bounded by the call deadline.
class LibsecretCollection final : public KeyringCollection {
 public:
  LibsecretCollection(std::unique_ptr<glib::CancelAfter> deadline, glib::Object<SecretService> service,
                      glib::Object<SecretCollection> collection)
      : deadline_(std::move(deadline)), service_(std::move(service)), collection_(std::move(collection)) {}

  bool locked() override { return secret_collection_get_locked(collection_.get()) != FALSE; }

  bool unlock(std::chrono::milliseconds timeout) override {
    // The service decides how to unlock (usually after asking for the collection's password);
    // this blocks until the prompt is answered or its deadline passes.
    const glib::CancelAfter promptDeadline(timeout);
    const glib::List objects(g_list_append(nullptr, collection_.get()));
    glib::ErrorSlot error;
    const gint unlocked = secret_service_unlock_sync(service_.get(), objects.get(),
                                                     promptDeadline.cancellable(), nullptr, error.out());
    if (error) throwFor(error, true);
    return unlocked > 0;
  }

  std::optional<Bytes> find(const std::string& account) override {
    const glib::HashTable attributes = attributesFor(account);
    glib::ErrorSlot error;
    const glib::ObjectList items(secret_collection_search_sync(
        collection_.get(), credentialSchema(), attributes.get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
        deadline_->cancellable(), error.out()));
    if (error) throwFor(error, false);
    bool lockedMatch = false;
    for (GList* node = items.get(); node != nullptr; node = node->next) {
      auto* item = static_cast<SecretItem*>(node->data);
      if (secret_item_get_locked(item)) {
        lockedMatch = true;
        continue;
      }
      // An unlocked item that holds no value counts as no value, even if a locked twin exists.
      const glib::SecretValuePtr value(secret_item_get_secret(item));
      if (!value) return std::nullopt;
      return bytesOf(value.get());
    }
    if (lockedMatch) throw storageError(kStatusInteractionNotAllowed);
    return std::nullopt;
  }

  void replace(const std::string& account, std::span<const std::uint8_t> data) override {
    const glib::SecretValuePtr value(
        secret_value_new(data.empty() ? "" : reinterpret_cast<const gchar*>(data.data()),
                         static_cast<gssize>(data.size()), kContentType));
    const glib::HashTable attributes = attributesFor(account);
    const std::string label = "Quorvanta Host credential (" + account + ")";
    glib::ErrorSlot error;
    // REPLACE makes the service overwrite the item whose attributes match instead of adding a
    // second one.
    const glib::Object<SecretItem> item(secret_item_create_sync(
        collection_.get(), credentialSchema(), attributes.get(), label.c_str(), value.get(),
        SECRET_ITEM_CREATE_REPLACE, deadline_->cancellable(), error.out()));
    if (error || !item) throwFor(error, false);
  }

 private:
  std::unique_ptr<glib::CancelAfter> deadline_;
  glib::Object<SecretService> service_;
  glib::Object<SecretCollection> collection_;
};

std::unique_ptr<KeyringCollection> openLibsecret(std::chrono::milliseconds callTimeout) {
  auto deadline = std::make_unique<glib::CancelAfter>(callTimeout);
  auto service = openService(*deadline);
  glib::ErrorSlot error;
  glib::Object<SecretCollection> collection(
      secret_collection_for_alias_sync(service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                       deadline->cancellable(), error.out()));
  if (error) throwFor(error, false);
  if (!collection) return nullptr;
  return std::make_unique<LibsecretCollection>(std::move(deadline), std::move(service),
                                               std::move(collection));
}

}  // namespace

SecretServiceStore::SecretServiceStore(Options options, KeyringOpener opener)
    : options_(options), opener_(opener ? std::move(opener) : KeyringOpener(openLibsecret)) {}

std::unique_ptr<KeyringCollection> SecretServiceStore::openDefault() const {
  auto collection = opener_(options_.callTimeout);
  // Making a default collection means asking the user for a new keyring password, which the
  // host never does.
  if (!collection) throw storageError(kStatusNoDefaultCollection);
  return collection;
}

std::optional<Bytes> SecretServiceStore::read(const std::string& account, bool allowInteraction) {
  auto collection = openDefault();
  if (allowInteraction && collection->locked()) {
    if (!collection->unlock(options_.promptTimeout)) throw storageError(kStatusUserCanceled);
    // Read again from scratch: the unlock changed what the service shows.
    collection = openDefault();
    if (collection->locked()) throw storageError(kStatusUserCanceled);
  }
  return collection->find(account);
}

void SecretServiceStore::write(std::span<const std::uint8_t> data, const std::string& account) {
  const auto collection = openDefault();
  // Adding to a locked collection would make the service prompt for its password; a write never
  // prompts.
  if (collection->locked()) throw storageError(kStatusInteractionNotAllowed);
  collection->replace(account, data);
}

bool SecretServiceStore::hasDefaultCollection() const {
  try {
    return opener_(options_.callTimeout) != nullptr;
  } catch (const QuorvantaError&) {
    return false;
  }
}

}  // namespace quorvanta
