#include <sstream>

#include <gtest/gtest.h>

#include "support/fake_secure_store.h"
#include "tools/client/client_test_host.h"
#include "viewer/pair_command.h"

namespace quorvanta::viewer {
namespace {

struct PairRun {
  int code = -1;
  std::string out;
  std::string err;
};

class PairCommandTest : public client::ClientTest {
 protected:
  PairRun pair(const std::string& link) {
    std::ostringstream out;
    std::ostringstream err;
    PairRun run;
    run.code = runPairCommand(link, book_, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
  }
  test::FakeSecureStore store_;
  HostBook book_{scratch_.path() / "hosts.json", store_};
};

TEST_F(PairCommandTest, RemembersTheHostAndItsToken) {
  client::ScriptedHost host([](PacketConnection& connection, const ControlMessage& message) {
    if (message.type != "pair") return;
    connection.send(client::pairedMessage());
    auto busy = client::message("busy", "This Mac is in use by Phone.");
    connection.finish(busy);
  });
  const auto run = pair(link(host.port()));
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "Paired with Test host (127.0.0.1).\nThis Mac is in use by Phone.\n");
  const auto kept = book_.find(client::kHostID);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->name, "Test host");
  EXPECT_EQ(book_.token(*kept), "new-token");
  EXPECT_EQ(host.received().at(0).deviceID, book_.deviceID()) << "the device keeps its ID";
}

TEST_F(PairCommandTest, RefusalsAndOtherTextsAreNotPairings) {
  client::ScriptedHost host([](PacketConnection& connection, const ControlMessage&) {
    connection.finish(client::message(
        "authRejected", "The pairing code expired or was already used. Create a new code on the Mac."));
  });
  auto run = pair(link(host.port()));
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "The pairing code expired or was already used. Create a new code on the Mac.\n");
  EXPECT_TRUE(book_.hosts().empty());

  run = pair("https://example.org/pair");
  EXPECT_EQ(run.code, 2);
  EXPECT_EQ(run.err, "This is not a Quorvanta pairing link.\n");
}

}  // namespace
}  // namespace quorvanta::viewer
