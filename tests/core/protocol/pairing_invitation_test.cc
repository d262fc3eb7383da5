#include "core/protocol/pairing_invitation.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <limits>
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

TEST(PairingInvitationTest, JsonIsCompactWithEveryKeyRequiredAndTheLinkDropsPadding) {
  const auto json = encodePairingInvitation(sample());
  ASSERT_TRUE(json);
  EXPECT_EQ(*json, R"({"address":"100.101.102.103","certificateHash":")" + std::string(64, 'a') +
                       R"(","expiresAt":786000000.25,"hostID":"6F1C3B0E-6A52-4C35-9E0B-3C8B9E2A1D77",)"
                       R"("name":"Studio Workstation","port":48725,"secret":")" +
                       sample().secret + R"(","version":1})");
  const Json full = Json::parse(*json);
  for (const auto& [key, value] : full.items()) {
    Json missing = full;
    missing.erase(key);
    EXPECT_FALSE(decodePairingInvitation(missing.dump())) << "without " << key;
    Json wrong = full;
    wrong[key] = value.is_string() ? Json(5) : Json("5");
    EXPECT_FALSE(decodePairingInvitation(wrong.dump())) << key << " of the wrong type";
  }
  // Growing the name one byte at a time walks the JSON length through each remainder mod 3.
  for (int extra = 0; extra < 3; ++extra) {
    PairingInvitation invitation = sample();
    invitation.name += std::string(static_cast<std::size_t>(extra), 'x');
    const std::string padded = base64Encode(asBytes(*encodePairingInvitation(invitation)));
    const std::string data = dataOf(*invitation.url());
    EXPECT_EQ(data.find_first_of("+/="), std::string::npos);
    EXPECT_EQ(padded.find_first_not_of('=', data.size()), std::string::npos) << data;
    EXPECT_EQ(parsePairingLink(*invitation.url()), invitation);
  }
  PairingInvitation invalid = sample();
  invalid.name = "bad \xff byte";
  EXPECT_FALSE(invalid.url());
  invalid = sample();
  invalid.expiresAt = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(invalid.url());
}

TEST(PairingInvitationTest, LinksAreReadInTheFormsAClientMeetsAndOthersAreRefused) {
  const PairingInvitation invitation = sample();
  const std::string data = dataOf(*invitation.url());
  std::string padded = data;
  while (padded.size() % 4 != 0)
    padded.push_back('=');
  for (const std::string& link :
       {"QUORVANTA://Pair?data=" + data, "quorvanta://pair?other=1&data=" + data + "&more",
        "quorvanta://pair?data=" + data + "#fragment", "  quorvanta://pair?data=" + padded})
    EXPECT_EQ(parsePairingLink(link), invitation) << link;
  const std::string prefix = "quorvanta://pair?data=";
  for (const std::string& link : {
           std::string("quorvanta://pair?foo=") + data,
           "https://pair?data=" + data,
           "quorvanta://host?data=" + data,
           "quorvanta://user@pair?data=" + data,
           "quorvanta://pair:48725?data=" + data,
           prefix + data.substr(0, data.size() - 5),
           prefix + data + "!",
           prefix + "+" + data.substr(1),
           prefix + base64UrlEncode(asBytes(std::string("{\"version\":1}"))),
       }) {
    EXPECT_FALSE(parsePairingLink(link)) << link;
  }
}

}  // namespace
}  // namespace quorvanta
