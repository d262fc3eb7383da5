#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>

#include "core/util/monotonic_clock.h"

namespace quorvanta {

// Per-connection send-slot and bit-rate controller for outgoing video.
//
// Unacknowledged regime (the client does not acknowledge frames): one frame at a time, and the
// target is the stream's maximum bit rate. Acknowledged regime: a delivery-rate controller that
// works in whole frames. Every acknowledged frame gives a round-trip and a delivery-rate sample;
// the pacer keeps a windowed minimum round trip (the path delay) and a windowed maximum delivery
// rate, moves between startup, drain and cruise, cycles a pacing gain in cruise, cuts its
// estimate when frames keep arriving late, and derives both the frames allowed in flight and
// the encoder target from these estimates.
//
// Times are seconds on the injected clock; byte counts are whole video payloads (frame plus the
// flag byte); rates are bytes per second inside, targets bits per second outside.
//
// Thread-safe: one mutex guards everything. Callbacks are copied under the lock and called
// after it is released, so a callback may call back into the pacer.
class VideoPacer {
 public:
  struct Stats {
    std::int64_t target = 0;                  // bits per second
    std::int64_t fps = 0;                     // frames delivered during the last second
    std::optional<std::int64_t> pathDelay;    // whole milliseconds
    std::optional<std::int64_t> roundTrip;    // whole milliseconds
    std::optional<std::int64_t> rate;         // bits per second
  };

  enum class ModeKind { drain, startup, cruise };
  struct Mode {
    ModeKind kind = ModeKind::startup;
    double drainUntil = 0;  // meaningful for drain only
  };

  explicit VideoPacer(Clock clock = monotonicSeconds);

  VideoPacer(const VideoPacer&) = delete;
  VideoPacer& operator=(const VideoPacer&) = delete;

  void configure(bool acknowledged, std::int64_t fps, std::int64_t maxBitrate);
  bool tryReserve();
  void releaseReservation();
  void didSend(std::int64_t bytes, bool keyframe);
  void didComplete();
  bool acknowledge(std::int64_t total);
  Stats stats() const;

  // Installed and cleared by the video pipeline, cleared by the connection when it closes.
  void setCreditCallback(std::function<void()> callback);
  void setBitrateCallback(std::function<void(std::int64_t)> callback);
  // Installs the bit-rate callback and returns the current target in one step under the lock.
  std::int64_t setBitrateCallbackAndReadTarget(std::function<void(std::int64_t)> callback);
  std::int64_t target() const;

  // For tests and diagnostics.
  Mode mode() const;
  std::int64_t reserved() const;
  std::optional<double> rateEstimate() const;
  double pathDelay() const;

 private:
  struct Flight {
    double sent = 0;
    std::int64_t bytes = 0;
    bool keyframe = false;
    std::int64_t deliveredAtSend = 0;
    double deliveredTimeAtSend = 0;
    double firstSentAtSend = 0;
    bool appLimited = false;
  };
  struct Sample {
    double time = 0;
    double value = 0;
  };
  struct Recent {
    double time = 0;
    double roundTrip = 0;
    std::int64_t bytes = 0;
  };

  // All private operations expect `lock_` held.
  double pathDelayLocked() const;
  double slackLocked() const;
  void updateTarget(double now);
  void record(const Flight& flight, double now);
  void checkLateness(double now);
  void noteDelivery(double now);

  mutable std::mutex lock_;
  Clock clock_;
  bool acknowledged_ = false;
  std::int64_t reserved_ = 0;
  std::deque<Flight> flights_;
  std::int64_t bytesInFlight_ = 0;
  std::int64_t sentTotal_ = 0;
  std::int64_t acknowledgedTotal_ = 0;
  std::int64_t delivered_ = 0;
  double deliveredTime_ = 0;
  double firstSentTime_ = 0;
  double pathRefreshedAt_ = 0;
  double lastSend_ = -std::numeric_limits<double>::infinity();
  std::int64_t typicalFrameBytes_ = 0;
  std::deque<Sample> rateSamples_;
  std::optional<double> rateEstimate_;
  std::deque<Sample> roundTripSamples_;
  std::deque<Recent> recent_;
  double lastLate_ = -std::numeric_limits<double>::infinity();
  std::deque<double> deliveries_;
  Mode mode_;
  double startupBest_ = 0;
  double startupBestAt_ = 0;
  double lastAppLimited_ = -std::numeric_limits<double>::infinity();
  int cycleIndex_ = 0;
  double cycleStart_ = 0;
  double frameInterval_ = 1.0 / 30.0;
  std::int64_t maxBitrate_ = 6'000'000;
  std::int64_t minBitrate_ = 400'000;
  std::int64_t target_ = 6'000'000;
  std::function<void()> creditCallback_;
  std::function<void(std::int64_t)> bitrateCallback_;
};

}  // namespace quorvanta
