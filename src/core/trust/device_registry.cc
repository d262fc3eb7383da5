#include "core/trust/device_registry.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include <utf8proc.h>
#include <nlohmann/json.hpp>

#include "core/protocol/utf8.h"
#include "core/util/quorvanta_error.h"

namespace quorvanta {
namespace {

constexpr const char* kAccountPrefix = "host-devices-";
constexpr const char* kDeviceLimit = "The host has reached its device limit. Remove an old device first.";
constexpr const char* kUnreadableList = "The stored device list could not be read.";
constexpr const char* kUnencodableList = "The device list could not be encoded.";

struct FreeDeleter {
  void operator()(void* memory) const { std::free(memory); }
};

// The canonical composition (NFC) of `text`, under which canonically equivalent texts are
// byte-equal. Text that is not UTF-8 is returned unchanged and so compares by its bytes.
std::string normalizeNFC(std::string_view text) {
  utf8proc_uint8_t* composed = nullptr;
  const utf8proc_ssize_t length = utf8proc_map(
      reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
      &composed, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  const std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owner(composed);
  if (length < 0 || composed == nullptr) return std::string(text);
  return std::string(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(length));
}

// Matches devices whose ID is canonically equivalent to `id`.
auto sameID(std::string_view id) {
  return [normalized = normalizeNFC(id)](const TrustedDevice& device) {
    return normalizeNFC(device.id) == normalized;
  };
}

std::string encode(const std::vector<TrustedDevice>& devices) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const auto& device : devices) {
    // A non-finite date would be written as null, which no later load accepts.
    if (!std::isfinite(device.pairedAt)) throw QuorvantaError(kUnencodableList);
    nlohmann::ordered_json entry = nlohmann::ordered_json::object();
    entry["id"] = device.id;
    entry["name"] = device.name;
    entry["tokenHash"] = device.tokenHash;
    entry["pairedAt"] = device.pairedAt;
    array.push_back(std::move(entry));
  }
  try {
    // Compact; a string that is not UTF-8 throws instead of being written half-escaped.
    return array.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    throw QuorvantaError(kUnencodableList);
  }
}

const nlohmann::json& requiredMember(const nlohmann::json& object, const char* key) {
  const auto member = object.find(key);
  if (member == object.end()) throw QuorvantaError(kUnreadableList);
  return *member;
}

std::string requiredString(const nlohmann::json& object, const char* key) {
  const auto& member = requiredMember(object, key);
  if (!member.is_string()) throw QuorvantaError(kUnreadableList);
  return member.get<std::string>();
}

std::vector<TrustedDevice> decode(const Bytes& stored) {
  const auto value = nlohmann::json::parse(stored.begin(), stored.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded() || !value.is_array()) throw QuorvantaError(kUnreadableList);
  std::vector<TrustedDevice> devices;
  devices.reserve(value.size());
  for (const auto& entry : value) {
    if (!entry.is_object()) throw QuorvantaError(kUnreadableList);
    TrustedDevice device;
    device.id = requiredString(entry, "id");
    // Names stored before they were cleaned at pairing are cleaned on the way in.
    device.name = cleanDisplayName(requiredString(entry, "name"), DeviceRegistry::kMaxNameBytes);
    device.tokenHash = requiredString(entry, "tokenHash");
    const auto& pairedAt = requiredMember(entry, "pairedAt");
    if (!pairedAt.is_number()) throw QuorvantaError(kUnreadableList);
    device.pairedAt = pairedAt.get<double>();
    // The parser turns an out-of-range number such as 1e400 into infinity, which would be
    // written back as null and make the next load fail.
    if (!std::isfinite(device.pairedAt)) throw QuorvantaError(kUnreadableList);
    devices.push_back(std::move(device));
  }
  return devices;
}

}  // namespace

double secondsSince2001(std::chrono::system_clock::time_point time) {
  const auto since2001 = time.time_since_epoch() - std::chrono::seconds(978307200);
  return std::chrono::duration<double>(since2001).count();
}

double wallSecondsSince2001() {
  return secondsSince2001(std::chrono::system_clock::now());
}

DeviceRegistry DeviceRegistry::create(const std::string& hostID, SecureStore& store,
                                      bool allowCredentialInteraction, Clock wallClock) {
  std::string account = kAccountPrefix + hostID;
  std::vector<TrustedDevice> devices;
  if (const auto stored = store.read(account, allowCredentialInteraction)) devices = decode(*stored);
  return DeviceRegistry(std::move(account), store, std::move(wallClock), std::move(devices));
}

void DeviceRegistry::add(const std::string& id, const std::string& name, std::string_view token) {
  const auto matches = sameID(id);
  const bool listed = std::any_of(devices_.begin(), devices_.end(), matches);
  if (devices_.size() >= kMaxDevices && !listed) throw QuorvantaError(kDeviceLimit);

  std::vector<TrustedDevice> next;
  next.reserve(devices_.size() + 1);
  std::copy_if(devices_.begin(), devices_.end(), std::back_inserter(next),
               [&](const TrustedDevice& device) { return !matches(device); });
  // Control and direction characters never reach a terminal or the panel, and a single
  // "character" of thousands of combining marks cannot blow up the messages that name it.
  next.push_back({id, cleanDisplayName(prefixGraphemes(name, kMaxNameCharacters), kMaxNameBytes), hash(token),
                  wallClock_()});
  replaceWith(std::move(next));
}

bool DeviceRegistry::accepts(std::string_view id, std::string_view token) const {
  const auto device = std::find_if(devices_.begin(), devices_.end(), sameID(id));
  if (device == devices_.end()) return false;
  return constantTimeEqual(device->tokenHash, hash(token));
}

void DeviceRegistry::revoke(std::string_view id) {
  const auto matches = sameID(id);
  std::vector<TrustedDevice> next;
  next.reserve(devices_.size());
  std::copy_if(devices_.begin(), devices_.end(), std::back_inserter(next),
               [&](const TrustedDevice& device) { return !matches(device); });
  replaceWith(std::move(next));
}

void DeviceRegistry::replaceWith(std::vector<TrustedDevice> devices) {
  const std::string encoded = encode(devices);
  store_->write(asBytes(encoded), account_);
  devices_ = std::move(devices);
}

}  // namespace quorvanta
