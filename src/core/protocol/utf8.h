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

// True for characters that steer a terminal or the direction of text: C0 and C1 controls, DEL,
// and the bidirectional marks, embeddings, overrides and isolates.
bool isControlOrBidiCharacter(char32_t c);

// A name from another device, fit to store and show: every character of isControlOrBidiCharacter()
// and every invalid byte becomes U+FFFD, and the result is cut on a code point boundary to at
// most `maxBytes` of UTF-8 (one character may carry any number of combining marks).
std::string cleanDisplayName(std::string_view name, std::size_t maxBytes);

// `text` safe to print on a terminal: every character of isControlOrBidiCharacter() except the
// line feed is written as "\u" and four hexadecimal digits (inside a JSON string, this is the
// same text), and every invalid byte as "\ufffd".
std::string escapeForTerminal(std::string_view text);

}  // namespace quorvanta
