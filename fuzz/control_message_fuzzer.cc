// Decoders of untrusted text: control-message JSON, display records, both Base64 alphabets, and
// the UTF-8 prefix used to shorten names. Everything that decodes must re-encode to text that
// decodes to the same value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/protocol/base64.h"
#include "core/protocol/control_message.h"
#include "core/protocol/utf8.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void checkControlMessage(std::string_view text) {
  const auto message = quorvanta::decodeControlMessage(text);
  if (!message) return;
  // Decoded strings come from parsed JSON, so they are UTF-8 and the message encodes.
  const auto json = quorvanta::encodeControlMessage(*message);
  require(json.has_value());
  const auto again = quorvanta::decodeControlMessage(*json);
  require(again.has_value());
  require(*again == *message);
  // Encoding is deterministic: the second pass gives the same text.
  require(quorvanta::encodeControlMessage(*again) == json);
}

void checkRemoteDisplay(std::string_view text) {
  const auto display = quorvanta::decodeRemoteDisplay(text);
  if (!display) return;
  const auto json = quorvanta::encodeRemoteDisplay(*display);
  require(json.has_value());
  const auto again = quorvanta::decodeRemoteDisplay(*json);
  require(again.has_value());
  require(*again == *display);
}

void checkBase64(std::string_view text) {
  if (const auto bytes = quorvanta::base64Decode(text)) {
    const std::string encoded = quorvanta::base64Encode(*bytes);
    require(encoded.size() % 4 == 0);
    require(encoded.size() == text.size());
    const auto again = quorvanta::base64Decode(encoded);
    require(again.has_value());
    require(*again == *bytes);
  }
  if (const auto bytes = quorvanta::base64UrlDecode(text)) {
    const std::string encoded = quorvanta::base64UrlEncode(*bytes);
    require(encoded.find('=') == std::string::npos);
    require(encoded.size() <= text.size());
    const auto again = quorvanta::base64UrlDecode(encoded);
    require(again.has_value());
    require(*again == *bytes);
  }
}

// The first byte picks the limit; the rest is the text.
void checkUtf8Prefix(std::string_view input) {
  if (input.empty()) return;
  const std::size_t limit = static_cast<unsigned char>(input[0]);
  const std::string_view text = input.substr(1);
  const std::string prefix = quorvanta::prefixUtf8Bytes(text, limit);
  require(prefix.size() <= limit);
  require(text.substr(0, prefix.size()) == prefix);
  if (text.size() <= limit) require(prefix.size() == text.size());
  // Whole characters only: a prefix of well-formed text is well-formed.
  if (quorvanta::isValidUtf8(text)) require(quorvanta::isValidUtf8(prefix));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkControlMessage(text);
  checkRemoteDisplay(text);
  checkBase64(text);
  checkUtf8Prefix(text);
  return 0;
}
