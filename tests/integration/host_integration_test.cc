// The real quorvanta-host, quorvanta and quorvanta-client programs in a private network namespace
// whose loopback carries 100.64.0.1, with a stub `tailscale` first on PATH that prints that address.
// Credentials go to the file store under a temporary HOME; no traffic leaves the namespace.

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl.hpp>
#include <nlohmann/json.hpp>

#include "core/protocol/pairing_invitation.h"
#include "integration_fixture.h"

namespace quorvanta::test {
namespace {

using HostIntegrationTest = IntegrationFixture;

TEST_F(HostIntegrationTest, RefusalsOfTheCommandsWithoutARunningHost) {
  PairingInvitation invitation;
  invitation.address = kHostAddress;
  invitation.port = kPort;
  invitation.certificateHash = std::string(64, 'a');
  std::filesystem::create_directories(directory_.path() / "damaged");
  std::ofstream(directory_.path() / "damaged" / "state.json") << "not json";
  const std::string damaged = (directory_.path() / "damaged" / "state.json").string();
  struct Case {
    std::string program;
    std::vector<std::string> arguments;
    int status;
    std::string output;
  };
  const Case cases[] = {
      {QUORVANTA_CONTROL_BINARY, {"start"}, 1, "Quorvanta Host is not running.\n"},
      {QUORVANTA_CLIENT_BINARY,
       {"pair", "quorvanta://pair?data=bm90IGpzb24"},
       2,
       "This is not a Quorvanta pairing link.\n"},
      {QUORVANTA_CLIENT_BINARY,
       {"pair", *invitation.url()},
       1,
       "Could not reach the host at 100.64.0.1:48725: Connection refused.\n"},
      {QUORVANTA_CLIENT_BINARY,
       {"connect"},
       2,
       "This client is not paired. Run quorvanta-client pair LINK first.\n"},
      {QUORVANTA_CLIENT_BINARY,
       {"--state", damaged, "connect"},
       2,
       "The client state " + damaged + " is damaged. Remove it and pair this client again.\n"},
  };
  for (const auto& each : cases) {
    const auto result = run(each.program, each.arguments);
    EXPECT_EQ(result.status, each.status) << each.arguments.back();
    EXPECT_EQ(result.output, each.output);
  }
  const auto usage = control({"set", "volume", "on"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.output.find("Usage: quorvanta"), std::string::npos) << usage.output;

  // Someone else could have made the socket's directory and a server in it.
  const auto socketDirectory = directory_.path() / "run" / "quorvanta";
  std::filesystem::create_directories(socketDirectory);
  std::filesystem::permissions(socketDirectory, std::filesystem::perms::all);
  EXPECT_EQ(control({"status"}).output, "The directory " + socketDirectory.string() +
                                            " of the control socket is not private to this user, so "
                                            "Quorvanta will not use it.\n");
}

TEST_F(HostIntegrationTest, PairConnectBusyTakeoverAndRevokeThroughTheRealPrograms) {
  startHost();
  const auto state = status();
  EXPECT_EQ(state["address"], kHostAddress);
  EXPECT_EQ(state["status"], "Ready for your paired devices");
  EXPECT_EQ(state["credentialStore"], "file");

  // A link whose certificate hash is not the host's: the client refuses the host before it sends
  // the secret, which still pairs afterwards.
  const std::string link = pairingLink();
  auto forged = parsePairingLink(link);
  ASSERT_TRUE(forged) << link;
  forged->certificateHash = std::string(64, '0');
  const auto mismatch = client("anna.json", {"pair", *forged->url()});
  EXPECT_EQ(mismatch.status, 1);
  EXPECT_EQ(mismatch.output, "The host's certificate does not match the pairing link.\n");
  EXPECT_FALSE(std::filesystem::exists(directory_.path() / "anna.json"));

  const auto paired = client("anna.json", {"pair", link, "--device-name", "Anna's iPhone"});
  ASSERT_EQ(paired.status, 0) << paired.output;
  ASSERT_TRUE(findMessage(paired.output, "paired"));
  const auto hello = findMessage(paired.output, "hello");
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["controlAllowed"], false);
  EXPECT_EQ((*hello)["features"], nlohmann::json({"frameAck", "warmResume"}));
  struct stat info {};
  ASSERT_EQ(::stat((directory_.path() / "anna.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // The secret was used up.
  EXPECT_NE(client("other.json", {"pair", link}).status, 0);

  const auto devices = control({"devices"});
  ASSERT_EQ(devices.status, 0);
  EXPECT_NE(devices.output.find("Anna's iPhone"), std::string::npos) << devices.output;

  auto anna = clientInBackground("anna.json", {"connect", "--exit-after", "30"});
  ASSERT_TRUE(waitUntil([&] { return status()["activeDevice"] == "Anna's iPhone"; }, 10)) << anna->output();

  // A second device pairs, then finds the host busy.
  const auto ben = client("ben.json", {"pair", pairingLink(), "--device-name", "Ben's iPad"});
  EXPECT_EQ(ben.status, 3) << ben.output;
  const auto busy = findMessage(ben.output, "busy");
  ASSERT_TRUE(busy) << ben.output;
  EXPECT_EQ((*busy)["message"], "This Mac is in use by Anna's iPhone.");

  auto takeover = clientInBackground("ben.json", {"connect", "--takeover", "--exit-after", "30"});
  ASSERT_TRUE(anna->wait(10)) << anna->output();
  const auto takenOver = findMessage(anna->output(), "takenOver");
  ASSERT_TRUE(takenOver) << anna->output();
  EXPECT_EQ((*takenOver)["message"], "Your session moved to Ben's iPad.");
  ASSERT_TRUE(waitUntil([&] { return status()["activeDevice"] == "Ben's iPad"; }, 10));

  // Revoking the device in session closes it; its token no longer works.
  const auto benID = nlohmann::json::parse(std::ifstream(directory_.path() / "ben.json"))["deviceID"];
  ASSERT_EQ(control({"revoke", benID.get<std::string>()}).status, 0);
  EXPECT_TRUE(takeover->wait(10)) << takeover->output();
  const auto refused = client("ben.json", {"connect", "--exit-after", "5"});
  EXPECT_EQ(refused.status, 1);
  const auto rejected = findMessage(refused.output, "authRejected");
  ASSERT_TRUE(rejected) << refused.output;
  EXPECT_EQ((*rejected)["message"], "This device is no longer trusted. Pair it with the Mac again.");
}

TEST_F(HostIntegrationTest, OnlyTheTailscaleAddressListensAndOnlyTls12OrLaterWithStrongSuitesIsSpoken) {
  startHost();

  // Listening TCP sockets in this namespace: exactly the host's, on 100.64.0.1:48725 (the kernel
  // writes the address in host byte order).
  std::vector<std::string> listening;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream file(table);
    std::string line;
    std::getline(file, line);
    while (std::getline(file, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A") listening.push_back(local);
    }
  }
  EXPECT_EQ(listening, std::vector<std::string>{"01004064:BE55"});

  asio::io_context io;
  // The suite the host agrees to when offered `ciphers` up to `maxVersion`, or "" when it refuses.
  const auto negotiate = [&](int maxVersion, const char* ciphers) -> std::string {
    asio::ssl::context tls(asio::ssl::context::tls_client);
    SSL_CTX_set_cipher_list(tls.native_handle(), ciphers);
    SSL_CTX_set_min_proto_version(tls.native_handle(), TLS1_VERSION);
    SSL_CTX_set_max_proto_version(tls.native_handle(), maxVersion);
    SSL_CTX_set_security_level(tls.native_handle(), 0);
    asio::ssl::stream<asio::ip::tcp::socket> stream(io, tls);
    stream.lowest_layer().connect({asio::ip::make_address(kHostAddress), kPort});
    std::error_code error;
    stream.handshake(asio::ssl::stream_base::client, error);
    return error ? "" : SSL_get_cipher_name(stream.native_handle());
  };
  EXPECT_EQ(negotiate(TLS1_1_VERSION, "DEFAULT"), "");
  // TLS 1.2 offers forward-secret AEAD suites only, in the host's order.
  const std::pair<const char*, const char*> cases[] = {
      {"AES128-SHA", ""},            // RSA key exchange, CBC
      {"ECDHE-RSA-AES128-SHA", ""},  // forward secret but CBC with SHA-1
      {"ECDHE-RSA-CHACHA20-POLY1305", "ECDHE-RSA-CHACHA20-POLY1305"},
      {"ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256", "ECDHE-RSA-AES128-GCM-SHA256"},
  };
  for (const auto& [offered, agreed] : cases)
    EXPECT_EQ(negotiate(TLS1_2_VERSION, offered), agreed) << offered;
}

TEST_F(HostIntegrationTest, ASecondLaunchShowsTheFirstAndStopTurnsSharingOff) {
  startHost();
  const auto second = run(QUORVANTA_HOST_BINARY, {}, 10);
  EXPECT_EQ(second.status, 0) << second.output;
  EXPECT_TRUE(waitUntil([&] { return host_->output().find("no panel") != std::string::npos; }, 5))
      << host_->output();
  EXPECT_FALSE(host_->wait(0));

  // stop turns sharing off and records it.
  EXPECT_EQ(control({"stop"}).status, 0);
  EXPECT_EQ(status()["status"], "Sharing is off");
  EXPECT_EQ(status()["running"], false);
}

}  // namespace
}  // namespace quorvanta::test
