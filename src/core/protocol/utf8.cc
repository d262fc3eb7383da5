#include "core/protocol/utf8.h"

#include <utf8proc.h>

#include <cstdint>

namespace quorvanta {
namespace {

// Walks `text` one extended grapheme cluster at a time. `visit(begin, end)` returns false to
// stop. An invalid byte is treated as a character of its own.
template <typename Visit>
void forEachGrapheme(std::string_view text, Visit visit) {
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  const auto size = static_cast<utf8proc_ssize_t>(text.size());
  utf8proc_ssize_t position = 0;
  utf8proc_ssize_t clusterStart = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  while (position < size) {
    utf8proc_int32_t codepoint = -1;
    utf8proc_ssize_t length = utf8proc_iterate(data + position, size - position, &codepoint);
    const bool valid = length > 0;
    if (!valid) length = 1;
    if (position > clusterStart) {
      const bool boundary =
          !valid || previous < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state);
      if (boundary) {
        if (!visit(static_cast<std::size_t>(clusterStart), static_cast<std::size_t>(position))) return;
        clusterStart = position;
      }
    }
    if (!valid) state = 0;
    previous = valid ? codepoint : -1;
    position += length;
  }
  if (position > clusterStart)
    visit(static_cast<std::size_t>(clusterStart), static_cast<std::size_t>(position));
}

}  // namespace

std::string prefixUtf8Bytes(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t end = 0;
  forEachGrapheme(text, [&](std::size_t, std::size_t clusterEnd) {
    if (clusterEnd > limit) return false;
    end = clusterEnd;
    return true;
  });
  return std::string(text.substr(0, end));
}

bool isValidUtf8(std::string_view text) {
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  const auto size = static_cast<utf8proc_ssize_t>(text.size());
  utf8proc_ssize_t position = 0;
  while (position < size) {
    utf8proc_int32_t codepoint = -1;
    const utf8proc_ssize_t length = utf8proc_iterate(data + position, size - position, &codepoint);
    if (length <= 0) return false;
    position += length;
  }
  return true;
}

std::size_t graphemeCount(std::string_view text) {
  std::size_t count = 0;
  forEachGrapheme(text, [&](std::size_t, std::size_t) {
    ++count;
    return true;
  });
  return count;
}

std::string prefixGraphemes(std::string_view text, std::size_t count) {
  std::size_t seen = 0;
  std::size_t end = 0;
  forEachGrapheme(text, [&](std::size_t, std::size_t clusterEnd) {
    if (seen == count) return false;
    ++seen;
    end = clusterEnd;
    return true;
  });
  return std::string(text.substr(0, end));
}

bool isControlOrBidiCharacter(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Calls `visit(codepoint, bytes)` for each code point; an invalid byte comes as -1.
template <typename Visit>
void forEachCodepoint(std::string_view text, Visit visit) {
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  const auto size = static_cast<utf8proc_ssize_t>(text.size());
  utf8proc_ssize_t position = 0;
  while (position < size) {
    utf8proc_int32_t codepoint = -1;
    utf8proc_ssize_t length = utf8proc_iterate(data + position, size - position, &codepoint);
    if (length <= 0) {
      length = 1;
      codepoint = -1;
    }
    if (!visit(codepoint, text.substr(static_cast<std::size_t>(position), static_cast<std::size_t>(length))))
      return;
    position += length;
  }
}

}  // namespace

std::string cleanDisplayName(std::string_view name, std::size_t maxBytes) {
  std::string result;
  forEachCodepoint(name, [&](utf8proc_int32_t codepoint, std::string_view bytes) {
    const bool replace = codepoint < 0 || isControlOrBidiCharacter(static_cast<char32_t>(codepoint));
    const std::string_view piece = replace ? kReplacement : bytes;
    if (result.size() + piece.size() > maxBytes) return false;
    result += piece;
    return true;
  });
  return result;
}

std::string escapeForTerminal(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string result;
  result.reserve(text.size());
  forEachCodepoint(text, [&](utf8proc_int32_t codepoint, std::string_view bytes) {
    if (codepoint == '\n' ||
        (codepoint >= 0 && !isControlOrBidiCharacter(static_cast<char32_t>(codepoint)))) {
      result += bytes;
      return true;
    }
    const auto value = static_cast<std::uint32_t>(codepoint < 0 ? 0xFFFD : codepoint);
    result += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
      result.push_back(kHex[(value >> shift) & 0xF]);
    return true;
  });
  return result;
}

}  // namespace quorvanta
