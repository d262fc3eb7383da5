#include "tools/client/client_options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <system_error>
#include <utility>

namespace quorvanta::client {
namespace {

// Options that take a value, and the command each belongs to (none: every command).
struct ValueOption {
  std::string_view name;
  std::optional<Command> only;
};
constexpr ValueOption kValueOptions[] = {
    {"--state", std::nullopt},        {"--device-name", Command::pair},   {"--features", std::nullopt},
    {"--bind", std::nullopt},         {"--exit-after", Command::connect}, {"--fps", Command::stream},
    {"--max-width", Command::stream}, {"--bitrate", Command::stream},     {"--display", Command::stream},
    {"--seconds", Command::stream},   {"--save-frame", Command::stream},
};

struct FlagOption {
  std::string_view name;
  std::optional<Command> only;
};
constexpr FlagOption kFlagOptions[] = {
    {"--takeover", std::nullopt},    {"--raw", Command::connect},  {"--restart", Command::stream},
    {"--stats", Command::stream},    {"--right", Command::input},  {"--shift", Command::input},
    {"--control", Command::input},   {"--option", Command::input}, {"--command", Command::input},
    {"--paste", Command::clipboard},
};

constexpr std::pair<std::string_view, Command> kCommands[] = {
    {"pair", Command::pair},   {"connect", Command::connect},     {"stream", Command::stream},
    {"input", Command::input}, {"clipboard", Command::clipboard},
};

std::string commandName(Command command) {
  for (const auto& [name, each] : kCommands) {
    if (each == command) return std::string(name);
  }
  return {};
}

ParsedArguments usageError(std::string sentence) {
  ParsedArguments result;
  result.kind = ParsedArguments::Kind::usageError;
  result.error = std::move(sentence);
  return result;
}

std::vector<std::string> splitFeatures(std::string_view text) {
  std::vector<std::string> words;
  while (true) {
    const auto comma = text.find(',');
    const auto word = text.substr(0, comma);
    if (!word.empty()) words.emplace_back(word);
    if (comma == std::string_view::npos) return words;
    text.remove_prefix(comma + 1);
  }
}

std::optional<double> parseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text) {
  const auto seconds = parseNumber(text);
  if (!seconds || *seconds <= 0 || *seconds > 1e9) return std::nullopt;
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(*seconds * 1000)));
}

std::optional<std::uint64_t> parseWhole(const std::string& text, std::uint64_t max) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || value > max) {
    return std::nullopt;
  }
  return value;
}

