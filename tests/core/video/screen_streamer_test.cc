#include "core/video/screen_streamer.h"
#include "support/run_awaitable.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
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

#include "core/util/quorvanta_error.h"
#include "support/fake_capture_service.h"
#include "support/fake_video_encoder.h"

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
                                         {2560, 1440, 1920, 1920, 1080},
                                         {1920, 1080, 3840, 1920, 1080},  // never enlarges
                                         {1366, 768, 960, 960, 538},      // 539.7 truncated, then even
                                         {1365, 767, 3840, 1364, 766},
                                         {1, 1, 1920, 2, 2},
                                         {4000, 3, 960, 960, 2},
                                         {0, 0, 1920, 2, 2},
                                         {-5, -7, 1920, 2, 2},
                                         {1920, 1080, 0, 2, 2},
                                         {1920, 1080, -100, 2, 2},
                                         {0, 1080, 0, 2, 1080}}) {  // no width: nothing to scale
    const PixelSize size = captureOutputSize(c.width, c.height, c.maxWidth);
    EXPECT_EQ(size.width, c.expectedWidth) << c.width << "x" << c.height << " max " << c.maxWidth;
    EXPECT_EQ(size.height, c.expectedHeight) << c.width << "x" << c.height << " max " << c.maxWidth;
  }
}

// ---- The streamer over the fake service ---------------------------------------------------------

