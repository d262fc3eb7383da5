#include "core/transport/video_pacer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorvanta {
namespace {

using ModeKind = VideoPacer::ModeKind;

// Takes slots until the pacer refuses; returns how many it granted.
std::int64_t reserveAll(VideoPacer& pacer) {
  std::int64_t granted = 0;
  while (granted < 100 && pacer.tryReserve()) {
    ++granted;
  }
  return granted;
}

// Times below are mostly binary fractions (0.125, 0.25, 1/32 ...) so that rates and targets come
// out exact and can be compared with ==.
class VideoPacerTest : public ::testing::Test {
 protected:
  VideoPacerTest() {
    pacer.setCreditCallback([this] { ++credits; });
    pacer.setBitrateCallback([this](std::int64_t target) { targets.push_back(target); });
  }

  // Reserves a slot and sends a frame at the current time, as the pipeline and connection do.
  void send(std::int64_t bytes, bool keyframe = false) {
    EXPECT_TRUE(pacer.tryReserve()) << "at " << now;
    pacer.didSend(bytes, keyframe);
  }

  bool ackAt(double time, std::int64_t total) {
    now = time;
    return pacer.acknowledge(total);
  }

  // One 62,500-byte frame sent at 0 and acknowledged at 0.125: a delivery rate of 500,000 B/s
  // and a path delay of 0.125 s.
  void establishEstimate(std::int64_t maxBitrate = 24'000'000) {
    pacer.configure(true, 30, maxBitrate);
    now = 0;
    send(62'500);
    ASSERT_TRUE(ackAt(0.125, 1));
    ASSERT_EQ(pacer.rateEstimate(), 500'000.0);
    ASSERT_EQ(pacer.pathDelay(), 0.125);
  }

  // Adds a second frame sent at 0.125 and acknowledged at 0.625. Its round trip of 0.5 s keeps the
  // drain from ending early (the queue never looks empty), and its rate sample (125,000 B/s) does
  // not move the estimate. Startup sees no growth for more than 0.45 s and begins draining.
  void deliverSlowSecondFrame() {
    establishEstimate();
    send(62'500);
    ASSERT_TRUE(ackAt(0.625, 2));
  }

  double now = 0;
  VideoPacer pacer{[this] { return now; }};
  int credits = 0;
  std::vector<std::int64_t> targets;
};

TEST_F(VideoPacerTest, NewPacerTargetsSixMegabitsAndHasNoStats) {
  const VideoPacer::Stats stats = pacer.stats();
  EXPECT_EQ(pacer.target(), 6'000'000);
  EXPECT_EQ(stats.target, 6'000'000);
  EXPECT_EQ(stats.fps, 0);
  EXPECT_FALSE(stats.pathDelay);
  EXPECT_FALSE(stats.roundTrip);
  EXPECT_FALSE(stats.rate);
  EXPECT_EQ(pacer.mode().kind, ModeKind::startup);
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
  EXPECT_EQ(pacer.reserved(), 0);
  EXPECT_TRUE(pacer.tryReserve());

  // A reserved frame that is never produced hands its slot back.
  pacer.releaseReservation();
  EXPECT_EQ(credits, 2);
  EXPECT_TRUE(pacer.tryReserve());

  // Extra releases do not create extra slots.
  pacer.releaseReservation();
  pacer.releaseReservation();
  EXPECT_EQ(pacer.reserved(), 0);
  EXPECT_TRUE(pacer.tryReserve());
  EXPECT_FALSE(pacer.tryReserve());

  // Completions are the deliveries here: one second inclusive.
  pacer.didSend(1'000, false);
  now = 1.5;
  pacer.didComplete();
  EXPECT_EQ(pacer.stats().fps, 2);
  now = 1.75;
  EXPECT_EQ(pacer.stats().fps, 1);
  EXPECT_TRUE(targets.empty());
}

TEST_F(VideoPacerTest, ConfigureSetsAndAlwaysReportsTheTarget) {
  pacer.configure(false, 30, 8'000'000);
  EXPECT_EQ(pacer.target(), 8'000'000);
  pacer.configure(false, 30, 8'000'000);
  // Acknowledged, without an estimate: 1,500,000 within [min(max, 400,000), max].
  pacer.configure(true, 30, 24'000'000);
  EXPECT_EQ(pacer.target(), 1'500'000);
  pacer.configure(true, 30, 1'000'000);
  pacer.configure(true, 30, 300'000);
  pacer.configure(true, 30, 0);
  EXPECT_EQ(targets, (std::vector<std::int64_t>{8'000'000, 8'000'000, 1'500'000, 1'000'000, 300'000, 1}));
}

TEST_F(VideoPacerTest, ReservationLimitCoversTwoPathDelaysOfFrames) {
  // Default path delay 0.05 s: ceil(0.1 / frame interval) + 2, at least 3.
  for (const auto& [fps, limit] :
       std::vector<std::pair<std::int64_t, std::int64_t>>{{30, 5}, {60, 8}, {10, 3}, {0, 3}}) {
    VideoPacer fresh([this] { return now; });
    fresh.configure(true, fps, 24'000'000);
    EXPECT_EQ(reserveAll(fresh), limit) << fps << " fps";
  }
}

TEST_F(VideoPacerTest, ReservationLimitIsCappedAtSixteen) {
  pacer.configure(true, 60, 24'000'000);
  // A keyframe leaves the typical frame size at 0, so unsent slots cost nothing against the byte
  // budget and only the frame limit applies. A keyframe is also kept out of the recent round trips.
  send(1'000, true);
  ASSERT_TRUE(ackAt(0.2, 1));
  EXPECT_EQ(pacer.pathDelay(), 0.2);  // 2 * 0.2 s at 60 fps would allow 26 frames
  EXPECT_FALSE(pacer.stats().roundTrip);

  EXPECT_EQ(reserveAll(pacer), 16);
}

TEST_F(VideoPacerTest, ByteBudgetCountsFlightsAndUnsentSlots) {
  establishEstimate();
  // Budget: 500,000 B/s * (2 * 0.125 s + 0.05 s) = 150,000 bytes; typical frame 62,500 bytes.
  EXPECT_TRUE(pacer.tryReserve());   // the first slot is always granted
  EXPECT_TRUE(pacer.tryReserve());   // 1 unsent slot: 62,500
  EXPECT_TRUE(pacer.tryReserve());   // 2 unsent slots: 125,000
  EXPECT_FALSE(pacer.tryReserve());  // 3 unsent slots: 187,500
  EXPECT_EQ(pacer.reserved(), 3);

  pacer.releaseReservation();
  pacer.releaseReservation();
  pacer.didSend(150'000, true);      // exactly the budget in flight, no slot waiting
  EXPECT_TRUE(pacer.tryReserve());   // budget == expected still fits
  EXPECT_FALSE(pacer.tryReserve());  // 150,000 + 62,500 for the new unsent slot
  EXPECT_EQ(pacer.reserved(), 2);

  ASSERT_TRUE(ackAt(0.5, 2));
  EXPECT_EQ(pacer.reserved(), 1);
  EXPECT_TRUE(pacer.tryReserve());

  // The typical size is a running average: (3 * 62,500 + 2,500) / 4 = 47,500. With 2,500 bytes in
  // flight, three more unsent slots fit (145,000) and a fourth does not.
  pacer.didSend(2'500, false);
  EXPECT_EQ(reserveAll(pacer), 3);
}

TEST_F(VideoPacerTest, AcknowledgeRejectsTotalsOutOfRange) {
  send(1'000);
  EXPECT_FALSE(pacer.acknowledge(0)) << "never accepted without the acknowledged regime";
  EXPECT_FALSE(pacer.acknowledge(1));

  pacer.configure(true, 30, 24'000'000);
  targets.clear();
  send(62'500);
  EXPECT_FALSE(ackAt(0.125, 3)) << "more than was sent";
  EXPECT_EQ(credits, 0);
  EXPECT_TRUE(targets.empty());

  EXPECT_TRUE(ackAt(0.125, 1));
  EXPECT_EQ(credits, 1);
  EXPECT_EQ(targets, std::vector<std::int64_t>{400'000});
  EXPECT_FALSE(ackAt(0.25, 0)) << "going backwards";
  EXPECT_EQ(credits, 1);
  EXPECT_EQ(pacer.stats().fps, 1);
  EXPECT_EQ(pacer.reserved(), 1);

  // A repeated total is accepted and gives credit again; the target did not change.
  EXPECT_TRUE(ackAt(0.25, 1));
  EXPECT_EQ(credits, 2);
  EXPECT_EQ(targets.size(), 1u);
}

TEST_F(VideoPacerTest, CreditIsReportedBeforeTheNewTarget) {
  std::vector<std::string> calls;
  pacer.setCreditCallback([&] { calls.push_back("credit"); });
  EXPECT_EQ(pacer.setBitrateCallbackAndReadTarget([&](std::int64_t) { calls.push_back("bitrate"); }),
            6'000'000);
  pacer.configure(true, 30, 24'000'000);
  send(62'500);
  ASSERT_TRUE(ackAt(0.125, 1));
  EXPECT_EQ(calls, (std::vector<std::string>{"bitrate", "credit", "bitrate"}));
}

TEST_F(VideoPacerTest, TargetFollowsModeAtFixedEstimate) {
  deliverSlowSecondFrame();
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  EXPECT_EQ(pacer.mode().drainUntil, 1.625);
  EXPECT_EQ(pacer.target(), 7'200'000) << "the update that leaves startup keeps its gain";
  EXPECT_EQ(pacer.rateEstimate(), 500'000.0);

  // Repeated totals run the target update without new samples, so the estimate stays put.
  ASSERT_TRUE(ackAt(0.75, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  EXPECT_EQ(pacer.target(), 1'800'000);

  ASSERT_TRUE(ackAt(1.75, 2));  // past the deadline
  EXPECT_EQ(pacer.mode().kind, ModeKind::cruise);
  EXPECT_EQ(pacer.target(), 1'800'000) << "the update that leaves the drain keeps its gain";

  // Cruise phases last longer than max(path delay, 0.15 s).
  ASSERT_TRUE(ackAt(1.875, 2));
  EXPECT_EQ(pacer.target(), 4'500'000);
  ASSERT_TRUE(ackAt(2.0, 2));
  EXPECT_EQ(pacer.target(), 2'880'000);
  for (const double time : {2.25, 2.5, 2.75, 3.0}) {
    ASSERT_TRUE(ackAt(time, 2));
    EXPECT_EQ(pacer.target(), 3'600'000) << "at " << time;
  }
  ASSERT_TRUE(ackAt(3.25, 2));
  EXPECT_EQ(pacer.target(), 4'500'000) << "the cycle wraps to its first phase";

  // No round trip near the minimum for over 8 s: a short drain to re-measure the path.
  ASSERT_TRUE(ackAt(8.25, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  EXPECT_EQ(pacer.mode().drainUntil, 8.25 + 0.3);
  EXPECT_EQ(pacer.target(), 1'800'000);
  ASSERT_TRUE(ackAt(8.5, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  ASSERT_TRUE(ackAt(8.625, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::cruise);
  ASSERT_TRUE(ackAt(8.75, 2));
  EXPECT_EQ(pacer.target(), 4'500'000);

  // The bit-rate callback heard each change once.
  EXPECT_EQ(targets, (std::vector<std::int64_t>{1'500'000, 7'200'000, 1'800'000, 4'500'000, 2'880'000,
                                                3'600'000, 4'500'000, 1'800'000, 4'500'000}));
}

TEST_F(VideoPacerTest, DrainEndsAsSoonAsTheQueueLooksEmpty) {
  establishEstimate();
  ASSERT_TRUE(ackAt(0.625, 1));  // no growth for 0.5 s > 3 * 0.15 s
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  // The newest round trip (0.125 s) is within path delay + typical / rate + half the slack.
  ASSERT_TRUE(ackAt(0.75, 1));
  EXPECT_EQ(pacer.mode().kind, ModeKind::cruise);
  EXPECT_EQ(pacer.target(), 1'800'000);
}

TEST_F(VideoPacerTest, RoundTripsNearTheMinimumPostponeThePathRefresh) {
  establishEstimate();
  ASSERT_TRUE(ackAt(0.625, 1));
  ASSERT_TRUE(ackAt(0.75, 1));
  ASSERT_EQ(pacer.mode().kind, ModeKind::cruise);

  now = 5;
  send(62'500);
  ASSERT_TRUE(ackAt(5.125, 2));  // 0.125 s, the minimum again
  ASSERT_TRUE(ackAt(8.25, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::cruise);
  ASSERT_TRUE(ackAt(13.25, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
}

TEST_F(VideoPacerTest, DeliveryRateSpansTheSendsBetweenAcknowledgements) {
  pacer.configure(true, 30, 24'000'000);
  send(62'500);  // f1
  now = 0.125;
  send(62'500);  // f2
  ASSERT_TRUE(ackAt(0.25, 1));
  now = 0.3;
  send(62'500);  // f3
  ASSERT_TRUE(ackAt(0.375, 2));
  now = 0.4;
  send(62'500);  // f4
  // f3 and f4 arrive together. f4 was sent 0.025 s after the last delivery it saw but 0.275 s after
  // the send of the frame acknowledged before it (f2); the longer span keeps the burst from
  // reading as 1,000,000 B/s.
  ASSERT_TRUE(ackAt(0.5, 4));
  EXPECT_DOUBLE_EQ(*pacer.rateEstimate(), 125'000 / 0.275);
}

TEST_F(VideoPacerTest, WindowedEstimateKeepsItsValueUntilAFullFrameReplacesIt) {
  establishEstimate();
  // Long after the 3 s window: an app-limited frame's low rate is no evidence against the estimate.
  now = 4;
  send(1'000);
  ASSERT_TRUE(ackAt(4.125, 2));
  EXPECT_EQ(pacer.rateEstimate(), 500'000.0);
  // A full frame's sample is, and it is the only one left in the window.
  send(62'500);
  ASSERT_TRUE(ackAt(4.375, 3));
  EXPECT_EQ(pacer.rateEstimate(), 250'000.0);
}

TEST_F(VideoPacerTest, StatsRoundToWholeMilliseconds) {
  deliverSlowSecondFrame();
  const VideoPacer::Stats stats = pacer.stats();
  EXPECT_EQ(stats.target, 7'200'000);
  EXPECT_EQ(stats.fps, 2);
  EXPECT_EQ(stats.pathDelay, 125);
  EXPECT_EQ(stats.roundTrip, 313) << "mean 312.5 ms rounds away from zero";
  EXPECT_EQ(stats.rate, 4'000'000);

  now = 1.125;  // the delivery at 0.125 is exactly one second old and still counts
  EXPECT_EQ(pacer.stats().fps, 2);
  now = 1.25;
  EXPECT_EQ(pacer.stats().fps, 1);
  now = 1.75;
  EXPECT_EQ(pacer.stats().fps, 0);
}

// A follow-up frame sent 1/30 s after a full one while the target is 6,000,000 bit/s; the share
// that makes it app-limited is 6,000,000 / 8 * 1/30 * 0.5 = 12,500 bytes. An app-limited delivery
// keeps startup from concluding, so it is visible in the mode 0.8 s in.
struct FollowUp {
  std::int64_t bytes;
  bool keyframe;
  ModeKind modeAfter;
  std::int64_t roundTripMs;
};

class VideoPacerAppLimitedTest : public VideoPacerTest, public ::testing::WithParamInterface<FollowUp> {};

TEST_P(VideoPacerAppLimitedTest, OnlySmallNonKeyFramesHoldStartup) {
  const FollowUp& followUp = GetParam();
  establishEstimate(6'000'000);
  ASSERT_EQ(pacer.target(), 6'000'000);  // 7,200,000 capped
  send(62'500);
  now = 0.125 + 1.0 / 30.0;
  send(followUp.bytes, followUp.keyframe);
  ASSERT_TRUE(ackAt(0.25, 2));
  ASSERT_TRUE(ackAt(0.5, 3));
  ASSERT_TRUE(ackAt(0.8, 3));
  EXPECT_EQ(pacer.mode().kind, followUp.modeAfter);
  // A keyframe's round trip is not among the recent ones.
  EXPECT_EQ(pacer.stats().roundTrip, followUp.roundTripMs);
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
  for (int i = 0; i < 6; ++i) {
    now = 0.125 + i / 32.0;
    send(12'500);
  }
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

  // Six more late frames, delivered within 2.5 s of the cut. The drain ends at the first
  // delivery past its deadline; the sixth delivery finds the path itself slower.
  for (int i = 0; i < 6; ++i) {
    now = 1.5 + i / 32.0;
    send(12'500);
  }
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(ackAt(1.75 + i / 32.0, 8 + i));
  }
  EXPECT_EQ(pacer.pathDelay(), 0.25);
  EXPECT_EQ(pacer.mode().kind, ModeKind::cruise) << "no second cut within 2.5 s";
  EXPECT_EQ(pacer.rateEstimate(), 400'000.0);
  EXPECT_FALSE(pacer.stats().roundTrip);
}

TEST_F(VideoPacerTest, TargetStaysWithinBitrateBounds) {
  pacer.configure(true, 30, 24'000'000);
  send(1'000);
  ASSERT_TRUE(ackAt(0.125, 1));
  ASSERT_EQ(pacer.rateEstimate(), 8'000.0);
  EXPECT_EQ(pacer.target(), 400'000) << "115,200 computed";

  pacer.configure(true, 30, 100'000);
  EXPECT_EQ(pacer.target(), 100'000);

  VideoPacer capped([this] { return now; });
  capped.configure(true, 30, 5'000'000);
  now = 1;
  ASSERT_TRUE(capped.tryReserve());
  capped.didSend(62'500, false);
  now = 1.125;
  ASSERT_TRUE(capped.acknowledge(1));
  EXPECT_EQ(capped.target(), 5'000'000) << "7,200,000 computed";
}

TEST(VideoPacerConcurrencyTest, ConcurrentCallersKeepTheCountsConsistent) {
  VideoPacer pacer;
  std::atomic<int> credits = 0;
  pacer.setCreditCallback([&] {
    ++credits;
    (void)pacer.target();  // callbacks run outside the lock and may call back in
  });
  pacer.setBitrateCallback([&](std::int64_t) { (void)pacer.stats(); });
  pacer.configure(true, 60, 24'000'000);

  std::int64_t sent = 0;
  std::thread transport([&] {
    for (int i = 0; i < 5'000; ++i) {
      if (pacer.tryReserve()) {
        pacer.didSend(1'000 + i % 700, i % 60 == 0);
        ++sent;
      }
      if (i % 3 == 0) {
        EXPECT_TRUE(pacer.acknowledge(sent));
      }
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
