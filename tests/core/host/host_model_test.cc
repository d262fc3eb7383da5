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
  EXPECT_TRUE(storedHostEnabled());
  model_->stop(false);
  EXPECT_FALSE(storedHostEnabled());
}

TEST_F(HostModelTest, WaitsForTailscaleAndRetriesEveryTenSecondsAtTheTick) {
  makeModel("100.64.0.9");  // an address that is not on this machine
  model_->start();
  ASSERT_TRUE(runUntil(main_, [&] { return !model_->listening(); }));
  EXPECT_EQ(model_->state().status, "Waiting for Tailscale");
  EXPECT_TRUE(storedHostEnabled());
  environment_->setAddress("");
  const int before = environment_->lookups();
  model_->tick();  // never refreshed from the tick yet: looks up now
  ASSERT_TRUE(runUntil(main_, [&] { return environment_->lookups() == before + 1; }));
  pause(std::chrono::milliseconds(20));
  EXPECT_EQ(model_->state().error, "Connect Tailscale on this computer. Sharing will start automatically.");

  environment_->setAddress("127.0.0.1");
  monotonic_.advance(9);
  model_->tick();  // too soon
  pause(std::chrono::milliseconds(20));
  EXPECT_EQ(environment_->lookups(), before + 1);
  monotonic_.advance(3);
  model_->tick();
  ASSERT_TRUE(runUntil(main_, [&] { return model_->state().running; }));
  EXPECT_EQ(model_->state().error, std::nullopt);
}

TEST_F(HostModelTest, InvitationNeedsSharingAndExpiresAtTheTick) {
  makeModel("127.0.0.1");
  EXPECT_EQ(model_->makeInvitation(), "Turn on sharing before pairing a device.");
  EXPECT_EQ(model_->state().invitation, std::nullopt);
  model_->start();
  ASSERT_TRUE(runUntil(main_, [&] { return model_->state().running; }));
  ASSERT_EQ(model_->makeInvitation(), std::nullopt);
  const std::string first = model_->state().invitation->secret;
  EXPECT_EQ(first.size(), 43u);
  model_->makeInvitation();
  EXPECT_NE(model_->state().invitation->secret, first);
  wall_.advance(299.5);
  model_->tick();
  EXPECT_TRUE(model_->state().invitation.has_value());
  wall_.advance(0.5);
  model_->tick();
  EXPECT_EQ(model_->state().invitation, std::nullopt);
}

TEST_F(HostModelTest, PairingMayBeRepeatedByTheSameDeviceForSixtySeconds) {
  startSharing();
  ASSERT_EQ(model_->makeInvitation(), std::nullopt);
  const std::string secret = model_->state().invitation->secret;
  TestClient& first = connect();
  first.send(pairMessage(hostID(), kDeviceA, secret, "Anna's iPhone"));
  ASSERT_TRUE(waitFor(first, "hello"));
  const auto token = first.find("paired")->token;
  ASSERT_TRUE(token);
  EXPECT_EQ(model_->state().status, "Connected to Anna's iPhone");

  // The reply was lost, say: the same request gets the same token and replaces the session.
  TestClient& again = connect();
  again.send(pairMessage(hostID(), kDeviceA, secret, "Anna's iPhone"));
  ASSERT_TRUE(waitFor(again, "hello"));
  EXPECT_EQ(again.find("paired")->token, token);
  EXPECT_TRUE(waitClosed(first));
  wall_.advance(61);
  TestClient& late = connect();
  late.send(pairMessage(hostID(), kDeviceA, secret));
  ASSERT_TRUE(waitFor(late, "authRejected"));
  EXPECT_EQ(model_->activeDeviceID(), kDeviceA);  // a refusal never touches the session
  EXPECT_EQ(model_->state().devices.size(), 1u);
}

TEST_F(HostModelTest, RefusalsSayWhyAndCloseWithoutChangingAnything) {
  startSharing();
  const auto [phone, token] = pair(kDeviceA, "Phone");
  const auto devices = model_->state().devices;
  ControlMessage noToken = authenticateMessage(hostID(), kDeviceA, token);
  noToken.token.reset();
  ControlMessage noSecret = pairMessage(hostID(), kDeviceB, "");
  noSecret.secret.reset();
  const std::vector<std::pair<ControlMessage, std::string>> cases = {
      {ControlMessage::make("ping"), "Pair this device with the host again."},
      {authenticateMessage("7D5E2B1A-0000-4000-8000-000000000000", kDeviceA, token),
       "Pair this device with the host again."},
      {authenticateMessage(hostID(), "not-a-uuid", token), "Pair this device with the host again."},
      {authenticateMessage(hostID(), kDeviceA, token + "x"),
       "This device is no longer trusted. Pair it with the Mac again."},
      {noToken, "This device is no longer trusted. Pair it with the Mac again."},
      {noSecret, kCodeExpired},
      {pairMessage(hostID(), kDeviceB, "guessed"), kCodeExpired},
  };
  for (const auto& [message, text] : cases) {
    TestClient& client = connect();
    client.send(message);
    ASSERT_TRUE(waitFor(client, "authRejected")) << text;
    EXPECT_EQ(client.find("authRejected")->message, text);
    EXPECT_TRUE(waitClosed(client));
  }
  EXPECT_EQ(model_->state().devices, devices);
  EXPECT_EQ(model_->activeDeviceID(), kDeviceA);
  EXPECT_FALSE(phone->closed());
}

TEST_F(HostModelTest, SessionsEndOnSilenceDisconnectAndStop) {
  startSharing();
  auto [phone, token] = pair(kDeviceA, "Phone");
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

  TestClient& last = reconnect(kDeviceA);
  ASSERT_EQ(model_->makeInvitation(), std::nullopt);
  model_->stop(false);
  EXPECT_TRUE(waitClosed(last));
  EXPECT_EQ(model_->state().invitation, std::nullopt);
}

TEST_F(HostModelTest, ADeviceNameCannotSteerTerminalsOrSilenceTheMessagesThatNameIt) {
  startSharing();
  std::string marks;
  for (int index = 0; index < 20000; ++index)
    marks += "\xCC\x81";  // U+0301 COMBINING ACUTE ACCENT
  pair(kDeviceA,
       "\x1b]0;owned\x07\xE2\x80\xAE"
       "evil\xC2\x9B"
       "a" +
           marks);
  const std::string stored = model_->state().devices.at(0).name;
  EXPECT_LE(stored.size(), 256u);
  EXPECT_EQ(stored.rfind("\xEF\xBF\xBD]0;owned\xEF\xBF\xBD\xEF\xBF\xBD"
                         "evil\xEF\xBF\xBD"
                         "a\xCC\x81",
                         0),
            0u)
      << stored;

  // Pairing while another device is in session stores the device, then says busy, naming it.
  ASSERT_EQ(model_->makeInvitation(), std::nullopt);
  TestClient& ben = connect();
  ben.send(pairMessage(hostID(), kDeviceB, model_->state().invitation->secret, "Ben"));
  ASSERT_TRUE(waitFor(ben, "busy"));
  EXPECT_TRUE(ben.find("paired"));
  EXPECT_EQ(ben.find("busy")->deviceName, stored);
  EXPECT_TRUE(waitClosed(ben));
  EXPECT_EQ(model_->state().devices.size(), 2u);
}

}  // namespace
}  // namespace quorvanta::test
