#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/trust/secure_store.h"

namespace quorvanta {

// The default collection of the user's keyring, as the store uses it. Every call throws
// storageError(kStatusNotAvailable) when the service fails or does not answer in time.
class KeyringCollection {
 public:
  virtual ~KeyringCollection() = default;

  virtual bool locked() = 0;
  // Asks the service to unlock the collection, which may show its unlock prompt; blocks until the
  // prompt is answered or `timeout` passes. False when the collection was not unlocked.
  virtual bool unlock(std::chrono::milliseconds timeout) = 0;
  // The value of the account's item; nothing when the collection has none. A matching item that
  // is locked throws storageError(kStatusInteractionNotAllowed).
  virtual std::optional<Bytes> find(const std::string& account) = 0;
  // Replaces the account's item, or adds it. The collection is unlocked.
  virtual void replace(const std::string& account, std::span<const std::uint8_t> data) = 0;
};

// Opens the default collection afresh; nullptr when the service has no default collection.
using KeyringOpener =
    std::function<std::unique_ptr<KeyringCollection>(std::chrono::milliseconds callTimeout)>;

// Credentials as Secret Service items (GNOME Keyring, KeePassXC, KWallet's Secret Service) on the
// session bus, through libsecret. One item per account in the default collection, with the
// attributes service = kCredentialService and account = the account name; the value is the
// caller's bytes, unchanged. A write replaces the existing item, so an account never has two.
// Reads and writes address the default collection only: items in other collections are never
// read, so a change of the default collection cannot bring back an older device list.
//
// Every call opens its own connection to the service and keeps nothing afterwards, so a failed
// call leaves no state behind and the next one (after the user unlocked the keyring) starts over.
// Calls may come from any thread. Failures and their status numbers are listed beside
// storageError().
class SecretServiceStore final : public SecureStore {
 public:
  struct Options {
    // Bound on a call that may not prompt. Each D-Bus round trip is bounded by GDBus as well.
    std::chrono::milliseconds callTimeout{30'000};
    // Bound on a read that may prompt: past it the prompt is dismissed and the read fails as
    // cancelled by the user.
    std::chrono::milliseconds promptTimeout{300'000};
  };

  SecretServiceStore() : SecretServiceStore(Options{}) {}
  // `opener` replaces libsecret (tests).
  explicit SecretServiceStore(Options options, KeyringOpener opener = {});

  // With `allowInteraction` false, nothing is unlocked: a locked item fails with
  // kStatusInteractionNotAllowed. With it true, a locked default collection is unlocked first,
  // even when it holds no item for the account (so that the write that follows can succeed),
  // which may show the service's unlock prompt and blocks until it is answered.
  std::optional<Bytes> read(const std::string& account, bool allowInteraction) override;
  // Never prompts: a locked default collection fails with kStatusInteractionNotAllowed.
  void write(std::span<const std::uint8_t> data, const std::string& account) override;
  Kind kind() const override { return Kind::keyring; }

  // True when the service answers and has a default collection (locked or not) to keep items
  // in. Never prompts and never throws.
  bool hasDefaultCollection() const;

 private:
  std::unique_ptr<KeyringCollection> openDefault() const;

  Options options_;
  KeyringOpener opener_;
};

}  // namespace quorvanta
