// Per-frame bookkeeping cost of the video pacer on a fake clock, in both regimes. The clock
// advances one frame interval (1/60 s) per frame, so the pacer's time windows (round trips over
// ten seconds, rates over three) fill up and the figures are those of a long-running stream.

#include <cstdint>

#include <benchmark/benchmark.h>

#include "core/transport/video_pacer.h"

namespace quorvanta {
namespace {

constexpr std::int64_t kFps = 60;
constexpr std::int64_t kMaxBitrate = 20'000'000;
constexpr double kFrameInterval = 1.0 / static_cast<double>(kFps);
// Every two seconds a keyframe three times the size of an ordinary frame.
constexpr std::int64_t kKeyframePeriod = 2 * kFps;
constexpr std::int64_t kFrameBytes = 25'000;
constexpr std::int64_t kKeyframeBytes = 3 * kFrameBytes;
// Acknowledgements arrive this long after the send: a LAN round trip plus delivery.
constexpr double kAckDelay = 0.006;

// Acknowledged regime: every frame is reserved, sent and acknowledged before the next one.
void acknowledgedBench(benchmark::State& state) {
  double now = 1000.0;
  VideoPacer pacer([&now] { return now; });
  pacer.configure(true, kFps, kMaxBitrate);
  std::int64_t frame = 0;
  std::int64_t refused = 0;
  for (auto _ : state) {
    const double start = now;
    const bool keyframe = frame % kKeyframePeriod == 0;
    if (pacer.tryReserve()) {
      pacer.didSend(keyframe ? kKeyframeBytes : kFrameBytes, keyframe);
      now = start + kAckDelay;
      ++frame;
      benchmark::DoNotOptimize(pacer.acknowledge(frame));
    } else {
      ++refused;
    }
    now = start + kFrameInterval;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["refused"] = static_cast<double>(refused);
  state.counters["target_mbit"] = static_cast<double>(pacer.target()) / 1e6;
}

// Unacknowledged regime: one frame at a time, freed by the local send completion.
void unacknowledgedBench(benchmark::State& state) {
  double now = 1000.0;
  VideoPacer pacer([&now] { return now; });
  pacer.configure(false, kFps, kMaxBitrate);
  std::int64_t frame = 0;
  std::int64_t refused = 0;
  for (auto _ : state) {
    const bool keyframe = frame % kKeyframePeriod == 0;
    if (pacer.tryReserve()) {
      pacer.didSend(keyframe ? kKeyframeBytes : kFrameBytes, keyframe);
      pacer.didComplete();
      ++frame;
    } else {
      ++refused;
    }
    now += kFrameInterval;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["refused"] = static_cast<double>(refused);
}

BENCHMARK(acknowledgedBench);
BENCHMARK(unacknowledgedBench);

}  // namespace
}  // namespace quorvanta
