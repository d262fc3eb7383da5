#include "core/host/computer_name.h"

#include <unistd.h>

#include <climits>

#include "core/protocol/utf8.h"
#include "core/util/paths.h"
#include "core/util/text.h"

namespace quorvanta {
namespace {

constexpr std::size_t kMaxFileBytes = std::size_t{64} * 1024;

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

bool usableName(std::string_view name) {
  return isValidUtf8(name) && !trimmed(name).empty() && name.find('\0') == std::string_view::npos;
}

std::optional<std::string> readText(const std::filesystem::path& path) {
  try {
    return readFile(path, kMaxFileBytes);
  } catch (...) {
    return std::nullopt;
  }
}

std::string systemHostName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) == 0 && buffer[0] != '\0') return buffer;
  if (auto text = readText("/etc/hostname")) {
    // The first line that is not a comment.
    std::string_view rest = *text;
    while (!rest.empty()) {
      const auto end = rest.find('\n');
      const std::string_view line = trimmed(rest.substr(0, end));
      if (!line.empty() && line.front() != '#') return std::string(line);
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }
  return {};
}

}  // namespace

std::optional<std::string> prettyHostNameFromMachineInfo(std::string_view text) {
  std::optional<std::string> result;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    // Start of a line.
    while (i < n && (isBlank(text[i]) || text[i] == '\r'))
      ++i;
    if (i >= n) break;
    if (text[i] == '\n') {
      ++i;
      continue;
    }
    if (text[i] == '#' || text[i] == ';') {
      while (i < n && text[i] != '\n')
        ++i;
      continue;
    }
    const std::size_t keyStart = i;
    while (i < n && text[i] != '=' && text[i] != '\n')
      ++i;
    if (i >= n || text[i] == '\n') continue;  // no "=": not an assignment
    const std::string_view key = trimmed(text.substr(keyStart, i - keyStart));
    ++i;  // "="
    while (i < n && isBlank(text[i]))
      ++i;

    std::string value;
    std::size_t keepUpTo = 0;  // value length up to the last character that is not unquoted space
    bool broken = false;
    while (i < n && text[i] != '\n') {
      const char c = text[i];
      if (c == '"' || c == '\'') {
        ++i;
        bool closed = false;
        while (i < n) {
          if (text[i] == c) {
            closed = true;
            ++i;
            break;
          }
          if (c == '"' && text[i] == '\\' && i + 1 < n) {
            if (text[i + 1] != '\n') value.push_back(text[i + 1]);
            i += 2;
            continue;
          }
          value.push_back(text[i++]);
        }
        if (!closed) broken = true;
        keepUpTo = value.size();
      } else if (c == '\\') {
        if (i + 1 < n && text[i + 1] != '\n') {
          value.push_back(text[i + 1]);
          keepUpTo = value.size();
        }
        i += 2;
      } else {
        value.push_back(c);
        if (!isBlank(c) && c != '\r') keepUpTo = value.size();
        ++i;
      }
    }
    value.resize(keepUpTo);
    if (key == "PRETTY_HOSTNAME") {
      if (broken) {
        result.reset();
      } else {
        result = std::move(value);
      }
    }
  }
  return result;
}

std::string chooseComputerName(const std::optional<std::string>& machineInfoText, std::string_view hostName) {
  if (machineInfoText) {
    if (auto pretty = prettyHostNameFromMachineInfo(*machineInfoText); pretty && usableName(*pretty))
      return *pretty;
  }
  if (usableName(hostName) && hostName != "(none)") return std::string(hostName);
  return std::string(kUnnamedComputerName);
}

std::string computerName(const std::filesystem::path& machineInfo) {
  try {
    return chooseComputerName(readText(machineInfo), systemHostName());
  } catch (...) {
    return std::string(kUnnamedComputerName);
  }
}

}  // namespace quorvanta
