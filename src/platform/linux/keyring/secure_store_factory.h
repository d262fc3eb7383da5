#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "core/trust/secure_store.h"

namespace quorvanta {

// Whether a Secret Service can be reached on the session bus: the bus named by
// DBUS_SESSION_BUS_ADDRESS answers within `timeout` and org.freedesktop.secrets has an owner or
// can be started by the bus. An unset address means no session bus (no fallback to guessing one).
bool secretServiceAvailable(std::chrono::milliseconds timeout = std::chrono::milliseconds{3'000});

// Where the credentials live: the file store in `dataDirectory`/credentials when it already holds
// credentials (the choice sticks); otherwise the user's keyring (SecretServiceStore) when a
// Secret Service is available and has a default collection; otherwise the file store.
std::unique_ptr<SecureStore> chooseSecureStore(const std::filesystem::path& dataDirectory);

// The store the host keeps: the choice is made when this is made, and made again by every read
// that allows interaction (the person asked to retry credential access) until the chosen store has
// held a credential, as a keyring that was absent, locked or empty at start may be ready now.
// Once a read found a credential or a write succeeded, the choice stays: the credentials live
// there, and a keyring that fails later must not send new ones elsewhere.
// One call at a time (the host's main executor).
class ChosenSecureStore final : public SecureStore {
 public:
  using Chooser = std::function<std::unique_ptr<SecureStore>()>;
  explicit ChosenSecureStore(Chooser choose) : choose_(std::move(choose)), chosen_(choose_()) {}

  std::optional<Bytes> read(const std::string& account, bool allowInteraction) override;
  void write(std::span<const std::uint8_t> data, const std::string& account) override;
  Kind kind() const override { return chosen_->kind(); }

 private:
  Chooser choose_;
  std::unique_ptr<SecureStore> chosen_;
  bool settled_ = false;
};

// A ChosenSecureStore over chooseSecureStore(dataDirectory).
std::unique_ptr<SecureStore> makeSecureStore(const std::filesystem::path& dataDirectory);

}  // namespace quorvanta
