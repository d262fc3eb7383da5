#include "tools/linkemu/link_model.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

namespace quorvanta::linkemu {

LinkDirection::LinkDirection(LinkShape shape, std::function<double()> uniform, double start)
    : shape_(std::move(shape)),
      uniform_(std::move(uniform)),
      start_(start),
      updated_(start),
      tokens_(static_cast<double>(shape_.burstBytes)),
      lastDue_(start) {}

double LinkDirection::rateAt(double time) const {
  double rate = shape_.bitsPerSecond;
  for (const RateStep& step : shape_.schedule) {
    if (time >= start_ + step.at) rate = step.bitsPerSecond;
  }
  return rate;
}

double LinkDirection::earned(double from, double to) const {
  double total = 0;
  double at = from;
  for (const RateStep& step : shape_.schedule) {
    const double boundary = start_ + step.at;
    if (boundary <= at) continue;
    if (boundary >= to) break;
    total += rateAt(at) / 8 * (boundary - at);
    at = boundary;
  }
  return total + rateAt(at) / 8 * std::max(0.0, to - at);
}

double LinkDirection::whenTokens(double from, double tokens, double needed) const {
  if (tokens >= needed) return from;
  double deficit = needed - tokens;
  double at = from;
  for (const RateStep& step : shape_.schedule) {
    const double boundary = start_ + step.at;
    if (boundary <= at) continue;
    const double bytesPerSecond = rateAt(at) / 8;
    if (bytesPerSecond > 0 && at + deficit / bytesPerSecond <= boundary) return at + deficit / bytesPerSecond;
    deficit -= bytesPerSecond * (boundary - at);
    at = boundary;
  }
  const double bytesPerSecond = rateAt(at) / 8;
  return bytesPerSecond > 0 ? at + deficit / bytesPerSecond : std::numeric_limits<double>::infinity();
}

std::optional<std::int64_t> LinkDirection::queueLimit(double now) const {
  std::optional<std::int64_t> limit = shape_.queueBytes;
  if (shape_.queueSeconds) {
    const auto bytes = static_cast<std::int64_t>(rateAt(now) / 8 * *shape_.queueSeconds);
    limit = limit ? std::min(*limit, bytes) : bytes;
  }
  return limit;
}

void LinkDirection::release(double now) {
  while (!queue_.empty()) {
    const auto size = static_cast<double>(queue_.front().packet.size());
    const double depth = std::max(static_cast<double>(shape_.burstBytes), size);
    const double at = whenTokens(updated_, tokens_, size);
    if (at > now) break;
    tokens_ = std::min(depth, tokens_ + earned(updated_, at)) - size;
    updated_ = at;
    Waiting waiting = std::move(queue_.front());
    queue_.pop_front();
    backlogBytes_ -= static_cast<std::int64_t>(waiting.packet.size());
    const double waited = at - waiting.arrived;
    counters_.bytesOut += static_cast<std::int64_t>(waiting.packet.size());
    counters_.packetsOut += 1;
    counters_.queueDelaySum += waited;
    counters_.queueDelayMax = std::max(counters_.queueDelayMax, waited);
    double due = at + shape_.delay;
    if (shape_.jitter > 0) due += (uniform_() * 2 - 1) * shape_.jitter;
    // Jitter never reorders packets and never lets one arrive before it left the bucket.
    due = std::max({due, at, lastDue_});
    lastDue_ = due;
    inFlight_.push_back(InFlight{std::move(waiting.packet), due});
  }
  const double depth = queue_.empty() ? static_cast<double>(shape_.burstBytes)
                                      : std::max(static_cast<double>(shape_.burstBytes),
                                                 static_cast<double>(queue_.front().packet.size()));
  if (now > updated_) {
    tokens_ = std::min(depth, tokens_ + earned(updated_, now));
    updated_ = now;
  }
}

LinkDirection::Verdict LinkDirection::offer(Packet packet, double now) {
  release(now);
  if (shape_.loss > 0 && uniform_() < shape_.loss) {
    counters_.lost += 1;
    return Verdict::lost;
  }
  const auto size = static_cast<std::int64_t>(packet.size());
  if (const auto limit = queueLimit(now); limit && backlogBytes_ + size > *limit) {
    counters_.dropped += 1;
    return Verdict::dropped;
  }
  backlogBytes_ += size;
  queue_.push_back(Waiting{std::move(packet), now});
  return Verdict::queued;
}

std::vector<Packet> LinkDirection::take(double now) {
  release(now);
  std::vector<Packet> arrived;
  while (!inFlight_.empty() && inFlight_.front().due <= now) {
    arrived.push_back(std::move(inFlight_.front().packet));
    inFlight_.pop_front();
  }
  return arrived;
}

std::optional<double> LinkDirection::nextEvent() const {
  std::optional<double> next;
  if (!inFlight_.empty()) next = inFlight_.front().due;
  if (!queue_.empty()) {
    const double at = whenTokens(updated_, tokens_, static_cast<double>(queue_.front().packet.size()));
    next = next ? std::min(*next, at) : at;
  }
  return next;
}

void LinkDirection::restartSchedule(double now) {
  release(now);
  start_ = now;
}

double LinkDirection::backlogSeconds(double now) const {
  const double rate = rateAt(now);
  return rate > 0 ? static_cast<double>(backlogBytes_) * 8 / rate : std::numeric_limits<double>::infinity();
}

IntervalCounters LinkDirection::takeCounters() {
  return std::exchange(counters_, IntervalCounters{});
}

namespace {

// A non-negative number at the start of `text`, and the rest.
std::optional<std::pair<double, std::string>> leadingNumber(const std::string& text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || !std::isfinite(value) || value < 0) return std::nullopt;
  return std::pair{value, std::string(end, text.data() + text.size())};
}

}  // namespace

std::optional<double> parseRate(const std::string& text) {
  const auto parsed = leadingNumber(text);
  if (!parsed) return std::nullopt;
  auto [value, unit] = *parsed;
  if (unit.ends_with("bit")) unit.resize(unit.size() - 3);
  if (unit.empty()) return value;
  if (unit == "k" || unit == "K") return value * 1e3;
  if (unit == "M") return value * 1e6;
  if (unit == "G") return value * 1e9;
  return std::nullopt;
}

std::optional<double> parseDuration(const std::string& text) {
  const auto parsed = leadingNumber(text);
  if (!parsed) return std::nullopt;
  const auto& [value, unit] = *parsed;
  if (unit == "ms") return value / 1e3;
  if (unit == "s" || (unit.empty() && value == 0)) return value;
  return std::nullopt;
}

std::optional<std::vector<RateStep>> parseSchedule(const std::string& text) {
  std::vector<RateStep> steps;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    const std::size_t colon = item.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const auto seconds = leadingNumber(item.substr(0, colon));
    const auto rate = parseRate(item.substr(colon + 1));
    if (!seconds || !seconds->second.empty() || !rate) return std::nullopt;
    if (!steps.empty() && seconds->first < steps.back().at) return std::nullopt;
    steps.push_back(RateStep{seconds->first, *rate});
    at = comma + 1;
  }
  return steps;
}

}  // namespace quorvanta::linkemu
