#include "core/protocol/control_message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvanta {
namespace {

using Json = nlohmann::json;

TEST(ControlMessageTest, PingIsCompactAndParameterSetsAreStandardBase64) {
  EXPECT_EQ(encodeControlMessage(ControlMessage::make("ping")), R"({"type":"ping","version":1})");
  ControlMessage config = ControlMessage::make("videoConfig");
  config.sps = Bytes{0x00, 0x01, 0x02};
  config.pps = Bytes{0xFB, 0xFF};
  EXPECT_EQ(encodeControlMessage(config), R"({"pps":"+/8=","sps":"AAEC","type":"videoConfig","version":1})");
  const auto decoded = decodeControlMessage(R"({"type":"videoConfig","sps":"AAEC","pps":""})");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->pps, Bytes{}) << "present but empty, not absent";
}

TEST(ControlMessageTest, ValuesThatDoNotFitMakeTheMessageUndecodable) {
  for (const std::string_view json : {
           "",                                                                    // not JSON
           "[]",                                                                  // not an object
           R"({"version":1})",                                                    // no type
           R"({"type":5})",                                                       // type not a string
           R"({"type":"input","keyCode":-1})",                                    // below 16 bits
           R"({"type":"input","keyCode":70000})",                                 // above 16 bits
           R"({"type":"stream","displayID":-1})",                                 // negative unsigned
           R"({"type":"stream","fps":29.97})",                                    // fraction for an integer
           "{\"type\":\"ping\xFF\"}",                                             // not UTF-8
           R"({"type":"input","keyCode":65536.0})",                               // whole but out of range
           R"({"type":"stream","fps":"30"})",                                     // string for a number
           R"({"type":"hello","controlAllowed":1})",                              // number for a bool
           R"({"type":"hello","features":["frameAck",1]})",                       // non-string in a list
           R"({"type":"videoConfig","sps":"-_-_"})",                              // URL-safe alphabet
           R"({"type":"ack","frames":9223372036854775808})",                      // above 2^63 - 1
           R"({"type":"input","modifiers":18446744073709551616})",                // above 2^64 - 1
           R"({"type":"streaming","displays":[{"id":1,"name":"A","width":1}]})",  // display key missing
       }) {
    EXPECT_FALSE(decodeControlMessage(json)) << json;
  }
  // Whole values written as fractions fit integer fields; null reads as absent; unknown keys are ignored.
  const auto decoded = decodeControlMessage(
      R"({"type":"input","y":1e-3,"fps":30.0,"keyCode":65535.0,"modifiers":1.8e19,"x":null,"extra":[1]})");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->y, 0.001);
  EXPECT_FALSE(decoded->x);
  EXPECT_EQ(decoded->keyCode, 65535);
  EXPECT_EQ(decoded->modifiers, 18000000000000000000u);
}

TEST(ControlMessageTest, EveryFieldRoundTrips) {
  ControlMessage m = ControlMessage::make("streaming");
  m.hostID = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  m.name = "Studio \"Mac\" \\ caf\xC3\xA9";
  m.deviceID = "1B4E28BA-2FA1-11D2-883F-0016D3CCA427";
  m.deviceName = "iPad\n\ttab";
  m.secret = "c2VjcmV0";
  m.token = "";
  m.message = std::string("control \x01 and nul \0 inside", 26);
  m.displays = std::vector<RemoteDisplay>{{1, "Built-in", 1512, 982}, {4294967295u, "", 0, -1}};
  m.displayID = std::numeric_limits<std::uint32_t>::max();
  m.controlAllowed = false;
  m.fps = 60;
  m.maxWidth = 1920;
  m.bitrate = std::numeric_limits<std::int64_t>::max();
  m.width = 0;
  m.height = std::numeric_limits<std::int64_t>::min();
  m.sps = Bytes{0x67, 0x64, 0x00, 0x1F, 0xAC};
  m.pps = Bytes{};
  m.event = "move";
  m.x = 0.1;
  m.y = -2.5e-7;
  m.button = -1;
  m.keyCode = 65535;
  m.keyDown = true;
  m.modifiers = std::numeric_limits<std::uint64_t>::max();
  m.text = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD thumbs";
  m.features = std::vector<std::string>{kFeatureFrameAck, kFeatureWarmResume};
  m.frames = 0;
  m.restart = true;
  m.takeover = false;
  const auto text = encodeControlMessage(m);
  ASSERT_TRUE(text);
  EXPECT_EQ(Json::parse(*text).size(), 31u);
  EXPECT_EQ(decodeControlMessage(*text), m);
  const RemoteDisplay display{4294967295u, "Side", -4, 1080};
  EXPECT_EQ(decodeRemoteDisplay(*encodeRemoteDisplay(display)), display);

  // Nothing is encoded from text that is not UTF-8 or a coordinate that is not finite.
  m.text = "cut \xE2\x82";
  EXPECT_FALSE(encodeControlMessage(m));
  m.text.reset();
  m.x = std::nan("");
  EXPECT_FALSE(encodeControlMessage(m));
}

}  // namespace
}  // namespace quorvanta
