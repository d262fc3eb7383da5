#include "core/protocol/control_message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quorvanta {
namespace {

using Json = nlohmann::json;
using Keys = std::set<std::string>;

Json encodedJson(const ControlMessage& message) {
  const auto text = encodeControlMessage(message);
  EXPECT_TRUE(text) << "message of type " << message.type << " could not be encoded";
  return text ? Json::parse(*text) : Json();
}

Keys keysOf(const Json& object) {
  Keys keys;
  for (const auto& item : object.items())
    keys.insert(item.key());
  return keys;
}

TEST(ControlMessageTest, PingAndAckCarryOnlyTheirKeys) {
  const auto ping = decodeControlMessage(R"({"type":"ping","version":1})");
  ASSERT_TRUE(ping);
  EXPECT_EQ(*ping, ControlMessage::make("ping"));
  const auto text = encodeControlMessage(*ping);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, R"({"type":"ping","version":1})") << "compact, exactly two keys";

  ControlMessage ack = ControlMessage::make("ack");
  ack.frames = 5;
  const Json json = encodedJson(ack);
  EXPECT_EQ(keysOf(json), (Keys{"type", "version", "frames"}));
  EXPECT_EQ(json.at("type"), "ack");
  EXPECT_EQ(json.at("version"), 1);
  EXPECT_TRUE(json.at("frames").is_number_integer());
  EXPECT_EQ(json.at("frames"), 5);
}

TEST(ControlMessageTest, NullReadsAsAbsentAndUnknownKeysAreIgnored) {
  const auto stream = decodeControlMessage(
      R"({"type":"stream","version":1,"fps":null,"displayID":null,"sps":null,"displays":null,)"
      R"("features":null,"x":null,"keyDown":null,"text":null,"restart":true,)"
      R"("extra":{"nested":[1,"two",null]},"Type":"other","FPS":"x"})");
  ASSERT_TRUE(stream);
  ControlMessage expected = ControlMessage::make("stream");
  expected.restart = true;
  EXPECT_EQ(*stream, expected);
}

TEST(ControlMessageTest, ValuesThatDoNotFitMakeTheMessageUndecodable) {
  for (const std::string_view json : {
           "",                                                      // not JSON
           "[]",                                                    // not an object
           R"({"version":1})",                                      // no type
           R"({"type":5})",                                         // type not a string
           R"({"type":"input","keyCode":-1})",                      // below 16 bits
           R"({"type":"input","keyCode":70000})",                   // above 16 bits
           R"({"type":"stream","displayID":-1})",                   // negative unsigned
           R"({"type":"input","modifiers":-1})",                    // negative unsigned 64-bit
           R"({"type":"stream","fps":29.97})",                      // fraction for an integer
           "{\"type\":\"ping\xFF\"}",                               // not UTF-8
           R"({"type":"input","keyCode":65536.0})",                 // whole but out of range
           R"({"type":"stream","fps":"30"})",                       // string for a number
           R"({"type":"hello","controlAllowed":1})",                // number for a bool
           R"({"type":"hello","features":["frameAck",1]})",         // non-string in a list
           R"({"type":"videoConfig","sps":"AAE"})",                 // bad Base64
           R"({"type":"videoConfig","sps":"-_-_"})",                // URL-safe alphabet
           R"({"type":"ack","frames":-9223372036854775809})",       // below -2^63
           R"({"type":"ack","frames":9223372036854775808})",        // above 2^63 - 1
           R"({"type":"input","modifiers":18446744073709551616})",  // above 2^64 - 1
       }) {
    SCOPED_TRACE(std::string(json));
    EXPECT_FALSE(decodeControlMessage(json));
  }
}

TEST(ControlMessageTest, NumbersAcceptEveryJsonSpellingOfAFittingValue) {
  // Coordinates take integers and fractions; integers take whole values written as fractions.
  const auto decoded = decodeControlMessage(
      R"({"type":"input","x":1,"y":1e-3,"fps":30.0,"maxWidth":1.92e3,"displayID":4294967295.0,)"
      R"("keyCode":65535.0,"modifiers":1.8e19})");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->x, 1.0);
  EXPECT_EQ(decoded->y, 0.001);
  EXPECT_EQ(decoded->fps, 30);
  EXPECT_EQ(decoded->maxWidth, 1920);
  EXPECT_EQ(decoded->displayID, 4294967295u);
  EXPECT_EQ(decoded->keyCode, 65535);
  EXPECT_EQ(decoded->modifiers, 18000000000000000000u);
}

TEST(ControlMessageTest, ParameterSetsAreStandardBase64) {
  ControlMessage config = ControlMessage::make("videoConfig");
  config.sps = Bytes{0x00, 0x01, 0x02};
  config.pps = Bytes{0xFB, 0xFF};
  const Json json = encodedJson(config);
  EXPECT_EQ(json.at("sps"), "AAEC");
  EXPECT_EQ(json.at("pps"), "+/8=");
  const auto decoded = decodeControlMessage(R"({"type":"videoConfig","sps":"AAEC","pps":""})");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->sps, (Bytes{0x00, 0x01, 0x02}));
  EXPECT_EQ(decoded->pps, Bytes{}) << "present but empty, not absent";
}

TEST(ControlMessageTest, DisplaysRoundTripAndRequireEveryKey) {
  ControlMessage streaming = ControlMessage::make("streaming");
  streaming.displays = std::vector<RemoteDisplay>{{69733378, "Built-in Retina Display", 1512, 982},
                                                  {2, "LG \xE2\x80\x9CUltraFine\xE2\x80\x9D", 2560, 1440}};
  const Json json = encodedJson(streaming);
  EXPECT_EQ(keysOf(json.at("displays").at(1)), (Keys{"id", "name", "width", "height"}));
  EXPECT_EQ(decodeControlMessage(json.dump()), streaming);
  EXPECT_FALSE(decodeControlMessage(R"({"type":"streaming","displays":[{"id":1,"name":"A","width":1}]})"));

  const RemoteDisplay display{4294967295u, "Side", -4, 1080};
  const auto text = encodeRemoteDisplay(display);
  ASSERT_TRUE(text);
  EXPECT_EQ(decodeRemoteDisplay(*text), display);
  EXPECT_FALSE(decodeRemoteDisplay(R"({"id":1,"name":"A","height":2})"));
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
  const Json json = encodedJson(m);
  EXPECT_EQ(json.size(), 31u);
  EXPECT_EQ(decodeControlMessage(json.dump()), m);
}

TEST(ControlMessageTest, EncodingFailsOnInvalidUtf8OrNonFiniteCoordinates) {
  const auto encodes = [](auto change) {
    ControlMessage m = ControlMessage::make("input");
    change(m);
    return encodeControlMessage(m).has_value();
  };
  EXPECT_FALSE(encodes([](ControlMessage& m) { m.text = "cut \xE2\x82"; }));
  EXPECT_FALSE(encodes([](ControlMessage& m) {
    m.displays = std::vector<RemoteDisplay>{{1, "\xED\xA0\x80", 1, 1}};
  }));
  EXPECT_FALSE(encodes([](ControlMessage& m) { m.x = std::nan(""); }));
  EXPECT_FALSE(encodes([](ControlMessage& m) { m.y = std::numeric_limits<double>::infinity(); }));
  EXPECT_TRUE(encodes([](ControlMessage& m) { m.x = std::numeric_limits<double>::max(); }));
}

}  // namespace
}  // namespace quorvanta
