#include "core/host/host_settings.h"

#include <optional>
#include <stdexcept>
#include <system_error>

#include "core/protocol/base64.h"
#include "core/protocol/utf8.h"
#include "core/util/paths.h"
#include "core/util/quorvanta_error.h"
#include "core/util/text.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxFileBytes = std::size_t{64} * 1024;

bool isKnownKey(std::string_view key) {
  return key == kHostEnabledKey || key == kControlEnabledKey || key == kCurtainEnabledKey;
}

// The entries of a well-formed file, or nothing when the text does not follow the format.
std::optional<std::vector<std::pair<std::string, std::string>>> parse(std::string_view text) {
  if (!isValidUtf8(text) || text.find('\0') != std::string_view::npos) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> entries;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = trimmed(line.substr(0, equals));
    const std::string_view value = trimmed(line.substr(equals + 1));
    if (key.empty()) return std::nullopt;
    if (isKnownKey(key) && value != "true" && value != "false") return std::nullopt;
    bool replaced = false;
    for (auto& entry : entries) {
      if (entry.first == key) {
        entry.second = std::string(value);
        replaced = true;
      }
    }
    if (!replaced) entries.emplace_back(std::string(key), std::string(value));
  }
  return entries;
}

// A key that reads back as itself: letters, digits, ".", "_" and "-".
bool isStorableKey(std::string_view key) {
  if (key.empty()) return false;
  for (const char c : key) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                         c == '.' || c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace

HostSettings::HostSettings(fs::path file) : file_(std::move(file)) {
  reload();
}

fs::path HostSettings::defaultPath() {
  return configDirectory() / "host.conf";
}

void HostSettings::reload() {
  entries_.clear();
  std::error_code error;
  if (!fs::exists(file_, error)) return;
  try {
    if (auto entries = parse(readFile(file_, kMaxFileBytes))) entries_ = std::move(*entries);
  } catch (const fs::filesystem_error&) {
    // Unreadable or too large: every switch reads as false.
  }
}

bool HostSettings::boolValue(std::string_view key) const {
  for (const auto& [name, value] : entries_) {
    if (name == key) return value == "true";
  }
  return false;
}

void HostSettings::setBool(std::string_view key, bool value) {
  if (!isStorableKey(key)) throw std::invalid_argument("setting keys are letters, digits, '.', '_' and '-'");
  const std::string text = value ? "true" : "false";
  bool found = false;
  for (auto& entry : entries_) {
    if (entry.first == key) {
      entry.second = text;
      found = true;
    }
  }
  if (!found) entries_.emplace_back(std::string(key), text);

  std::string contents;
  for (const auto& [name, stored] : entries_) {
    contents.append(name).append("=").append(stored).append("\n");
  }
  try {
    createDirectories(file_.parent_path(), fs::perms::owner_all);
    writeFileAtomically(file_, asBytes(contents), fs::perms::owner_read | fs::perms::owner_write);
  } catch (const fs::filesystem_error&) {
    throw QuorvantaError("Quorvanta Host could not save its settings.");
  }
}

}  // namespace quorvanta
