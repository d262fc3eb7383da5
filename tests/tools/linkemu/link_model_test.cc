#include "tools/linkemu/link_model.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <vector>

namespace quorvanta::linkemu {
namespace {

// Numbers for loss and jitter, in the order given; 0.5 once they run out.
struct Dice {
  std::deque<double> values;
  double operator()() {
    if (values.empty()) return 0.5;
    const double value = values.front();
    values.pop_front();
    return value;
  }
};

// When each packet offered comes out, following the link's own next-event times.
std::vector<std::pair<double, std::uint8_t>> arrivals(LinkDirection& link) {
  std::vector<std::pair<double, std::uint8_t>> seen;
  for (int step = 0; step < 100; ++step) {
    const std::optional<double> next = link.nextEvent();
    if (!next) break;
    for (const Packet& packet : link.take(*next))
      seen.emplace_back(*next, packet.front());
  }
  return seen;
}

TEST(LinkDirection, serialisesAtTheRateThenDelays) {
  LinkShape shape;
  shape.bitsPerSecond = 1e6;  // 1250 bytes take 10 ms
  shape.delay = 0.05;
  shape.burstBytes = 1250;
  LinkDirection link(shape, Dice{}, 0);
  for (std::uint8_t tag = 1; tag <= 4; ++tag)
    ASSERT_EQ(link.offer(Packet(1250, tag), 0), LinkDirection::Verdict::queued);
  // The first left with the bucket's tokens when the second came.
  EXPECT_EQ(link.backlogBytes(), 3750);
  EXPECT_NEAR(link.backlogSeconds(0), 0.03, 1e-9);

  const auto seen = arrivals(link);
  ASSERT_EQ(seen.size(), 4U);
  for (std::size_t index = 0; index < seen.size(); ++index) {
    EXPECT_NEAR(seen[index].first, 0.05 + 0.01 * static_cast<double>(index), 1e-9);
    EXPECT_EQ(seen[index].second, index + 1);
  }
  const IntervalCounters counters = link.takeCounters();
  EXPECT_EQ(counters.bytesOut, 5000);
  EXPECT_NEAR(counters.queueDelaySum / 4, 0.015, 1e-9);
  EXPECT_NEAR(counters.queueDelayMax, 0.03, 1e-9);
  EXPECT_EQ(link.takeCounters().bytesOut, 0);
}

TEST(LinkDirection, idleTimeFillsTheBucketOnlyToItsDepth) {
  LinkShape shape;
  shape.bitsPerSecond = 1e6;
  shape.burstBytes = 2500;
  LinkDirection link(shape, Dice{}, 0);
  link.take(10);  // ten idle seconds
  for (std::uint8_t tag = 1; tag <= 3; ++tag)
    link.offer(Packet(1250, tag), 10);
  const auto seen = arrivals(link);
  ASSERT_EQ(seen.size(), 3U);
  EXPECT_NEAR(seen[0].first, 10, 1e-9);
  EXPECT_NEAR(seen[1].first, 10, 1e-9);
  EXPECT_NEAR(seen[2].first, 10.01, 1e-9);
}

TEST(LinkDirection, tailDropsBeyondTheQueueLimit) {
  struct Case {
    const char* name;
    std::optional<std::int64_t> bytes;
    std::optional<double> seconds;
  };
  // 20 ms at 1 Mbit/s is 2500 bytes, the same limit in two forms.
  for (const Case& each : {Case{"bytes", 2500, std::nullopt}, Case{"time", std::nullopt, 0.02}}) {
    SCOPED_TRACE(each.name);
    LinkShape shape;
    shape.bitsPerSecond = 1e6;
    shape.burstBytes = 1000;
    shape.queueBytes = each.bytes;
    shape.queueSeconds = each.seconds;
    LinkDirection link(shape, Dice{}, 0);
    std::vector<LinkDirection::Verdict> verdicts;
    for (std::uint8_t tag = 1; tag <= 5; ++tag)
      verdicts.push_back(link.offer(Packet(1000, tag), 0));
    // The first leaves at once with the bucket's tokens; two more fit in the queue.
    using V = LinkDirection::Verdict;
    EXPECT_EQ(verdicts, (std::vector<V>{V::queued, V::queued, V::queued, V::dropped, V::dropped}));
    EXPECT_EQ(link.takeCounters().dropped, 2);
    EXPECT_EQ(arrivals(link).size(), 3U);
  }
}

TEST(LinkDirection, followsTheRateSchedule) {
  LinkShape shape;
  shape.bitsPerSecond = 1e6;
  shape.burstBytes = 1250;
  shape.schedule = {RateStep{0.015, 2e6}, RateStep{1.0, 0.5e6}};
  LinkDirection link(shape, Dice{}, 0);
  for (std::uint8_t tag = 1; tag <= 3; ++tag)
    link.offer(Packet(1250, tag), 0);
  auto seen = arrivals(link);
  ASSERT_EQ(seen.size(), 3U);
  EXPECT_NEAR(seen[1].first, 0.01, 1e-9);
  // 625 bytes of tokens until the step, the other 625 at 2 Mbit/s.
  EXPECT_NEAR(seen[2].first, 0.0175, 1e-9);
  EXPECT_DOUBLE_EQ(link.rateAt(0.5), 2e6);
  EXPECT_DOUBLE_EQ(link.rateAt(1.5), 0.5e6);

  // Restarted at 2 s, the schedule applies again from its first rate.
  link.restartSchedule(2);
  EXPECT_DOUBLE_EQ(link.rateAt(2.01), 1e6);
  EXPECT_DOUBLE_EQ(link.rateAt(2.02), 2e6);
}

TEST(LinkDirection, losesAtRandomAndJittersWithoutReordering) {
  LinkShape shape;
  shape.bitsPerSecond = 1e6;
  shape.burstBytes = 1250;
  shape.delay = 0.05;
  shape.jitter = 0.01;
  shape.loss = 0.01;
  // One loss draw per offer, one jitter draw per departure (the first leaves at the second offer).
  LinkDirection link(shape, Dice{{0.5, 0.99, 0.005, 0.5, 0.0}}, 0);
  using V = LinkDirection::Verdict;
  EXPECT_EQ(link.offer(Packet(1250, 1), 0), V::queued);
  EXPECT_EQ(link.offer(Packet(1250, 2), 0), V::lost);
  EXPECT_EQ(link.offer(Packet(1250, 3), 0), V::queued);
  const auto seen = arrivals(link);
  ASSERT_EQ(seen.size(), 2U);
  EXPECT_NEAR(seen[0].first, 0.0598, 1e-9);  // 50 ms + 9.8 ms
  EXPECT_EQ(seen[1].second, 3);
  // Left at 10 ms with 10 ms less delay, it would overtake the first; it arrives right after.
  EXPECT_NEAR(seen[1].first, 0.0598, 1e-9);
  EXPECT_EQ(link.takeCounters().lost, 1);
}

TEST(LinkParsing, readsRatesDurationsAndSchedules) {
  const std::pair<const char*, std::optional<double>> rates[] = {
      {"5M", 5e6},    {"2.5Mbit", 2.5e6},     {"500k", 5e5},
      {"1000", 1000}, {"fast", std::nullopt}, {"5X", std::nullopt}};
  for (const auto& [text, rate] : rates)
    EXPECT_EQ(parseRate(text), rate) << text;
  const std::pair<const char*, std::optional<double>> durations[] = {
      {"20ms", 0.02}, {"1.5s", 1.5}, {"0", 0}, {"20", std::nullopt}};
  for (const auto& [text, seconds] : durations)
    EXPECT_EQ(parseDuration(text), seconds) << text;
  const auto steps = parseSchedule("10:5M,25:20M");
  ASSERT_TRUE(steps);
  ASSERT_EQ(steps->size(), 2U);
  EXPECT_EQ((*steps)[1].at, 25);
  EXPECT_EQ((*steps)[1].bitsPerSecond, 20e6);
  EXPECT_EQ(parseSchedule("25:5M,10:20M"), std::nullopt);  // out of order
  EXPECT_EQ(parseSchedule("10-5M"), std::nullopt);
}

}  // namespace
}  // namespace quorvanta::linkemu
