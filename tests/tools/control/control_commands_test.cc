#include "tools/control/control_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_helpers.h"

namespace quorvanta::control {
namespace {

using nlohmann::json;

Invocation parse(std::vector<std::string> arguments) {
  return parseArguments(arguments);
}

// The commands the end-to-end tests do not send to a running host.
TEST(ControlCommandsTest, EachCommandBecomesItsRequest) {
  const std::vector<std::pair<std::vector<std::string>, json>> cases = {
      {{"start"}, {{"command", "start"}}},
      {{"unpair"}, {{"command", "unpair"}}},
      {{"show"}, {{"command", "show"}}},
      {{"set", "curtain", "off"}, {{"command", "set"}, {"name", "curtain"}, {"value", false}}},
      {{"login", "on"}, {{"command", "login"}, {"value", true}}},
      {{"login", "off"}, {{"command", "login"}, {"value", false}}},
  };
  for (const auto& [arguments, request] : cases) {
    const Invocation invocation = parse(arguments);
    EXPECT_EQ(invocation.kind, Invocation::Kind::request) << arguments.front();
    EXPECT_EQ(invocation.request, request);
    EXPECT_TRUE(invocation.showQr);
  }
  EXPECT_FALSE(parse({"pair", "--no-qr"}).showQr);
  EXPECT_EQ(parse({"--help"}).kind, Invocation::Kind::help);
  EXPECT_EQ(parse({"set", "-h"}).kind, Invocation::Kind::help);
  EXPECT_EQ(parse({"help"}).kind, Invocation::Kind::help);
  EXPECT_EQ(parse({"--version"}).kind, Invocation::Kind::version);
  EXPECT_EQ(parse({"--version", "--help"}).kind, Invocation::Kind::help);
}

TEST(ControlCommandsTest, WrongUsageIsReported) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"reboot"},
      {"status", "now"},
      {"pair", "--qr"},
      {"revoke"},
      {"revoke", "a", "b"},
      {"revoke", ""},
      {"set", "control"},
      {"set", "volume", "on"},
      {"set", "curtain", "yes"},
      {"set", "control", "on", "off"},
      {"login"},
      {"login", "true"},
  };
  for (const auto& arguments : wrong) {
    const Invocation invocation = parse(arguments);
    EXPECT_EQ(invocation.kind, Invocation::Kind::usageError) << ::testing::PrintToString(arguments);
    EXPECT_FALSE(invocation.problem.empty());
  }
  EXPECT_NE(usageText().find("light terminal"), std::string::npos);
}

TEST(ControlCommandsTest, RendersEachReply) {
  const json status = {{"running", true},
                       {"address", "100.64.0.7"},
                       {"status", "Sharing is on"},
                       {"error", "Tailscale is not connected."}};
  EXPECT_EQ(renderReply(parse({"status"}), {{"ok", true}, {"status", status}}), status.dump(2) + "\n");
  EXPECT_EQ(renderReply(parse({"start"}), {{"ok", true}, {"status", status}}),
            "Sharing is on\nTailscale is not connected.\n");
  EXPECT_EQ(renderReply(parse({"stop"}),
                        {{"ok", true}, {"status", {{"status", "Sharing is off"}, {"error", nullptr}}}}),
            "Sharing is off\n");

  const json devices = {{"ok", true},
                        {"devices",
                         {{{"id", "A1"}, {"name", "Ana's iPhone"}, {"pairedAt", 0}},
                          {{"id", "B2"}, {"name", "iPad"}, {"pairedAt", 757'382'400.9}}}}};
  EXPECT_EQ(renderReply(parse({"devices"}), devices),
            "A1\tAna's iPhone\tpaired 2001-01-01 00:00 UTC\nB2\tiPad\tpaired 2025-01-01 00:00 UTC\n");
  EXPECT_EQ(renderReply(parse({"devices"}), {{"ok", true}, {"devices", json::array()}}),
            "No trusted devices.\n");
  EXPECT_EQ(renderReply(parse({"revoke", "A1"}), devices), "");
  EXPECT_EQ(renderReply(parse({"login", "on"}), {{"ok", true}, {"loginEnabled", true}}), "");

  const json pairing = {{"ok", true}, {"link", "quorvanta://pair?data=abc"}, {"expiresAt", 800'000'000}};
  EXPECT_EQ(renderReply(parse({"pair", "--no-qr"}), pairing), "quorvanta://pair?data=abc\n");
  const std::string withCode = renderReply(parse({"pair"}), pairing);
  EXPECT_EQ(withCode.rfind("quorvanta://pair?data=abc\n\n", 0), 0U);
  EXPECT_NE(withCode.find("\u2588"), std::string::npos);
}

TEST(ControlCommandsTest, IncompleteOrFailedRepliesGiveASentence) {
  const std::string unreadable = "Quorvanta Host sent a reply that could not be read.";
  EXPECT_EQ(test::thrownMessage([] { renderReply(parse({"status"}), {{"ok", true}}); }), unreadable);
  EXPECT_EQ(test::thrownMessage([] {
              renderReply(parse({"pair"}), {{"ok", true}, {"link", 5}});
            }),
            unreadable);
  EXPECT_EQ(test::thrownMessage([] {
              renderReply(parse({"devices"}), {{"ok", true}, {"devices", {{{"id", "A1"}, {"name", "x"}}}}});
            }),
            unreadable);

  EXPECT_TRUE(replySucceeded({{"ok", true}}));
  EXPECT_FALSE(replySucceeded({{"ok", "yes"}}));
  EXPECT_EQ(replyError({{"ok", false}, {"error", "There is no trusted device with this ID."}}),
            "There is no trusted device with this ID.");
  EXPECT_EQ(replyError({{"ok", false}}), unreadable);
}

}  // namespace
}  // namespace quorvanta::control