class ScreenStreamerTest : public ::testing::Test {
 protected:
  ScreenStreamerTest() {
    service->content.displays = {{1, 1512, 982}, {7, 1920, 1080}};
    service->content.windows = {{100}, {200}, {300}};
    service->names[1] = "Built-in";
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
  std::string startError(std::optional<DisplayID> id) {
    try {
      start(id);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(no error)";
  }

  // Waits until everything posted to the capture queue so far has run.
  void drainCaptureQueue() {
    std::promise<void> done;
    asio::post(streamer->captureQueue(), [&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
  }

  std::shared_ptr<FakeCaptureStream> lastStream() {
    auto streams = service->streams();
    return streams.empty() ? nullptr : streams.back();
  }

  asio::io_context io;  // first, so that it outlives every operation it still holds
  std::shared_ptr<FakeCaptureService> service = std::make_shared<FakeCaptureService>();
  std::shared_ptr<FakePipeline> pipeline;
  std::shared_ptr<ScreenStreamer> streamer = makeStreamer();
};

TEST_F(ScreenStreamerTest, MadeWithAnEncoderFeedsAVideoPipelineOnTheCaptureQueue) {
  streamer = ScreenStreamer::create(service, std::make_unique<test::FakeVideoEncoder>());
  auto video = streamer->videoPipeline();
  ASSERT_NE(video, nullptr);
  start(1);
  EXPECT_FALSE(video->hasFrame());
  lastStream()->deliver(completeSample(makeImage(960, 622), 1));
  drainCaptureQueue();
  EXPECT_TRUE(video->hasFrame());
  stop();  // resets the pipeline on the capture queue
  EXPECT_FALSE(video->hasFrame());
}

TEST_F(ScreenStreamerTest, DisplaysAreListedInOrderWithNamesAndPointSizes) {
  service->pixelSizes[1] = {3024, 1964};
  auto displays = await<std::vector<RemoteDisplay>>([&] { return streamer->displays(); });
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_EQ(displays[0], (RemoteDisplay{1, "Built-in", 1512, 982}));
  EXPECT_EQ(displays[1], (RemoteDisplay{7, "Display 7", 1920, 1080}));
  EXPECT_EQ(streamer->name(4294967295u), "Display 4294967295");
}

TEST_F(ScreenStreamerTest, DisplaysPassesTheServiceErrorOnAndTimesOut) {
  const auto displaysError = [&] {
    try {
      await<std::vector<RemoteDisplay>>([&] { return streamer->displays(); });
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("(no error)");
  };
  service->contentBehavior = Behavior::fail("not permitted");
  EXPECT_EQ(displaysError(), "not permitted");
  streamer = makeStreamer({.listContent = 0.05});
  service->contentBehavior = Behavior::hang();
  EXPECT_EQ(displaysError(), kTimeout);
}

TEST_F(ScreenStreamerTest, StartWithoutADisplayCapturesTheFirst) {
  const RemoteDisplay display = start(std::nullopt, 960, 24);
  EXPECT_EQ(display, (RemoteDisplay{1, "Built-in", 960, 622}));  // 982 × 960/1512 = 623.5
  auto stream = lastStream();
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->filter().displayID, 1u);
  EXPECT_EQ(stream->configuration().width, 960);
  EXPECT_EQ(stream->configuration().height, 622);
  EXPECT_EQ(stream->configuration().fps, 24);
  EXPECT_EQ(stream->startCalls(), 1);
  EXPECT_EQ(streamer->currentStream(), stream);
  // One for the stop that every start begins with, one for the new current stream.
  EXPECT_EQ(streamer->generation(), 2);
}

TEST_F(ScreenStreamerTest, StartCapturesTheRequestedDisplayOrTheFirstWhenItIsGone) {
  EXPECT_EQ(start(7).id, 7u);
  EXPECT_EQ(lastStream()->filter().displayID, 7u);
  const RemoteDisplay fallback = start(42);
  EXPECT_EQ(fallback.id, 1u);
  EXPECT_EQ(lastStream()->filter().displayID, 1u);
}

TEST_F(ScreenStreamerTest, StartSizesFromTheLargerOfPixelsAndPoints) {
  service->pixelSizes[1] = {3024, 1964};
  const RemoteDisplay display = start(1, 1920);
  EXPECT_EQ(display.width, 1920);
  EXPECT_EQ(display.height, 1246);
  // A mode smaller than the point size does not shrink the source.
  service->pixelSizes[7] = {100, 100};
  const RemoteDisplay other = start(7, 3840);
  EXPECT_EQ(other.width, 1920);
  EXPECT_EQ(other.height, 1080);
}

TEST_F(ScreenStreamerTest, StartStopsTheEarlierCaptureAndResetsThePipelineFirst) {
  start(1);
  auto first = lastStream();
  streamer->retire();
  start(7);
  auto second = lastStream();
  ASSERT_NE(first, second);
  EXPECT_EQ(first->stopCalls(), 1);  // the retired stream is stopped by the next start
  EXPECT_EQ(second->stopCalls(), 0);
  start(1);
  EXPECT_EQ(first->stopCalls(), 1);
  EXPECT_EQ(second->stopCalls(), 1);
  EXPECT_EQ(pipeline->resets(), 3);
  EXPECT_EQ(pipeline->resetsOffQueue(), 0);
}

// A start that fails leaves no current stream; the generation tells how far it got.
TEST_F(ScreenStreamerTest, FailedStartsLeaveNoCurrentStream) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string error;
    std::int64_t generation;  // stop, became current, cleared
  };
  const std::vector<Case> cases{
      {"no display", [&] { service->content.displays.clear(); }, kNoDisplay, 1},
      {"listing fails", [&] { service->contentBehavior = Behavior::fail("no permission"); }, "no permission",
       1},
      {"output refused", [&] { service->makeStreamError = "output refused"; }, "output refused", 1},
      {"start refused", [&] { service->startBehavior = Behavior::fail("start refused"); }, "start refused",
       3},
      {"start hangs", [&] { service->startBehavior = Behavior::hang(); }, kTimeout, 3},
  };
  for (const Case& c : cases) {
    service = std::make_shared<FakeCaptureService>();
    service->content.displays = {{1, 1512, 982}};
    streamer = makeStreamer({.startCapture = 0.05});
    c.arrange();
    EXPECT_EQ(startError(1), c.error) << c.name;
    EXPECT_EQ(streamer->currentStream(), nullptr) << c.name;
    EXPECT_EQ(streamer->generation(), c.generation) << c.name;
  }
}

TEST_F(ScreenStreamerTest, StopWithNothingRunningRaisesTheGenerationAndResetsThePipeline) {
  stop();
  EXPECT_EQ(streamer->generation(), 1);
  EXPECT_EQ(pipeline->resets(), 1);
  EXPECT_EQ(pipeline->resetsOffQueue(), 0);
  stop();
  EXPECT_EQ(streamer->generation(), 2);
  EXPECT_EQ(pipeline->resets(), 2);
}

TEST_F(ScreenStreamerTest, StopReleasesStreamsThatFailOrHangWhenStopping) {
  streamer = makeStreamer({.stopCapture = 0.05});
  service->stopBehavior = Behavior::hang();
  start(1);
  streamer->retire();
  service->stopBehavior = Behavior::fail("stop refused");
  start(7);
  auto retired = service->streams()[0];
  auto current = service->streams()[1];
  stop();
  EXPECT_EQ(current->stopCalls(), 1);
  EXPECT_EQ(retired->stopCalls(), 1);
  EXPECT_EQ(streamer->currentStream(), nullptr);
  EXPECT_EQ(pipeline->resets(), 3);
}

TEST_F(ScreenStreamerTest, RetireRaisesTheGenerationEvenWithNothingRunning) {
  streamer->retire();
  EXPECT_EQ(streamer->generation(), 1);
  start(1);
  const auto before = streamer->generation();
  streamer->retire();
  EXPECT_EQ(streamer->generation(), before + 1);
  EXPECT_EQ(streamer->currentStream(), nullptr);
  EXPECT_EQ(lastStream()->stopCalls(), 0);
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
}

TEST_F(ScreenStreamerTest, PipelineErrorsAfterTheStreamerIsGoneAreIgnored) {
  auto kept = pipeline;
  streamer.reset();
  kept->fail("late");  // must not touch the destroyed streamer
}

TEST_F(ScreenStreamerTest, TheLastOwnerMayLetGoOnTheCaptureQueue) {
  start(1);
  std::promise<void> posted;
  std::promise<void> released;
  auto queue = streamer->captureQueue();
  asio::post(queue, [owner = std::move(streamer), go = posted.get_future(), &released]() mutable {
    // The poster must be out of post() before the queue it posted to can go away.
    go.wait();
    owner.reset();  // destroys the streamer and its queue from the queue's own thread
    released.set_value();
  });
  posted.set_value();
  ASSERT_EQ(released.get_future().wait_for(10s), std::future_status::ready);
}

TEST_F(ScreenStreamerTest, AStopStillWaitingOnTheServiceKeepsTheStreamerAlive) {
  streamer = makeStreamer({.stopCapture = 0.2});
  service->stopBehavior = Behavior::hang();
  start(1);
  auto stream = lastStream();
  bool finished = false;
  asio::co_spawn(io, streamer->stop(), [&](std::exception_ptr) { finished = true; });
  io.restart();  // the start above stopped it
  // Until the stream has been asked to stop: the stop now waits on a service that never answers.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (stream->stopCalls() == 0 && std::chrono::steady_clock::now() < deadline)
    io.run_one_for(10ms);
  ASSERT_EQ(stream->stopCalls(), 1);
  std::weak_ptr<ScreenStreamer> weak = streamer;
  streamer.reset();  // the owner lets go while the stop is still waiting
  EXPECT_FALSE(weak.expired());
  while (!finished && std::chrono::steady_clock::now() < deadline)
    io.run_one_for(10ms);
  ASSERT_TRUE(finished);
  EXPECT_EQ(pipeline->resets(), 2);  // the stop ran to its end: the pipeline was reset
  EXPECT_TRUE(weak.expired());
}

TEST_F(ScreenStreamerTest, OperationsMadeBeforeTheOwnerLetsGoStillRun) {
  // The operation is made, the owner lets go, and only then is it awaited.
  auto starting = streamer->start(1, 1920, 30);
  std::weak_ptr<ScreenStreamer> weak = streamer;
  streamer.reset();
  std::optional<RemoteDisplay> started;
  asio::co_spawn(io, std::move(starting),
                 [&](std::exception_ptr, RemoteDisplay display) { started = display; });
  io.restart();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!started && std::chrono::steady_clock::now() < deadline)
    io.run_one_for(10ms);
  ASSERT_TRUE(started);
  EXPECT_EQ(started->id, 1u);
}

TEST_F(ScreenStreamerTest, ExcludeRefusesWithoutACaptureOrWhenAWindowOrTheDisplayIsGone) {
  EXPECT_FALSE(exclude({100}));
  EXPECT_EQ(service->contentCalls(), 0);
  start(1);
  stop();
  EXPECT_FALSE(exclude({100}));  // the display is remembered, the capture is not
  EXPECT_EQ(lastStream()->updateCalls(), 0);
  start(1);
  ASSERT_TRUE(exclude({200}));
  EXPECT_FALSE(exclude({200, 999}));  // off screen: the filter stays
  EXPECT_THAT(lastStream()->filter().excludedWindows, ::testing::ElementsAre(200u));
  EXPECT_EQ(lastStream()->updateCalls(), 1);
  start(7);
  service->content.displays = {{1, 1512, 982}};
  EXPECT_FALSE(exclude({100}));
  EXPECT_EQ(lastStream()->updateCalls(), 0);
}

TEST_F(ScreenStreamerTest, ExcludeLeavesOutExactlyTheGivenWindowsInTheServiceOrder) {
  start(7);
  EXPECT_TRUE(exclude({300, 100}));
  auto stream = lastStream();
  EXPECT_EQ(stream->filter().displayID, 7u);
  EXPECT_THAT(stream->filter().excludedWindows, ::testing::ElementsAre(100u, 300u));
  EXPECT_TRUE(exclude({}));
  EXPECT_TRUE(stream->filter().excludedWindows.empty());
  EXPECT_EQ(stream->filter().displayID, 7u);
}

TEST_F(ScreenStreamerTest, ExcludeFailsWhenTheServiceFails) {
  streamer = makeStreamer({.listContentForExclusion = 0.05});
  start(1);
  service->contentBehavior = Behavior::hang();
  EXPECT_FALSE(exclude({100}));
  service->contentBehavior = Behavior::fail("gone");
  EXPECT_FALSE(exclude({100}));
  service->contentBehavior = Behavior::succeed();
  service->updateBehavior = Behavior::fail("filter refused");
  // The stream was made before the update behaviour changed; make a new one that refuses.
  start(1);
  EXPECT_FALSE(exclude({100}));
  EXPECT_EQ(lastStream()->updateCalls(), 1);
  EXPECT_TRUE(lastStream()->filter().excludedWindows.empty());
}

}  // namespace
}  // namespace quorvanta
