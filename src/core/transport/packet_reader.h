#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/protocol/control_message.h"

namespace quorvanta {

// The two kinds of packet on the wire; the value is the kind byte.
enum class PacketKind : std::uint8_t { control = 1, video = 2 };

inline constexpr std::size_t kPacketHeaderSize = 5;
// Largest payload accepted on receipt, any kind.
inline constexpr std::uint32_t kMaxPacket = 8'388'608;
// Largest control payload accepted on receipt.
inline constexpr std::uint32_t kMaxControlPayload = 65'536;
// Largest control JSON that is sent.
inline constexpr std::size_t kMaxControlJson = 65'535;
// Largest encoded frame that is sent; the flag byte makes the payload one byte longer.
inline constexpr std::size_t kMaxVideoFrame = 8'388'606;
inline constexpr int kMaxControlInFlight = 128;
inline constexpr int kMaxControlPerWindow = 1'000;
inline constexpr double kControlRateWindow = 1.0;

// Fixed close reasons of the protocol.
namespace close_reason {
inline constexpr const char* kInvalidHeader = "Invalid packet header.";
inline constexpr const char* kInvalidSize = "Invalid packet size.";
inline constexpr const char* kVideoTooLarge = "A video frame exceeded the packet limit.";
inline constexpr const char* kControlQueue = "Control queue exceeded its limit.";
inline constexpr const char* kControlRate = "Control message rate exceeded its limit.";
inline constexpr const char* kUnsupported = "Unsupported protocol message.";
}  // namespace close_reason

struct PacketHeader {
  PacketKind kind = PacketKind::control;
  std::uint32_t length = 0;
};

// The 5-byte header of a packet whose payload is `length` bytes.
std::array<std::uint8_t, kPacketHeaderSize> encodePacketHeader(PacketKind kind, std::uint32_t length);

// The receive-side rules of the framing, apart from any socket: header checks, the control rate
// window, decoding and the version rule. The connection feeds it complete headers and bodies.
class PacketReader {
 public:
  explicit PacketReader(double windowStart) : rateWindow_(windowStart) {}

  struct HeaderVerdict {
    std::optional<PacketHeader> header;  // read a body of header->length bytes
    const char* closeReason = nullptr;   // or close with this reason
  };
  // `acceptsVideo` is false when the owner takes no video packets.
  static HeaderVerdict checkHeader(std::span<const std::uint8_t, kPacketHeaderSize> bytes, bool acceptsVideo);

  struct ControlVerdict {
    enum class Action { deliver, acknowledge, ignore, close };
    Action action = Action::ignore;
    ControlMessage message;               // for deliver
    std::int64_t acknowledgedFrames = 0;  // for acknowledge
    const char* closeReason = nullptr;    // for close
  };
  // One complete control payload that arrived at `now`. Every payload counts against the rate
  // window, including ones that fail to decode and acknowledgements.
  ControlVerdict acceptControl(std::span<const std::uint8_t> payload, double now);

 private:
  double rateWindow_;
  int controlReceived_ = 0;
};

}  // namespace quorvanta
