#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "core/trust/secure_store.h"

namespace quorvanta {

// Credentials kept as files, for machines without a Secret Service (headless hosts). One file per
// account in `credentialsDirectory`; the directory is private to the user (0700) and every file
// is readable by the user only (0600). A write replaces the file atomically: the new value goes
// to a temporary file in the same directory, is flushed to disk and renamed over the old one.
//
// Failures are thrown as storageError(errno). Files are never deleted, like keyring items. The
// values are not encrypted: they are protected by the file permissions of this machine only.
class FileSecureStore final : public SecureStore {
 public:
  explicit FileSecureStore(std::filesystem::path credentialsDirectory);

  std::optional<Bytes> read(const std::string& account, bool allowInteraction) override;
  void write(std::span<const std::uint8_t> data, const std::string& account) override;
  Kind kind() const override { return Kind::file; }

  [[nodiscard]] const std::filesystem::path& directory() const { return directory_; }
  // The file that holds `account`. The account is Base64url-encoded, so no account name can
  // leave the directory or name a temporary file.
  [[nodiscard]] std::filesystem::path fileFor(const std::string& account) const;
  // True when at least one credential is stored here. Never throws.
  [[nodiscard]] bool holdsCredentials() const;

 private:
  void prepareDirectory() const;

  std::filesystem::path directory_;
};

}  // namespace quorvanta
