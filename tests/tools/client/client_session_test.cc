#include "tools/client/client_session.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/util/unique_fd.h"
#include "tools/client/client_test_host.h"

namespace quorvanta::client {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using ClientSessionTest = ClientTest;

void answerPairing(PacketConnection& connection, const ControlMessage& received, const char* last) {
  if (received.type != "pair") return;
  connection.send(pairedMessage());
  connection.send(message(last, "This Mac is in use by Other phone."));
}

TEST_F(ClientSessionTest, PairingStoresTheStateAndPrintsEachMessage) {
  ScriptedHost host([](PacketConnection& c, const ControlMessage& m) { answerPairing(c, m, "hello"); });
  Options options = pairOptions(host.port());
  options.deviceName = "Test phone";
  options.features = std::vector<std::string>{"frameAck"};
  options.takeover = true;

  const Outcome result = run(options);
  EXPECT_EQ(result.code, kExitOk) << result.err;
  EXPECT_EQ(result.out, jsonLines({pairedMessage(), message("hello", "This Mac is in use by Other phone.")}));

  const auto state = loadClientState(statePath());
  ASSERT_TRUE(state);
  EXPECT_TRUE(isUuidText(state->deviceID));
  EXPECT_EQ(state->deviceName, "Test phone");
  EXPECT_EQ(state->hostID, kHostID);
  EXPECT_EQ(state->token, "new-token");
  EXPECT_EQ(state->certificateHash, certificateSha256Hex(hostIdentity().certificate.get()));
  EXPECT_EQ(state->address, "127.0.0.1");
  EXPECT_EQ(state->port, host.port());
  EXPECT_EQ(fs::status(statePath()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  const auto received = host.received();
  ASSERT_FALSE(received.empty());
  auto expected = ControlMessage::make("pair");
  expected.hostID = kHostID;
  expected.deviceID = state->deviceID;
  expected.deviceName = "Test phone";
  expected.secret = "invitation-secret";
  expected.features = std::vector<std::string>{"frameAck"};
  expected.takeover = true;
  EXPECT_EQ(received.front(), expected);
}

TEST_F(ClientSessionTest, BusyAfterPairingKeepsTheStateAndTheDeviceID) {
  storePairing(1);
  const std::string deviceID = loadClientState(statePath())->deviceID;
  ScriptedHost host([](PacketConnection& c, const ControlMessage& m) { answerPairing(c, m, "busy"); });

  const Outcome result = run(pairOptions(host.port()));
  EXPECT_EQ(result.code, kExitPairedBusy);
  EXPECT_EQ(result.err, "This Mac is in use by Other phone.\n");
  const auto state = loadClientState(statePath());
  ASSERT_TRUE(state);
  EXPECT_EQ(state->deviceID, deviceID);
  EXPECT_EQ(state->token, "new-token");
  EXPECT_EQ(state->port, host.port());
  EXPECT_EQ(state->deviceName.rfind("quorvanta-client on ", 0), 0u);
}

TEST_F(ClientSessionTest, PairingRefusesAHostWithAnotherCertificate) {
  ScriptedHost host([](PacketConnection& c, const ControlMessage& m) { answerPairing(c, m, "hello"); });
  const Outcome result = run(pairOptions(host.port(), std::string(64, '0')));
  EXPECT_EQ(result.code, kExitFailure);
  EXPECT_EQ(result.err, "The host's certificate does not match the pairing link.\n");
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(host.received().empty());
  EXPECT_FALSE(fs::exists(statePath()));
}

TEST_F(ClientSessionTest, PairingFailuresBeforeAnyAnswer) {
  std::uint16_t closedPort = 0;
  {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
    closedPort = acceptor.local_endpoint().port();
  }
  Outcome result = run(pairOptions(closedPort));
  EXPECT_EQ(result.code, kExitFailure);
  EXPECT_EQ(result.err, "Could not reach the host at 127.0.0.1:" + std::to_string(closedPort) +
                            ": Connection refused.\n");

  ScriptedHost silent([](PacketConnection&, const ControlMessage&) {});
  result = run(pairOptions(silent.port()), -1, 300ms);
  EXPECT_EQ(result.code, kExitFailure);
  EXPECT_EQ(result.err, "The host did not answer.\n");

  Options options = pairOptions(silent.port());
  options.link = "quorvanta://pair?data=bm90IGpzb24";
  result = run(options);
  EXPECT_EQ(result.code, kExitUsage);
  EXPECT_EQ(result.err, "This is not a Quorvanta pairing link.\n");
}

TEST_F(ClientSessionTest, ConnectAuthenticatesAndPrintsEveryMessage) {
  ScriptedHost host([](PacketConnection& c, const ControlMessage& m) {
    if (m.type != "authenticate") return;
    c.send(ControlMessage::make("hello"));
    c.send(message("notice", "Welcome."));
    c.finish(takenOverMessage());
  });
  storePairing(host.port());
  Options options;
  options.command = Command::connect;
  options.bindAddress = asio::ip::make_address_v4("127.0.0.2");

  const Outcome result = run(options);
  EXPECT_EQ(result.code, kExitOk) << result.err;
  EXPECT_EQ(result.out,
            jsonLines({ControlMessage::make("hello"), message("notice", "Welcome."), takenOverMessage()}));
  EXPECT_EQ(result.err, "Your session moved to Other phone.\n");
  EXPECT_EQ(host.peerAddress(), "127.0.0.2");

  const auto received = host.received();
  ASSERT_FALSE(received.empty());
  auto expected = ControlMessage::make("authenticate");
  expected.hostID = kHostID;
  expected.deviceID = "6F1C2D3E-4A5B-4C6D-8E7F-0123456789AB";
  expected.token = "stored-token";
  EXPECT_EQ(received.front(), expected);
}

TEST_F(ClientSessionTest, ConnectReportsARefusalOnceTheHostCloses) {
  ScriptedHost host([](PacketConnection& c, const ControlMessage&) {
    c.send(rejectedMessage());
    c.cancel();
  });
  storePairing(host.port());
  Options options;
  options.command = Command::connect;

  const Outcome result = run(options);
  EXPECT_EQ(result.code, kExitFailure);
  EXPECT_EQ(result.out, jsonLines({rejectedMessage()}));
  EXPECT_EQ(result.err, *rejectedMessage().message + "\n");

  fs::remove(statePath());
  const Outcome unpaired = run(options);
  EXPECT_EQ(unpaired.code, kExitUsage);
  EXPECT_EQ(unpaired.err, "This client is not paired. Run quorvanta-client pair LINK first.\n");
}

TEST_F(ClientSessionTest, RawModeForwardsValidLinesAndSkipsOthers) {
  ScriptedHost host([](PacketConnection& c, const ControlMessage& m) {
    if (m.type == "authenticate") c.send(ControlMessage::make("hello"));
    if (m.type == "clipboardRequest") c.finish(ControlMessage::make("disconnect"));
  });
  storePairing(host.port());
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  UniqueFd readEnd(ends[0]);
  {
    UniqueFd writeEnd(ends[1]);
    const std::string lines =
        "{\"type\":\"keyframe\",\"version\":1}\n\nnot json\r\n{\"type\":\"clipboardRequest\",\"version\":1}";
    ASSERT_EQ(::write(writeEnd.get(), lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  }
  Options options;
  options.command = Command::connect;
  options.raw = true;

  const Outcome result = run(options, readEnd.get());
  EXPECT_EQ(result.code, kExitOk) << result.err;
  EXPECT_EQ(result.err, "Not a control message: not json\n");
  std::vector<std::string> types;
  for (const auto& received : host.received())
    types.push_back(received.type);
  EXPECT_EQ(types, (std::vector<std::string>{"authenticate", "keyframe", "clipboardRequest"}));
}

TEST_F(ClientSessionTest, ExitAfterSaysGoodbye) {
  ScriptedHost host([](PacketConnection& c, const ControlMessage& m) {
    if (m.type == "authenticate") c.send(ControlMessage::make("hello"));
    if (m.type == "disconnect") c.cancel();
  });
  storePairing(host.port());
  Options options;
  options.command = Command::connect;
  options.exitAfter = 200ms;

  const Outcome result = run(options);
  EXPECT_EQ(result.code, kExitOk) << result.err;
  EXPECT_EQ(result.out, jsonLines({ControlMessage::make("hello")}));
  ASSERT_EQ(host.received().size(), 2u);
  EXPECT_EQ(host.received().back().type, "disconnect");
}

}  // namespace
}  // namespace quorvanta::client
