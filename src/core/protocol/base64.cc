#include "core/protocol/base64.h"

#include <array>

namespace quorvanta {
namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<std::int8_t, 256> makeTable(const char* alphabet) {
  std::array<std::int8_t, 256> table{};
  for (auto& v : table)
    v = -1;
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}

constexpr auto kStandardTable = makeTable(kStandard);
constexpr auto kUrlSafeTable = makeTable(kUrlSafe);

std::string encode(std::span<const std::uint8_t> bytes, const char* alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(alphabet[(n >> 18) & 63]);
    out.push_back(alphabet[(n >> 12) & 63]);
    out.push_back(alphabet[(n >> 6) & 63]);
    out.push_back(alphabet[n & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t n = std::uint32_t{bytes[i]} << 16;
    out.push_back(alphabet[(n >> 18) & 63]);
    out.push_back(alphabet[(n >> 12) & 63]);
    if (pad) out.append("==");
  } else if (rest == 2) {
    const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
    out.push_back(alphabet[(n >> 18) & 63]);
    out.push_back(alphabet[(n >> 12) & 63]);
    out.push_back(alphabet[(n >> 6) & 63]);
    if (pad) out.push_back('=');
  }
  return out;
}

// Decodes unpadded groups; `text` holds no '='. A trailing group of one character is invalid.
std::optional<Bytes> decodeUnpadded(std::string_view text, const std::array<std::int8_t, 256>& table) {
  if (text.size() % 4 == 1) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t accumulator = 0;
  int bits = 0;
  for (const char c : text) {
    const std::int8_t v = table[static_cast<unsigned char>(c)];
    if (v < 0) return std::nullopt;
    accumulator = (accumulator << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((accumulator >> bits) & 0xFF));
    }
  }
  return out;
}

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) {
  return encode(bytes, kStandard, true);
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
    ++padding;
  return decodeUnpadded(text.substr(0, text.size() - padding), kStandardTable);
}

std::string base64UrlEncode(std::span<const std::uint8_t> bytes) {
  return encode(bytes, kUrlSafe, false);
}

std::optional<Bytes> base64UrlDecode(std::string_view text) {
  if (text.size() % 4 == 0) {
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
      ++padding;
    text = text.substr(0, text.size() - padding);
  }
  return decodeUnpadded(text, kUrlSafeTable);
}

}  // namespace quorvanta
