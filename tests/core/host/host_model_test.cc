// The host model on real TLS connections over 127.0.0.1, with in-memory credentials and clocks the
// tests move by hand. Ticks are called directly.

#include "core/host/host_model.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/trust/secure_store.h"
#include "host_model_harness.h"

namespace quorvanta::test {
namespace {

constexpr const char* kDeviceA = "0E1C7A52-7F34-4D8E-9C55-1B2A3C4D5E6F";
constexpr const char* kDeviceB = "9A8B7C6D-5E4F-4A3B-8C2D-1E0F2A3B4C5D";
constexpr const char* kCodeExpired =
    "The pairing code expired or was already used. Create a new code on the Mac.";

using HostModelTest = HostModelFixture;

TEST_F(HostModelTest, StartNeedsCredentialsAndRecordsTheIntentOnlyWithThem) {
  environment_->store.readFailure = kStatusNotAvailable;
  makeModel("127.0.0.1");
  EXPECT_EQ(model_->state().error, storageError(kStatusNotAvailable).message());

  model_->start();
  EXPECT_FALSE(model_->listening());
  EXPECT_FALSE(storedHostEnabled());
  EXPECT_EQ(model_->state().status, "Sharing is off");

  environment_->store.readFailure.reset();
  model_->loadCredentials(true);
  EXPECT_EQ(model_->state().error, std::nullopt);
  model_->start();
  ASSERT_TRUE(runUntil(main_, [&] { return model_->state().running; }));
  EXPECT_EQ(model_->state().status, "Ready for your paired devices");
  EXPECT_TRUE(storedHostEnabled());
  EXPECT_EQ(model_->state().credentialStore, SecureStore::Kind::file);

  model_->start();  // already listening: nothing changes
  EXPECT_TRUE(model_->state().running);

  model_->stop(false);
  EXPECT_FALSE(model_->state().running);
  EXPECT_FALSE(model_->listening());
  EXPECT_EQ(model_->state().status, "Sharing is off");
  EXPECT_FALSE(storedHostEnabled());
}

TEST_F(HostModelTest, WaitsForTailscaleAndRetriesEveryTenSecondsAtTheTick) {
  makeModel("");
  model_->start();
  EXPECT_EQ(model_->state().status, "Waiting for Tailscale");
  EXPECT_EQ(model_->state().error, "Connect Tailscale on this Mac. Sharing will start automatically.");
  EXPECT_TRUE(storedHostEnabled());

  const int before = environment_->lookups();
  model_->tick();  // never refreshed from the tick yet: looks up now
  ASSERT_TRUE(runUntil(main_, [&] { return environment_->lookups() == before + 1; }));
  runUntil(
      main_, [] { return false; }, std::chrono::milliseconds(20));

  environment_->setAddress("127.0.0.1");
  monotonic_.advance(9);
  model_->tick();  // too soon
  runUntil(
      main_, [] { return false; }, std::chrono::milliseconds(20));
  EXPECT_EQ(environment_->lookups(), before + 1);
  EXPECT_FALSE(model_->listening());

  monotonic_.advance(3);  // 12 s after the last lookup: the fourth tick
  model_->tick();
  ASSERT_TRUE(runUntil(main_, [&] { return model_->state().running; }));
  EXPECT_EQ(model_->state().address, "127.0.0.1");
  EXPECT_EQ(model_->state().error, std::nullopt);
}

TEST_F(HostModelTest, AnAddressNotOnThisMachineLeavesSharingWantedAndWaiting) {
  makeModel("100.64.0.9");
  model_->start();
  ASSERT_TRUE(runUntil(main_, [&] { return !model_->listening(); }));
  EXPECT_EQ(model_->state().status, "Waiting for Tailscale");
  EXPECT_FALSE(model_->state().running);
  EXPECT_TRUE(storedHostEnabled());
}

TEST_F(HostModelTest, InvitationNeedsSharingAndExpiresAtTheTick) {
  makeModel("127.0.0.1");
  EXPECT_EQ(model_->makeInvitation(), "Turn on sharing before pairing a device.");
  EXPECT_EQ(model_->state().error, "Turn on sharing before pairing a device.");
  EXPECT_EQ(model_->state().invitation, std::nullopt);

  model_->start();
  ASSERT_TRUE(runUntil(main_, [&] { return model_->state().running; }));
  ASSERT_EQ(model_->makeInvitation(), std::nullopt);
  const PairingInvitation first = *model_->state().invitation;
  EXPECT_EQ(first.address, "127.0.0.1");
  EXPECT_EQ(first.port, port_);
  EXPECT_EQ(first.name, "Test Computer");
  EXPECT_EQ(first.certificateHash, model_->identity()->certificateHash());
  EXPECT_EQ(first.expiresAt, *wall_.now + 300);
  EXPECT_EQ(first.secret.size(), 43u);

  model_->makeInvitation();
  EXPECT_NE(model_->state().invitation->secret, first.secret);

  wall_.advance(299.5);
  model_->tick();
  EXPECT_TRUE(model_->state().invitation.has_value());
  wall_.advance(0.5);
  model_->tick();
  EXPECT_EQ(model_->state().invitation, std::nullopt);
}

TEST_F(HostModelTest, PairingIsOneUseAndMayBeRepeatedByTheSameDeviceForSixtySeconds) {
  startSharing();
  ASSERT_EQ(model_->makeInvitation(), std::nullopt);
  const std::string secret = model_->state().invitation->secret;

  TestClient& first = connect();
  first.send(pairMessage(hostID(), kDeviceA, secret, "Anna's iPhone"));
  ASSERT_TRUE(waitFor(first, "hello"));
  const auto paired = first.find("paired");
  ASSERT_TRUE(paired && paired->token);
  EXPECT_EQ(paired->hostID, hostID());
  EXPECT_EQ(paired->name, "Test Computer");
  const auto hello = first.find("hello");
  EXPECT_EQ(hello->controlAllowed, false);
  EXPECT_EQ(hello->features, (std::vector<std::string>{"frameAck", "warmResume"}));
  EXPECT_EQ(model_->state().invitation, std::nullopt);
  ASSERT_EQ(model_->state().devices.size(), 1u);
  EXPECT_EQ(model_->state().devices[0].name, "Anna's iPhone");
  EXPECT_EQ(model_->state().activeDevice, "Anna's iPhone");
  EXPECT_EQ(model_->state().status, "Connected to Anna's iPhone");

  // The reply was lost, say: the same request gets the same token and replaces the session.
  TestClient& again = connect();
  again.send(pairMessage(hostID(), kDeviceA, secret, "Anna's iPhone"));
  ASSERT_TRUE(waitFor(again, "hello"));
  EXPECT_EQ(again.find("paired")->token, paired->token);
  EXPECT_TRUE(waitClosed(first));

  TestClient& other = connect();
  other.send(pairMessage(hostID(), kDeviceB, secret));
  ASSERT_TRUE(waitFor(other, "authRejected"));
  EXPECT_EQ(other.find("authRejected")->message, kCodeExpired);
  EXPECT_TRUE(waitClosed(other));
  EXPECT_EQ(model_->state().devices.size(), 1u);

  wall_.advance(61);
  TestClient& late = connect();
  late.send(pairMessage(hostID(), kDeviceA, secret));
  ASSERT_TRUE(waitFor(late, "authRejected"));
  EXPECT_EQ(model_->activeDeviceID(), kDeviceA);  // a refusal never touches the session

  // The token authenticates; the features are kept for the session.
  TestClient& back = connect();
  auto authenticate = authenticateMessage(hostID(), kDeviceA, *paired->token);
  authenticate.features = std::vector<std::string>{"frameAck", "somethingNew"};
  back.send(authenticate);
  ASSERT_TRUE(waitFor(back, "hello"));
  EXPECT_EQ(model_->activeFeatures(), (std::set<std::string>{"frameAck", "somethingNew"}));
}

TEST_F(HostModelTest, RefusalsSayWhyAndCloseWithoutChangingAnything) {
  startSharing();
  const auto [phone, token] = pair(kDeviceA, "Phone");
  const auto devices = model_->state().devices;

  ControlMessage wrongHost = authenticateMessage("7D5E2B1A-0000-4000-8000-000000000000", kDeviceA, token);
  ControlMessage badDevice = authenticateMessage(hostID(), "not-a-uuid", token);
  ControlMessage wrongToken = authenticateMessage(hostID(), kDeviceA, token + "x");
  ControlMessage noToken = authenticateMessage(hostID(), kDeviceA, token);
  noToken.token.reset();
  ControlMessage noSecret = pairMessage(hostID(), kDeviceB, "");
  noSecret.secret.reset();
  const std::vector<std::pair<ControlMessage, std::string>> cases = {
      {ControlMessage::make("ping"), "Pair this device with the host again."},
      {wrongHost, "Pair this device with the host again."},
      {badDevice, "Pair this device with the host again."},
      {wrongToken, "This device is no longer trusted. Pair it with the Mac again."},
      {noToken, "This device is no longer trusted. Pair it with the Mac again."},
      {noSecret, kCodeExpired},
      {pairMessage(hostID(), kDeviceB, "guessed"), kCodeExpired},
  };
  for (const auto& [message, text] : cases) {
    TestClient& client = connect();
    client.send(message);
    ASSERT_TRUE(waitFor(client, "authRejected")) << message.type;
    EXPECT_EQ(client.find("authRejected")->message, text);
    EXPECT_TRUE(waitClosed(client));
  }
  EXPECT_EQ(model_->state().devices, devices);
  EXPECT_EQ(model_->activeDeviceID(), kDeviceA);
  EXPECT_FALSE(phone->closed());
  EXPECT_TRUE(runUntil(main_, [&] { return model_->pendingCount() == 0; }));
}

TEST_F(HostModelTest, ASecondDeviceIsBusyUnlessItTakesTheSessionOver) {
  startSharing();
  auto [anna, annaToken] = pair(kDeviceA, "Anna's iPhone");

  // Pairing while another device is in session stores the device, then says busy.
  ASSERT_EQ(model_->makeInvitation(), std::nullopt);
  TestClient& ben = connect();
  ben.send(pairMessage(hostID(), kDeviceB, model_->state().invitation->secret, "Ben's iPad"));
  ASSERT_TRUE(waitFor(ben, "busy"));
  const auto benToken = ben.find("paired")->token;
  ASSERT_TRUE(benToken);
  EXPECT_EQ(ben.find("busy")->message, "This Mac is in use by Anna's iPhone.");
  EXPECT_EQ(ben.find("busy")->deviceName, "Anna's iPhone");
  EXPECT_TRUE(waitClosed(ben));
  EXPECT_EQ(model_->state().devices.size(), 2u);
  EXPECT_EQ(model_->activeDeviceID(), kDeviceA);

  TestClient& takeover = connect();
  auto authenticate = authenticateMessage(hostID(), kDeviceB, *benToken);
  authenticate.takeover = true;
  takeover.send(authenticate);
  ASSERT_TRUE(waitFor(takeover, "hello"));
  ASSERT_TRUE(waitFor(*anna, "takenOver"));
  EXPECT_EQ(anna->find("takenOver")->message, "Your session moved to Ben's iPad.");
  EXPECT_EQ(anna->find("takenOver")->deviceName, "Ben's iPad");
  EXPECT_TRUE(waitClosed(*anna));
  EXPECT_EQ(model_->state().status, "Connected to Ben's iPad");

  // Revoking the device in session ends it at once; its token stops working.
  EXPECT_EQ(model_->revoke(kDeviceB), std::nullopt);
  EXPECT_TRUE(waitClosed(takeover));
  EXPECT_EQ(model_->state().activeDevice, std::nullopt);
  EXPECT_EQ(model_->state().status, "Ready for your paired devices");
  EXPECT_EQ(model_->state().devices.size(), 1u);
  EXPECT_EQ(model_->revoke("5B2C0D2E-1111-4222-8333-444455556666"), std::nullopt);
  EXPECT_EQ(model_->state().devices.size(), 1u);

  TestClient& revoked = connect();
  revoked.send(authenticateMessage(hostID(), kDeviceB, *benToken));
  ASSERT_TRUE(waitFor(revoked, "authRejected"));
}

TEST_F(HostModelTest, SessionsEndOnSilenceDisconnectAndStop) {
  startSharing();
  auto [phone, token] = pair(kDeviceA, "Phone");
  model_->setControlEnabled(true);
  ASSERT_TRUE(waitFor(*phone, "permissions"));
  EXPECT_EQ(phone->find("permissions")->controlAllowed, false);  // no stream yet

  phone->send(ControlMessage::make("ping"));
  ASSERT_TRUE(waitFor(*phone, "pong"));
  monotonic_.advance(20);
  model_->tick();
  EXPECT_EQ(model_->activeDeviceID(), kDeviceA);
  monotonic_.advance(1.5);
  model_->tick();
  EXPECT_EQ(model_->activeDeviceID(), std::nullopt);
  EXPECT_TRUE(waitClosed(*phone));
  EXPECT_EQ(model_->state().status, "Ready for your paired devices");

  TestClient& again = connect();
  again.send(authenticateMessage(hostID(), kDeviceA, token));
  ASSERT_TRUE(waitFor(again, "hello"));
  again.send(ControlMessage::make("disconnect"));
  EXPECT_TRUE(waitClosed(again));
  EXPECT_EQ(model_->activeDeviceID(), std::nullopt);

  TestClient& last = connect();
  last.send(authenticateMessage(hostID(), kDeviceA, token));
  ASSERT_TRUE(waitFor(last, "hello"));
  ASSERT_EQ(model_->makeInvitation(), std::nullopt);
  model_->stop(false);
  EXPECT_TRUE(waitClosed(last));
  EXPECT_EQ(model_->state().invitation, std::nullopt);
  EXPECT_EQ(model_->state().status, "Sharing is off");
}

TEST_F(HostModelTest, SilentConnectionsAreClosedAtTheirDeadline) {
  HostTimings timings;
  timings.pendingLimit = 0.3;
  startSharing(timings);
  TestClient& silent = connect();
  ASSERT_TRUE(runUntil(main_, [&] { return model_->pendingCount() == 1; }));
  EXPECT_TRUE(waitClosed(silent));
  EXPECT_TRUE(runUntil(main_, [&] { return model_->pendingCount() == 0; }));
}

TEST_F(HostModelTest, ADeviceNameCannotSteerTerminalsOrSilenceTheMessagesThatNameIt) {
  startSharing();
  std::string marks;
  for (int index = 0; index < 20000; ++index)
    marks += "\xCC\x81";  // U+0301 COMBINING ACUTE ACCENT
  const std::string hostile =
      "\x1b]0;owned\x07\xE2\x80\xAE"
      "evil\xC2\x9B" +
      std::string("a") + marks;
  auto [anna, annaToken] = pair(kDeviceA, hostile);
  ASSERT_EQ(model_->state().devices.size(), 1u);
  const std::string stored = model_->state().devices[0].name;
  EXPECT_LE(stored.size(), 256u);
  EXPECT_EQ(stored.rfind("\xEF\xBF\xBD]0;owned\xEF\xBF\xBD\xEF\xBF\xBD"
                         "evil\xEF\xBF\xBD"
                         "a\xCC\x81",
                         0),
            0u)
      << stored;

  // The refusal that names it still reaches the second device.
  ASSERT_EQ(model_->makeInvitation(), std::nullopt);
  TestClient& ben = connect();
  ben.send(pairMessage(hostID(), kDeviceB, model_->state().invitation->secret, "Ben"));
  ASSERT_TRUE(waitFor(ben, "busy"));
  EXPECT_EQ(ben.find("busy")->deviceName, stored);
}

}  // namespace
}  // namespace quorvanta::test
