// Pairing links as a client reads them (scanned from a QR code or pasted), and the device names
// and terminal escaping applied to what devices send. A link that parses must come back from its
// own link text unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/protocol/pairing_invitation.h"
#include "core/protocol/utf8.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void checkLink(std::string_view text) {
  const auto invitation = quorvanta::parsePairingLink(text);
  if (!invitation) return;
  const auto link = invitation->url();
  if (!link) return;
  const auto again = quorvanta::parsePairingLink(*link);
  require(again.has_value());
  require(*again == *invitation);
}

void checkNames(std::string_view text) {
  const std::string name = quorvanta::cleanDisplayName(text, 256);
  require(name.size() <= 256);
  require(quorvanta::isValidUtf8(name));
  require(quorvanta::cleanDisplayName(name, 256) == name);
  // Nothing that steers a terminal survives escaping.
  const std::string escaped = quorvanta::escapeForTerminal(text);
  require(quorvanta::isValidUtf8(escaped));
  for (const char c : escaped)
    require(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
  require(escaped.find('\x7f') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkLink(text);
  checkNames(text);
  return 0;
}