// A positive whole number for a "stream" field.
std::optional<std::string> applyStreamNumber(std::optional<std::int64_t>& field, const std::string& value) {
  const auto number = parseWhole(value, 1'000'000'000);
  if (!number || *number == 0) return "Not a positive whole number: " + value + ".";
  field = static_cast<std::int64_t>(*number);
  return std::nullopt;
}

// Applies one option with its value; the error sentence when the value is unusable.
std::optional<std::string> applyValue(Options& options, std::string_view name, const std::string& value) {
  if (name == "--state") {
    if (value.empty()) return "The state file name is empty.";
    options.statePath = value;
  } else if (name == "--device-name") {
    options.deviceName = value;
  } else if (name == "--features") {
    options.features = splitFeatures(value);
  } else if (name == "--bind") {
    std::error_code error;
    const auto address = asio::ip::make_address_v4(value, error);
    if (error) return "Not an IPv4 address: " + value + ".";
    options.bindAddress = address;
  } else if (name == "--exit-after" || name == "--seconds") {
    const auto duration = parseSeconds(value);
    if (!duration) return "Not a positive number of seconds: " + value + ".";
    if (name == "--seconds") {
      options.streamDuration = *duration;
    } else {
      options.exitAfter = *duration;
    }
  } else if (name == "--fps") {
    return applyStreamNumber(options.stream.fps, value);
  } else if (name == "--max-width") {
    return applyStreamNumber(options.stream.maxWidth, value);
  } else if (name == "--bitrate") {
    return applyStreamNumber(options.stream.bitrate, value);
  } else if (name == "--display") {
    const auto id = parseWhole(value, std::numeric_limits<std::uint32_t>::max());
    if (!id) return "Not a display ID: " + value + ".";
    options.stream.displayID = static_cast<std::uint32_t>(*id);
  } else if (name == "--save-frame") {
    if (value.empty()) return "The frame file name is empty.";
    options.saveFrame = value;
  }
  return std::nullopt;
}

void applyFlag(Options& options, std::string_view name) {
  if (name == "--takeover") options.takeover = true;
  if (name == "--raw") options.raw = true;
  if (name == "--restart") options.stream.restart = true;
  if (name == "--stats") options.stats = true;
  if (name == "--right") options.input.right = true;
  if (name == "--shift") options.input.modifiers |= kModifierShift;
  if (name == "--control") options.input.modifiers |= kModifierControl;
  if (name == "--option") options.input.modifiers |= kModifierOption;
  if (name == "--command") options.input.modifiers |= kModifierCommand;
  if (name == "--paste") options.clipboard.paste = true;
}

// Reads "X Y" into the action: fractions of the display for pointer actions, pixels for scrolling.
std::optional<std::string> readPair(InputAction& action, std::span<const std::string> words, bool fraction) {
  for (std::size_t i = 0; i < 2; ++i) {
    const auto number = parseNumber(words[i]);
    if (!number) return "Not a number: " + words[i] + ".";
    if (fraction && (*number < 0 || *number > 1)) return "Not a position from 0 to 1: " + words[i] + ".";
    (i == 0 ? action.x : action.y) = *number;
  }
  return std::nullopt;
}

// The words after "input": the action and its arguments.
std::optional<std::string> readInput(Options& options, std::span<const std::string> words) {
  InputAction& action = options.input;
  const std::string what = words.empty() ? "" : words.front();
  const auto rest = words.empty() ? words : words.subspan(1);
  const auto expect = [&](std::size_t count, const char* usage) -> std::optional<std::string> {
    if (rest.size() == count) return std::nullopt;
    return "Usage: quorvanta-client input " + std::string(usage) + ".";
  };
  if (what == "move") {
    action.kind = InputAction::Kind::move;
    if (auto error = expect(2, "move X Y")) return error;
    return readPair(action, rest, true);
  }
  if (what == "click") {
    action.kind = InputAction::Kind::click;
    if (!rest.empty()) {
      if (auto error = expect(2, "click [--right] [X Y]")) return error;
      return readPair(action, rest, true);
    }
    return std::nullopt;
  }
  if (what == "key") {
    action.kind = InputAction::Kind::key;
    if (auto error = expect(1, "key CODE [--shift] [--control] [--option] [--command]")) return error;
    const auto code = parseWhole(rest.front(), 127);
    if (!code) return "Not a key code from 0 to 127: " + rest.front() + ".";
    action.keyCode = static_cast<std::uint16_t>(*code);
    return std::nullopt;
  }
  if (what == "text") {
    action.kind = InputAction::Kind::text;
    if (auto error = expect(1, "text TEXT")) return error;
    if (rest.front().empty()) return "The text to type is empty.";
    action.text = rest.front();
    return std::nullopt;
  }
  if (what == "scroll") {
    action.kind = InputAction::Kind::scroll;
    if (auto error = expect(2, "scroll DX DY")) return error;
    return readPair(action, rest, false);
  }
  return "The input command needs an action: move, click, key, text or scroll.";
}

std::optional<std::string> readClipboard(Options& options, std::span<const std::string> words) {
  ClipboardAction& action = options.clipboard;
  if (!words.empty() && words.front() == "get" && words.size() == 1) {
    action.kind = ClipboardAction::Kind::get;
    return action.paste ? std::optional<std::string>("The option --paste is only for clipboard set.")
                        : std::nullopt;
  }
  if (!words.empty() && words.front() == "set" && words.size() == 2) {
    action.kind = ClipboardAction::Kind::set;
    action.text = words[1];
    return std::nullopt;
  }
  return "Usage: quorvanta-client clipboard set TEXT [--paste], or clipboard get.";
}

// Checks that flags given to the input command suit its action.
std::optional<std::string> checkInputFlags(const InputAction& action) {
  using Kind = InputAction::Kind;
  if (action.right && action.kind != Kind::click) return "The option --right is only for input click.";
  if (action.modifiers != 0 && (action.kind == Kind::text || action.kind == Kind::scroll)) {
    return "The modifier options are only for input key, click and move.";
  }
  return std::nullopt;
}

}  // namespace

