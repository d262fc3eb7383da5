// Admission as an attacker exercises it. The host listens on 100.64.0.1 in a private network
// namespace whose loopback also carries the peers' addresses.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_model_harness.h"
#include "support/network_namespace.h"

namespace quorvanta::test {
namespace {

constexpr const char* kDeviceA = "0E1C7A52-7F34-4D8E-9C55-1B2A3C4D5E6F";

std::string peer(int index) {
  return "100.64.0." + std::to_string(index);
}

// Enters the namespace before any test starts a thread, so that every thread shares it.
class NamespaceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::vector<std::string> addresses;
    for (int index = 1; index <= 16; ++index)
      addresses.push_back(peer(index));
    problem_ = enterPrivateNetworkNamespace(addresses);
  }
  static const std::optional<std::string>& problem() { return problem_; }

 private:
  static inline std::optional<std::string> problem_;
};

[[maybe_unused]] const auto* const kNamespace = ::testing::AddGlobalTestEnvironment(new NamespaceEnvironment);

class HostAdmissionTest : public HostModelFixture {
 protected:
  void SetUp() override {
    if (NamespaceEnvironment::problem()) GTEST_SKIP() << *NamespaceEnvironment::problem();
    hostAddress_ = peer(1);
  }

  // Opens `count` connections from `address` that never send anything.
  void idle(const std::string& address, int count) {
    for (int index = 0; index < count; ++index)
      connect(address);
  }
};

TEST_F(HostAdmissionTest, PendingConnectionsAreLimitedPerPeerAndTheOldestSilentOneMakesRoom) {
  HostTimings timings;  // no deadline may interfere with the counting
  timings.firstMessageLimit = 60;
  timings.pendingLimit = 60;
  startSharing(timings);
  idle(peer(2), 4);
  ASSERT_TRUE(runUntil(main_, [&] { return model_->pendingCount() == 4; }));
  TestClient& fifth = connect(peer(2));
  EXPECT_TRUE(waitClosed(fifth));
  EXPECT_EQ(model_->pendingCount(), 4u);

  TestClient& oldestElsewhere = connect(peer(3));
  ASSERT_TRUE(runUntil(main_, [&] { return model_->pendingCount() == 5; }));
  for (int index = 4; index <= 10; ++index)
    connect(peer(index));
  ASSERT_TRUE(runUntil(main_, [&] { return model_->pendingCount() == 12; }));
  // The table is full of silent connections: a new one takes the place of the oldest.
  TestClient& thirteenth = connect(peer(11));
  ASSERT_TRUE(runUntil(main_, [&] { return clients_.front()->closed(); }));
  EXPECT_FALSE(thirteenth.closed());
  EXPECT_FALSE(oldestElsewhere.closed());
  EXPECT_EQ(model_->pendingCount(), 12u);
}

TEST_F(HostAdmissionTest, IdleConnectionsFromSeveralAddressesCannotKeepAPairedDeviceOut) {
  startSharing();
  auto [phone, token] = pair(kDeviceA, "Phone");
  phone->close();
  ASSERT_TRUE(runUntil(main_, [&] { return !model_->activeDeviceID(); }));

  // Three addresses keep every pending slot busy and never say anything.
  for (int index = 2; index <= 4; ++index)
    idle(peer(index), 4);
  ASSERT_TRUE(runUntil(main_, [&] { return model_->pendingCount() == 12; }));
  TestClient& back = connect(peer(5));
  back.send(authenticateMessage(hostID(), kDeviceA, token));
  ASSERT_TRUE(waitFor(back, "hello"));

  // Silence is cut off after about three seconds, long before the ten allowed for authentication.
  EXPECT_TRUE(runUntil(
      main_, [&] { return model_->pendingCount() == 0; }, std::chrono::seconds(7)));
  EXPECT_FALSE(back.closed());
}

TEST_F(HostAdmissionTest, NothingAfterTheFirstRefusalOnAConnectionIsEvaluated) {
  startSharing();
  ASSERT_EQ(model_->makeInvitation(), std::nullopt);
  const auto invitation = model_->state().invitation;
  TestClient& guesser = connect(peer(6));
  guesser.send(pairMessage(hostID(), kDeviceA, "wrong"));
  guesser.send(pairMessage(hostID(), kDeviceA, invitation->secret));
  ASSERT_TRUE(waitFor(guesser, "authRejected"));
  EXPECT_TRUE(waitClosed(guesser));
  EXPECT_FALSE(guesser.find("paired"));
  EXPECT_TRUE(model_->state().devices.empty());
  EXPECT_EQ(model_->state().invitation, invitation);  // not used up
}

TEST_F(HostAdmissionTest, PeersOutsideTheTailnetAreClosedBeforeTls) {
  startSharing();
  TestClient& outsider = connect("127.0.0.1");
  EXPECT_TRUE(waitClosed(outsider));
  EXPECT_EQ(model_->attemptRecords(), 0u);  // never counted as an attempt

  // The host's own address is fine.
  TestClient& local = connect(peer(1));
  EXPECT_TRUE(runUntil(main_, [&] { return model_->pendingCount() == 1; }));
  EXPECT_FALSE(local.closed());
}

TEST_F(HostAdmissionTest, ConnectionAttemptsAndWrongCredentialsAreLimitedPerAddressApart) {
  struct Case {
    const char* name;
    int heldOver;         // silent connections of the previous minute that guess in this one
    int idle;             // connections without a message in this minute
    int guesses;          // wrong tokens, each on a new connection, in this minute
    const char* outcome;  // for the right token on the next connection; "" when it is closed unheard
  };
  const Case cases[] = {
      {"30 idle connections: the 31st is refused", 0, 30, 0, ""},
      {"26 wrong tokens leave room for the right one", 0, 0, 26, "hello"},
      {"30 wrong tokens refuse the right one on the 27th connection", 4, 0, 26, "authRejected"},
  };
  startSharing();
  auto [phone, token] = pair(kDeviceA, "Phone");
  phone->close();
  int address = 8;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(runUntil(main_, [&] { return !model_->activeDeviceID() && model_->pendingCount() == 0; }));
    const std::string from = peer(address++);
    std::vector<TestClient*> held;
    for (int index = 0; index < c.heldOver; ++index)
      held.push_back(&connect(from));
    ASSERT_TRUE(
        runUntil(main_, [&] { return model_->pendingCount() == static_cast<std::size_t>(c.heldOver); }));
    monotonic_.advance(61);
    for (int index = 0; index < c.idle; ++index) {
      TestClient& client = connect(from);
      ASSERT_TRUE(runUntil(main_, [&] { return model_->pendingCount() == 1; })) << index;
      client.close();
      ASSERT_TRUE(runUntil(main_, [&] { return model_->pendingCount() == 0; }));
    }
    const auto guess = [&](TestClient& client) {
      client.send(authenticateMessage(hostID(), kDeviceA, "wrong"));
      ASSERT_TRUE(waitFor(client, "authRejected") && waitClosed(client));
      EXPECT_EQ(client.find("authRejected")->message,
                "This device is no longer trusted. Pair it with the Mac again.");
    };
    for (TestClient* client : held)
      guess(*client);
    for (int index = 0; index < c.guesses; ++index)
      guess(connect(from));
    TestClient& right = connect(from);
    right.send(authenticateMessage(hostID(), kDeviceA, token));
    EXPECT_TRUE(*c.outcome != '\0' ? waitFor(right, c.outcome)
                                   : waitClosed(right) && right.messages().empty());
    right.close();
  }
}

}  // namespace
}  // namespace quorvanta::test
