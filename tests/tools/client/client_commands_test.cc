#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "tools/client/client_script.h"
#include "tools/client/client_test_host.h"

namespace quorvanta::client {
namespace {

using ClientCommandsTest = ClientTest;

// Admits the client, starts the stream at once and ends the connection on "disconnect".
void answerSession(PacketConnection& connection, const ControlMessage& received) {
  if (received.type == "authenticate") connection.send(ControlMessage::make("hello"));
  if (received.type == "stream") connection.send(streamingMessage());
  if (received.type == "ping") connection.send(ControlMessage::make("pong"));
  if (received.type == "disconnect") connection.cancel();
}

std::vector<std::string> types(const std::vector<ControlMessage>& messages) {
  std::vector<std::string> result;
  for (const auto& each : messages)
    result.push_back(each.type);
  return result;
}

std::vector<ControlMessage> inputsOf(const std::vector<ControlMessage>& messages) {
  std::vector<ControlMessage> result;
  for (const auto& each : messages) {
    if (each.type == "input") result.push_back(each);
  }
  return result;
}

ControlMessage inputMessage(std::string event) {
  auto result = ControlMessage::make("input");
  result.event = std::move(event);
  return result;
}

TEST_F(ClientCommandsTest, InputIsSentOnceTheHostStreams) {
  ScriptedHost host(answerSession);
  storePairing(host.port());

  Options click;
  click.command = Command::input;
  click.input.kind = InputAction::Kind::click;
  click.input.right = true;
  click.input.x = 0.25;
  click.input.y = 0.75;
  Outcome result = run(click);
  EXPECT_EQ(result.code, kExitOk) << result.err;
  EXPECT_EQ(result.out, jsonLines({ControlMessage::make("hello"), streamingMessage()}));

  Options key;
  key.command = Command::input;
  key.input.kind = InputAction::Kind::key;
  key.input.keyCode = 12;
  key.input.modifiers = kModifierCommand;
  result = run(key);
  EXPECT_EQ(result.code, kExitOk) << result.err;

  const auto received = host.received();
  EXPECT_EQ(types(received),
            (std::vector<std::string>{"authenticate", "stream", "input", "input", "disconnect",
                                      "authenticate", "stream", "input", "input", "disconnect"}));
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.front().features, std::vector<std::string>{kFeatureFrameAck});

  auto press = inputMessage("button");
  press.x = 0.25;
  press.y = 0.75;
  press.button = 1;
  press.modifiers = 0;
  press.keyDown = true;
  auto release = press;
  release.keyDown = false;
  auto keyDown = inputMessage("key");
  keyDown.keyCode = 12;
  keyDown.modifiers = 0x100000;
  keyDown.keyDown = true;
  auto keyUp = keyDown;
  keyUp.keyDown = false;
  EXPECT_EQ(inputsOf(received), (std::vector<ControlMessage>{press, release, keyDown, keyUp}));
}

TEST_F(ClientCommandsTest, InputFailsWhenTheStreamCannotStart) {
  ScriptedHost host([](PacketConnection& connection, const ControlMessage& received) {
    if (received.type == "authenticate") connection.send(ControlMessage::make("hello"));
    if (received.type == "stream") connection.send(message("hostUnavailable", "No display is connected."));
    if (received.type == "disconnect") connection.cancel();
  });
  Options options;
  options.command = Command::input;
  options.input.kind = InputAction::Kind::text;
  options.input.text = "hello";

  const Outcome result = runPaired(host.port(), options);
  EXPECT_EQ(result.code, kExitFailure);
  EXPECT_EQ(result.err, "No display is connected.\n");
  EXPECT_EQ(types(host.received()), (std::vector<std::string>{"authenticate", "stream", "disconnect"}));
}

// A host whose clipboard the client can set and read once streaming, or that refuses control.
class ClipboardHost {
 public:
  explicit ClipboardHost(bool controlAllowed)
      : host_([this, controlAllowed](PacketConnection& connection, const ControlMessage& received) {
          answerSession(connection, received);
          // As a host with a locked screen does, right after "streaming".
          if (received.type == "stream") connection.send(message("notice", "This Mac's screen is locked."));
          std::lock_guard guard(lock_);
          if (received.type == "clipboard" && controlAllowed) text_ = received.text.value_or("");
          if (received.type != "clipboardRequest") return;
          if (!controlAllowed) {
            connection.send(
                message("notice", "Allow remote control in Quorvanta Host to copy from the Mac."));
            return;
          }
          auto clipboard = ControlMessage::make("clipboard");
          clipboard.text = text_;
          connection.send(clipboard);
        }) {}

  std::uint16_t port() const { return host_.port(); }
  ScriptedHost& host() { return host_; }

 private:
  std::mutex lock_;
  std::string text_;
  ScriptedHost host_;
};

TEST_F(ClientCommandsTest, ClipboardSetThenGetRoundTrips) {
  ClipboardHost clipboardHost(true);
  storePairing(clipboardHost.port());
  Options set;
  set.command = Command::clipboard;
  set.clipboard.kind = ClipboardAction::Kind::set;
  set.clipboard.text = "Grüße, \"world\"";
  set.clipboard.paste = true;
  Outcome result = run(set);
  EXPECT_EQ(result.code, kExitOk) << result.err;

  Options get;
  get.command = Command::clipboard;
  get.clipboard.kind = ClipboardAction::Kind::get;
  result = run(get);
  EXPECT_EQ(result.code, kExitOk) << result.err;
  auto expected = ControlMessage::make("clipboard");
  expected.text = "Grüße, \"world\"";
  EXPECT_EQ(result.out, jsonLines({ControlMessage::make("hello"), streamingMessage(),
                                   message("notice", "This Mac's screen is locked."),
                                   ControlMessage::make("pong"), expected}));

  const auto received = clipboardHost.host().received();
  ASSERT_GE(received.size(), 3u);
  EXPECT_EQ(received[2].type, "clipboard");
  EXPECT_EQ(received[2].event, "paste");
  EXPECT_EQ(types(received).back(), "disconnect");
}

TEST_F(ClientCommandsTest, ClipboardGetFailsWithTheHostsNotice) {
  ClipboardHost clipboardHost(false);
  Options get;
  get.command = Command::clipboard;
  const Outcome result = runPaired(clipboardHost.port(), get);
  EXPECT_EQ(result.code, kExitFailure);
  EXPECT_EQ(result.err, "Allow remote control in Quorvanta Host to copy from the Mac.\n");
}

}  // namespace
}  // namespace quorvanta::client
