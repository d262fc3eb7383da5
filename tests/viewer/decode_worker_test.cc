#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "tools/client/encoded_frames.h"
#include "viewer/decode_worker.h"

namespace quorvanta::viewer {
namespace {

// Every packet is decoded, the picture shown is the newest, scaled to the size asked for.
TEST(DecodeWorkerTest, PresentsTheNewestPictureAtTheTargetSize) {
  const auto units = client::encodeFrames();
  if (units.empty()) GTEST_SKIP() << "no libx264";
  std::mutex lock;
  std::condition_variable arrived;
  int pictures = 0;
  DecodeWorker worker([&] {
    std::lock_guard guard(lock);
    ++pictures;
    arrived.notify_all();
  });
  worker.setTargetSize(80, 60);
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (units[i].sps && units[i].pps) {
      auto config = ControlMessage::make("videoConfig");
      config.sps = units[i].sps;
      config.pps = units[i].pps;
      worker.configure(config);
    }
    Bytes payload{i == 0 ? std::uint8_t{1} : std::uint8_t{0}};
    payload.insert(payload.end(), units[i].data.begin(), units[i].data.end());
    worker.decode(std::move(payload));
  }

  // The last colour is on screen in the end, however many pictures were skipped on the way.
  std::shared_ptr<const Picture> shown;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::unique_lock guard(lock);
    arrived.wait_for(guard, std::chrono::milliseconds(100));
    guard.unlock();
    if (auto picture = worker.take()) shown = picture;
    if (shown && std::abs(shown->pixels[(30 * 80 + 40) * 4 + 2] - client::kLastColour.r) <= 12) break;
  }
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->width, 80);
  EXPECT_EQ(shown->height, 60);
  EXPECT_EQ(shown->sourceWidth, client::kWidth);
  EXPECT_EQ(shown->sourceHeight, client::kHeight);
  const std::uint8_t* centre = &shown->pixels[(30 * 80 + 40) * 4];  // B, G, R, X
  EXPECT_NEAR(centre[2], client::kLastColour.r, 12);
  EXPECT_NEAR(centre[1], client::kLastColour.g, 12);
  EXPECT_NEAR(centre[0], client::kLastColour.b, 12);
  std::lock_guard guard(lock);
  EXPECT_GE(pictures, 1);
  EXPECT_LE(pictures, static_cast<int>(units.size()));
  EXPECT_FALSE(worker.take()) << "a picture is handed out once";
}

}  // namespace
}  // namespace quorvanta::viewer
