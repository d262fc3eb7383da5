#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvanta {

// The host's stored switches. Each is a Boolean; one that was never stored reads as false.
inline constexpr std::string_view kHostEnabledKey = "hostEnabled";        // sharing is to be on
inline constexpr std::string_view kControlEnabledKey = "controlEnabled";  // remote control allowed
inline constexpr std::string_view kCurtainEnabledKey = "curtainEnabled";  // dim the local screen

// The settings file, host.conf in the configuration directory (see configDirectory()).
//
// File format: UTF-8 text, one setting per line written as `key=true` or `key=false`, in any
// order. Blank lines and lines starting with "#" are allowed and ignored; white space around a
// key or a value is ignored; when a key appears twice the later line counts. Lines of other keys
// (written by a newer version, say) are kept, in their order, when the file is rewritten;
// comments and blank lines are not. The file is private to the user (0600, directory 0700) and is
// always replaced atomically.
//
// A file that does not follow this format (a line without "=", an empty key, a value other than
// true or false, bytes that are not UTF-8, or more than 64 KiB) reads as if it were absent: every
// switch is false. It is left as it is until the next change replaces it.
//
// The values are read when the object is made (and by reload()); a change is kept in memory and
// written at once. Not thread-safe: one thread owns the object.
class HostSettings {
 public:
  explicit HostSettings(std::filesystem::path file);

  // configDirectory() / "host.conf".
  static std::filesystem::path defaultPath();

  [[nodiscard]] const std::filesystem::path& path() const { return file_; }

  // The stored value of `key`, false when absent.
  [[nodiscard]] bool boolValue(std::string_view key) const;
  // Stores `value` under `key` (letters, digits, ".", "_" and "-"; std::invalid_argument for
  // anything else) and rewrites the file. The value is kept in memory even when the
  // file cannot be written; then QuorvantaError("Quorvanta Host could not save its settings.")
  // is thrown.
  void setBool(std::string_view key, bool value);

  [[nodiscard]] bool hostEnabled() const { return boolValue(kHostEnabledKey); }
  [[nodiscard]] bool controlEnabled() const { return boolValue(kControlEnabledKey); }
  [[nodiscard]] bool curtainEnabled() const { return boolValue(kCurtainEnabledKey); }
  void setHostEnabled(bool value) { setBool(kHostEnabledKey, value); }
  void setControlEnabled(bool value) { setBool(kControlEnabledKey, value); }
  void setCurtainEnabled(bool value) { setBool(kCurtainEnabledKey, value); }

  // Reads the file again, dropping what is in memory.
  void reload();

 private:
  std::filesystem::path file_;
  // Every stored key with its value text ("true", "false" or another key's own text), in file
  // order.
  std::vector<std::pair<std::string, std::string>> entries_;
};

}  // namespace quorvanta
