#include "core/trust/device_registry.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "core/protocol/utf8.h"
#include "support/fake_secure_store.h"

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
  EXPECT_EQ(store_.writes, 0);

  registry.add("device-1", "Anna's iPhone", "token-one");
  ASSERT_EQ(store_.writes, 1);
  const std::string stored = *store_.text(kAccount);
  EXPECT_EQ(stored.find('\n'), std::string::npos);
  EXPECT_EQ(stored.find(": "), std::string::npos);
  EXPECT_EQ(stored.find(", "), std::string::npos);

  const auto list = nlohmann::json::parse(stored);
  ASSERT_TRUE(list.is_array());
  ASSERT_EQ(list.size(), 1u);
  const auto& entry = list[0];
  EXPECT_EQ(entry.size(), 4u);
  EXPECT_EQ(entry.at("id"), "device-1");
  EXPECT_EQ(entry.at("name"), "Anna's iPhone");
  EXPECT_EQ(entry.at("tokenHash"), hash("token-one"));
  ASSERT_TRUE(entry.at("pairedAt").is_number_float());
  EXPECT_EQ(entry.at("pairedAt").get<double>(), 700000000.25);

  // A fresh registry reads back exactly what was written.
  const auto reloaded = makeRegistry();
  EXPECT_EQ(reloaded.devices(), registry.devices());
  EXPECT_TRUE(reloaded.accepts("device-1", "token-one"));
}

TEST_F(DeviceRegistryTest, DeviceLimitRefusesNewIDsButAllowsRePairing) {
  auto registry = makeRegistry();
  for (int i = 0; i < 50; ++i)
    registry.add("device-" + std::to_string(i), "Phone", "token-" + std::to_string(i));
  const auto before = registry.devices();
  const int writes = store_.writes;

  try {
    registry.add("device-50", "One too many", "token-50");
    FAIL() << "the 51st device was added";
  } catch (const QuorvantaError& error) {
    EXPECT_EQ(error.message(), kLimitMessage);
  }
  EXPECT_EQ(registry.devices(), before);
  EXPECT_EQ(store_.writes, writes);

  now_ += 60;
  registry.add("device-7", "Renamed", "fresh-token");
  ASSERT_EQ(registry.devices().size(), 50u);
  EXPECT_EQ(registry.devices().back().id, "device-7");
  EXPECT_EQ(registry.devices().back().name, "Renamed");
  EXPECT_EQ(registry.devices().back().pairedAt, now_);
  EXPECT_EQ(registry.devices()[7].id, "device-8");
  EXPECT_FALSE(registry.accepts("device-7", "token-7"));
  EXPECT_TRUE(registry.accepts("device-7", "fresh-token"));
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
  const auto& name = registry.devices().back().name;
  EXPECT_EQ(graphemeCount(name), 32u);
  EXPECT_EQ(name, emoji.substr(0, std::size_t{32} * 8));
  registry.add("accents", std::string(100, 'e') + "\xCC\x81", "t");
  EXPECT_EQ(registry.devices().back().name, std::string(80, 'e'));

  registry.add("short", "iPad", "t");
  EXPECT_EQ(registry.devices().back().name, "iPad");
}

TEST_F(DeviceRegistryTest, AcceptsOnlyTheExactTokenOfAListedDevice) {
  auto registry = makeRegistry();
  registry.add("device-1", "Phone", "Secret-Token_abc");
  EXPECT_TRUE(registry.accepts("device-1", "Secret-Token_abc"));
  EXPECT_FALSE(registry.accepts("device-1", "secret-token_abc"));
  EXPECT_FALSE(registry.accepts("device-1", ""));
  EXPECT_FALSE(registry.accepts("device-2", "Secret-Token_abc"));
}

TEST_F(DeviceRegistryTest, CanonicallyEquivalentIDsAreTheSameDevice) {
  auto registry = makeRegistry();
  registry.add("caf\x65\xCC\x81", "Decomposed", "token");  // "café" with a combining accent
  EXPECT_TRUE(registry.accepts("caf\xC3\xA9", "token"));   // precomposed "é"

  registry.add("caf\xC3\xA9", "Precomposed", "other");
  ASSERT_EQ(registry.devices().size(), 1u);
  EXPECT_EQ(registry.devices()[0].name, "Precomposed");

  registry.revoke("caf\x65\xCC\x81");
  EXPECT_TRUE(registry.devices().empty());
}

