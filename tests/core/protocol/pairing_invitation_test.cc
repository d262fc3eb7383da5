#include "core/protocol/pairing_invitation.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <set>
#include <string>

#include "core/protocol/base64.h"

namespace quorvanta {
namespace {

using Json = nlohmann::json;

PairingInvitation sample() {
  PairingInvitation invitation;
  invitation.hostID = "6F1C3B0E-6A52-4C35-9E0B-3C8B9E2A1D77";
  invitation.name = "Studio Workstation";
  invitation.address = "100.101.102.103";
  invitation.certificateHash = std::string(64, 'a');
  invitation.secret = "Zx9-_abcdefghijklmnopqrstuvwxyzABCDEFGHIJKL";
  invitation.expiresAt = 786000000.25;
  return invitation;
}

std::string dataOf(const std::string& link) {
  EXPECT_TRUE(link.starts_with(kPairingLinkPrefix)) << link;
  return link.substr(kPairingLinkPrefix.size());
}

TEST(PairingInvitationTest, JsonIsCompactWithEveryKeyAndNumbersForVersionAndPort) {
  const auto json = encodePairingInvitation(sample());
  ASSERT_TRUE(json);
  const Json parsed = Json::parse(*json);
  EXPECT_EQ(*json, parsed.dump());  // compact: no white space between tokens
  EXPECT_EQ(parsed, (Json{{"version", 1},
                          {"hostID", sample().hostID},
                          {"name", "Studio Workstation"},
                          {"address", "100.101.102.103"},
                          {"port", 48725},
                          {"certificateHash", std::string(64, 'a')},
                          {"secret", sample().secret},
                          {"expiresAt", 786000000.25}}));
  EXPECT_NE(json->find("\"port\":48725"), std::string::npos) << *json;
  EXPECT_NE(json->find("\"version\":1"), std::string::npos) << *json;
  EXPECT_EQ(decodePairingInvitation(*json), sample());
}

TEST(PairingInvitationTest, DecodingNeedsEveryKeyWithTheRightType) {
  const Json full = Json::parse(*encodePairingInvitation(sample()));
  for (const auto& [key, value] : full.items()) {
    Json missing = full;
    missing.erase(key);
    EXPECT_FALSE(decodePairingInvitation(missing.dump())) << "without " << key;
    Json null = full;
    null[key] = nullptr;
    EXPECT_FALSE(decodePairingInvitation(null.dump())) << key << " null";
    Json wrong = full;
    wrong[key] = value.is_string() ? Json(5) : Json("5");
    EXPECT_FALSE(decodePairingInvitation(wrong.dump())) << key << " of the wrong type";
  }

  Json extra = full;
  extra["future"] = {{"nested", true}};
  EXPECT_EQ(decodePairingInvitation(extra.dump()), sample());

  EXPECT_FALSE(decodePairingInvitation("[]"));
  EXPECT_FALSE(decodePairingInvitation("not json"));
  EXPECT_FALSE(decodePairingInvitation(""));
}

TEST(PairingInvitationTest, IntegerKeysFollowTheStrictNumberRules) {
  const Json full = Json::parse(*encodePairingInvitation(sample()));
  const auto withValue = [&](const char* key, const std::string& literal) {
    Json copy = full;
    copy[key] = "@";
    std::string text = copy.dump();
    text.replace(text.find("\"@\""), 3, literal);
    return decodePairingInvitation(text);
  };
  EXPECT_FALSE(withValue("port", "48725.5"));
  EXPECT_FALSE(withValue("port", "65536"));
  EXPECT_FALSE(withValue("port", "-1"));
  EXPECT_FALSE(withValue("port", "true"));
  EXPECT_FALSE(withValue("version", "1.5"));
  EXPECT_FALSE(withValue("version", "1e30"));
  ASSERT_TRUE(withValue("port", "65535"));
  EXPECT_EQ(withValue("port", "65535")->port, 65535);
  EXPECT_EQ(withValue("port", "0")->port, 0);
  // A whole number written with a decimal point still counts, as in control messages.
  EXPECT_EQ(withValue("port", "48725.0")->port, 48725);
  EXPECT_EQ(withValue("version", "-3")->version, -3);
  // The expiry is any number, integral or not.
  EXPECT_DOUBLE_EQ(withValue("expiresAt", "786000000")->expiresAt, 786000000.0);
}

TEST(PairingInvitationTest, NothingIsEncodedFromInvalidTextOrAnInfiniteExpiry) {
  PairingInvitation invitation = sample();
  invitation.name = "bad \xff byte";
  EXPECT_FALSE(encodePairingInvitation(invitation));
  EXPECT_FALSE(invitation.url());
  invitation = sample();
  invitation.expiresAt = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(invitation.url());
  invitation.expiresAt = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(invitation.url());
}

TEST(PairingInvitationTest, PaddingIsRemovedForEveryJsonLength) {
  // Growing the name one byte at a time walks the JSON length through each remainder mod 3.
  std::set<std::size_t> remainders;
  for (int extra = 0; extra < 3; ++extra) {
    PairingInvitation invitation = sample();
    invitation.name += std::string(static_cast<std::size_t>(extra), 'x');
    const std::string json = *encodePairingInvitation(invitation);
    const std::string data = dataOf(*invitation.url());
    const std::string padded = base64Encode(asBytes(json));
    const std::size_t remainder = json.size() % 3;
    remainders.insert(remainder);
    const std::size_t removed = remainder == 0 ? 0 : 3 - remainder;
    EXPECT_EQ(padded.size() - data.size(), removed) << "JSON length " << json.size();
    EXPECT_EQ(padded.substr(padded.size() - removed), std::string(removed, '='));
    EXPECT_EQ(data.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    // The reader's steps by hand: back to the standard alphabet, padding restored.
    std::string standard = data;
    std::replace(standard.begin(), standard.end(), '-', '+');
    std::replace(standard.begin(), standard.end(), '_', '/');
    standard.append(removed, '=');
    EXPECT_EQ(standard, padded);
    EXPECT_EQ(parsePairingLink(*invitation.url()), invitation);
  }
  EXPECT_EQ(remainders.size(), 3u);
}

TEST(PairingInvitationTest, TwoInvitationsGiveDifferentLinks) {
  PairingInvitation first = sample();
  PairingInvitation second = sample();
  second.secret = "another-secret_0123456789abcdefghijklmnopq";
  second.expiresAt = first.expiresAt + 1.5;
  ASSERT_TRUE(first.url() && second.url());
  EXPECT_NE(*first.url(), *second.url());
  EXPECT_EQ(parsePairingLink(*second.url()), second);
}

TEST(PairingInvitationTest, LinkReadingAcceptsTheFormsAClientMeets) {
  const PairingInvitation invitation = sample();
  const std::string data = dataOf(*invitation.url());
  EXPECT_EQ(parsePairingLink("QUORVANTA://Pair?data=" + data), invitation);
  EXPECT_EQ(parsePairingLink("quorvanta://pair?other=1&data=" + data + "&more"), invitation);
  EXPECT_EQ(parsePairingLink("quorvanta://pair?data=" + data + "#fragment"), invitation);
  EXPECT_EQ(parsePairingLink("  quorvanta://pair?data=" + data + "\n"), invitation);
  // Padding restored by the sender is accepted as well.
  std::string padded = data;
  while (padded.size() % 4 != 0)
    padded.push_back('=');
  EXPECT_EQ(parsePairingLink("quorvanta://pair?data=" + padded), invitation);
}

TEST(PairingInvitationTest, MalformedLinksAreRefused) {
  const std::string data = dataOf(*sample().url());
  for (const std::string& link : {
           std::string(),
           std::string("quorvanta://pair"),
           std::string("quorvanta://pair?data="),
           std::string("quorvanta://pair?foo=") + data,
           std::string("https://pair?data=") + data,
           std::string("quorvanta:pair?data=") + data,
           std::string("quorvanta://host?data=") + data,
           std::string("quorvanta://pair/path?data=") + data,
           std::string("quorvanta://user@pair?data=") + data,
           std::string("quorvanta://pair:48725?data=") + data,
           std::string("quorvanta://pair?data=") + data.substr(0, data.size() - 5),
           std::string("quorvanta://pair?data=") + data + "!",
           std::string("quorvanta://pair?data=%zz") + data,
           std::string("quorvanta://pair?data=+") + data.substr(1),
           std::string("quorvanta://pair?data=/") + data.substr(1),
           std::string("quorvanta://pair?data=") + base64UrlEncode(asBytes(std::string("{\"version\":1}"))),
           std::string("quorvanta://pair?data=") + base64UrlEncode(asBytes(std::string("not json at all"))),
       }) {
    EXPECT_FALSE(parsePairingLink(link)) << link;
  }
}

}  // namespace
}  // namespace quorvanta
