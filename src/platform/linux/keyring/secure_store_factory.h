#pragma once

#include <chrono>
#include <filesystem>
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
std::unique_ptr<SecureStore> makeSecureStore(const std::filesystem::path& dataDirectory);

}  // namespace quorvanta
