// link_receiver: the client end of the link benchmark and the soak (bench/link_bench.sh,
// bench/link_soak.sh). Runs the reference client's stream command (already paired) and records,
// against CLOCK_MONOTONIC in seconds:
//
//   PREFIX.frames.csv   t,drawn,delay_ms,bytes   one line per decoded picture whose clock row reads
//                       (quorvanta-demo-scene --clock), with the size of the packet that carried it
//   PREFIX.packets.csv  t,bytes                  one line per video packet
//   PREFIX.pongs.csv    t,target_bps,fps         the host's answers to the client's pings
//
//   link_receiver PREFIX SECONDS [--no-ack] [--ping-ms N] [CLIENT OPTIONS...]
//
// --no-ack leaves "frameAck" out of the announced features (unacknowledged video); pings go out
// every 250 ms unless --ping-ms says otherwise. Prints one line on standard output:
// "exit=C first_frame_s=S frames=N unreadable=U" (first_frame_s from the start of the run to the
// first decoded picture, "-" when none).

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/frame_clock.h"
#include "core/protocol/control_message.h"
#include "tools/client/client_options.h"
#include "tools/client/client_session.h"

namespace {

using quorvanta::bench::monotonicMicroseconds;

double seconds(std::uint64_t microseconds) {
  return static_cast<double>(microseconds) / 1e6;
}

int run(const std::vector<std::string>& arguments) {
  using namespace quorvanta::client;
  if (arguments.size() < 2) {
    std::cerr << "usage: link_receiver PREFIX SECONDS [--no-ack] [--ping-ms N] [CLIENT OPTIONS...]\n";
    return kExitUsage;
  }
  const std::string prefix = arguments[0];
  std::vector<std::string> clientArguments{"stream", "--seconds", arguments[1]};
  bool acknowledge = true;
  std::chrono::milliseconds pingInterval{250};
  for (std::size_t index = 2; index < arguments.size(); ++index) {
    if (arguments[index] == "--no-ack") {
      acknowledge = false;
    } else if (arguments[index] == "--ping-ms" && index + 1 < arguments.size()) {
      pingInterval = std::chrono::milliseconds(std::stoll(arguments[++index]));
    } else {
      clientArguments.push_back(arguments[index]);
    }
  }
  const ParsedArguments parsed = parseArguments(clientArguments);
  if (parsed.kind != ParsedArguments::Kind::run) {
    std::cerr << "link_receiver: bad client options: " << parsed.error << std::endl;
    return kExitUsage;
  }

  std::ofstream frames(prefix + ".frames.csv");
  std::ofstream packets(prefix + ".packets.csv");
  std::ofstream pongs(prefix + ".pongs.csv");
  frames << "t,drawn,delay_ms,bytes\n";
  packets << "t,bytes\n";
  pongs << "t,target_bps,fps\n";
  const std::uint64_t started = monotonicMicroseconds();
  std::optional<std::uint64_t> firstFrame;
  std::int64_t decoded = 0;
  std::int64_t unreadable = 0;
  std::size_t lastPacketBytes = 0;

  std::ofstream messages("/dev/null");
  ClientStreams streams{messages, std::cerr};
  streams.pingInterval = pingInterval;
  streams.announceFrameAck = acknowledge;
  streams.onVideoPacket = [&](std::size_t bytes) {
    lastPacketBytes = bytes;
    packets << seconds(monotonicMicroseconds()) << ',' << bytes << '\n';
  };
  streams.onFrame = [&](const AVFrame& frame, std::chrono::steady_clock::time_point) {
    const std::uint64_t now = monotonicMicroseconds();
    if (!firstFrame) firstFrame = now;
    ++decoded;
    const std::optional<std::uint64_t> drawn = quorvanta::bench::readFrameClock(frame);
    if (!drawn) {
      ++unreadable;
      return;
    }
    // The row holds the low 48 bits of the clock: restore the rest from the current time.
    const std::uint64_t age = (now - *drawn) & quorvanta::bench::kFrameClockMask;
    frames << seconds(now) << ',' << seconds(now - age) << ',' << static_cast<double>(age) / 1e3 << ','
           << lastPacketBytes << '\n';
  };
  streams.onMessage = [&](const quorvanta::ControlMessage& message) {
    if (message.type != "pong") return;
    pongs << seconds(monotonicMicroseconds()) << ',' << message.bitrate.value_or(0) << ','
          << message.fps.value_or(0) << '\n';
  };
  frames.precision(15);
  packets.precision(15);
  pongs.precision(15);
  const int code = runClient(parsed.options, streams);
  std::ostringstream line;
  line << "exit=" << code << " first_frame_s=";
  if (firstFrame) {
    line << seconds(*firstFrame - started);
  } else {
    line << '-';
  }
  line << " frames=" << decoded << " unreadable=" << unreadable;
  std::cout << line.str() << std::endl;
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::cerr << "link_receiver: " << error.what() << std::endl;
    return 1;
  }
}
