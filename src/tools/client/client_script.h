#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "core/protocol/control_message.h"
#include "tools/client/client_options.h"

namespace quorvanta::client {

// How long input and clipboard wait for "streaming", and clipboard get for the clipboard.
inline constexpr std::chrono::milliseconds kStreamingTimeout{15'000};
inline constexpr std::chrono::milliseconds kClipboardTimeout{10'000};
// How long input and clipboard set stay connected after sending, so the host can act first.
inline constexpr std::chrono::milliseconds kSettleTime{500};

inline constexpr const char* kNoStream = "The host did not start streaming.";
inline constexpr const char* kNoPong = "The host did not answer.";
inline constexpr const char* kNoClipboard = "The host did not send its clipboard.";

// One step of what a command does once the host has admitted the session.
struct ScriptStep {
  enum class Kind { send, await, pause };
  Kind kind = Kind::send;
  std::vector<ControlMessage> messages;   // send
  std::string awaited;                    // await: the message type that completes the step
  std::vector<std::string> failures;      // await: types that end the run with their message
  std::chrono::milliseconds duration{0};  // await: the time allowed; pause: its length
  bool sinceAdmission = false;            // `duration` counts from "hello", not from the step
  std::string timeoutSentence;            // await
};
using Script = std::vector<ScriptStep>;

// The steps of a command: none for pair and connect, which only print what arrives.
Script scriptFor(const Options& options);

// The "input" messages of one input action, in the order they are sent.
std::vector<ControlMessage> inputMessages(const InputAction& action);

// Runs a script on the session's thread: sends, waits for messages with timeouts, pauses, and
// ends the run through `end` with kExitOk after the last step or kExitFailure when a wait fails
// (its sentence already on `err`).
class ScriptRunner {
 public:
  struct Hooks {
    std::function<void(const ControlMessage&)> send;
    std::function<void(int code)> end;
  };

  ScriptRunner(asio::io_context& io, Script script, Hooks hooks, std::ostream& err);

  // The host admitted the session: the first step starts.
  void start();
  void received(const ControlMessage& message);
  // Whether the script did what it is for: every step is done, or only a last pause is left.
  bool accomplished() const;
  void stop();

 private:
  void next();
  void run(const ScriptStep& step);
  void startTimer(const ScriptStep& step, std::function<void()> expired);
  void fail(const std::string& sentence);

  Script script_;
  Hooks hooks_;
  std::ostream& err_;
  asio::steady_timer timer_;
  std::size_t current_ = 0;
  std::chrono::steady_clock::time_point admittedAt_;
  bool running_ = false;
};

}  // namespace quorvanta::client
