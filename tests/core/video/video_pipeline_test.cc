#include "core/video/video_pipeline.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>

#include "support/fake_video_encoder.h"
#include "support/fake_video_sink.h"

namespace quorvanta {
namespace {

using test::FakeVideoEncoder;
using test::FakeVideoSink;
using namespace std::chrono_literals;

PixelBufferRef makeBuffer(std::uint8_t fill) {
  auto buffer = std::make_shared<PixelBuffer>();
  buffer->width = 2;
  buffer->height = 2;
  buffer->strideY = 2;
  buffer->strideUV = 2;
  buffer->y.assign(4, fill);
  buffer->uv.assign(2, fill);
  return buffer;
}

EncodedFrame makeFrame(Bytes data, bool keyframe = false,
                       std::optional<ParameterSets> parameterSets = std::nullopt) {
  return EncodedFrame{
      .data = std::move(data), .keyframe = keyframe, .parameterSets = std::move(parameterSets)};
}

// The pipeline's queue is a strand run by one background thread; the test thread plays the
// session host and the encoder's output thread.
class VideoPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    remake();
    runner_ = std::thread([this] { io_.run(); });
  }

  void TearDown() override {
    onQueue([&] { pipeline_.reset(); });
    work_.reset();
    io_.stop();
    runner_.join();
  }

  double nextHostTime() { return hostTime_.fetch_add(1.0); }

  // A new pipeline with a new encoder in place of the old ones.
  void remake(double stillKeyframeInterval = VideoPipeline::kStillKeyframeInterval) {
    auto encoder = std::make_unique<FakeVideoEncoder>();
    encoder_ = encoder.get();
    pipeline_ = VideoPipeline::create(
        queue_, std::move(encoder), [this] { return nextHostTime(); }, stillKeyframeInterval);
  }

  std::shared_ptr<FakeVideoSink> attached(bool releaseOnSend = false) {
    auto sink = std::make_shared<FakeVideoSink>();
    sink->setReleaseOnSend(releaseOnSend);
    pipeline_->attach(sink, 30, 6'000'000, false);
    return sink;
  }

