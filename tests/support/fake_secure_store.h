#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/trust/secure_store.h"

namespace quorvanta::test {

// An in-memory SecureStore that a test can make fail.
class FakeSecureStore : public SecureStore {
 public:
  std::map<std::string, Bytes> items;
  // Every read fails with this status.
  std::optional<long> readFailure;
  // Reads without interaction fail with this status, as a locked keyring does.
  std::optional<long> lockedStatus;
  // Every write fails with this status and stores nothing.
  std::optional<long> writeFailure;
  int writes = 0;

  std::optional<Bytes> read(const std::string& account, bool allowInteraction) override {
    if (readFailure) throw storageError(*readFailure);
    if (lockedStatus && !allowInteraction) throw storageError(*lockedStatus);
    const auto item = items.find(account);
    if (item == items.end()) return std::nullopt;
    return item->second;
  }

  void write(std::span<const std::uint8_t> data, const std::string& account) override {
    if (writeFailure) throw storageError(*writeFailure);
    ++writes;
    items[account] = Bytes(data.begin(), data.end());
  }

  Kind kind() const override { return Kind::file; }

  void put(const std::string& account, std::string_view text) {
    items[account] = Bytes(text.begin(), text.end());
  }
  std::optional<std::string> text(const std::string& account) const {
    const auto item = items.find(account);
    if (item == items.end()) return std::nullopt;
    return std::string(item->second.begin(), item->second.end());
  }
};

}  // namespace quorvanta::test
