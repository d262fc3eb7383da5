#include "core/host/login_item.h"

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <system_error>

#include "core/protocol/base64.h"
#include "core/protocol/utf8.h"
#include "core/util/paths.h"
#include "core/util/quorvanta_error.h"
#include "core/util/text.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxEntryBytes = std::size_t{64} * 1024;

// The program path as one argument of an Exec line: in double quotes, with the characters that
// have a meaning there escaped by a backslash and "%" doubled (field codes); then, because Exec is a
// string value, every backslash doubled once more.
std::string execArgument(std::string_view path) {
  std::string quoted = "\"";
  for (const char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted.push_back('\\');
    if (c == '%') quoted.push_back('%');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  std::string value;
  for (const char c : quoted) {
    if (c == '\\') value.push_back('\\');
    value.push_back(c);
  }
  return value;
}

// Why the program at `executable` must not be started at every login, or nothing. A file that
// was deleted (or replaced, which /proc shows as " (deleted)") is gone; a directory on its path
// that other users can write to lets them swap in a program of their own.
std::optional<std::string> unsafeExecutable(const fs::path& executable) {
  const std::string refused = "Quorvanta Host could not be set to open at login: ";
  struct stat status {};
  if (::stat(executable.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
    return refused + "its program file was removed or replaced since it started.";
  const auto othersMayChange = [](const struct stat& info) {
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (info.st_uid != 0 && info.st_uid != ::geteuid());
  };
  if (othersMayChange(status))
    return refused + "its program file " + executable.string() + " can be changed by other users.";
  for (fs::path directory = executable.parent_path();; directory = directory.parent_path()) {
    if (::stat(directory.c_str(), &status) != 0 || othersMayChange(status)) {
      return refused + "it runs from " + directory.string() +
             ", which other users can change. Install it where only you or the system can write.";
    }
    if (directory == directory.root_path()) break;
  }
  return std::nullopt;
}

}  // namespace

LoginItem::LoginItem(fs::path executable, fs::path autostartDirectory)
    : executable_(std::move(executable)), directory_(std::move(autostartDirectory)) {}

fs::path LoginItem::defaultAutostartDirectory() {
  return configDirectory().parent_path() / "autostart";
}

std::string LoginItem::entryText(const fs::path& executable) {
  const std::string path = executable.string();
  if (!executable.is_absolute() || !isValidUtf8(path)) return {};
  for (const char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return {};
  }
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Quorvanta Host\n"
         "Exec=" +
         execArgument(path) +
         "\n"
         "X-GNOME-Autostart-enabled=true\n"
         "NoDisplay=false\n";
}

bool LoginItem::isEnabled() const {
  std::string text;
  try {
    const fs::path entry = entryPath();
    if (!fs::is_regular_file(entry)) return false;
    text = readFile(entry, kMaxEntryBytes);
  } catch (...) {
    return false;
  }
  bool inMainGroup = false;
  std::string_view rest = text;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const std::string_view line = trimmed(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inMainGroup = line == "[Desktop Entry]";
      continue;
    }
    if (!inMainGroup) continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = trimmed(line.substr(0, equals));
    const std::string_view value = trimmed(line.substr(equals + 1));
    if (key == "Hidden" && value == "true") return false;
    if (key == "X-GNOME-Autostart-enabled" && value == "false") return false;
  }
  return true;
}

void LoginItem::setEnabled(bool enabled) {
  if (enabled) {
    const std::string text = entryText(executable_);
    if (text.empty()) throw QuorvantaError("Quorvanta Host could not be set to open at login.");
    if (const auto problem = unsafeExecutable(executable_)) throw QuorvantaError(*problem);
    try {
      createDirectories(directory_, fs::perms::owner_all);
      writeFileAtomically(
          entryPath(), asBytes(text),
          fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    } catch (const std::exception&) {
      throw QuorvantaError("Quorvanta Host could not be set to open at login.");
    }
    return;
  }
  std::error_code error;
  fs::remove(entryPath(), error);
  if (error) throw QuorvantaError("Quorvanta Host could not stop opening at login.");
}

}  // namespace quorvanta
