#include "core/transport/packet_reader.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvanta {
namespace {

using Action = PacketReader::ControlVerdict::Action;

PacketReader::HeaderVerdict check(std::uint8_t kind, std::uint32_t length, bool acceptsVideo) {
  auto header = encodePacketHeader(static_cast<PacketKind>(kind), length);
  return PacketReader::checkHeader(header, acceptsVideo);
}

std::span<const std::uint8_t> bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(PacketReaderTest, HeaderLimitsAtTheirBoundaries) {
  EXPECT_EQ(encodePacketHeader(PacketKind::video, 0x01020304),
            (std::array<std::uint8_t, 5>{2, 1, 2, 3, 4}));

  struct Case {
    std::uint8_t kind;
    std::uint32_t length;
    bool acceptsVideo;
    const char* reason;  // nullptr: accepted
  };
  const Case cases[] = {
      {1, 1, false, nullptr},
      {1, 65'536, false, nullptr},
      {1, 65'537, false, close_reason::kInvalidSize},
      {1, 0, true, close_reason::kInvalidSize},
      {2, 8'388'608, true, nullptr},
      {2, 8'388'609, true, close_reason::kInvalidSize},
      {2, 1, false, close_reason::kInvalidSize},
      {2, 0xFFFF'FFFF, true, close_reason::kInvalidSize},
      {0, 10, true, close_reason::kInvalidHeader},
      {3, 10, true, close_reason::kInvalidHeader},
      {255, 0, true, close_reason::kInvalidHeader},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << int{c.kind} << " length " << c.length);
    const auto verdict = check(c.kind, c.length, c.acceptsVideo);
    if (c.reason) {
      EXPECT_FALSE(verdict.header);
      EXPECT_STREQ(verdict.closeReason, c.reason);
    } else {
      ASSERT_TRUE(verdict.header);
      EXPECT_EQ(verdict.header->length, c.length);
      EXPECT_EQ(static_cast<int>(verdict.header->kind), c.kind);
    }
  }
}

TEST(PacketReaderTest, VersionAndDecodingRules) {
  PacketReader reader(0);
  const std::string refused[] = {R"({"type":"ping"})", R"({"type":"ping","version":2})",
                                 R"({"type":"ping","version":null})", "not json", R"(["ping"])",
                                 R"({"type":"stream","version":1,"fps":29.97})"};
  for (const auto& payload : refused) {
    SCOPED_TRACE(payload);
    const auto verdict = reader.acceptControl(bytes(payload), 0);
    EXPECT_EQ(verdict.action, Action::close);
    EXPECT_STREQ(verdict.closeReason, close_reason::kUnsupported);
  }

  const auto ping = reader.acceptControl(bytes(R"({"type":"ping","version":1,"extra":true})"), 0);
  EXPECT_EQ(ping.action, Action::deliver);
  EXPECT_EQ(ping.message.type, "ping");
}

TEST(PacketReaderTest, AcknowledgementsAreConsumedNotDelivered) {
  PacketReader reader(0);
  const auto ack = reader.acceptControl(bytes(R"({"type":"ack","version":1,"frames":7})"), 0);
  EXPECT_EQ(ack.action, Action::acknowledge);
  EXPECT_EQ(ack.acknowledgedFrames, 7);
  EXPECT_EQ(reader.acceptControl(bytes(R"({"type":"ack","version":1})"), 0).action, Action::ignore);
}

TEST(PacketReaderTest, RateWindowAllowsOneThousandAndRestartsAtExactlyOneSecond) {
  PacketReader reader(10.0);
  const std::string ping = R"({"type":"ping","version":1})";
  for (int i = 0; i < 999; ++i) ASSERT_EQ(reader.acceptControl(bytes(ping), 10.5).action, Action::deliver);
  // Undecodable payloads and acknowledgements count too; the 1,000th packet is still processed.
  EXPECT_EQ(reader.acceptControl(bytes(R"({"type":"ack","version":1})"), 10.99).action, Action::ignore);
  const auto over = reader.acceptControl(bytes(ping), 10.999);
  EXPECT_EQ(over.action, Action::close);
  EXPECT_STREQ(over.closeReason, close_reason::kControlRate);

  PacketReader fresh(10.0);
  for (int i = 0; i < 1'000; ++i) ASSERT_NE(fresh.acceptControl(bytes("x"), 10.2).closeReason, close_reason::kControlRate);
  // Exactly one second after the window began, a new window starts with this packet as its first.
  EXPECT_EQ(fresh.acceptControl(bytes(ping), 11.0).action, Action::deliver);
  for (int i = 0; i < 999; ++i) ASSERT_EQ(fresh.acceptControl(bytes(ping), 11.5).action, Action::deliver);
  EXPECT_EQ(fresh.acceptControl(bytes(ping), 11.9).action, Action::close);
}

}  // namespace
}  // namespace quorvanta
