#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <ostream>

#include "tools/client/client_options.h"

struct AVFrame;

namespace quorvanta {
struct ControlMessage;
}

namespace quorvanta::client {

// How long pairing, or a session's admission, may take before the client gives up.
inline constexpr std::chrono::milliseconds kAnswerTimeout{15'000};
// The interval of keep-alive "ping" messages during a session.
inline constexpr std::chrono::milliseconds kPingInterval{5'000};

// Where a run of the client reads and writes.
struct ClientStreams {
  std::ostream& out;          // one compact JSON line per received control message, and nothing else
  std::ostream& err;          // sentences for people
  int input = 0;              // the file descriptor that --raw reads; it is not closed
  bool handleSignals = true;  // SIGINT and SIGTERM end the session politely
  std::chrono::milliseconds answerTimeout = kAnswerTimeout;
  // stream: called with every decoded picture and the moment it was decoded (optional).
  std::function<void(const AVFrame&, std::chrono::steady_clock::time_point)> onFrame{};
  // stream: called with the size of every video packet as it arrives (optional).
  std::function<void(std::size_t)> onVideoPacket{};
  // Called with every control message received, after it was printed (optional).
  std::function<void(const ControlMessage&)> onMessage{};
  std::chrono::milliseconds pingInterval = kPingInterval;
  // stream: false leaves "frameAck" out of the announced features (unless --features names it),
  // so the host sends one frame at a time without waiting for acknowledgements.
  bool announceFrameAck = true;
};

// Runs one pair or connect command to its end on the calling thread and returns the exit code
// (kExitOk and the other constants of client_options.h).
int runClient(const Options& options, const ClientStreams& streams);

}  // namespace quorvanta::client
