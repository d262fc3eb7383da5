#include "core/transport/video_pacer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace quorvanta {
namespace {

using ModeKind = VideoPacer::ModeKind;
using Targets = std::vector<std::int64_t>;

// Takes slots until the pacer refuses; returns how many it granted.
std::int64_t reserveAll(VideoPacer& pacer) {
  std::int64_t granted = 0;
  while (granted < 100 && pacer.tryReserve())
    ++granted;
  return granted;
}

// Times are mostly binary fractions so that rates and targets come out exact and compare with ==.
class VideoPacerTest : public ::testing::Test {
 protected:
  VideoPacerTest() {
    pacer.setCreditCallback([this] { ++credits; });
    pacer.setBitrateCallback([this](std::int64_t target) { targets.push_back(target); });
  }
  // Reserves a slot and sends a frame at `time`, as the pipeline and connection do.
  void sendAt(double time, std::int64_t bytes, bool keyframe = false) {
    now = time;
    EXPECT_TRUE(pacer.tryReserve()) << "at " << now;
    pacer.didSend(bytes, keyframe);
  }
  bool ackAt(double time, std::int64_t total) {
    now = time;
    return pacer.acknowledge(total);
  }
  // One 62,500-byte frame sent at 0 and acknowledged at 0.125: 500,000 B/s over a 0.125 s path.
  void establishEstimate(std::int64_t maxBitrate = 24'000'000) {
    pacer.configure(true, 30, maxBitrate);
    sendAt(0, 62'500);
    ASSERT_TRUE(ackAt(0.125, 1));
    ASSERT_EQ(pacer.rateEstimate(), 500'000.0);
    ASSERT_EQ(pacer.pathDelay(), 0.125);
  }
  double now = 0;
  VideoPacer pacer{[this] { return now; }};
  int credits = 0;
  Targets targets;
};

TEST_F(VideoPacerTest, NewPacerDefaultsAndConfigureAlwaysReportsTheTarget) {
  const VideoPacer::Stats stats = pacer.stats();
  EXPECT_EQ(stats.target, 6'000'000);
  EXPECT_EQ(stats.fps, 0);
  EXPECT_FALSE(stats.pathDelay || stats.roundTrip || stats.rate);
  EXPECT_EQ(pacer.mode().kind, ModeKind::startup);

  pacer.configure(false, 30, 8'000'000);
  pacer.configure(false, 30, 8'000'000);
  // Acknowledged, without an estimate: 1,500,000 within [min(max, 400,000), max].
  for (const std::int64_t maxBitrate : {24'000'000, 1'000'000, 300'000, 0})
    pacer.configure(true, 30, maxBitrate);
  EXPECT_EQ(targets, (Targets{8'000'000, 8'000'000, 1'500'000, 1'000'000, 300'000, 1}));
  EXPECT_EQ(pacer.target(), 1);
}

TEST_F(VideoPacerTest, UnacknowledgedRegimeSendsOneFrameAtATime) {
  EXPECT_TRUE(pacer.tryReserve());
  EXPECT_FALSE(pacer.tryReserve());
  pacer.didSend(1'000, true);
  EXPECT_FALSE(pacer.tryReserve()) << "the sent frame keeps its slot until the send completes";
  EXPECT_EQ(credits, 0);
  now = 0.5;
  pacer.didComplete();
  EXPECT_EQ(credits, 1);
  EXPECT_TRUE(pacer.tryReserve());
  // A reserved frame that is never produced hands its slot back; extra releases add no slots.
  pacer.releaseReservation();
  pacer.releaseReservation();
  EXPECT_EQ(credits, 3);
  EXPECT_EQ(reserveAll(pacer), 1);
  // Completions are the deliveries here, counted over one second inclusive.
  pacer.didSend(1'000, false);
  now = 1.5;
  pacer.didComplete();
  EXPECT_EQ(pacer.stats().fps, 2);
  now = 1.75;
  EXPECT_EQ(pacer.stats().fps, 1);
  EXPECT_TRUE(targets.empty());
}

TEST_F(VideoPacerTest, ReservationLimitCoversTwoPathDelaysOfFramesWithinThreeToSixteen) {
  // Default path delay 0.05 s: ceil(0.1 s / frame interval) + 2.
  for (const auto& [fps, limit] :
       std::vector<std::pair<std::int64_t, std::int64_t>>{{30, 5}, {60, 8}, {10, 3}}) {
    VideoPacer fresh([this] { return now; });
    fresh.configure(true, fps, 24'000'000);
    EXPECT_EQ(reserveAll(fresh), limit) << fps << " fps";
  }
  // 0.2 s at 60 fps would allow 26. A keyframe leaves the typical frame size at 0, so unsent slots
  // cost nothing against the byte budget.
  pacer.configure(true, 60, 24'000'000);
  sendAt(0, 1'000, true);
  ASSERT_TRUE(ackAt(0.2, 1));
  EXPECT_EQ(pacer.pathDelay(), 0.2);
  EXPECT_EQ(reserveAll(pacer), 16);
}

TEST_F(VideoPacerTest, ByteBudgetCountsFlightsAndUnsentSlots) {
  establishEstimate();
  // Budget: 500,000 B/s * (2 * 0.125 s + 0.05 s) = 150,000 bytes; typical frame 62,500 bytes. The
  // first slot is always granted; then 1 and 2 unsent slots fit, 3 (187,500) do not.
  EXPECT_EQ(reserveAll(pacer), 3);
  pacer.releaseReservation();
  pacer.releaseReservation();
  pacer.didSend(150'000, true);      // exactly the budget in flight, no slot waiting
  EXPECT_TRUE(pacer.tryReserve());   // budget == expected still fits
  EXPECT_FALSE(pacer.tryReserve());  // 150,000 + 62,500 for the new unsent slot
  ASSERT_TRUE(ackAt(0.5, 2));
  EXPECT_EQ(pacer.reserved(), 1);
  // The typical size is a running average: (3 * 62,500 + 2,500) / 4 = 47,500. With 2,500 bytes in
  // flight, three more unsent slots fit (145,000) and a fourth does not.
  sendAt(0.5, 2'500);
  EXPECT_EQ(reserveAll(pacer), 3);
}

TEST_F(VideoPacerTest, RefusedAcknowledgementsCallNothing) {
  sendAt(0, 1'000);
  EXPECT_FALSE(pacer.acknowledge(1)) << "never accepted without the acknowledged regime";
  pacer.configure(true, 30, 24'000'000);
  sendAt(0, 62'500);
  EXPECT_FALSE(ackAt(0.125, 3)) << "more than was sent";
  EXPECT_TRUE(ackAt(0.125, 1));
  EXPECT_FALSE(ackAt(0.25, 0)) << "going backwards";
  EXPECT_EQ(credits, 1);
  EXPECT_EQ(targets, (Targets{1'500'000, 400'000})) << "115,200 computed, raised to the minimum";
  EXPECT_EQ(pacer.stats().fps, 1);
  EXPECT_EQ(pacer.reserved(), 1);
  // A repeated total is accepted and gives credit again; the unchanged target is not reported.
  EXPECT_TRUE(ackAt(0.25, 1));
  EXPECT_EQ(credits, 2);
  EXPECT_EQ(targets.size(), 2u);
}

TEST_F(VideoPacerTest, TargetStaysWithinBitrateBoundsAndIsReportedAfterTheCredit) {
  std::vector<std::string> calls;
  pacer.setCreditCallback([&] { calls.push_back("credit"); });
  EXPECT_EQ(
      pacer.setBitrateCallbackAndReadTarget([&](std::int64_t t) { calls.push_back(std::to_string(t)); }),
      6'000'000);
  establishEstimate(5'000'000);        // 7,200,000 computed
  pacer.configure(true, 30, 100'000);  // a maximum below 400,000 lowers the minimum too
  EXPECT_EQ(calls, (std::vector<std::string>{"1500000", "credit", "5000000", "100000"}));
}

TEST_F(VideoPacerTest, TargetFollowsModeAtFixedEstimate) {
  establishEstimate();
  // A second frame takes 0.5 s: the queue never looks empty, its 125,000 B/s leaves the estimate,
  // and startup sees no growth for more than 3 * 0.15 s.
  sendAt(0.125, 62'500);
  ASSERT_TRUE(ackAt(0.625, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  EXPECT_EQ(pacer.mode().drainUntil, 1.625);
  EXPECT_EQ(pacer.target(), 7'200'000) << "the update that leaves startup keeps its gain";
  const VideoPacer::Stats stats = pacer.stats();
  EXPECT_EQ(stats.fps, 2);
  EXPECT_EQ(stats.pathDelay, 125);
  EXPECT_EQ(stats.roundTrip, 313) << "mean 312.5 ms rounds away from zero";
  EXPECT_EQ(stats.rate, 4'000'000);

  // Repeated totals run the target update without new samples, so the estimate stays put.
  ASSERT_TRUE(ackAt(0.75, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  EXPECT_EQ(pacer.target(), 1'800'000);
  ASSERT_TRUE(ackAt(1.75, 2));  // past the deadline
  EXPECT_EQ(pacer.mode().kind, ModeKind::cruise);
  EXPECT_EQ(pacer.target(), 1'800'000) << "the update that leaves the drain keeps its gain";
  // Cruise phases last longer than max(path delay, 0.15 s); the cycle wraps to its first phase.
  const Targets cycle = {4'500'000, 2'880'000, 3'600'000, 3'600'000, 3'600'000, 3'600'000, 4'500'000};
  for (std::size_t i = 0; i < cycle.size(); ++i) {
    ASSERT_TRUE(ackAt(i == 0 ? 1.875 : 1.75 + 0.25 * static_cast<double>(i), 2));
    EXPECT_EQ(pacer.target(), cycle[i]) << "phase " << i;
  }
  // No round trip near the minimum for over 8 s: a short drain to re-measure the path.
  ASSERT_TRUE(ackAt(8.25, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  EXPECT_EQ(pacer.mode().drainUntil, 8.25 + 0.3);
  ASSERT_TRUE(ackAt(8.5, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  ASSERT_TRUE(ackAt(8.625, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::cruise);
  ASSERT_TRUE(ackAt(8.75, 2));  // the cycle starts over
  // The bit-rate callback heard each change once.
  EXPECT_EQ(targets, (Targets{1'500'000, 7'200'000, 1'800'000, 4'500'000, 2'880'000, 3'600'000, 4'500'000,
                              1'800'000, 4'500'000}));
}

TEST_F(VideoPacerTest, DrainEndsWhenTheQueueLooksEmptyAndNearMinimumRoundTripsPostponeTheRefresh) {
  establishEstimate();
  ASSERT_TRUE(ackAt(0.625, 1));  // no growth for 0.5 s > 3 * 0.15 s
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  // The newest round trip (0.125 s) is within path delay + typical / rate + half the slack.
  ASSERT_TRUE(ackAt(0.75, 1));
  EXPECT_EQ(pacer.mode().kind, ModeKind::cruise);
  sendAt(5, 62'500);
  ASSERT_TRUE(ackAt(5.125, 2));  // 0.125 s, the minimum again
  ASSERT_TRUE(ackAt(8.25, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::cruise);
  ASSERT_TRUE(ackAt(13.25, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
}

TEST_F(VideoPacerTest, DeliveryRateSpansTheSendsBetweenAcknowledgements) {
  pacer.configure(true, 30, 24'000'000);
  sendAt(0, 62'500);
  sendAt(0.125, 62'500);
  ASSERT_TRUE(ackAt(0.25, 1));
  sendAt(0.3, 62'500);
  ASSERT_TRUE(ackAt(0.375, 2));
  sendAt(0.4, 62'500);
  // The last two arrive together. The fourth was sent 0.025 s after the last delivery it saw but
  // 0.275 s after the second's send; the longer span keeps the burst from reading as 1,000,000 B/s.
  ASSERT_TRUE(ackAt(0.5, 4));
  EXPECT_DOUBLE_EQ(*pacer.rateEstimate(), 125'000 / 0.275);
}

TEST_F(VideoPacerTest, WindowedEstimateKeepsItsValueUntilAFullFrameReplacesIt) {
  establishEstimate();
  // Long after the 3 s window, an app-limited frame's low rate is no evidence against the estimate;
  // a full frame's is, and it is the only sample left in the window.
  sendAt(4, 1'000);
  ASSERT_TRUE(ackAt(4.125, 2));
  EXPECT_EQ(pacer.rateEstimate(), 500'000.0);
  sendAt(4.125, 62'500);
  ASSERT_TRUE(ackAt(4.375, 3));
  EXPECT_EQ(pacer.rateEstimate(), 250'000.0);
}

// A follow-up frame sent 1/30 s after a full one at a 6,000,000 bit/s target is app-limited below
// 6,000,000 / 8 / 30 * 0.5 = 12,500 bytes. An app-limited delivery keeps startup from concluding.
// Parameters: the follow-up's bytes, whether it is a keyframe, the mode 0.8 s in, the mean round trip.
using FollowUp = std::tuple<std::int64_t, bool, ModeKind, std::int64_t>;
class VideoPacerAppLimitedTest : public VideoPacerTest, public ::testing::WithParamInterface<FollowUp> {};

TEST_P(VideoPacerAppLimitedTest, OnlySmallNonKeyFramesHoldStartup) {
  const auto [bytes, keyframe, modeAfter, roundTripMs] = GetParam();
  establishEstimate(6'000'000);
  sendAt(0.125, 62'500);
  sendAt(0.125 + 1.0 / 30.0, bytes, keyframe);
  ASSERT_TRUE(ackAt(0.25, 2));
  ASSERT_TRUE(ackAt(0.5, 3));
  ASSERT_TRUE(ackAt(0.8, 3));
  EXPECT_EQ(pacer.mode().kind, modeAfter);
  EXPECT_EQ(pacer.stats().roundTrip, roundTripMs) << "keyframes are not among the recent";
  EXPECT_EQ(pacer.rateEstimate(), 500'000.0);
}

INSTANTIATE_TEST_SUITE_P(FollowUps, VideoPacerAppLimitedTest,
                         ::testing::Values(FollowUp{1'000, false, ModeKind::startup, 197},
                                           FollowUp{13'000, false, ModeKind::drain, 197},
                                           FollowUp{1'000, true, ModeKind::drain, 125}));

TEST_F(VideoPacerTest, LateFramesCutTheEstimateThenRebaseThePathDelay) {
  establishEstimate();
  // Six small frames, each 0.25 s in transit: more than path delay + typical frame / rate + slack,
  // about 0.22 s once the typical size has followed the small frames down.
  for (int i = 0; i < 6; ++i)
    sendAt(0.125 + i / 32.0, 12'500);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(ackAt(0.375 + i / 32.0, 2 + i));
    // Until the first frame has left the six most recent, one on-time frame is among them.
    EXPECT_EQ(pacer.mode().kind, ModeKind::startup);
  }
  ASSERT_TRUE(ackAt(0.53125, 7));
  // Five frames of 12,500 bytes over the 0.15625 s between the first and the sixth delivery.
  EXPECT_EQ(pacer.rateEstimate(), 400'000.0);
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  EXPECT_EQ(pacer.mode().drainUntil, 1.53125);
  EXPECT_EQ(pacer.target(), 1'440'000);
  EXPECT_EQ(pacer.pathDelay(), 0.125);
  EXPECT_FALSE(pacer.stats().roundTrip) << "the recent round trips start over";

  // Six more late frames, delivered within 2.5 s of the cut. The drain ends at the first delivery
  // past its deadline; the sixth delivery finds the path itself slower.
  for (int i = 0; i < 6; ++i)
    sendAt(1.5 + i / 32.0, 12'500);
  for (int i = 0; i < 6; ++i)
    ASSERT_TRUE(ackAt(1.75 + i / 32.0, 8 + i));
  EXPECT_EQ(pacer.pathDelay(), 0.25);
  EXPECT_EQ(pacer.mode().kind, ModeKind::cruise) << "no second cut within 2.5 s";
  EXPECT_EQ(pacer.rateEstimate(), 400'000.0);
  EXPECT_FALSE(pacer.stats().roundTrip);
}

TEST(VideoPacerConcurrencyTest, ConcurrentCallersKeepTheCountsConsistent) {
  VideoPacer pacer;
  std::atomic<int> credits = 0;
  // Callbacks run outside the lock and may call back in.
  pacer.setCreditCallback([&] { credits += pacer.target() > 0 ? 1 : 0; });
  pacer.setBitrateCallback([&](std::int64_t) { (void)pacer.stats(); });
  pacer.configure(true, 60, 24'000'000);

  std::int64_t sent = 0;
  std::thread transport([&] {
    for (int i = 0; i < 5'000; ++i) {
      if (pacer.tryReserve()) {
        pacer.didSend(1'000 + i % 700, i % 60 == 0);
        ++sent;
      }
      if (i % 3 == 0 && !pacer.acknowledge(sent)) ADD_FAILURE() << "acknowledgement refused";
    }
  });
  std::thread pipeline([&] {
    for (int i = 0; i < 5'000; ++i) {
      if (pacer.tryReserve()) pacer.releaseReservation();
      const VideoPacer::Stats stats = pacer.stats();
      EXPECT_GE(stats.target, 400'000);
      EXPECT_LE(stats.target, 24'000'000);
      if (i % 1'000 == 0) pacer.configure(true, 60, 24'000'000);
    }
  });
  transport.join();
  pipeline.join();
  EXPECT_TRUE(pacer.acknowledge(sent));
  EXPECT_EQ(pacer.reserved(), 0);
  EXPECT_GT(credits.load(), 0);
}

}  // namespace
}  // namespace quorvanta
