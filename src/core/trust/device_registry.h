#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/trust/secure_store.h"
#include "core/util/monotonic_clock.h"

namespace quorvanta {

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the epoch of stored dates.
inline constexpr double kUnixSecondsAt2001 = 978307200.0;

// `time` as seconds, with fraction, since 2001-01-01 00:00:00 UTC.
double secondsSince2001(std::chrono::system_clock::time_point time);
// The wall clock now, in seconds since 2001-01-01 00:00:00 UTC.
double wallSecondsSince2001();

// One paired device. The token itself is never kept, only its hash.
struct TrustedDevice {
  std::string id;         // as the device sent it; compared under canonical equivalence
  std::string name;       // at most 80 characters (grapheme clusters)
  std::string tokenHash;  // hash() of the token's UTF-8 bytes
  double pairedAt = 0;    // seconds since 2001-01-01 00:00:00 UTC, when added or last re-paired

  bool operator==(const TrustedDevice&) const = default;
};

// The host's trusted devices. The list is one secure-store item under "host-devices-<host ID>":
// a compact JSON array of {"id","name","tokenHash","pairedAt"} objects in list order. The store
// is written first; the in-memory list changes only after the write succeeded, so the two are
// equal after every successful call and a failed call changes nothing.
//
// Not thread-safe: the host uses it from its main executor, one call at a time. `store` must
// outlive the registry.
class DeviceRegistry {
 public:
  static constexpr std::size_t kMaxDevices = 50;
  static constexpr std::size_t kMaxNameCharacters = 80;
  // A name also fits in this many bytes of UTF-8, so that every message naming it fits a packet.
  static constexpr std::size_t kMaxNameBytes = 256;

  // Loads the stored list (none stored: empty). Throws the store's error, or QuorvantaError
  // "The stored device list could not be read." when the stored value is not a device array;
  // the stored item is never changed by a failed load.
  static DeviceRegistry create(const std::string& hostID, SecureStore& store, bool allowCredentialInteraction,
                               Clock wallClock = wallSecondsSince2001);

  // Adds the device, or replaces the entry with an equal ID, which moves to the end with a new
  // token and date. Throws QuorvantaError "The host has reached its device limit. Remove an old
  // device first." when 50 other devices are listed, or the store's error.
  void add(const std::string& id, const std::string& name, std::string_view token);
  // True when a device with this ID is listed and `token` hashes to its token hash.
  bool accepts(std::string_view id, std::string_view token) const;
  // Removes the device with this ID and writes the list, even when there was none.
  void revoke(std::string_view id);

  const std::vector<TrustedDevice>& devices() const { return devices_; }
  const std::string& account() const { return account_; }

 private:
  DeviceRegistry(std::string account, SecureStore& store, Clock wallClock, std::vector<TrustedDevice> devices)
      : account_(std::move(account)),
        store_(&store),
        wallClock_(std::move(wallClock)),
        devices_(std::move(devices)) {}

  void replaceWith(std::vector<TrustedDevice> devices);

  std::string account_;
  SecureStore* store_;
  Clock wallClock_;
  std::vector<TrustedDevice> devices_;
};

}  // namespace quorvanta
