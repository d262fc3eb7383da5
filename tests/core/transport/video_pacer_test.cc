#include "core/transport/video_pacer.h"

#include <gtest/gtest.h>

#include <cstdint>
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
  // One 62,500-byte frame sent at 0 and acknowledged at 0.125: 500,000 B/s, 0.125 s path.
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
  // A frame never produced hands its slot back; extra releases add no slots.
  pacer.releaseReservation();
  pacer.releaseReservation();
  EXPECT_EQ(credits, 3);
  EXPECT_EQ(reserveAll(pacer), 1);
  EXPECT_TRUE(targets.empty());
}

TEST_F(VideoPacerTest, ReservationLimitCoversTwoPathDelaysOfFramesWithinThreeToSixteen) {
  // Default path delay 0.05 s at 30 fps: ceil(0.1 s / frame interval) + 2.
  VideoPacer fresh([this] { return now; });
  fresh.configure(true, 30, 24'000'000);
  EXPECT_EQ(reserveAll(fresh), 5);
  // 0.2 s at 60 fps would allow 26. A keyframe leaves the typical frame size at 0, so unsent slots cost
  // nothing against the byte budget.
  pacer.configure(true, 60, 24'000'000);
  sendAt(0, 1'000, true);
  ASSERT_TRUE(ackAt(0.2, 1));
  EXPECT_EQ(pacer.pathDelay(), 0.2);
  EXPECT_EQ(reserveAll(pacer), 16);
}

TEST_F(VideoPacerTest, ByteBudgetCountsFlightsAndUnsentSlots) {
  establishEstimate();
  // Budget: 500,000 B/s * (2 * 0.125 s + 0.05 s) = 150,000 bytes; typical frame 62,500 bytes. The first slot
  // is always granted; then 1 and 2 unsent slots fit, 3 (187,500) do not.
  EXPECT_EQ(reserveAll(pacer), 3);
  pacer.releaseReservation();
  pacer.releaseReservation();
  pacer.didSend(150'000, true);      // exactly the budget in flight, no slot waiting
  EXPECT_TRUE(pacer.tryReserve());   // budget == expected still fits
  EXPECT_FALSE(pacer.tryReserve());  // 150,000 + 62,500 for the new unsent slot
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
  // A repeated total is accepted and gives credit again; the unchanged target is not reported.
  EXPECT_TRUE(ackAt(0.25, 1));
  EXPECT_EQ(credits, 2);
  // A maximum below 400,000 lowers the minimum too.
  pacer.configure(true, 30, 100'000);
  EXPECT_EQ(targets, (Targets{1'500'000, 400'000, 100'000}));
}

TEST_F(VideoPacerTest, TargetFollowsModeAtFixedEstimate) {
  establishEstimate();
  // A second frame takes 0.5 s: the queue never looks empty, its 125,000 B/s leaves the estimate, and startup
  // sees no growth for more than 3 * 0.15 s.
  sendAt(0.125, 62'500);
  ASSERT_TRUE(ackAt(0.625, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  EXPECT_EQ(pacer.mode().drainUntil, 1.625);
  EXPECT_EQ(pacer.target(), 7'200'000) << "the update that leaves startup keeps its gain";
  EXPECT_EQ(pacer.stats().roundTrip, 313) << "mean 312.5 ms rounds away from zero";

  // Repeated totals run the target update without new samples, so the estimate stays put.
  ASSERT_TRUE(ackAt(0.75, 2));
  EXPECT_EQ(pacer.mode().kind, ModeKind::drain);
  EXPECT_EQ(pacer.target(), 1'800'000);
  ASSERT_TRUE(ackAt(1.75, 2));  // past the deadline
  EXPECT_EQ(pacer.mode().kind, ModeKind::cruise);
  EXPECT_EQ(pacer.target(), 1'800'000) << "the update that leaves the drain keeps its gain";
  // Cruise phases last longer than max(path delay, 0.15 s): the first probes upwards.
  ASSERT_TRUE(ackAt(1.875, 2));
  EXPECT_EQ(pacer.target(), 4'500'000);
  // The bit-rate callback heard each change once.
  EXPECT_EQ(targets, (Targets{1'500'000, 7'200'000, 1'800'000, 4'500'000}));
}

}  // namespace
}  // namespace quorvanta
