#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvanta {

using Bytes = std::vector<std::uint8_t>;

// Standard alphabet with padding (RFC 4648, section 4).
std::string base64Encode(std::span<const std::uint8_t> bytes);
// Strict: the standard alphabet, a length that is a multiple of four and correct padding.
// Anything else (whitespace included) gives nothing.
std::optional<Bytes> base64Decode(std::string_view text);

// URL-safe alphabet without padding (RFC 4648, section 5), as used in the pairing link.
std::string base64UrlEncode(std::span<const std::uint8_t> bytes);
// Accepts the URL-safe alphabet with or without padding.
std::optional<Bytes> base64UrlDecode(std::string_view text);

inline std::span<const std::uint8_t> asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace quorvanta
