#include "core/host/tailscale.h"

#include <cstdint>
#include <optional>

#include "core/protocol/utf8.h"
#include "core/util/process.h"

namespace quorvanta {
namespace {

// One piece of the dotted form as a number, or nothing.
std::optional<int> decimalPiece(std::string_view piece) {
  if (piece.empty() || piece.size() > 3) return std::nullopt;
  if (piece.size() > 1 && piece.front() == '0') return std::nullopt;
  int value = 0;
  for (const char c : piece) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// White space and line breaks in the Unicode sense (the White_Space property).
bool isUnicodeSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Length of the UTF-8 sequence that starts with `lead` (the text is known to be valid).
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

char32_t decodeAt(std::string_view text, std::size_t at, std::size_t length) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  switch (length) {
    case 1:
      return byte(0);
    case 2:
      return (char32_t{byte(0)} & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3:
      return (char32_t{byte(0)} & 0x0F) << 12 | (char32_t{byte(1)} & 0x3F) << 6 | (byte(2) & 0x3F);
    default:
      return (char32_t{byte(0)} & 0x07) << 18 | (char32_t{byte(1)} & 0x3F) << 12 |
             (char32_t{byte(2)} & 0x3F) << 6 | (byte(3) & 0x3F);
  }
}

// Trims Unicode white space at both ends of valid UTF-8 text.
std::string_view trimUnicodeSpace(std::string_view text) {
  // From the front.
  while (!text.empty()) {
    const std::size_t length = sequenceLength(static_cast<unsigned char>(text.front()));
    if (!isUnicodeSpace(decodeAt(text, 0, length))) break;
    text.remove_prefix(length);
  }
  // From the back: step over continuation bytes to the start of the last character.
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
      --start;
    if (!isUnicodeSpace(decodeAt(text, start, text.size() - start))) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

}  // namespace

bool isTailscaleAddress(std::string_view text) {
  int numbers[4];
  std::size_t count = 0;
  while (true) {
    const auto dot = text.find('.');
    if (count == 4) return false;
    const auto number = decimalPiece(text.substr(0, dot));
    if (!number) return false;
    numbers[count++] = *number;
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  return count == 4 && numbers[0] == 100 && numbers[1] >= 64 && numbers[1] <= 127 && numbers[2] <= 255 &&
         numbers[3] <= 255;
}

std::string tailscaleAddressFromOutput(std::string_view output) {
  if (!isValidUtf8(output)) return {};
  const std::string_view trimmed = trimUnicodeSpace(output);
  return isTailscaleAddress(trimmed) ? std::string(trimmed) : std::string();
}

std::string lookupTailscaleAddress(const std::string& program, double timeLimit) {
  try {
    ProcessOptions options;
    options.timeLimit = timeLimit;
    options.outputLimit = 4096;  // one address and a line end
    options.standardError = ProcessOptions::StandardError::discard;
    options.environment = {{"TAILSCALE_BE_CLI", "1"}};
    options.searchPath = true;
    const ProcessResult result = runProcess(program, {"ip", "-4"}, options);
    return tailscaleAddressFromOutput(result.output);
  } catch (...) {
    // A program that cannot be started, or a failed pipe, means no address.
    return {};
  }
}

}  // namespace quorvanta
