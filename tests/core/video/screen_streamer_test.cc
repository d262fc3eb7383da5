#include "core/video/screen_streamer.h"
#include "support/run_awaitable.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/fake_capture_service.h"

namespace quorvanta {
namespace {

using testing::Behavior;
using testing::FakeCaptureService;
using testing::FakeCaptureStream;
using testing::FakePipeline;
using namespace std::chrono_literals;

constexpr const char* kTimeout = "The Mac capture service timed out. Retrying may restore the display.";
constexpr const char* kNoDisplay = "No display is available. Keep a display connected to this Mac.";

PixelBufferRef makeImage(int width, int height) {
  auto buffer = std::make_shared<PixelBuffer>();
  buffer->width = width;
  buffer->height = height;
  return buffer;
}

CaptureSample completeSample(PixelBufferRef image, double time) {
  CaptureSample sample;
  sample.status = static_cast<int>(FrameStatus::complete);
  sample.image = std::move(image);
  sample.presentationTime = time;
  return sample;
}

// The size rule: scaled to the requested width keeping the aspect, truncated, made even, never
// enlarged and never below 2.
TEST(CaptureOutputSizeTest, ScalesTruncatesAndKeepsSidesEvenAndAtLeastTwo) {
  struct Case {
    int width, height, maxWidth, expectedWidth, expectedHeight;
  };
  for (const Case& c : std::vector<Case>{{3024, 1964, 1920, 1920, 1246},
                                         {1920, 1080, 3840, 1920, 1080},  // never enlarges
                                         {1366, 768, 960, 960, 538},      // 539.7 truncated, then even
                                         {1365, 767, 3840, 1364, 766},
                                         {4000, 3, 960, 960, 2},
                                         {-5, -7, 1920, 2, 2},
                                         {1920, 1080, 0, 2, 2},
                                         {0, 1080, 0, 2, 1080}}) {  // no width: nothing to scale
    const PixelSize size = captureOutputSize(c.width, c.height, c.maxWidth);
    EXPECT_EQ(size.width, c.expectedWidth) << c.width << "x" << c.height << " max " << c.maxWidth;
    EXPECT_EQ(size.height, c.expectedHeight) << c.width << "x" << c.height << " max " << c.maxWidth;
  }
}

// The streamer over the fake service; the host tests cover the display list and a real pipeline.
class ScreenStreamerTest : public ::testing::Test {
 protected:
  ScreenStreamerTest() {
    service->content.displays = {{1, 1512, 982}, {7, 1920, 1080}};
    service->content.windows = {{100}, {200}, {300}};
  }

  std::shared_ptr<ScreenStreamer> makeStreamer(ScreenStreamer::Limits limits = {}) {
    return ScreenStreamer::create(
        service,
        [this](asio::any_io_executor queue) {
          pipeline = std::make_shared<FakePipeline>(queue);
          return pipeline;
        },
        limits);
  }

  // Runs one asynchronous operation of the streamer to its end and returns its value, or rethrows.
  template <typename T>
  T await(std::function<asio::awaitable<T>()> operation) {
    return test::runAwaitable<T>(io, std::move(operation), 20s);
  }

  RemoteDisplay start(std::optional<DisplayID> id, int maxWidth = 1920, int fps = 30) {
    return await<RemoteDisplay>([&] { return streamer->start(id, maxWidth, fps); });
  }
  void stop() {
    await<bool>([&]() -> asio::awaitable<bool> {
      co_await streamer->stop();
      co_return true;
    });
  }
  bool exclude(std::set<WindowID> ids) {
    return await<bool>([&] { return streamer->exclude(ids); });
  }