TEST_F(DeviceRegistryTest, RevokeAlwaysRewritesTheStoredList) {
  auto registry = makeRegistry();
  registry.add("a", "A", "ta");
  registry.add("b", "B", "tb");
  const auto before = registry.devices();
  const std::string storedBefore = *store_.text(kAccount);

  registry.revoke("unknown");
  EXPECT_EQ(store_.writes, 3);
  EXPECT_EQ(registry.devices(), before);
  EXPECT_EQ(*store_.text(kAccount), storedBefore);

  registry.revoke("a");
  ASSERT_EQ(registry.devices().size(), 1u);
  EXPECT_EQ(registry.devices()[0].id, "b");
  EXPECT_FALSE(registry.accepts("a", "ta"));
  EXPECT_EQ(storedJson().size(), 1u);
}

TEST_F(DeviceRegistryTest, FailedWritesLeaveTheListAsItWas) {
  auto registry = makeRegistry();
  registry.add("a", "A", "ta");
  const auto before = registry.devices();
  const std::string expected = storageError(-25308).message();
  store_.writeFailure = -25308;

  try {
    registry.add("b", "B", "tb");
    FAIL() << "add succeeded";
  } catch (const QuorvantaError& error) {
    EXPECT_EQ(error.message(), expected);
  }
  EXPECT_THROW(registry.add("a", "A", "new-token"), QuorvantaError);
  EXPECT_THROW(registry.revoke("a"), QuorvantaError);
  EXPECT_EQ(registry.devices(), before);
  EXPECT_TRUE(registry.accepts("a", "ta"));
}

TEST_F(DeviceRegistryTest, StoreErrorsAndInteractionReachTheCaller) {
  store_.lockedStatus = -25308;
  try {
    makeRegistry(false);
    FAIL() << "a locked store was read";
  } catch (const QuorvantaError& error) {
    EXPECT_EQ(error.message(), storageError(-25308).message());
  }
  EXPECT_NO_THROW(makeRegistry(true));
  EXPECT_EQ(store_.lastReadAllowedInteraction, true);
}

TEST_F(DeviceRegistryTest, ReaderAcceptsAnyKeyOrderAndUnknownKeys) {
  store_.put(kAccount, R"([{"pairedAt":12,"extra":[1,2],"tokenHash":"h1","name":"N1","id":"i1"},)"
                       R"({"id":"i2","name":"N2","tokenHash":"h2","pairedAt":-5.5}])");
  const auto registry = makeRegistry();
  ASSERT_EQ(registry.devices().size(), 2u);
  EXPECT_EQ(registry.devices()[0], (TrustedDevice{"i1", "N1", "h1", 12.0}));
  EXPECT_EQ(registry.devices()[1], (TrustedDevice{"i2", "N2", "h2", -5.5}));
}

TEST_F(DeviceRegistryTest, MalformedStoredListsFailCreationAndStayStored) {
  const char* malformed[] = {
      R"([{"id":"a","name":"A","tokenHash":"h","pairedAt":"700000000"}])",  // date as text
      R"([{"id":"a","name":"A","tokenHash":"h"}])",                         // key missing
      R"([{"id":7,"name":"A","tokenHash":"h","pairedAt":1.5}])",            // wrong type
      R"([{"id":"a","name":"A","tokenHash":"h","pairedAt":1e400}])",        // out of range
      R"({"id":"a","name":"A","tokenHash":"h","pairedAt":1.5})",            // not an array
      R"([["a","A","h",1.5]])",                                             // not objects
      R"([{"id":"a","name":"A","tokenHash":"h","pairedAt":1.5})",           // truncated
      "",
  };
  for (const char* text : malformed) {
    SCOPED_TRACE(text);
    store_.put(kAccount, text);
    try {
      makeRegistry();
      ADD_FAILURE() << "creation succeeded";
    } catch (const QuorvantaError& error) {
      EXPECT_EQ(error.message(), "The stored device list could not be read.");
    }
    EXPECT_EQ(*store_.text(kAccount), text);
  }
  EXPECT_EQ(store_.writes, 0);
}

TEST(DeviceRegistryClockTest, DatesCountFromTheStartOf2001) {
  using namespace std::chrono;
  EXPECT_EQ(secondsSince2001(system_clock::time_point(seconds(978307200))), 0.0);
  EXPECT_EQ(secondsSince2001(system_clock::time_point(seconds(978307200) + milliseconds(1500))), 1.5);
}

}  // namespace
}  // namespace quorvanta
