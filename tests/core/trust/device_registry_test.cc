#include "core/trust/device_registry.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "support/fake_secure_store.h"
#include "support/test_helpers.h"

namespace quorvanta {
namespace {

constexpr const char* kHostID = "5A0C27A4-6E61-4C5B-9D0E-0F3E6B8C2D11";
constexpr const char* kAccount = "host-devices-5A0C27A4-6E61-4C5B-9D0E-0F3E6B8C2D11";
constexpr const char* kLimitMessage = "The host has reached its device limit. Remove an old device first.";

class DeviceRegistryTest : public testing::Test {
 protected:
  DeviceRegistry makeRegistry(bool allowInteraction = false) {
    return DeviceRegistry::create(kHostID, store_, allowInteraction, [this] { return now_; });
  }
  nlohmann::json storedJson() const { return nlohmann::json::parse(*store_.text(kAccount)); }

  test::FakeSecureStore store_;
  double now_ = 700000000.25;
};

TEST_F(DeviceRegistryTest, EmptyStartThenFirstAddCreatesTheCompactStoredList) {
  auto registry = makeRegistry();
  EXPECT_TRUE(registry.devices().empty());
  registry.add("device-1", "Anna's iPhone", "token-one");
  EXPECT_EQ(*store_.text(kAccount), R"([{"id":"device-1","name":"Anna's iPhone","tokenHash":")" +
                                        hash("token-one") + R"(","pairedAt":700000000.25}])");

  // A fresh registry reads back exactly what was written.
  EXPECT_TRUE(makeRegistry().accepts("device-1", "token-one"));
}

TEST_F(DeviceRegistryTest, DeviceLimitRefusesNewIDsButAllowsRePairing) {
  auto registry = makeRegistry();
  for (int i = 0; i < 50; ++i)
    registry.add("device-" + std::to_string(i), "Phone", "token-" + std::to_string(i));
  const int writes = store_.writes;
  EXPECT_EQ(test::thrownMessage([&] { registry.add("device-50", "One too many", "token-50"); }),
            kLimitMessage);
  EXPECT_EQ(store_.writes, writes);

  now_ += 60;
  registry.add("device-7", "Renamed", "fresh-token");
  ASSERT_EQ(registry.devices().size(), 50u);
  EXPECT_EQ(registry.devices().back(), (TrustedDevice{"device-7", "Renamed", hash("fresh-token"), now_}));
  EXPECT_EQ(storedJson().back().at("id"), "device-7");
}

TEST_F(DeviceRegistryTest, NamesAreCutToEightyCharactersNeverInsideOne) {
  auto registry = makeRegistry();
  registry.add("plain", std::string(100, 'x'), "t");
  EXPECT_EQ(registry.devices().back().name, std::string(80, 'x'));

  // A thumbs-up with a skin tone is two code points and eight bytes, but one character. Eighty
  // of them would take 640 bytes; a name also stays within 256.
  std::string emoji;
  for (int i = 0; i < 100; ++i)
    emoji += "\U0001F44D\U0001F3FD";
  registry.add("emoji", emoji, "t");
  EXPECT_EQ(registry.devices().back().name, emoji.substr(0, std::size_t{32} * 8));
  registry.add("accents", std::string(100, 'e') + "\xCC\x81", "t");
  EXPECT_EQ(registry.devices().back().name, std::string(80, 'e'));
}

TEST_F(DeviceRegistryTest, AcceptsOnlyTheExactTokenOfADeviceUnderAnyEquivalentID) {
  auto registry = makeRegistry();
  registry.add("caf\x65\xCC\x81", "Decomposed", "Secret-Token_abc");  // "café" with a combining accent
  EXPECT_TRUE(registry.accepts("caf\xC3\xA9", "Secret-Token_abc"));   // precomposed "é"
  for (const auto& [id, token] :
       {std::pair{"caf\xC3\xA9", "secret-token_abc"}, {"caf\xC3\xA9", ""}, {"cafe", "Secret-Token_abc"}})
    EXPECT_FALSE(registry.accepts(id, token)) << id << " " << token;
  registry.add("caf\xC3\xA9", "Precomposed", "other");
  ASSERT_EQ(registry.devices().size(), 1u);
  EXPECT_EQ(registry.devices()[0].name, "Precomposed");
}

TEST_F(DeviceRegistryTest, RevokeRewritesTheListAndFailedWritesChangeNothing) {
  auto registry = makeRegistry();
  registry.add("a", "A", "ta");
  registry.add("b", "B", "tb");
  registry.revoke("a");
  ASSERT_EQ(registry.devices().size(), 1u);
  EXPECT_FALSE(registry.accepts("a", "ta"));
  EXPECT_EQ(storedJson().size(), 1u);

  store_.writeFailure = -25308;
  EXPECT_EQ(test::thrownMessage([&] { registry.add("c", "C", "tc"); }), storageError(-25308).message());
  EXPECT_THROW(registry.add("b", "B", "new-token"), QuorvantaError);
  EXPECT_THROW(registry.revoke("b"), QuorvantaError);
  EXPECT_EQ(registry.devices().size(), 1u);
  EXPECT_TRUE(registry.accepts("b", "tb"));

  store_.lockedStatus = -25308;
  EXPECT_EQ(test::thrownMessage([&] { makeRegistry(false); }), storageError(-25308).message());
  EXPECT_NO_THROW(makeRegistry(true));
}

TEST_F(DeviceRegistryTest, StoredListsAreReadInAnyKeyOrderAndMalformedOnesStayStored) {
  store_.put(kAccount, R"([{"pairedAt":12,"extra":[1,2],"tokenHash":"h1","name":"N1","id":"i1"}])");
  EXPECT_EQ(makeRegistry().devices(), (std::vector<TrustedDevice>{{"i1", "N1", "h1", 12.0}}));
  const char* malformed[] = {
      R"([{"id":"a","name":"A","tokenHash":"h","pairedAt":"700000000"}])",  // date as text
      R"([{"id":"a","name":"A","tokenHash":"h"}])",                         // key missing
      R"([{"id":7,"name":"A","tokenHash":"h","pairedAt":1.5}])",            // wrong type
      R"([{"id":"a","name":"A","tokenHash":"h","pairedAt":1e400}])",        // out of range
      R"({"id":"a","name":"A","tokenHash":"h","pairedAt":1.5})",            // not an array
      R"([{"id":"a","name":"A","tokenHash":"h","pairedAt":1.5})",           // truncated
  };
  for (const char* text : malformed) {
    store_.put(kAccount, text);
    EXPECT_EQ(test::thrownMessage([&] { makeRegistry(); }), "The stored device list could not be read.")
        << text;
    EXPECT_EQ(*store_.text(kAccount), text);
  }
  EXPECT_EQ(store_.writes, 0);
}

}  // namespace
}  // namespace quorvanta