  // Waits until everything posted to the capture queue so far has run.
  void drainCaptureQueue() {
    std::promise<void> done;
    asio::post(streamer->captureQueue(), [&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
  }

  // Runs `io` until `done` holds or ten seconds have passed.
  void runUntil(const std::function<bool()>& done) {
    io.restart();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
      io.run_one_for(10ms);
  }

  std::shared_ptr<FakeCaptureStream> lastStream() { return service->streams().back(); }

  asio::io_context io;  // first, so that it outlives every operation it still holds
  std::shared_ptr<FakeCaptureService> service = std::make_shared<FakeCaptureService>();
  std::shared_ptr<FakePipeline> pipeline;
  std::shared_ptr<ScreenStreamer> streamer = makeStreamer();
};

TEST_F(ScreenStreamerTest, StartCapturesTheRequestedDisplayOrTheFirst) {
  EXPECT_EQ(start(std::nullopt, 960, 24), (RemoteDisplay{1, "Display 1", 960, 622}));  // 623.5 → 622
  const StreamConfiguration configuration = lastStream()->configuration();
  EXPECT_EQ(configuration.width, 960);
  EXPECT_EQ(configuration.height, 622);
  EXPECT_EQ(configuration.fps, 24);
  EXPECT_EQ(streamer->currentStream(), lastStream());
  EXPECT_EQ(start(7).id, 7u);
  EXPECT_EQ(lastStream()->filter().displayID, 7u);
  EXPECT_EQ(start(42).id, 1u);  // gone: the first instead
  EXPECT_EQ(lastStream()->filter().displayID, 1u);

  // Sized from the larger of pixels and points: a mode smaller than the points does not shrink it.
  service->pixelSizes[1] = {3024, 1964};
  EXPECT_EQ(start(1, 1920), (RemoteDisplay{1, "Display 1", 1920, 1246}));
  service->pixelSizes[7] = {100, 100};
  EXPECT_EQ(start(7, 3840), (RemoteDisplay{7, "Display 7", 1920, 1080}));
}

// A start that fails leaves no current stream.
TEST_F(ScreenStreamerTest, FailedStartsLeaveNoCurrentStream) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string error;
  };
  const std::vector<Case> cases{
      {"no display", [&] { service->content.displays.clear(); }, kNoDisplay},
      {"listing fails", [&] { service->contentBehavior = Behavior::fail("no permission"); }, "no permission"},
      {"listing hangs", [&] { service->contentBehavior = Behavior::hang(); }, kTimeout},
      {"output refused", [&] { service->makeStreamError = "output refused"; }, "output refused"},
      {"start refused", [&] { service->startBehavior = Behavior::fail("start refused"); }, "start refused"},
      {"start hangs", [&] { service->startBehavior = Behavior::hang(); }, kTimeout},
  };
  for (const Case& c : cases) {
    service = std::make_shared<FakeCaptureService>();
    service->content.displays = {{1, 1512, 982}};
    streamer = makeStreamer({.listContent = 0.05, .startCapture = 0.05});
    c.arrange();
    std::string error = "(no error)";
    try {
      start(1);
    } catch (const std::exception& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_EQ(streamer->currentStream(), nullptr) << c.name;
  }
}

// A start stops the capture before it, retired or current, and a stop the current one; streams
// that fail or hang when stopping are let go all the same. The pipeline is reset on its queue.
TEST_F(ScreenStreamerTest, StartAndStopReleaseEarlierStreamsEvenWhenTheyFailOrHang) {
  streamer = makeStreamer({.stopCapture = 0.05});
  service->stopBehavior = Behavior::hang();
  start(1);
  streamer->retire();
  EXPECT_EQ(streamer->currentStream(), nullptr);
  service->stopBehavior = Behavior::fail("stop refused");
  start(7);
  EXPECT_EQ(service->streams()[0]->stopCalls(), 1);  // retired, stopped by the next start
  start(1);
  EXPECT_EQ(service->streams()[1]->stopCalls(), 1);  // current, stopped by the next start
  stop();
  for (const auto& stream : service->streams())
    EXPECT_EQ(stream->stopCalls(), 1);
  EXPECT_EQ(streamer->currentStream(), nullptr);
  EXPECT_EQ(pipeline->resets(), 4);
}

TEST_F(ScreenStreamerTest, OnlyCompleteScreenFramesReachThePipelineOnTheCaptureQueue) {
  start(1);
  auto stream = lastStream();
  auto image = makeImage(960, 622);
  CaptureSample invalid = completeSample(image, 1);
  invalid.valid = false;
  stream->deliver(invalid);
  for (FrameStatus status : {FrameStatus::idle, FrameStatus::blank, FrameStatus::suspended,
                             FrameStatus::started, FrameStatus::stopped}) {
    CaptureSample notice = completeSample(image, 2);
    notice.status = static_cast<int>(status);
    stream->deliver(notice);
  }
  CaptureSample withoutStatus = completeSample(image, 3);
  withoutStatus.status.reset();
  stream->deliver(withoutStatus);
  stream->deliver(completeSample(nullptr, 4));
  stream->deliver(completeSample(image, 5), SampleType::audio);
  stream->deliver(completeSample(image, 12.5));  // the only one that counts
  drainCaptureQueue();
  auto submissions = pipeline->submissions();
  ASSERT_EQ(submissions.size(), 1u);
  EXPECT_EQ(submissions[0].buffer, image);
  EXPECT_EQ(submissions[0].time, 12.5);
  EXPECT_TRUE(submissions[0].onQueue);
}

// Stop and pipeline errors reach the host with the generation of the moment; a retired stream's
// frames and errors are dropped.
TEST_F(ScreenStreamerTest, ErrorsAreReportedWithTheGenerationOfTheMoment) {
  std::vector<std::pair<std::string, std::int64_t>> reports;
  pipeline->fail("ignored, no callback yet");
  start(1);
  streamer->setErrorCallback([&](const std::string& m, std::int64_t g) { reports.emplace_back(m, g); });
  lastStream()->stopWithError("display disconnected");
  EXPECT_EQ(streamer->currentStream(), lastStream());  // the host decides what follows
  pipeline->fail("encoder failed");
  auto retired = lastStream();
  streamer->retire();
  retired->deliver(completeSample(makeImage(2, 2), 1));
  drainCaptureQueue();
  retired->stopWithError("display asleep");
  pipeline->fail("encoder failed again");
  EXPECT_TRUE(pipeline->submissions().empty());
  using Report = std::pair<std::string, std::int64_t>;
  EXPECT_EQ(reports, (std::vector<Report>{
                         {"display disconnected", 2}, {"encoder failed", 2}, {"encoder failed again", 3}}));
  auto kept = pipeline;
  streamer.reset();
  kept->fail("late");  // must not touch the destroyed streamer
}

// An operation holds the streamer: a stop still waiting on the service keeps the streamer alive
// until it ends.
TEST_F(ScreenStreamerTest, OperationsKeepTheStreamerAliveAfterTheOwnerLetsGo) {
  streamer = makeStreamer({.stopCapture = 0.2});
  service->stopBehavior = Behavior::hang();
  start(1);
  auto stream = lastStream();
  bool finished = false;
  asio::co_spawn(io, streamer->stop(), [&](std::exception_ptr) { finished = true; });
  runUntil([&] { return stream->stopCalls() == 1; });  // now waiting on a service that never answers
  ASSERT_EQ(stream->stopCalls(), 1);
  std::weak_ptr<ScreenStreamer> weak = streamer;
  streamer.reset();
  EXPECT_FALSE(weak.expired());
  runUntil([&] { return finished; });
  ASSERT_TRUE(finished);
  EXPECT_EQ(pipeline->resets(), 2);  // the stop ran to its end: the pipeline was reset
  EXPECT_TRUE(weak.expired());
}

TEST_F(ScreenStreamerTest, ExcludeLeavesOutExactlyTheGivenWindowsOrRefuses) {
  EXPECT_FALSE(exclude({100}));  // no capture
  start(1);
  stop();
  EXPECT_FALSE(exclude({100}));  // the display is remembered, the capture is not
  start(7);
  EXPECT_TRUE(exclude({300, 100}));
  EXPECT_EQ(lastStream()->filter().displayID, 7u);
  EXPECT_THAT(lastStream()->filter().excludedWindows, ::testing::ElementsAre(100u, 300u));
  EXPECT_TRUE(exclude({}));
  EXPECT_TRUE(lastStream()->filter().excludedWindows.empty());
  EXPECT_EQ(lastStream()->updateCalls(), 2);
  service->contentBehavior = Behavior::fail("gone");
  EXPECT_FALSE(exclude({100}));  // the windows cannot be listed
  service->contentBehavior = {};
  service->content.displays = {{1, 1512, 982}};
  EXPECT_FALSE(exclude({100}));  // the display is gone
  EXPECT_EQ(lastStream()->updateCalls(), 2);
}

}  // namespace
}  // namespace quorvanta
