// Admission as an attacker exercises it: idle connections from several tailnet addresses, guesses
// on one connection, peers from outside the tailnet. The host listens on 100.64.0.1 in a private
// network namespace whose loopback also carries the peers' addresses.

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
  EXPECT_EQ(model_->activeDeviceID(), kDeviceA);

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
  EXPECT_FALSE(guesser.find("hello"));
  EXPECT_TRUE(model_->state().devices.empty());
  EXPECT_EQ(model_->state().invitation, invitation);  // not used up
  EXPECT_EQ(model_->activeDeviceID(), std::nullopt);
}

TEST_F(HostAdmissionTest, PeersOutsideTheTailnetAreClosedBeforeTls) {
  startSharing();
  TestClient& outsider = connect("127.0.0.1");
  EXPECT_TRUE(waitClosed(outsider));
  EXPECT_TRUE(outsider.messages().empty());
  EXPECT_EQ(model_->pendingCount(), 0u);
  EXPECT_EQ(model_->attemptRecords(), 0u);  // never counted as an attempt

  // The host's own address is fine.
  TestClient& local = connect(peer(1));
  EXPECT_TRUE(runUntil(main_, [&] { return model_->pendingCount() == 1; }));
  EXPECT_FALSE(local.closed());
}

TEST_F(HostAdmissionTest, ThirtyAttemptsPerPeerInAMinute) {
  startSharing();
  const auto attempt = [&] {
    TestClient& client = connect(peer(7));
    const bool accepted = runUntil(main_, [&] { return model_->pendingCount() == 1 || client.closed(); }) &&
                          model_->pendingCount() == 1;
    client.close();
    runUntil(main_, [&] { return model_->pendingCount() == 0; });
    return accepted;
  };
  for (int index = 0; index < 30; ++index)
    ASSERT_TRUE(attempt()) << index;
  EXPECT_FALSE(attempt());

  monotonic_.advance(60.5);
  EXPECT_TRUE(attempt());
  monotonic_.advance(120);
  model_->tick();
  EXPECT_EQ(model_->attemptRecords(), 0u);
}

}  // namespace
}  // namespace quorvanta::test
