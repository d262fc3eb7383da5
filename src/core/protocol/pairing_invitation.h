#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvanta {

// The version every pairing invitation carries.
inline constexpr std::int64_t kPairingInvitationVersion = 1;
// The port the host listens on, and so the port an invitation names.
inline constexpr std::uint16_t kHostPort = 48725;
// The text form of every pairing link up to its data: scheme "quorvanta", host "pair", no path,
// one query item "data".
inline constexpr std::string_view kPairingLinkPrefix = "quorvanta://pair?data=";

// Everything a new device needs to find this host, recognise its certificate and prove that the
// host's user invited it. Compared field by field.
struct PairingInvitation {
  std::int64_t version = kPairingInvitationVersion;
  std::string hostID;   // the host ID, a UUID in text form
  std::string name;     // the computer's name
  std::string address;  // the host's Tailscale IPv4 address, dotted decimal
  std::uint16_t port = kHostPort;
  std::string certificateHash;  // SHA-256 of the certificate's DER bytes, 64 lowercase hex digits
  std::string secret;           // one-use random token
  double expiresAt = 0;         // seconds, with fraction, since 2001-01-01 00:00:00 UTC

  bool operator==(const PairingInvitation&) const = default;

  // The link form: kPairingLinkPrefix followed by the JSON in URL-safe Base64 without padding.
  // Nothing when the invitation cannot be encoded as JSON.
  [[nodiscard]] std::optional<std::string> url() const;
};

// Compact JSON object with all eight keys, or nothing when a string is not valid UTF-8 or
// `expiresAt` is not finite.
std::optional<std::string> encodePairingInvitation(const PairingInvitation& invitation);

// Every key is required; a missing key, a null or a value of the wrong type (a fraction or an
// out-of-range number for `version` or `port` included) makes the invitation undecodable.
// Unknown keys are ignored.
std::optional<PairingInvitation> decodePairingInvitation(std::string_view json);

// Reads a pairing link as a client does: the "data" query item of a quorvanta://pair link
// (scheme and host in any letter case, no path), decoded from URL-safe Base64 with or without
// padding, then as JSON. White space around the whole link is ignored. Nothing for any other
// text.
std::optional<PairingInvitation> parsePairingLink(std::string_view link);

}  // namespace quorvanta
