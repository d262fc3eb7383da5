#include "core/transport/packet_reader.h"

#include <string_view>

namespace quorvanta {

std::array<std::uint8_t, kPacketHeaderSize> encodePacketHeader(PacketKind kind, std::uint32_t length) {
  return {static_cast<std::uint8_t>(kind), static_cast<std::uint8_t>(length >> 24),
          static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(length)};
}

PacketReader::HeaderVerdict PacketReader::checkHeader(std::span<const std::uint8_t, kPacketHeaderSize> bytes,
                                                      bool acceptsVideo) {
  const std::uint8_t kindByte = bytes[0];
  if (kindByte != static_cast<std::uint8_t>(PacketKind::control) &&
      kindByte != static_cast<std::uint8_t>(PacketKind::video)) {
    return {std::nullopt, close_reason::kInvalidHeader};
  }
  const auto kind = static_cast<PacketKind>(kindByte);
  const std::uint32_t length = (std::uint32_t{bytes[1]} << 24) | (std::uint32_t{bytes[2]} << 16) |
                               (std::uint32_t{bytes[3]} << 8) | std::uint32_t{bytes[4]};
  const bool badSize = length == 0 || length > kMaxPacket ||
                       (kind == PacketKind::control && length > kMaxControlPayload) ||
                       (kind == PacketKind::video && !acceptsVideo);
  if (badSize) return {std::nullopt, close_reason::kInvalidSize};
  return {PacketHeader{kind, length}, nullptr};
}

PacketReader::ControlVerdict PacketReader::acceptControl(std::span<const std::uint8_t> payload, double now) {
  ControlVerdict verdict;
  if (now - rateWindow_ >= kControlRateWindow) {
    rateWindow_ = now;
    controlReceived_ = 1;
  } else {
    ++controlReceived_;
  }
  if (controlReceived_ > kMaxControlPerWindow) {
    verdict.action = ControlVerdict::Action::close;
    verdict.closeReason = close_reason::kControlRate;
    return verdict;
  }

  auto message =
      decodeControlMessage(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
  if (!message || message->version != kProtocolVersion) {
    verdict.action = ControlVerdict::Action::close;
    verdict.closeReason = close_reason::kUnsupported;
    return verdict;
  }
  if (message->type == "ack") {
    if (message->frames) {
      verdict.action = ControlVerdict::Action::acknowledge;
      verdict.acknowledgedFrames = *message->frames;
    }
    return verdict;
  }
  verdict.action = ControlVerdict::Action::deliver;
  verdict.message = std::move(*message);
  return verdict;
}

}  // namespace quorvanta
