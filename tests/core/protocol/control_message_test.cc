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

Json encodedJson(const ControlMessage& message) {
  const auto text = encodeControlMessage(message);
  if (!text) {
    ADD_FAILURE() << "message of type " << message.type << " could not be encoded";
    return Json();
  }
  return Json::parse(*text);
}

std::set<std::string> keysOf(const Json& object) {
  std::set<std::string> keys;
  for (const auto& item : object.items())
    keys.insert(item.key());
  return keys;
}

// A message with every one of the thirty-one fields present, at awkward values.
ControlMessage everyFieldPresent() {
  ControlMessage m = ControlMessage::make("streaming");
  m.hostID = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  m.name = "Studio \"Mac\" \\ caf\xC3\xA9";
  m.deviceID = "1B4E28BA-2FA1-11D2-883F-0016D3CCA427";
  m.deviceName = "iPad\n\ttab";
  m.secret = "c2VjcmV0";
  m.token = "";
  m.message = std::string("control \x01 and nul \0 inside", 26);
  m.displays = std::vector<RemoteDisplay>{{1, "Built-in Retina Display", 1512, 982},
                                          {std::numeric_limits<std::uint32_t>::max(), "", 0, -1}};
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
  return m;
}

TEST(ControlMessageTest, PingHasOnlyTypeAndVersion) {
  const auto decoded = decodeControlMessage(R"({"type":"ping","version":1})");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, ControlMessage::make("ping"));
  EXPECT_EQ(decoded->type, "ping");
  EXPECT_EQ(decoded->version, 1);
  EXPECT_FALSE(decoded->fps);
  EXPECT_FALSE(decoded->sps);
  EXPECT_FALSE(decoded->displays);

  const auto text = encodeControlMessage(*decoded);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->find_first_of(" \n"), std::string::npos) << *text;
  const Json json = Json::parse(*text);
  EXPECT_EQ(keysOf(json), (std::set<std::string>{"type", "version"}));
  EXPECT_EQ(json.at("type"), "ping");
  EXPECT_EQ(json.at("version"), 1);
}

TEST(ControlMessageTest, AckCarriesExactlyTypeVersionAndFrames) {
  ControlMessage ack = ControlMessage::make("ack");
  ack.frames = 5;
  const Json json = encodedJson(ack);
  EXPECT_EQ(keysOf(json), (std::set<std::string>{"type", "version", "frames"}));
  EXPECT_EQ(json.at("type"), "ack");
  EXPECT_EQ(json.at("version"), 1);
  EXPECT_EQ(json.at("frames"), 5);
  EXPECT_TRUE(json.at("frames").is_number_integer());
}

TEST(ControlMessageTest, NullAndMissingKeysReadAsAbsent) {
  const auto stream = decodeControlMessage(
      R"({"type":"stream","version":1,"fps":null,"displayID":null,"sps":null,"displays":null,)"
      R"("features":null,"x":null,"keyDown":null,"text":null,"restart":true})");
  ASSERT_TRUE(stream);
  ControlMessage expected = ControlMessage::make("stream");
  expected.restart = true;
  EXPECT_EQ(*stream, expected);

  // Without a version the record still decodes; refusing it is the connection's business.
  const auto bare = decodeControlMessage(R"({"type":"keyframe"})");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->type, "keyframe");
  EXPECT_FALSE(bare->version);
}

TEST(ControlMessageTest, UnknownKeysAreIgnored) {
  const auto decoded = decodeControlMessage(
      R"({"type":"ping","version":1,"extra":{"nested":[1,"two",null]},"Type":"other","FPS":"x"})");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, ControlMessage::make("ping"));
}

TEST(ControlMessageTest, ValuesThatDoNotFitMakeTheMessageUndecodable) {
  const std::vector<std::string_view> refused = {
      // Not an object, or not JSON.
      "",
      "null",
      "[]",
      R"("ping")",
      "42",
      R"({"type":"ping")",
      R"({"type":"ping"} {})",
      R"({"type":"ping"} trailing)",
      // Missing or non-string type.
      "{}",
      R"({"version":1})",
      R"({"type":null})",
      R"({"type":5})",
      R"({"type":["ping"]})",
      // Integers out of range or of the wrong kind.
      R"({"type":"input","keyCode":-1})",
      R"({"type":"input","keyCode":70000})",
      R"({"type":"input","keyCode":65536})",
      R"({"type":"stream","displayID":-1})",
      R"({"type":"stream","displayID":4294967296})",
      R"({"type":"input","modifiers":-1})",
      R"({"type":"stream","fps":29.97})",
      R"({"type":"stream","fps":"30"})",
      R"({"type":"stream","fps":true})",
      R"({"type":"ping","version":1.5})",
      R"({"type":"ack","frames":[5]})",
      // Other fields of the wrong type.
      R"({"type":"input","x":"0.5"})",
      R"({"type":"input","y":false})",
      R"({"type":"hello","controlAllowed":1})",
      R"({"type":"input","text":5})",
      R"({"type":"hello","features":"frameAck"})",
      R"({"type":"hello","features":["frameAck",1]})",
      R"({"type":"streaming","displays":{}})",
      // Bytes that are not strict standard Base64.
      R"({"type":"videoConfig","sps":"AAE"})",
      R"({"type":"videoConfig","sps":"AA EC"})",
      R"({"type":"videoConfig","sps":"-_-_"})",
      R"({"type":"videoConfig","pps":"AAEC","sps":"A==="})",
      R"({"type":"videoConfig","pps":[0,1,2]})",
      // Strings that are not UTF-8.
      "{\"type\":\"ping\xFF\"}",
  };
  for (const auto json : refused) {
    SCOPED_TRACE(std::string(json));
    EXPECT_FALSE(decodeControlMessage(json));
  }
}

