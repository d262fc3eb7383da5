#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>

#include "core/trust/secure_store.h"

namespace quorvanta {

// Credentials as Secret Service items (GNOME Keyring, KeePassXC, KWallet's Secret Service) on the
// session bus, through libsecret. One item per account in the default collection, with the
// attributes service = kCredentialService and account = the account name; the value is the
// caller's bytes, unchanged. A write replaces the existing item, so an account never has two.
// The default collection (normally the login keyring) is kept on this machine and unlocked when
// the user logs in, so an item is readable on this device only and only after that first unlock.
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
  explicit SecretServiceStore(Options options) : options_(options) {}

  // With `allowInteraction` false, a locked item is never unlocked: the read fails with
  // kStatusInteractionNotAllowed. With it true, the service is asked to unlock the item, which
  // may show its unlock prompt and blocks until the prompt is answered.
  std::optional<Bytes> read(const std::string& account, bool allowInteraction) override;
  // Never prompts: a locked default collection fails with kStatusInteractionNotAllowed.
  void write(std::span<const std::uint8_t> data, const std::string& account) override;
  Kind kind() const override { return Kind::keyring; }

  // True when the service answers and has a default collection (locked or not) to keep items
  // in. Never prompts and never throws.
  bool hasDefaultCollection() const;

 private:
  Options options_;
};

}  // namespace quorvanta
