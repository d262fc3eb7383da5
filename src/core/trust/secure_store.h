#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/protocol/base64.h"
#include "core/util/quorvanta_error.h"

namespace quorvanta {

// The service attribute of every stored credential.
inline constexpr const char* kCredentialService = "app.quorvanta.host.credentials";

// Secret storage by account name. Values are opaque bytes, stored unchanged; an item is only
// ever overwritten, never deleted. Every failure is thrown as storageError(status).
class SecureStore {
 public:
  enum class Kind { keyring, file };

  virtual ~SecureStore() = default;

  // The stored bytes, or nothing when no item exists for `account`. With `allowInteraction`
  // false the store never prompts: a locked store is an error.
  virtual std::optional<Bytes> read(const std::string& account, bool allowInteraction) = 0;
  // Replaces the item for `account`, or adds it.
  virtual void write(std::span<const std::uint8_t> data, const std::string& account) = 0;
  // Which backend holds the credentials (the panel says so).
  virtual Kind kind() const = 0;
};

// "Secure credential storage is unavailable (<status>). Unlock your device or login keychain and
// try again."
//
// Status numbers. The keyring numbers keep the values (and meanings) that the same failures have
// in the Apple Security framework, so one number means the same thing on every host:
//
//   status    raised by        meaning
//   > 0       file store       the errno of the failed file operation (13 EACCES, 20 ENOTDIR,
//                              21 EISDIR, 28 ENOSPC, 36 ENAMETOOLONG, ...)
//   -1        randomToken      the system random source (RAND_bytes) failed
//   -128      keyring          an unlock that was allowed to prompt was dismissed, cancelled or
//                              did not unlock the item (errSecUserCanceled)
//   -25291    keyring          no Secret Service could be reached, a D-Bus call failed or timed
//                              out, or the service answered with any other error (errSecNotAvailable)
//   -25294    keyring          there is no default collection to write into (errSecNoSuchKeychain)
//   -25308    keyring          the item or the default collection is locked and the call may not
//                              prompt (errSecInteractionNotAllowed)
//
// A missing item is never an error: read() returns nothing.
inline constexpr long kStatusRandomFailed = -1;
inline constexpr long kStatusUserCanceled = -128;
inline constexpr long kStatusNotAvailable = -25291;
inline constexpr long kStatusNoDefaultCollection = -25294;
inline constexpr long kStatusInteractionNotAllowed = -25308;

QuorvantaError storageError(long status);

// 32 random bytes as 43 URL-safe Base64 characters without padding.
std::string randomToken();
// SHA-256 as 64 lowercase hexadecimal characters.
std::string hash(std::span<const std::uint8_t> data);
inline std::string hash(std::string_view text) {
  return hash(asBytes(text));
}
// Equal byte strings, compared without an early exit once the lengths agree.
bool constantTimeEqual(std::string_view a, std::string_view b);

}  // namespace quorvanta
