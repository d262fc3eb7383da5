// Feeds a byte stream of framed packets through PacketReader the way PacketConnection reads a
// socket: a 5-byte header, then its body, until the stream ends or the reader asks to close.
//
// Input layout: byte 0 configures the run, the rest is the stream.
//   bit 0     the owner takes video packets
//   bits 1-7  seconds the clock advances per packet, in 1/64 s (0 keeps the clock still, so
//             enough control packets reach the rate limit)

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "core/protocol/control_message.h"
#include "core/transport/packet_reader.h"

namespace {

using quorvanta::ControlMessage;
using quorvanta::kPacketHeaderSize;
using quorvanta::PacketKind;
using quorvanta::PacketReader;
namespace close_reason = quorvanta::close_reason;

void require(bool condition) {
  if (!condition) std::abort();
}

bool sameReason(const char* a, const char* b) {
  return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

// Header verdicts are a pure function of the five bytes; check them against the framing rules.
void checkHeaderVerdict(std::span<const std::uint8_t, kPacketHeaderSize> bytes, bool acceptsVideo,
                        const PacketReader::HeaderVerdict& verdict) {
  require(verdict.header.has_value() != (verdict.closeReason != nullptr));
  const std::uint32_t length = (std::uint32_t{bytes[1]} << 24) | (std::uint32_t{bytes[2]} << 16) |
                               (std::uint32_t{bytes[3]} << 8) | std::uint32_t{bytes[4]};
  if (bytes[0] != 1 && bytes[0] != 2) {
    require(sameReason(verdict.closeReason, close_reason::kInvalidHeader));
    return;
  }
  if (!verdict.header) {
    require(sameReason(verdict.closeReason, close_reason::kInvalidSize));
    return;
  }
  const auto& header = *verdict.header;
  require(static_cast<std::uint8_t>(header.kind) == bytes[0]);
  require(header.length == length);
  require(header.length >= 1 && header.length <= quorvanta::kMaxPacket);
  if (header.kind == PacketKind::control) require(header.length <= quorvanta::kMaxControlPayload);
  if (header.kind == PacketKind::video) require(acceptsVideo);
  const auto encoded = quorvanta::encodePacketHeader(header.kind, header.length);
  require(std::memcmp(encoded.data(), bytes.data(), kPacketHeaderSize) == 0);
}

// A delivered message must survive encoding and decoding unchanged.
void checkRoundTrip(const ControlMessage& message) {
  const auto json = quorvanta::encodeControlMessage(message);
  require(json.has_value());
  const auto again = quorvanta::decodeControlMessage(*json);
  require(again.has_value());
  require(*again == message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool acceptsVideo = (data[0] & 1) != 0;
  const double step = static_cast<double>(data[0] >> 1) / 64.0;
  std::span<const std::uint8_t> stream(data + 1, size - 1);

  double now = 0.0;
  PacketReader reader(now);
  std::size_t controlPackets = 0;

  while (stream.size() >= kPacketHeaderSize) {
    const auto headerBytes = stream.first<kPacketHeaderSize>();
    stream = stream.subspan(kPacketHeaderSize);
    const auto headerVerdict = PacketReader::checkHeader(headerBytes, acceptsVideo);
    checkHeaderVerdict(headerBytes, acceptsVideo, headerVerdict);
    if (!headerVerdict.header) break;

    const auto [kind, length] = *headerVerdict.header;
    if (stream.size() < length) break;
    const auto payload = stream.first(length);
    stream = stream.subspan(length);
    now += step;
    if (kind == PacketKind::video) continue;

    ++controlPackets;
    auto verdict = reader.acceptControl(payload, now);
    using Action = PacketReader::ControlVerdict::Action;
    if (verdict.action == Action::close) {
      require(sameReason(verdict.closeReason, close_reason::kControlRate) ||
              sameReason(verdict.closeReason, close_reason::kUnsupported));
      // More than the window's allowance must have arrived before the rate can be exceeded.
      if (sameReason(verdict.closeReason, close_reason::kControlRate))
        require(controlPackets > static_cast<std::size_t>(quorvanta::kMaxControlPerWindow));
      break;
    }
    require(verdict.closeReason == nullptr);

    // Whatever is not closed decoded as a version-1 message.
    const auto decoded = quorvanta::decodeControlMessage(
        std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
    require(decoded.has_value() && decoded->version == quorvanta::kProtocolVersion);
    switch (verdict.action) {
      case Action::deliver:
        require(decoded->type != "ack");
        require(verdict.message == *decoded);
        checkRoundTrip(verdict.message);
        break;
      case Action::acknowledge:
        require(decoded->type == "ack" && decoded->frames == verdict.acknowledgedFrames);
        break;
      case Action::ignore:
        require(decoded->type == "ack" && !decoded->frames);
        break;
      case Action::close:
        break;
    }
  }
  return 0;
}
