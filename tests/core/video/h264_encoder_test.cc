#include "core/video/h264_encoder.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/util/quorvanta_error.h"
#include "support/fake_encoder_backend.h"

namespace quorvanta {
namespace {

using test::FakeEncoderBackend;
using test::goodOutput;

PixelBufferRef frameOfSize(int width, int height) {
  auto buffer = std::make_shared<PixelBuffer>();
  buffer->width = width;
  buffer->height = height;
  return buffer;
}

SessionOutput droppedOutput() {
  SessionOutput output;
  output.dropped = true;
  return output;
}

class H264EncoderTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeEncoderBackend> backend = std::make_shared<FakeEncoderBackend>();
  double now = 100.0;
  // Declared before the encoder, whose destruction still completes pending frames.
  std::vector<std::optional<EncodedFrame>> completed;
  std::unique_ptr<H264Encoder> encoder = std::make_unique<H264Encoder>(backend, [this] { return now; });

  void encode(int width, int height, double time) {
    encoder->encode(frameOfSize(width, height), time,
                    [this](std::optional<EncodedFrame> frame) { completed.push_back(std::move(frame)); });
  }
  void encode(double time) { encode(640, 360, time); }

  // The message of the error that encoding a frame fails with.
  std::string errorOf(double time) {
    try {
      encode(time);
    } catch (const QuorvantaError& error) {
      return error.message();
    }
    return "(no error)";
  }

