#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvanta {

// The longest prefix of `text` made of whole characters (extended grapheme clusters) whose
// UTF-8 encoding takes at most `limit` bytes. A character is never split; the result may be
// empty. Bytes that are not valid UTF-8 count as one character each.
std::string prefixUtf8Bytes(std::string_view text, std::size_t limit);

// True when `text` is well-formed UTF-8.
bool isValidUtf8(std::string_view text);

// The number of extended grapheme clusters in `text`.
std::size_t graphemeCount(std::string_view text);

// The first `count` extended grapheme clusters of `text`.
std::string prefixGraphemes(std::string_view text, std::size_t count);

}  // namespace quorvanta
