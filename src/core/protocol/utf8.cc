#include "core/protocol/utf8.h"

#include <utf8proc.h>

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

}  // namespace quorvanta
