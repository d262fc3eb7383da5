#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol/base64.h"

namespace quorvanta {

// The protocol version every control message carries.
inline constexpr std::int64_t kProtocolVersion = 1;

// Feature strings exchanged in "features".
inline constexpr const char* kFeatureFrameAck = "frameAck";
inline constexpr const char* kFeatureWarmResume = "warmResume";

// One display the host can stream. Compared field by field.
struct RemoteDisplay {
  std::uint32_t id = 0;
  std::string name;
  std::int64_t width = 0;
  std::int64_t height = 0;

  bool operator==(const RemoteDisplay&) const = default;
};

// The one record of every control message. Only `type` is required; each message type uses
// the fields it needs and leaves the others absent. Absent fields are omitted from the JSON.
struct ControlMessage {
  std::string type;
  std::optional<std::int64_t> version;
  std::optional<std::string> hostID;
  std::optional<std::string> name;
  std::optional<std::string> deviceID;
  std::optional<std::string> deviceName;
  std::optional<std::string> secret;
  std::optional<std::string> token;
  std::optional<std::string> message;
  std::optional<std::vector<RemoteDisplay>> displays;
  std::optional<std::uint32_t> displayID;
  std::optional<bool> controlAllowed;
  std::optional<std::int64_t> fps;
  std::optional<std::int64_t> maxWidth;
  std::optional<std::int64_t> bitrate;
  std::optional<std::int64_t> width;
  std::optional<std::int64_t> height;
  std::optional<Bytes> sps;
  std::optional<Bytes> pps;
  std::optional<std::string> event;
  std::optional<double> x;
  std::optional<double> y;
  std::optional<std::int64_t> button;
  std::optional<std::uint16_t> keyCode;
  std::optional<bool> keyDown;
  std::optional<std::uint64_t> modifiers;
  std::optional<std::string> text;
  std::optional<std::vector<std::string>> features;
  std::optional<std::int64_t> frames;
  std::optional<bool> restart;
  std::optional<bool> takeover;

  bool operator==(const ControlMessage&) const = default;

  // A message of `type` with version 1 and every other field absent.
  static ControlMessage make(std::string type);
};

// Compact JSON text of the message, or nothing when it cannot be encoded (a string that is
// not UTF-8, or a non-finite x or y).
std::optional<std::string> encodeControlMessage(const ControlMessage& message);

// Strict decoding: null reads as absent, unknown keys are ignored, and a value that does not
// fit its field (wrong type, a fraction for an integer, out of range, bad Base64) makes the
// whole message undecodable.
std::optional<ControlMessage> decodeControlMessage(std::string_view json);

std::optional<std::string> encodeRemoteDisplay(const RemoteDisplay& display);
std::optional<RemoteDisplay> decodeRemoteDisplay(std::string_view json);

}  // namespace quorvanta
