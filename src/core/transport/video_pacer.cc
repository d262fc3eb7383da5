#include "core/transport/video_pacer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

namespace quorvanta {

namespace {

// A round trip is never taken as shorter than this, so that a same-instant acknowledgement cannot
// produce a zero path delay.
constexpr double kMinRoundTrip = 0.001;
// Path delay assumed before the first round trip has been measured.
constexpr double kDefaultPathDelay = 0.05;

constexpr double kRoundTripWindow = 10.0;
constexpr double kRateWindow = 3.0;
constexpr double kDeliveryWindow = 1.0;
constexpr std::size_t kRecentCapacity = 6;

// A round trip within this of the minimum counts as "the path without a queue".
constexpr double kNearMinimumFactor = 1.1;
constexpr double kNearMinimumMargin = 0.002;

// Shorter sampling intervals give meaningless rates.
constexpr double kMinSampleInterval = 0.001;

// Mode timing never uses a path delay below this, so that a very short path does not make the
// controller flap between modes.
constexpr double kModeTimingFloor = 0.15;

constexpr double kStartupGrowth = 1.25;
constexpr double kStartupExitRounds = 3.0;
constexpr double kStartupGain = 2.0;
constexpr double kDrainGain = 0.5;
constexpr std::array<double, 6> kCruiseGains = {1.25, 0.8, 1.0, 1.0, 1.0, 1.0};

constexpr double kPathRefreshPeriod = 8.0;
constexpr double kPathRefreshMinDrain = 0.3;
constexpr double kDrainDuration = 1.0;

constexpr double kLatenessHoldOff = 2.5;
constexpr double kMinLatenessSpan = 0.01;

constexpr double kMinSlack = 0.05;
constexpr double kSlackFrames = 1.5;

constexpr double kTargetHeadroom = 0.9;
constexpr std::int64_t kTargetWithoutEstimate = 1'500'000;
constexpr std::int64_t kDefaultMinBitrate = 400'000;

constexpr std::int64_t kMinReservations = 3;
constexpr std::int64_t kMaxReservations = 16;

constexpr double kAppLimitedShare = 0.5;
constexpr double kMaxSendGap = 0.1;

// Drops entries from the front of a chronological deque while they are older than `window`.
template <typename T, typename TimeOf>
void trimWindow(std::deque<T>& entries, double now, double window, TimeOf timeOf) {
  while (!entries.empty() && now - timeOf(entries.front()) > window) {
    entries.pop_front();
  }
}

}  // namespace

VideoPacer::VideoPacer(Clock clock) : clock_(std::move(clock)) {}

void VideoPacer::configure(bool acknowledged, std::int64_t fps, std::int64_t maxBitrate) {
  std::function<void(std::int64_t)> callback;
  std::int64_t target = 0;
  {
    std::lock_guard guard(lock_);
    acknowledged_ = acknowledged;
    frameInterval_ = 1.0 / static_cast<double>(std::max<std::int64_t>(fps, 1));
    maxBitrate_ = std::max<std::int64_t>(maxBitrate, 1);
    minBitrate_ = std::min(maxBitrate_, kDefaultMinBitrate);
    if (acknowledged_) {
      updateTarget(clock_());
    } else {
      target_ = maxBitrate_;
    }
    callback = bitrateCallback_;
    target = target_;
  }
  // The pipeline relies on hearing the target after every configure, changed or not.
  if (callback) callback(target);
}

bool VideoPacer::tryReserve() {
  std::lock_guard guard(lock_);
  if (!acknowledged_) {
    if (reserved_ > 0) return false;
    ++reserved_;
    return true;
  }
  if (reserved_ >= 1) {
    const double pathDelay = pathDelayLocked();
    // Enough frames to cover a round trip of the path plus two, within fixed bounds.
    const auto frames = static_cast<std::int64_t>(std::ceil(2.0 * pathDelay / frameInterval_));
    const std::int64_t limit = std::clamp(frames + 2, kMinReservations, kMaxReservations);
    if (reserved_ >= limit) return false;
    if (rateEstimate_) {
      // Slots reserved but not yet sent are counted at the typical frame size, so that a burst of
      // reservations cannot overrun the byte budget before the frames exist.
      const std::int64_t waiting =
          std::max<std::int64_t>(0, reserved_ - static_cast<std::int64_t>(flights_.size()));
      const std::int64_t expected = bytesInFlight_ + waiting * typicalFrameBytes_;
      const double budget = *rateEstimate_ * (2.0 * pathDelay + slackLocked());
      if (budget < static_cast<double>(expected)) return false;
    }
  }
  ++reserved_;
  return true;
}

void VideoPacer::releaseReservation() {
  std::function<void()> callback;
  {
    std::lock_guard guard(lock_);
    reserved_ = std::max<std::int64_t>(0, reserved_ - 1);
    callback = creditCallback_;
  }
  if (callback) callback();
}

void VideoPacer::didSend(std::int64_t bytes, bool keyframe) {
  std::lock_guard guard(lock_);
  const double now = clock_();
  if (flights_.empty()) {
    // Sending restarts after an idle period: the time spent idle must not dilute the next rate
    // samples, so the sampling baseline starts now.
    deliveredTime_ = now;
    firstSentTime_ = now;
  }
  // The first send after creation sees an infinite gap and is capped like any long pause.
  const double gap = std::min(std::max(now - lastSend_, frameInterval_), kMaxSendGap);
  // A frame carrying less than half of what the target allows in its gap was limited by the
  // encoder, not by the network; its rate sample says nothing about the path's capacity.
  const bool appLimited =
      !keyframe && static_cast<double>(bytes) < static_cast<double>(target_) / 8.0 * gap * kAppLimitedShare;
  flights_.push_back(Flight{.sent = now,
                            .bytes = bytes,
                            .keyframe = keyframe,
                            .deliveredAtSend = delivered_,
                            .deliveredTimeAtSend = deliveredTime_,
                            .firstSentAtSend = firstSentTime_,
                            .appLimited = appLimited});
  bytesInFlight_ += bytes;
  ++sentTotal_;
  lastSend_ = now;
  // Keyframes are outliers in size; the typical size tracks ordinary frames only.
  if (!keyframe) {
    typicalFrameBytes_ = typicalFrameBytes_ == 0 ? bytes : (3 * typicalFrameBytes_ + bytes) / 4;
  }
}

void VideoPacer::didComplete() {
  std::function<void()> callback;
  {
    std::lock_guard guard(lock_);
    // With acknowledgements the slot is freed by the client's report, not by the local send.
    if (acknowledged_) return;
    if (!flights_.empty()) {
      bytesInFlight_ -= flights_.front().bytes;
      flights_.pop_front();
    }
    reserved_ = std::max<std::int64_t>(0, reserved_ - 1);
    noteDelivery(clock_());
    callback = creditCallback_;
  }
  if (callback) callback();
}

bool VideoPacer::acknowledge(std::int64_t total) {
  std::function<void()> creditCallback;
  std::function<void(std::int64_t)> bitrateCallback;
  std::int64_t before = 0;
  std::int64_t after = 0;
  {
    std::lock_guard guard(lock_);
    if (!acknowledged_ || total < acknowledgedTotal_ || total > sentTotal_) return false;
    const double now = clock_();
    before = target_;
    while (acknowledgedTotal_ < total) {
      if (flights_.empty()) {
        // Flights were retired by completions before the regime switched; nothing to sample.
        acknowledgedTotal_ = total;
        break;
      }
      const Flight flight = flights_.front();
      flights_.pop_front();
      ++acknowledgedTotal_;
      reserved_ = std::max<std::int64_t>(0, reserved_ - 1);
      delivered_ += flight.bytes;
      deliveredTime_ = now;
      bytesInFlight_ -= flight.bytes;
      record(flight, now);
      firstSentTime_ = flight.sent;
    }
    checkLateness(now);
    updateTarget(now);
    after = target_;
    creditCallback = creditCallback_;
    bitrateCallback = bitrateCallback_;
  }
  if (creditCallback) creditCallback();
  if (bitrateCallback && after != before) bitrateCallback(after);
  return true;
}

VideoPacer::Stats VideoPacer::stats() const {
  std::lock_guard guard(lock_);
  const double now = clock_();
  Stats result;
  result.target = target_;
  result.fps = std::count_if(deliveries_.begin(), deliveries_.end(),
                             [now](double t) { return now - t <= kDeliveryWindow; });
  if (!roundTripSamples_.empty()) result.pathDelay = std::lround(pathDelayLocked() * 1000.0);
  if (!recent_.empty()) {
    // Never more than the last eight entries; `recent_` holds fewer, so this is all of them.
    const std::size_t count = std::min<std::size_t>(recent_.size(), 8);
    double sum = 0;
    for (auto it = recent_.end() - static_cast<std::ptrdiff_t>(count); it != recent_.end(); ++it) {
      sum += it->roundTrip;
    }
    result.roundTrip = std::lround(sum / static_cast<double>(count) * 1000.0);
  }
  if (rateEstimate_) result.rate = static_cast<std::int64_t>(*rateEstimate_ * 8.0);
  return result;
}

void VideoPacer::setCreditCallback(std::function<void()> callback) {
  std::lock_guard guard(lock_);
  creditCallback_ = std::move(callback);
}

void VideoPacer::setBitrateCallback(std::function<void(std::int64_t)> callback) {
  std::lock_guard guard(lock_);
  bitrateCallback_ = std::move(callback);
}

std::int64_t VideoPacer::setBitrateCallbackAndReadTarget(std::function<void(std::int64_t)> callback) {
  std::lock_guard guard(lock_);
  bitrateCallback_ = std::move(callback);
  return target_;
}

std::int64_t VideoPacer::target() const {
  std::lock_guard guard(lock_);
  return target_;
}

VideoPacer::Mode VideoPacer::mode() const {
  std::lock_guard guard(lock_);
  return mode_;
}

std::int64_t VideoPacer::reserved() const {
  std::lock_guard guard(lock_);
  return reserved_;
}

std::optional<double> VideoPacer::rateEstimate() const {
  std::lock_guard guard(lock_);
  return rateEstimate_;
}

double VideoPacer::pathDelay() const {
  std::lock_guard guard(lock_);
  return pathDelayLocked();
}

double VideoPacer::pathDelayLocked() const {
  if (roundTripSamples_.empty()) return kDefaultPathDelay;
  double smallest = roundTripSamples_.front().value;
  for (const Sample& sample : roundTripSamples_) {
    smallest = std::min(smallest, sample.value);
  }
  return smallest;
}

double VideoPacer::slackLocked() const {
  return std::max(kSlackFrames * frameInterval_, kMinSlack);
}

void VideoPacer::noteDelivery(double now) {
  deliveries_.push_back(now);
  trimWindow(deliveries_, now, kDeliveryWindow, [](double t) { return t; });
}

void VideoPacer::record(const Flight& flight, double now) {
  const double roundTrip = std::max(now - flight.sent, kMinRoundTrip);
  // Compared with the minimum before this sample joins it.
  if (roundTrip <= kNearMinimumFactor * pathDelayLocked() + kNearMinimumMargin) {
    pathRefreshedAt_ = now;
  }
  roundTripSamples_.push_back(Sample{.time = now, .value = roundTrip});
  trimWindow(roundTripSamples_, now, kRoundTripWindow, [](const Sample& s) { return s.time; });

  noteDelivery(now);

  if (!flight.keyframe) {
    if (recent_.size() >= kRecentCapacity) recent_.pop_front();
    recent_.push_back(Recent{.time = now, .roundTrip = roundTrip, .bytes = flight.bytes});
  }
  if (flight.appLimited) lastAppLimited_ = now;

  // The delivery rate is measured over whichever is longer: the time since the delivery state
  // the frame saw when it was sent, or the send span since the frame acknowledged before it. The
  // latter keeps a burst of acknowledgements from inflating the rate.
  const double interval = std::max(now - flight.deliveredTimeAtSend, flight.sent - flight.firstSentAtSend);
  if (interval <= kMinSampleInterval) return;
  const double rate = static_cast<double>(delivered_ - flight.deliveredAtSend) / interval;

  // An app-limited sample under-reports the path, so it may only raise the estimate.
  const bool keep = !flight.appLimited || (rateEstimate_ ? rate > *rateEstimate_ : rate > 0);
  if (keep) rateSamples_.push_back(Sample{.time = now, .value = rate});
  trimWindow(rateSamples_, now, kRateWindow, [](const Sample& s) { return s.time; });
  // When the window empties the last estimate stands: a quiet stream is no evidence that the
  // path got slower.
  if (!rateSamples_.empty()) {
    double largest = rateSamples_.front().value;
    for (const Sample& sample : rateSamples_) {
      largest = std::max(largest, sample.value);
    }
    rateEstimate_ = largest;
  }
}

void VideoPacer::checkLateness(double now) {
  if (mode_.kind == ModeKind::drain || recent_.size() != kRecentCapacity || !rateEstimate_) return;
  const double threshold =
      pathDelayLocked() + static_cast<double>(typicalFrameBytes_) / *rateEstimate_ + slackLocked();
  double smallest = recent_.front().roundTrip;
  for (const Recent& entry : recent_) {
    smallest = std::min(smallest, entry.roundTrip);
  }
  if (smallest <= threshold) return;

  // Every one of the last frames arrived later than an empty queue allows: a queue is building.
  if (now - lastLate_ >= kLatenessHoldOff) {
    // What actually got through while the queue built is the better estimate of the path now.
    const double span = recent_.back().time - recent_.front().time;
    if (span > kMinLatenessSpan) {
      std::int64_t bytes = 0;
      for (auto it = recent_.begin() + 1; it != recent_.end(); ++it) {
        bytes += it->bytes;
      }
      const double measured = std::min(static_cast<double>(bytes) / span, *rateEstimate_);
      rateEstimate_ = measured;
      rateSamples_.assign(1, Sample{.time = now, .value = measured});
      mode_ = Mode{.kind = ModeKind::drain, .drainUntil = now + kDrainDuration};
    }
  } else {
    // Late again soon after the last lateness: the estimate is not the problem, the path itself
    // has become slower. Rebase the path delay on what the frames actually saw.
    roundTripSamples_.clear();
    for (const Recent& entry : recent_) {
      roundTripSamples_.push_back(Sample{.time = entry.time, .value = entry.roundTrip});
    }
  }
  lastLate_ = now;
  recent_.clear();
}

void VideoPacer::updateTarget(double now) {
  if (!acknowledged_) return;
  if (!rateEstimate_) {
    target_ = std::min(maxBitrate_, std::max(minBitrate_, kTargetWithoutEstimate));
    return;
  }
  const double rate = *rateEstimate_;
  const double pathDelay = pathDelayLocked();
  const double floor = std::max(pathDelay, kModeTimingFloor);
  double gain = 1.0;
  switch (mode_.kind) {
    case ModeKind::drain: {
      gain = kDrainGain;
      bool queueEmptied = false;
      if (!recent_.empty()) {
        queueEmptied = recent_.back().roundTrip <=
                       pathDelay + static_cast<double>(typicalFrameBytes_) / rate + 0.5 * slackLocked();
      }
      if (now > mode_.drainUntil || queueEmptied) {
        mode_ = Mode{.kind = ModeKind::cruise};
        cycleStart_ = now;
        cycleIndex_ = 0;
      }
      break;
    }
    case ModeKind::startup:
      gain = kStartupGain;
      // While the sender limits itself the rate cannot show growth, so startup is not judged yet.
      if (startupBest_ * kStartupGrowth < rate || now - lastAppLimited_ < floor) {
        startupBest_ = std::max(startupBest_, rate);
        startupBestAt_ = now;
      }
      if (now - startupBestAt_ > kStartupExitRounds * floor) {
        mode_ = Mode{.kind = ModeKind::drain, .drainUntil = now + kDrainDuration};
      }
      break;
    case ModeKind::cruise:
      if (now - pathRefreshedAt_ > kPathRefreshPeriod) {
        // No near-minimum round trip for a while: pause so that queues empty and the path delay
        // can be measured again.
        mode_ = Mode{.kind = ModeKind::drain,
                     .drainUntil = now + std::max(2.0 * pathDelay, kPathRefreshMinDrain)};
        pathRefreshedAt_ = now;
        gain = kDrainGain;
      } else {
        if (now - cycleStart_ > floor) {
          cycleIndex_ = (cycleIndex_ + 1) % static_cast<int>(kCruiseGains.size());
          cycleStart_ = now;
        }
        gain = kCruiseGains[static_cast<std::size_t>(cycleIndex_)];
      }
      break;
  }
  // Clamped before the conversion to an integer so that an absurd estimate cannot overflow it;
  // the bounds are whole numbers, so the result equals truncating first and clamping after. The
  // minimum wins should the bounds ever cross.
  const double raw = rate * 8.0 * kTargetHeadroom * gain;
  const double bounded =
      std::max(std::min(raw, static_cast<double>(maxBitrate_)), static_cast<double>(minBitrate_));
  target_ = static_cast<std::int64_t>(bounded);
}

}  // namespace quorvanta