ParsedArguments parseArguments(std::span<const std::string> arguments) {
  Options options;
  std::optional<Command> command;
  std::vector<std::string> positional;
  // Options seen with the command they are restricted to, checked once the command is known.
  std::vector<std::pair<std::string, Command>> restricted;
  bool optionsEnded = false;  // after "--" every word is an argument

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!optionsEnded && (argument == "--help" || argument == "-h")) {
      ParsedArguments result;
      result.kind = ParsedArguments::Kind::help;
      return result;
    }
    if (!optionsEnded && argument == "--version") {
      ParsedArguments result;
      result.kind = ParsedArguments::Kind::version;
      return result;
    }
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
      if (!command) {
        for (const auto& [name, each] : kCommands) {
          if (argument == name) command = each;
        }
        if (!command) return usageError("Unknown command: " + argument + ".");
      } else {
        positional.push_back(argument);
      }
      continue;
    }

    const auto equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    bool known = false;
    for (const auto& flag : kFlagOptions) {
      if (flag.name != name) continue;
      known = true;
      if (equals != std::string::npos) return usageError("The option " + name + " takes no value.");
      applyFlag(options, name);
      if (flag.only) restricted.emplace_back(name, *flag.only);
    }
    for (const auto& option : kValueOptions) {
      if (option.name != name) continue;
      known = true;
      std::string value;
      if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
      } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
      } else {
        return usageError("The option " + name + " needs a value.");
      }
      if (auto error = applyValue(options, name, value)) return usageError(std::move(*error));
      if (option.only) restricted.emplace_back(name, *option.only);
    }
    if (!known) return usageError("Unknown option: " + name + ".");
  }

  if (!command) return usageError("Missing command: pair, connect, stream, input or clipboard.");
  options.command = *command;
  for (const auto& [name, only] : restricted) {
    if (only != *command) {
      return usageError("The option " + name + " is only for the " + commandName(only) + " command.");
    }
  }
  std::optional<std::string> error;
  if (*command == Command::input) {
    error = readInput(options, positional);
    if (!error) error = checkInputFlags(options.input);
    positional.clear();
  } else if (*command == Command::clipboard) {
    error = readClipboard(options, positional);
    positional.clear();
  } else if (*command == Command::pair) {
    if (positional.empty()) return usageError("The pair command needs a pairing link.");
    options.link = positional.front();
    positional.erase(positional.begin());
  }
  if (error) return usageError(std::move(*error));
  if (!positional.empty()) return usageError("Unexpected argument: " + positional.front() + ".");

  ParsedArguments result;
  result.kind = ParsedArguments::Kind::run;
  result.options = std::move(options);
  return result;
}

std::string usageText() {
  return R"(Usage:
  quorvanta-client [--state FILE] pair LINK [--device-name NAME] [--features a,b] [--takeover]
                   [--bind ADDRESS]
  quorvanta-client [--state FILE] connect [--features a,b] [--takeover] [--raw] [--bind ADDRESS]
                   [--exit-after SECONDS]
  quorvanta-client [--state FILE] stream [--fps N] [--max-width N] [--bitrate N] [--display ID]
                   [--restart] [--seconds S] [--save-frame FILE.png] [--stats] [connect options]
  quorvanta-client [--state FILE] input move X Y | click [--right] [X Y]
                   | key CODE [--shift] [--control] [--option] [--command]
                   | text TEXT | scroll DX DY [connect options]
  quorvanta-client [--state FILE] clipboard set TEXT [--paste] | clipboard get [connect options]
  quorvanta-client --help | --version

Commands:
  pair LINK     Pair with the host named by a quorvanta://pair link, then open a session.
  connect       Open a session with the paired host.
  stream        Open a session, start the stream and decode the video for S seconds (default 10).
  input         Open a session, start the stream and send one input action once it streams:
                move to X Y (0 to 1 across and down the display); click, with the left or the
                right button, where the pointer is or at X Y; press and release key CODE (a
                virtual key code, 0 to 127) with the given modifiers; type TEXT; scroll by DX DY
                pixels.
  clipboard     Open a session, start the stream, then put TEXT on the host's clipboard (set,
                with --paste also typing the paste shortcut) or ask for the host's clipboard
                (get; its text arrives in the printed "clipboard" message).

Every control message received from the host is printed on standard output as one line of
JSON; video is not printed. Sentences for people go to standard error. The stream, input and
clipboard commands announce the frameAck feature and acknowledge every video packet; input and
clipboard wait at most 15 seconds for the stream to start.

Options:
  --state FILE          Where the pairing is kept (default:
                        $XDG_CONFIG_HOME/quorvanta-client/state.json).
  --device-name NAME    The name the host shows for this device (pair).
  --features a,b        Feature words to announce, separated by commas.
  --takeover            Take the session over from another device.
  --raw                 Also send each line of standard input as a control message (connect).
  --bind ADDRESS        Connect from this local IPv4 address.
  --exit-after SECONDS  Disconnect this long after the host admitted the session (connect).
  --fps N, --max-width N, --bitrate N, --display ID, --restart
                        Fields of the "stream" message (stream); the host's defaults otherwise.
  --seconds S           Disconnect this long after the host admitted the session (stream).
  --save-frame FILE     Write the last decoded frame as a PNG image (stream).
  --stats               At the end, print a summary of the video on standard error (stream):
                        frames decoded, seconds from the first video packet to the end, frames
                        per second, average bit rate of the video payload, decode time per frame
                        (median, 99th percentile) and arrival jitter (99th percentile minus the
                        median of the intervals between video packets).
  --                    Every later word is an argument, even when it starts with --.

Exit status: 0 done, 1 failed or refused (stream: also when the stream never started or no frame
could be saved; clipboard get: also when no clipboard text arrived within 10 seconds), 2 usage
or local state problem, 3 paired but the host is busy with another device.
)";
}

}  // namespace quorvanta::client
