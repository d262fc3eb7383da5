#include "core/transport/packet_reader.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvanta {
namespace {

using Action = PacketReader::ControlVerdict::Action;

std::span<const std::uint8_t> bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(PacketReaderTest, HeaderLimitsAtTheirBoundaries) {
  struct Case {
    std::uint8_t kind;
    std::uint32_t length;
    bool acceptsVideo;
    const char* reason;  // nullptr: accepted
  };
  const Case cases[] = {
      {1, 65'536, false, nullptr},
      {1, 65'537, false, close_reason::kInvalidSize},
      {1, 0, true, close_reason::kInvalidSize},
      {2, 8'388'608, true, nullptr},
      {2, 8'388'609, true, close_reason::kInvalidSize},
      {2, 1, false, close_reason::kInvalidSize},
      {2, 0xFFFF'FFFF, true, close_reason::kInvalidSize},
      {0, 10, true, close_reason::kInvalidHeader},
      {3, 10, true, close_reason::kInvalidHeader},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << int{c.kind} << " length " << c.length);
    const auto verdict = PacketReader::checkHeader(
        encodePacketHeader(static_cast<PacketKind>(c.kind), c.length), c.acceptsVideo);
    EXPECT_STREQ(verdict.closeReason, c.reason);
    EXPECT_EQ(verdict.header.has_value(), c.reason == nullptr);
    EXPECT_EQ(verdict.header ? verdict.header->length : c.length, c.length);
  }
}

TEST(PacketReaderTest, ControlPayloadsNeedVersionOneAndAcknowledgementsAreConsumed) {
  PacketReader reader(0);
  for (const std::string payload : {R"({"type":"ping"})", R"({"type":"ping","version":2})", "not json",
                                    R"({"type":"stream","version":1,"fps":29.97})"}) {
    const auto verdict = reader.acceptControl(bytes(payload), 0);
    EXPECT_EQ(verdict.action, Action::close) << payload;
    EXPECT_STREQ(verdict.closeReason, close_reason::kUnsupported) << payload;
  }
  EXPECT_EQ(reader.acceptControl(bytes(R"({"type":"ping","version":1,"extra":true})"), 0).action,
            Action::deliver);
  const auto ack = reader.acceptControl(bytes(R"({"type":"ack","version":1,"frames":7})"), 0);
  EXPECT_EQ(ack.action, Action::acknowledge);
  EXPECT_EQ(ack.acknowledgedFrames, 7);
  EXPECT_EQ(reader.acceptControl(bytes(R"({"type":"ack","version":1})"), 0).action, Action::ignore);
}

TEST(PacketReaderTest, RateWindowAllowsOneThousandAndRestartsAtExactlyOneSecond) {
  PacketReader reader(10.0);
  const std::string ping = R"({"type":"ping","version":1})";
  // Undecodable payloads count too; the 1,000th packet is still processed.
  for (int i = 0; i < 999; ++i)
    ASSERT_NE(reader.acceptControl(bytes("x"), 10.5).closeReason, close_reason::kControlRate);
  EXPECT_EQ(reader.acceptControl(bytes(ping), 10.99).action, Action::deliver);
  EXPECT_STREQ(reader.acceptControl(bytes(ping), 10.999).closeReason, close_reason::kControlRate);

  PacketReader fresh(10.0);
  for (int i = 0; i < 1'000; ++i)
    ASSERT_EQ(fresh.acceptControl(bytes(ping), 10.2).action, Action::deliver);
  // Exactly one second after the window began, a new window starts with this packet as its first.
  EXPECT_EQ(fresh.acceptControl(bytes(ping), 11.0).action, Action::deliver);
}

}  // namespace
}  // namespace quorvanta
