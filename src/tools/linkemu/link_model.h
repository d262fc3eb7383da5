#pragma once

// The arithmetic of one direction of an emulated network path, on a clock the caller supplies
// (seconds as a double): a token bucket that releases packets at the link's rate, a FIFO in front
// of it with a tail-drop limit, random loss on arrival, and a one-way delay with jitter after it.
// No I/O and no clock of its own, so that tests can drive it with made-up times.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvanta::linkemu {

using Packet = std::vector<std::uint8_t>;

// From `at` seconds after the start of the schedule, the link carries `bitsPerSecond`.
struct RateStep {
  double at = 0;
  double bitsPerSecond = 0;
};

struct LinkShape {
  double bitsPerSecond = 10e6;             // before the first step of `schedule`
  double delay = 0;                        // one way, seconds
  double jitter = 0;                       // seconds: each packet's delay varies uniformly by up to ± this
  double loss = 0;                         // share of packets lost on arrival, 0 to 1
  std::optional<std::int64_t> queueBytes;  // tail-drop limit of the queue in bytes
  std::optional<double> queueSeconds;      // tail-drop limit as time to drain at the current rate
  std::int64_t burstBytes = 3000;          // depth of the token bucket
  std::vector<RateStep> schedule;          // in order of `at`
};

// What happened during one reporting interval.
struct IntervalCounters {
  std::int64_t bytesOut = 0;  // left the bucket
  std::int64_t packetsOut = 0;
  double queueDelaySum = 0;  // seconds waited in the queue, over the packets that left
  double queueDelayMax = 0;
  std::int64_t lost = 0;     // random loss
  std::int64_t dropped = 0;  // queue full
};

class LinkDirection {
 public:
  enum class Verdict { queued, lost, dropped };

  // `uniform` returns numbers in [0, 1) for loss and jitter. The schedule starts at `start`.
  LinkDirection(LinkShape shape, std::function<double()> uniform, double start);

  // A packet arrives at the link at `now` (not earlier than any earlier call's time).
  Verdict offer(Packet packet, double now);
  // Lets the bucket release what it can until `now`; returns the packets whose delay has passed,
  // in order.
  std::vector<Packet> take(double now);
  // The earliest time at which `take` could return something, or nothing when idle.
  std::optional<double> nextEvent() const;

  // Starts the rate schedule again from `now`.
  void restartSchedule(double now);
  double rateAt(double time) const;  // bits per second
  std::int64_t backlogBytes() const { return backlogBytes_; }
  // How long the queue would take to drain at the current rate.
  double backlogSeconds(double now) const;
  // The counters since the previous call.
  IntervalCounters takeCounters();

 private:
  struct Waiting {
    Packet packet;
    double arrived;
  };
  struct InFlight {
    Packet packet;
    double due;
  };

  // Bytes of tokens earned between `from` and `to` under the schedule.
  double earned(double from, double to) const;
  // When the bucket, holding `tokens` at `from`, will hold `needed`.
  double whenTokens(double from, double tokens, double needed) const;
  void release(double now);
  std::optional<std::int64_t> queueLimit(double now) const;

  LinkShape shape_;
  std::function<double()> uniform_;
  double start_;
  double updated_;  // the time `tokens_` refers to
  double tokens_;
  std::deque<Waiting> queue_;
  std::int64_t backlogBytes_ = 0;
  std::deque<InFlight> inFlight_;
  double lastDue_ = 0;
  IntervalCounters counters_;
};

// Reads "5M", "500k", "2.5Mbit", "1000000": bits per second.
std::optional<double> parseRate(const std::string& text);
// Reads "20ms", "1.5s", "0": seconds.
std::optional<double> parseDuration(const std::string& text);
// Reads "10:5M,25:20M": rate steps at seconds.
std::optional<std::vector<RateStep>> parseSchedule(const std::string& text);

}  // namespace quorvanta::linkemu
