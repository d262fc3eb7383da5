#include "tools/client/client_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvanta::client {
namespace {

using Kind = ParsedArguments::Kind;

ParsedArguments parse(std::vector<std::string> arguments) {
  return parseArguments(arguments);
}

// The options the end-to-end tests do not use (--state, --takeover, --exit-after, --raw, ...).
TEST(ClientOptionsTest, OptionsGoBeforeOrAfterTheCommandAndFillTheRequest) {
  auto parsed = parse({"--state", "/tmp/s.json", "pair", "--takeover", "quorvanta://pair?data=x",
                       "--device-name=Test phone", "--features", "frameAck,,extra", "--bind", "100.64.0.7"});
  ASSERT_EQ(parsed.kind, Kind::run) << parsed.error;
  EXPECT_EQ(parsed.options.deviceName, "Test phone");
  EXPECT_EQ(parsed.options.features, (std::vector<std::string>{"frameAck", "extra"}));
  EXPECT_EQ(parsed.options.bindAddress, asio::ip::make_address_v4("100.64.0.7"));

  parsed = parse({"stream", "--fps", "60", "--max-width=1280", "--bitrate", "8000000", "--display",
                  "4294967295", "--restart", "--seconds", "2.5"});
  ASSERT_EQ(parsed.kind, Kind::run) << parsed.error;
  EXPECT_EQ(parsed.options.stream, (StreamSettings{60, 1280, 8'000'000, 4294967295u, true}));
  EXPECT_EQ(parsed.options.streamDuration, std::chrono::milliseconds(2500));

  using Input = InputAction::Kind;
  const std::pair<std::vector<std::string>, InputAction> inputs[] = {
      {{"input", "click", "--right", "0.25", "1"}, {Input::click, 0.25, 1.0, true, 0, 0, ""}},
      {{"input", "key", "9", "--command", "--shift"}, {Input::key, {}, {}, false, 9, 0x120000, ""}},
      {{"input", "scroll", "-40", "2.5"}, {Input::scroll, -40.0, 2.5, false, 0, 0, ""}},
      {{"input", "text", "--", "--not an option"}, {Input::text, {}, {}, false, 0, 0, "--not an option"}},
  };
  for (const auto& [arguments, input] : inputs)
    EXPECT_EQ(parse(arguments).options.input, input) << arguments[1];
  EXPECT_EQ(parse({"clipboard", "set", "some text", "--paste"}).options.clipboard,
            (ClipboardAction{ClipboardAction::Kind::set, "some text", true}));
}

TEST(ClientOptionsTest, UsageErrorsNameTheProblem) {
  EXPECT_EQ(parse({"connect", "--raw", "-h"}).kind, Kind::help);
  EXPECT_EQ(parse({"--version"}).kind, Kind::version);
  EXPECT_EQ(parse({"clipboard", "set", "--", "--version"}).kind, Kind::run);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "Missing command: pair, connect, stream, input or clipboard."},
      {{"listen"}, "Unknown command: listen."},
      {{"pair"}, "The pair command needs a pairing link."},
      {{"pair", "link", "more"}, "Unexpected argument: more."},
      {{"connect", "--verbose"}, "Unknown option: --verbose."},
      {{"connect", "--state"}, "The option --state needs a value."},
      {{"connect", "--state="}, "The state file name is empty."},
      {{"connect", "--raw=yes"}, "The option --raw takes no value."},
      {{"pair", "link", "--raw"}, "The option --raw is only for the connect command."},
      {{"connect", "--device-name", "x"}, "The option --device-name is only for the pair command."},
      {{"connect", "--bind", "::1"}, "Not an IPv4 address: ::1."},
      {{"connect", "--exit-after", "0"}, "Not a positive number of seconds: 0."},
      {{"connect", "--fps", "30"}, "The option --fps is only for the stream command."},
      {{"stream", "--fps", "0"}, "Not a positive whole number: 0."},
      {{"stream", "--display", "4294967296"}, "Not a display ID: 4294967296."},
      {{"input"}, "The input command needs an action: move, click, key, text or scroll."},
      {{"input", "move", "0.5"}, "Usage: quorvanta-client input move X Y."},
      {{"input", "move", "0.5", "1.5"}, "Not a position from 0 to 1: 1.5."},
      {{"input", "click", "x", "0"}, "Not a number: x."},
      {{"input", "key", "128"}, "Not a key code from 0 to 127: 128."},
      {{"input", "text", ""}, "The text to type is empty."},
      {{"input", "move", "0", "0", "--right"}, "The option --right is only for input click."},
      {{"input", "scroll", "1", "2", "--shift"},
       "The modifier options are only for input key, click and move."},
      {{"clipboard", "get", "--paste"}, "The option --paste is only for clipboard set."},
      {{"clipboard", "set"}, "Usage: quorvanta-client clipboard set TEXT [--paste], or clipboard get."},
      {{"input", "key", "9", "--paste"}, "The option --paste is only for the clipboard command."},
  };
  for (const auto& [arguments, sentence] : cases) {
    const auto parsed = parse(arguments);
    EXPECT_EQ(parsed.kind, Kind::usageError) << sentence;
    EXPECT_EQ(parsed.error, sentence);
  }
}

}  // namespace
}  // namespace quorvanta::client