  // Runs `work` on the queue after everything queued so far, and waits for it.
  void onQueue(std::function<void()> work = [] {}) {
    std::promise<void> done;
    asio::post(queue_, [&] {
      work();
      done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
  }

  void submit(PixelBufferRef buffer, double time) {
    onQueue([&] { pipeline_->submit(std::move(buffer), time); });
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  asio::strand<asio::io_context::executor_type> queue_{io_.get_executor()};
  std::thread runner_;
  std::atomic<double> hostTime_{1000.0};
  FakeVideoEncoder* encoder_ = nullptr;
  std::shared_ptr<VideoPipeline> pipeline_;
};

// Frames wait for a pacer slot and for the encoder to be free; only the newest waiting one is
// encoded then, and waiting holds no slot.
TEST_F(VideoPipelineTest, TheNewestFrameIsEncodedOnceASlotAndTheEncoderAreFree) {
  auto sink = std::make_shared<FakeVideoSink>();
  pipeline_->attach(sink, 30, 6'000'000, true);  // acknowledged: the pacer grants several slots
  int taken = 0;
  while (sink->pacer().tryReserve())
    ++taken;
  ASSERT_GT(taken, 1);
  submit(makeBuffer(1), 1.0);
  const auto second = makeBuffer(2);
  submit(second, 2.0);
  EXPECT_EQ(encoder_->callCount(), 0u);
  sink->pacer().releaseReservation();  // the credit callback pumps
  ASSERT_TRUE(encoder_->waitForCalls(1));
  EXPECT_EQ(encoder_->calls()[0].buffer, second);
  EXPECT_EQ(encoder_->calls()[0].time, 2.0);

  // The encoder is busy: newer frames wait, the newest replacing the older, and hold no slot.
  for (int i = 1; i < taken; ++i)
    sink->pacer().releaseReservation();
  const auto fourth = makeBuffer(4);
  submit(makeBuffer(3), 3.0);
  submit(fourth, 4.0);
  EXPECT_EQ(encoder_->callCount(), 1u);
  EXPECT_EQ(sink->pacer().reserved(), 1);
  encoder_->complete(0, makeFrame({1}, true));
  ASSERT_TRUE(encoder_->waitForCalls(2));
  EXPECT_EQ(encoder_->calls()[1].buffer, fourth);

  // A completion the encoder drops without running it frees the encoder too.
  { const auto dropped = encoder_->takeCompletion(1); }
  submit(makeBuffer(5), 5.0);
  ASSERT_TRUE(encoder_->waitForCalls(3));
}

TEST_F(VideoPipelineTest, ParameterSetsGoOutInVideoConfigBeforeTheKeyframe) {
  auto sink = attached();
  submit(makeBuffer(1), 1.0);
  ASSERT_EQ(encoder_->callCount(), 1u);

  // Completed from this thread, as from the encoder's output thread.
  encoder_->complete(0,
                     makeFrame({0, 0, 0, 1, 0x65}, true, ParameterSets{.sps = {0x67, 1}, .pps = {0x68, 2}}));
  auto sent = sink->sent();
  ASSERT_EQ(sent.size(), 2u);
  ASSERT_TRUE(sent[0].control);
  EXPECT_EQ(sent[0].control->type, "videoConfig");
  EXPECT_EQ(sent[0].control->sps, (Bytes{0x67, 1}));
  EXPECT_EQ(sent[0].control->pps, (Bytes{0x68, 2}));
  EXPECT_EQ(sent[1].video, (Bytes{0, 0, 0, 1, 0x65}));
  EXPECT_TRUE(sent[1].keyframe);
  EXPECT_EQ(sink->pacer().reserved(), 1);  // the connection owns the slot now
}

TEST_F(VideoPipelineTest, ResultForAReplacedSinkGoesNowhereAndFreesItsSlot) {
  auto first = std::make_shared<FakeVideoSink>();
  auto second = std::make_shared<FakeVideoSink>();
  pipeline_->attach(first, 30, 6'000'000, false);
  submit(makeBuffer(1), 1.0);
  ASSERT_EQ(encoder_->callCount(), 1u);
  EXPECT_EQ(first->pacer().reserved(), 1);

  pipeline_->attach(second, 30, 6'000'000, false);
  encoder_->complete(0, makeFrame({1}, true));
  EXPECT_TRUE(first->sent().empty());
  EXPECT_TRUE(second->sent().empty());
  EXPECT_EQ(first->pacer().reserved(), 0);
}

TEST_F(VideoPipelineTest, MissingResultFreesTheSlotAndRetriesAnOwedKeyframe) {
  auto sink = attached();
  const auto frame = makeBuffer(1);
  submit(frame, 1.0);
  ASSERT_EQ(encoder_->callCount(), 1u);
  EXPECT_TRUE(encoder_->calls()[0].keyframeForced);
  const int requests = encoder_->keyframeRequests();

  // Nothing owed: the slot comes back and no new request is made.
  encoder_->complete(0, std::nullopt);
  EXPECT_EQ(sink->pacer().reserved(), 0);
  EXPECT_EQ(encoder_->keyframeRequests(), requests);

  // The keyframe came out unusable and is still owed: it is asked for again, and the still frame
  // is fed once more.
  encoder_->setForcesKeyframes(false);
  pipeline_->requestKeyframe();
  submit(frame, 2.0);
  ASSERT_EQ(encoder_->callCount(), 2u);
  encoder_->complete(1, std::nullopt);
  EXPECT_EQ(sink->pacer().reserved(), 0);
  EXPECT_EQ(encoder_->keyframeRequests(), requests + 2);
  ASSERT_TRUE(encoder_->waitForCalls(3));
  EXPECT_EQ(encoder_->calls()[2].buffer, frame);
}

TEST_F(VideoPipelineTest, AStillScreenGetsItsPeriodicKeyframeFromTheLastFrame) {
  onQueue([&] { remake(0.3); });
  encoder_->setOnEncode([&](std::size_t index) { encoder_->complete(index, makeFrame({1})); });
  auto sink = attached(true);
  const auto still = makeBuffer(9);
  submit(still, 1.0);
  ASSERT_TRUE(encoder_->waitForCalls(1));
  EXPECT_FALSE(encoder_->needsKeyframe());  // the first frame took the attach's keyframe

  // No new frame: after the interval the last one is encoded again, as a keyframe.
  ASSERT_TRUE(encoder_->waitForCalls(2, 5s));
  EXPECT_EQ(encoder_->calls()[1].buffer, still);
}

// Capture rests while nobody is attached: demand is told on the way from none to one and back.
TEST_F(VideoPipelineTest, DetachClearsTheOldPacerCallbacksWithoutAKeyframeRequestAndEndsTheDemand) {
  std::vector<bool> demand;
  pipeline_->setOnDemand([&](bool wanted) { demand.push_back(wanted); });
  auto first = std::make_shared<FakeVideoSink>();
  auto second = std::make_shared<FakeVideoSink>();
  pipeline_->attach(first, 30, 1'000'000, false);
  pipeline_->attach(first, 30, 1'000'000, false);  // re-attaching keeps the callbacks
  first->pacer().configure(false, 30, 1'500'000);
  onQueue();
  EXPECT_EQ(encoder_->bitrate(), 1'500'000);

  pipeline_->attach(second, 30, 2'000'000, false);
  first->pacer().configure(false, 30, 1'200'000);
  onQueue();
  EXPECT_EQ(encoder_->bitrate(), 2'000'000);

  const int requests = encoder_->keyframeRequests();
  pipeline_->attach(nullptr, 30, 0, false);
  second->pacer().configure(false, 30, 700'000);
  onQueue();
  EXPECT_EQ(encoder_->bitrate(), 2'000'000);
  EXPECT_EQ(encoder_->keyframeRequests(), requests);
  EXPECT_EQ(demand, (std::vector<bool>{true, false}));

  // Nothing pumps into a detached pipeline; it keeps the frame until a reset.
  submit(makeBuffer(1), 1.0);
  EXPECT_EQ(encoder_->callCount(), 0u);
  EXPECT_TRUE(pipeline_->hasFrame());
  onQueue([&] { pipeline_->reset(); });
  EXPECT_FALSE(pipeline_->hasFrame());
}

TEST_F(VideoPipelineTest, ReportsTheFirstEncoderErrorOncePerReset) {
  std::vector<std::string> errors;  // touched on the queue only
  pipeline_->setOnError([&](std::string message) { errors.push_back(std::move(message)); });
  auto sink = attached();

  encoder_->throwNext("Could not start H.264 encoding.");
  encoder_->throwNext("Video encoder failed (-1).");
  submit(makeBuffer(1), 1.0);
  EXPECT_EQ(sink->pacer().reserved(), 0);
  submit(makeBuffer(2), 2.0);
  EXPECT_EQ(sink->pacer().reserved(), 0);

  onQueue([&] { pipeline_->reset(); });
  encoder_->throwNext("H.264 encoding is not available.");
  submit(makeBuffer(3), 3.0);
  // Frames keep being pumped after errors.
  submit(makeBuffer(4), 4.0);
  EXPECT_EQ(encoder_->callCount(), 1u);
  EXPECT_EQ(sink->pacer().reserved(), 1);

  onQueue([&] {
    EXPECT_EQ(errors, std::vector<std::string>(
                          {"Could not start H.264 encoding.", "H.264 encoding is not available."}));
  });
}

TEST_F(VideoPipelineTest, ResultsAfterThePipelineIsGoneGiveTheirSlotsBack) {
  auto sink = attached();
  submit(makeBuffer(1), 1.0);
  ASSERT_EQ(encoder_->callCount(), 1u);
  auto completion = encoder_->takeCompletion(0);
  pipeline_.reset();  // destroys the encoder with it
  encoder_ = nullptr;
  EXPECT_EQ(sink->pacer().reserved(), 1);
  completion(makeFrame({1}, true));
  EXPECT_TRUE(sink->sent().empty());
  EXPECT_EQ(sink->pacer().reserved(), 0);
}

}  // namespace
}  // namespace quorvanta
