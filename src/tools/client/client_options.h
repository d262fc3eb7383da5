#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <asio/ip/address_v4.hpp>

namespace quorvanta::client {

// Exit codes of quorvanta-client.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;     // the host refused, or could not be reached
inline constexpr int kExitUsage = 2;       // a usage error or unusable local state
inline constexpr int kExitPairedBusy = 3;  // paired, but another device holds the session

enum class Command { pair, connect, stream, input, clipboard };

// The fields of the "stream" message; absent ones take the host's defaults.
struct StreamSettings {
  std::optional<std::int64_t> fps;
  std::optional<std::int64_t> maxWidth;
  std::optional<std::int64_t> bitrate;
  std::optional<std::uint32_t> displayID;
  bool restart = false;

  bool operator==(const StreamSettings&) const = default;
};

// Modifier flags of "input" messages.
inline constexpr std::uint64_t kModifierShift = 0x20000;
inline constexpr std::uint64_t kModifierControl = 0x40000;
inline constexpr std::uint64_t kModifierOption = 0x80000;
inline constexpr std::uint64_t kModifierCommand = 0x100000;

// One remote input action of the input command.
struct InputAction {
  enum class Kind { move, click, key, text, scroll };
  Kind kind = Kind::move;
  std::optional<double> x;  // move and click: 0 to 1 across the display; scroll: pixels
  std::optional<double> y;  // likewise, down the display
  bool right = false;       // click
  std::uint16_t keyCode = 0;
  std::uint64_t modifiers = 0;  // key, click and move
  std::string text;

  bool operator==(const InputAction&) const = default;
};

struct ClipboardAction {
  enum class Kind { set, get };
  Kind kind = Kind::get;
  std::string text;    // set
  bool paste = false;  // set: the host also types the paste shortcut

  bool operator==(const ClipboardAction&) const = default;
};

// How long the stream command watches the stream when --seconds is not given.
inline constexpr std::chrono::milliseconds kDefaultStreamDuration{10'000};

// What one run of the client should do.
struct Options {
  Command command = Command::connect;
  std::optional<std::filesystem::path> statePath;  // default: stateFilePath()
  std::string link;                                // pair: the pairing link
  std::optional<std::string> deviceName;           // pair
  std::optional<std::vector<std::string>> features;
  bool takeover = false;
  bool raw = false;  // connect: forward standard input
  std::optional<asio::ip::address_v4> bindAddress;
  std::optional<std::chrono::milliseconds> exitAfter;  // connect: counted from "hello"
  StreamSettings stream;                               // stream, and the stream input and clipboard start
  std::chrono::milliseconds streamDuration = kDefaultStreamDuration;  // stream: counted from "hello"
  std::optional<std::filesystem::path> saveFrame;                     // stream: PNG of the last frame
  bool stats = false;                                                 // stream: summary on stderr
  InputAction input;
  ClipboardAction clipboard;

  bool operator==(const Options&) const = default;
};

// The result of reading the command line.
struct ParsedArguments {
  enum class Kind { run, help, version, usageError };
  Kind kind = Kind::usageError;
  Options options;    // for run
  std::string error;  // for usageError: one sentence
};

// Reads the arguments after the program name. Options may come before or after the command.
ParsedArguments parseArguments(std::span<const std::string> arguments);

// The text printed by --help.
std::string usageText();

}  // namespace quorvanta::client