TEST(ControlMessageTest, PointerCoordinatesAcceptIntegersAndFractions) {
  const auto decoded = decodeControlMessage(R"({"type":"input","event":"move","x":1,"y":-3})");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->x, 1.0);
  EXPECT_EQ(decoded->y, -3.0);

  const auto fractional = decodeControlMessage(R"({"type":"input","x":0.25,"y":1e-3})");
  ASSERT_TRUE(fractional);
  EXPECT_EQ(fractional->x, 0.25);
  EXPECT_EQ(fractional->y, 0.001);

  const auto huge =
      decodeControlMessage(R"({"type":"input","x":18446744073709551615,"y":-9223372036854775808})");
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->x, 18446744073709551615.0);
  EXPECT_EQ(huge->y, -9223372036854775808.0);
}

TEST(ControlMessageTest, WholeValuedNumbersWithFractionSyntaxAreAcceptedWhenTheyFit) {
  const auto decoded = decodeControlMessage(
      R"({"type":"stream","fps":30.0,"maxWidth":1.92e3,"bitrate":-0.0,"displayID":4294967295.0,)"
      R"("modifiers":1.8e19,"width":9.2e18})");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->fps, 30);
  EXPECT_EQ(decoded->maxWidth, 1920);
  EXPECT_EQ(decoded->bitrate, 0);
  EXPECT_EQ(decoded->displayID, 4294967295u);
  EXPECT_EQ(decoded->modifiers, 18000000000000000000u);
  EXPECT_EQ(decoded->width, 9200000000000000000);

  const auto keyCode = decodeControlMessage(R"({"type":"input","keyCode":65535.0})");
  ASSERT_TRUE(keyCode);
  EXPECT_EQ(keyCode->keyCode, 65535);

  for (const auto json :
       {R"({"type":"input","keyCode":65536.0})", R"({"type":"stream","displayID":4294967296.0})",
        R"({"type":"stream","displayID":-1.0})", R"({"type":"stream","fps":1e400})",
        R"({"type":"stream","fps":30.5})"}) {
    SCOPED_TRACE(json);
    EXPECT_FALSE(decodeControlMessage(json));
  }
}

