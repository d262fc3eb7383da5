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

struct SearchResult {
  std::optional<Bytes> value;
  // Matching items the service keeps locked; the list owns a reference to each.
  glib::ObjectList locked;
};

// Looks the account up in every collection without ever asking the service to unlock anything,
// and reads the value of the first unlocked match.
SearchResult search(SecretService* service, const std::string& account, const glib::CancelAfter& deadline) {
  const glib::HashTable attributes = attributesFor(account);
  glib::ErrorSlot error;
  glib::ObjectList items(secret_service_search_sync(
      service, credentialSchema(), attributes.get(),
      static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), deadline.cancellable(),
      error.out()));
  if (error) throwFor(error, false);

  SearchResult result;
  GList* locked = nullptr;
  bool unlockedWithoutValue = false;
  for (GList* node = items.get(); node != nullptr; node = node->next) {
    auto* item = static_cast<SecretItem*>(node->data);
    if (secret_item_get_locked(item)) {
      locked = g_list_prepend(locked, g_object_ref(item));
      continue;
    }
    if (result.value) continue;
    const glib::SecretValuePtr value(secret_item_get_secret(item));
    if (value)
      result.value = bytesOf(value.get());
    else
      unlockedWithoutValue = true;
  }
  result.locked.reset(g_list_reverse(locked));
  // An unlocked item that holds no value counts as no value, even if a locked twin exists.
  if (result.value || unlockedWithoutValue) result.locked.reset();
  return result;
}

}  // namespace

std::optional<Bytes> SecretServiceStore::read(const std::string& account, bool allowInteraction) {
  {
    const glib::CancelAfter deadline(options_.callTimeout);
    const auto service = openService(deadline);
    SearchResult found = search(service.get(), account, deadline);
    if (!found.locked) return std::move(found.value);
    if (!allowInteraction) throw storageError(kStatusInteractionNotAllowed);

    // The service decides how to unlock (usually by unlocking the whole collection after asking
    // for its password); this blocks until the prompt is answered or its deadline passes.
    const glib::CancelAfter promptDeadline(options_.promptTimeout);
    glib::ErrorSlot error;
    const gint unlocked = secret_service_unlock_sync(service.get(), found.locked.get(),
                                                     promptDeadline.cancellable(), nullptr, error.out());
    if (error) throwFor(error, true);
    if (unlocked <= 0) throw storageError(kStatusUserCanceled);
  }

  // Read again from scratch: the unlock may have changed which items are visible.
  const glib::CancelAfter deadline(options_.callTimeout);
  const auto service = openService(deadline);
  SearchResult found = search(service.get(), account, deadline);
  if (found.locked) throw storageError(kStatusUserCanceled);
  return std::move(found.value);
}

void SecretServiceStore::write(std::span<const std::uint8_t> data, const std::string& account) {
  const glib::CancelAfter deadline(options_.callTimeout);
  const auto service = openService(deadline);

  glib::ErrorSlot error;
  const glib::Object<SecretCollection> collection(secret_collection_for_alias_sync(
      service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, deadline.cancellable(), error.out()));
  if (error) throwFor(error, false);
  // Creating a default collection means asking the user for a new keyring password, which a
  // write may not do.
  if (!collection) throw storageError(kStatusNoDefaultCollection);
  // Adding to a locked collection would make libsecret prompt for its password; a write never
  // prompts.
  if (secret_collection_get_locked(collection.get())) throw storageError(kStatusInteractionNotAllowed);

  const glib::SecretValuePtr value(
      secret_value_new(data.empty() ? "" : reinterpret_cast<const gchar*>(data.data()),
                       static_cast<gssize>(data.size()), kContentType));
  const glib::HashTable attributes = attributesFor(account);
  const std::string label = "Quorvanta Host credential (" + account + ")";
  // REPLACE makes the service overwrite the item whose attributes match instead of adding a
  // second one.
  const glib::Object<SecretItem> item(
      secret_item_create_sync(collection.get(), credentialSchema(), attributes.get(), label.c_str(),
                              value.get(), SECRET_ITEM_CREATE_REPLACE, deadline.cancellable(), error.out()));
  if (error || !item) throwFor(error, false);
}

bool SecretServiceStore::hasDefaultCollection() const {
  try {
    const glib::CancelAfter deadline(options_.callTimeout);
    const auto service = openService(deadline);
    glib::ErrorSlot error;
    const glib::Object<SecretCollection> collection(
        secret_collection_for_alias_sync(service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                         deadline.cancellable(), error.out()));
    return !error && collection;
  } catch (const QuorvantaError&) {
    return false;
  }
}

}  // namespace quorvanta