  std::vector<bool> forcedFlags(const FakeEncoderBackend::SessionLog& log) const {
    std::vector<bool> flags;
    for (const auto& submission : log.submissions)
      flags.push_back(submission.forceKeyframe);
    return flags;
  }
};

TEST_F(H264EncoderTest, NewSessionsStartWithAForcedKeyframeCarryingParameterSets) {
  encode(0.0);
  ASSERT_EQ(backend->sessions.size(), 1U);
  EXPECT_TRUE(backend->last().submissions[0].forceKeyframe);
  EXPECT_FALSE(encoder->needsKeyframe());
  // The output itself is checked with the real backend.

  // A size change makes a new session, even well within 0.3 s of the last forced keyframe.
  now += 0.01;
  encode(1280, 720, 0.2);
  ASSERT_EQ(backend->sessions.size(), 2U);
  EXPECT_TRUE(backend->sessions[0]->invalidated);
  EXPECT_EQ(backend->last().settings.width, 1280);
  EXPECT_TRUE(backend->last().submissions[0].forceKeyframe);

  // A frame-rate change: the pipeline drops the session and the next frame makes one for the new
  // rate, with the keyframe interval following it.
  now += 0.01;
  encoder->invalidateSession();
  encoder->setFps(60);
  EXPECT_FALSE(encoder->hasSession());
  encode(1280, 720, 0.3);
  ASSERT_EQ(backend->sessions.size(), 3U);
  const SessionSettings& settings = backend->last().settings;
  EXPECT_EQ(settings.expectedFrameRate, 60);
  EXPECT_EQ(settings.maxKeyFrameInterval, 1200);
  EXPECT_EQ(settings.maxKeyFrameIntervalDuration, 20);
  EXPECT_TRUE(settings.realTime);
  EXPECT_FALSE(settings.allowFrameReordering);
  EXPECT_TRUE(backend->last().submissions[0].forceKeyframe);
}

TEST_F(H264EncoderTest, KeyframeRequestsAreCoalescedAndSpacedAtLeastThreeTenthsOfASecond) {
  now = 0;
  encode(0.0);  // forced at 0
  now = 0.05;
  encoder->markKeyframeNeeded();
  encoder->markKeyframeNeeded();
  now = 0.1;
  encode(0.1);
  EXPECT_TRUE(encoder->needsKeyframe()) << "owed but too soon";
  now = 0.2999;
  encode(0.2);
  now = 0.3;  // exactly 0.3 s counts
  encode(0.3);
  now = 0.4;
  encode(0.4);
  EXPECT_EQ(forcedFlags(backend->last()), (std::vector<bool>{true, false, false, true, false}));
  EXPECT_FALSE(encoder->needsKeyframe());
}

TEST_F(H264EncoderTest, TimesNotLaterThanTheLastAreMovedOneMillisecondOnUntilANewSession) {
  const std::vector<double> given{5.0, 5.0, 4.0, 5.0015, 6.0};
  const std::vector<double> expected{5.0, 5.001, 5.002, 5.003, 6.0};
  for (const double time : given)
    encode(time);
  for (std::size_t i = 0; i < expected.size(); ++i)
    EXPECT_DOUBLE_EQ(backend->last().submissions.at(i).time, expected[i]) << i;

  encode(320, 240, 1.0);  // earlier than anything before, but the session is new
  EXPECT_DOUBLE_EQ(backend->last().submissions.at(0).time, 1.0);
}

TEST_F(H264EncoderTest, RefusedLowLatencyFallsBackToMainProfile) {
  backend->refuseLowLatency = -12902;
  encode(0.0);
  ASSERT_EQ(backend->requests.size(), 2U);
  EXPECT_TRUE(backend->requests[0].lowLatency);
  EXPECT_EQ(backend->requests[0].profile, H264Profile::constrainedHighAutoLevel);
  EXPECT_FALSE(backend->requests[1].lowLatency);
  EXPECT_EQ(backend->requests[1].profile, H264Profile::mainAutoLevel);
  ASSERT_EQ(backend->sessions.size(), 1U);
  EXPECT_FALSE(encoder->lowLatency());
}

TEST_F(H264EncoderTest, NoSessionAtAllFailsAndTheNextFrameTriesAgain) {
  backend->createStatuses = {-1, -2};
  EXPECT_EQ(errorOf(0.0), "Could not start H.264 encoding.");
  EXPECT_FALSE(encoder->hasSession());
  encode(0.1);
  EXPECT_EQ(backend->sessions.size(), 1U);
  EXPECT_TRUE(encoder->lowLatency());
  EXPECT_TRUE(backend->last().submissions[0].forceKeyframe);
}

// Output a client cannot use gives nothing. It owes a keyframe when the frame was forced, or when
// the service produced a sample that is broken.
TEST_F(H264EncoderTest, UnusableOutputGivesNothingAndOwesAKeyframeWhenItShould) {
  EncoderSample noBytes;
  auto withoutPps = goodOutput(true);
  withoutPps.sample->parameterSets->pps.clear();
  struct Case {
    const char* name;
    bool forced;
    SessionOutput output;
    bool owed;
  };
  for (const Case& c : {Case{"dropped", true, droppedOutput(), true},
                        Case{"error status", false, SessionOutput{-1, false, std::nullopt}, false},
                        Case{"no sample", true, SessionOutput{0, false, std::nullopt}, true},
                        Case{"no bytes", false, SessionOutput{0, false, noBytes}, true},
                        Case{"keyframe without PPS", true, withoutPps, true}}) {
    encoder.reset();
    completed.clear();
    backend = std::make_shared<FakeEncoderBackend>();
    encoder = std::make_unique<H264Encoder>(backend, [this] { return now; });
    encode(0.0);
    if (!c.forced) {
      backend->last().deliver(0, goodOutput(true));
      encode(0.1);
    }
    const std::size_t index = backend->last().submissions.size() - 1;
    backend->last().deliver(index, c.output);
    ASSERT_EQ(completed.size(), index + 1) << c.name;
    EXPECT_FALSE(completed.back()) << c.name;
    EXPECT_EQ(encoder->needsKeyframe(), c.owed) << c.name;
  }
}

TEST_F(H264EncoderTest, BitrateAndItsOneSecondLimitReachTheSessionAtOnce) {
  encode(0.0);
  auto& bitrates = backend->last().bitrates;
  ASSERT_EQ(bitrates.size(), 1U);
  EXPECT_EQ(bitrates[0].first, 6'000'000);
  EXPECT_EQ(bitrates[0].second.bytes, 1'125'000.0);
  EXPECT_EQ(bitrates[0].second.seconds, 1.0);
  EXPECT_EQ(backend->last().settings.averageBitrate, 6'000'000);

  encoder->setBitrate(800'000);
  encoder->applyBitrate();
  ASSERT_EQ(bitrates.size(), 2U);
  EXPECT_EQ(bitrates[1].first, 800'000);
  EXPECT_EQ(bitrates[1].second.bytes, 150'000.0);
  EXPECT_EQ(backend->sessions.size(), 1U);
}

TEST_F(H264EncoderTest, SessionThatFailedToPrepareIsKeptForFramesOfTheSameSize) {
  backend->prepareStatus = -12903;
  EXPECT_EQ(errorOf(0.0), "Could not prepare H.264 encoding (-12903).");
  EXPECT_TRUE(encoder->hasSession());
  encode(0.1);
  encode(0.2);
  ASSERT_EQ(backend->sessions.size(), 1U);
  EXPECT_EQ(backend->last().prepareCalls, 1);
  EXPECT_EQ(backend->last().submissions.size(), 2U);
}

TEST_F(H264EncoderTest, RefusedSubmissionThrowsNeverCompletesAndOwesTheKeyframeAgain) {
  encoder->encode(frameOfSize(640, 360), 0.0, [](std::optional<EncodedFrame>) {});
  backend->last().submitStatuses = {-12911};
  now = 101;
  encoder->markKeyframeNeeded();
  int calls = 0;
  try {
    encoder->encode(frameOfSize(640, 360), 0.1, [&calls](std::optional<EncodedFrame>) { ++calls; });
    FAIL() << "expected an error";
  } catch (const QuorvantaError& error) {
    EXPECT_EQ(error.message(), "Video encoder failed (-12911).");
  }
  EXPECT_TRUE(encoder->needsKeyframe());
  encoder.reset();
  EXPECT_EQ(calls, 0);
}

TEST_F(H264EncoderTest, EveryAcceptedFrameCompletesExactlyOnceEvenAfterTheEncoderIsGone) {
  encode(0.0);
  encode(0.1);
  encode(0.2);
  backend->last().deliver(0, goodOutput(true));
  auto& log = backend->last();
  log.flushOutput = goodOutput(false);
  // Keep one handler back, as a service thread that is late would.
  auto late = std::exchange(log.submissions[2].handler, nullptr);

  encoder.reset();  // finishes the pending frame 1
  EXPECT_TRUE(log.invalidated);
  ASSERT_EQ(completed.size(), 2U);
  EXPECT_TRUE(completed[1]);

  late(droppedOutput());
  ASSERT_EQ(completed.size(), 3U);
  EXPECT_FALSE(completed[2]);
}

}  // namespace
}  // namespace quorvanta