TEST(ControlMessageTest, SixtyFourBitBoundaries) {
  struct Case {
    std::string_view json;
    bool decodes;
  };
  const std::vector<Case> cases = {
      // Signed 64-bit.
      {R"({"type":"ack","frames":9223372036854775807})", true},
      {R"({"type":"ack","frames":9223372036854775808})", false},
      {R"({"type":"ack","frames":-9223372036854775808})", true},
      {R"({"type":"ack","frames":-9223372036854775809})", false},
      {R"({"type":"ack","frames":-9223372036854776000})", false},
      {R"({"type":"ack","frames":9.3e18})", false},
      {R"({"type":"ack","frames":-9.3e18})", false},
      // Unsigned 64-bit.
      {R"({"type":"input","modifiers":18446744073709551615})", true},
      {R"({"type":"input","modifiers":18446744073709551616})", false},
      {R"({"type":"input","modifiers":1.8446744073709552e19})", false},
      {R"({"type":"input","modifiers":0})", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.json));
    EXPECT_EQ(decodeControlMessage(c.json).has_value(), c.decodes);
  }

  const auto max = decodeControlMessage(R"({"type":"ack","frames":9223372036854775807})");
  const auto min = decodeControlMessage(R"({"type":"ack","frames":-9223372036854775808})");
  const auto mods = decodeControlMessage(R"({"type":"input","modifiers":18446744073709551615})");
  ASSERT_TRUE(max && min && mods);
  EXPECT_EQ(max->frames, std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(min->frames, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(mods->modifiers, std::numeric_limits<std::uint64_t>::max());
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
  EXPECT_EQ(decoded->pps, Bytes{});  // present but empty, not absent
}

TEST(ControlMessageTest, DisplaysRoundTripAndRequireEveryKey) {
  ControlMessage streaming = ControlMessage::make("streaming");
  streaming.displays = std::vector<RemoteDisplay>{{69733378, "Built-in Retina Display", 1512, 982},
                                                  {2, "LG \xE2\x80\x9CUltraFine\xE2\x80\x9D", 2560, 1440}};
  streaming.displayID = 2;
  const Json json = encodedJson(streaming);
  ASSERT_TRUE(json.at("displays").is_array());
  ASSERT_EQ(json.at("displays").size(), 2u);
  EXPECT_EQ(keysOf(json.at("displays").at(0)), (std::set<std::string>{"id", "name", "width", "height"}));
  EXPECT_EQ(json.at("displays").at(0)["id"], 69733378);
  EXPECT_EQ(decodeControlMessage(json.dump()), streaming);

  const auto empty = decodeControlMessage(R"({"type":"streaming","displays":[]})");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->displays, std::vector<RemoteDisplay>{});

  const auto extraKey = decodeControlMessage(
      R"({"type":"streaming","displays":[{"id":1,"name":"A","width":1,"height":2,"scale":2}]})");
  ASSERT_TRUE(extraKey);
  EXPECT_EQ(extraKey->displays, (std::vector<RemoteDisplay>{{1, "A", 1, 2}}));

  const std::vector<std::string_view> broken = {
      R"({"type":"streaming","displays":[{"id":1,"name":"A","width":1}]})",
      R"({"type":"streaming","displays":[{"id":1,"name":null,"width":1,"height":2}]})",
      R"({"type":"streaming","displays":[{"id":1,"name":"A","width":1,"height":2},{"name":"B","width":1,"height":2}]})",
      R"({"type":"streaming","displays":[{"id":-1,"name":"A","width":1,"height":2}]})",
      R"({"type":"streaming","displays":[{"id":1,"name":"A","width":1.5,"height":2}]})",
      R"({"type":"streaming","displays":[null]})",
      R"({"type":"streaming","displays":[[1,"A",1,2]]})",
  };
  for (const auto text : broken) {
    SCOPED_TRACE(std::string(text));
    EXPECT_FALSE(decodeControlMessage(text));
  }
}

TEST(ControlMessageTest, RemoteDisplayOnItsOwn) {
  const RemoteDisplay display{4294967295u, "Side", -4, 1080};
  const auto text = encodeRemoteDisplay(display);
  ASSERT_TRUE(text);
  EXPECT_EQ(keysOf(Json::parse(*text)), (std::set<std::string>{"id", "name", "width", "height"}));
  EXPECT_EQ(decodeRemoteDisplay(*text), display);

  EXPECT_FALSE(decodeRemoteDisplay(R"({"id":1,"name":"A","height":2})"));
  EXPECT_FALSE(decodeRemoteDisplay(R"({"id":4294967296,"name":"A","width":1,"height":2})"));
  EXPECT_FALSE(decodeRemoteDisplay("[]"));
  EXPECT_FALSE(encodeRemoteDisplay({1, "bad \xC3", 1, 1}));
}

TEST(ControlMessageTest, EveryFieldRoundTrips) {
  const ControlMessage original = everyFieldPresent();
  const auto text = encodeControlMessage(original);
  ASSERT_TRUE(text);
  EXPECT_EQ(Json::parse(*text).size(), 31u);
  const auto decoded = decodeControlMessage(*text);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, original);
}

TEST(ControlMessageTest, EncodingFailsOnInvalidUtf8OrNonFiniteCoordinates) {
  const auto withText = [](auto change) {
    ControlMessage m = ControlMessage::make("input");
    change(m);
    return encodeControlMessage(m);
  };
  EXPECT_FALSE(withText([](ControlMessage& m) { m.text = "cut \xE2\x82"; }));
  EXPECT_FALSE(withText([](ControlMessage& m) { m.type = "\xFF"; }));
  EXPECT_FALSE(withText([](ControlMessage& m) { m.features = std::vector<std::string>{"ok", "\xC0\xAF"}; }));
  EXPECT_FALSE(withText([](ControlMessage& m) {
    m.displays = std::vector<RemoteDisplay>{{1, "\xED\xA0\x80", 1, 1}};
  }));
  EXPECT_FALSE(withText([](ControlMessage& m) { m.x = std::nan(""); }));
  EXPECT_FALSE(withText([](ControlMessage& m) { m.y = std::numeric_limits<double>::infinity(); }));
  EXPECT_FALSE(withText([](ControlMessage& m) { m.x = -std::numeric_limits<double>::infinity(); }));
  EXPECT_TRUE(withText([](ControlMessage& m) {
    m.x = std::numeric_limits<double>::max();
    m.y = -0.0;
    m.text = "fine";
  }));
}

}  // namespace
}  // namespace quorvanta
