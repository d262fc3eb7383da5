#include "platform/linux/media/libavcodec_encoder_backend.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "core/util/quorvanta_error.h"
#include "core/video/h264_encoder.h"
#include "platform/linux/media/av_handles.h"

namespace quorvanta {
namespace {

// A 4:2:0 test picture: smooth diagonal gradients that move by a few pixels per frame, so that
// every frame differs from its neighbours; or, with `noise`, random luma that no encoder can
// compress well.
PixelBufferRef syntheticFrame(int width, int height, int index, bool noise = false) {
  auto buffer = std::make_shared<PixelBuffer>();
  buffer->width = width;
  buffer->height = height;
  buffer->strideY = width + 16;  // padded rows, as capture may deliver them
  buffer->strideUV = width + 16;
  buffer->y.assign(static_cast<std::size_t>(buffer->strideY * height), 0);
  buffer->uv.assign(static_cast<std::size_t>(buffer->strideUV * height / 2), 0);
  std::mt19937 random(static_cast<unsigned>(index));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int value = noise ? static_cast<int>(random() % 220) : (x + 2 * y + 24 * index) % 440;
      buffer->y[static_cast<std::size_t>(y * buffer->strideY + x)] =
          static_cast<std::uint8_t>(16 + (value < 220 ? value : 439 - value));
    }
  }
  for (int y = 0; y < height / 2; ++y) {
    for (int x = 0; x < width / 2; ++x) {
      const auto offset = static_cast<std::size_t>(y * buffer->strideUV + 2 * x);
      buffer->uv[offset] = static_cast<std::uint8_t>(96 + (x + index) % 64);
      buffer->uv[offset + 1] = static_cast<std::uint8_t>(96 + (y + 2 * index) % 64);
    }
  }
  return buffer;
}

int nalType(std::uint8_t header) {
  return header & 0x1f;
}

// The NAL units of a 4-byte length-prefixed access unit; fails the test when the lengths do not
// add up to the whole buffer exactly.
std::vector<Bytes> avccNalUnits(const Bytes& data) {
  std::vector<Bytes> units;
  for (std::size_t offset = 0; offset < data.size();) {
    std::size_t length = 0;
    for (int i = 0; i < 4 && offset < data.size(); ++i)
      length = (length << 8) | data[offset++];
    if (length == 0 || offset + length > data.size()) {
      ADD_FAILURE() << "a NAL unit length of " << length << " does not fit at " << offset;
      break;
    }
    const auto begin = data.begin() + static_cast<std::ptrdiff_t>(offset);
    units.emplace_back(begin, begin + static_cast<std::ptrdiff_t>(length));
    offset += length;
  }
  return units;
}

struct DecodedPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> luma;  // width × height
};

// libavcodec's H.264 decoder fed with the frames as a client receives them: parameter sets before
// the keyframes that carry them, then the NAL units, rewritten to Annex-B.
class Decoder {
 public:
  Decoder() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    context_.reset(avcodec_alloc_context3(codec));
    context_->thread_count = 1;
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    EXPECT_EQ(avcodec_open2(context_.get(), codec, nullptr), 0);
  }

  // The picture for this access unit, which a decoder without reordering returns at once.
  std::optional<DecodedPicture> decode(const EncodedFrame& frame) {
    Bytes annexB;
    const auto append = [&annexB](const Bytes& nal) {
      annexB.insert(annexB.end(), {0, 0, 0, 1});
      annexB.insert(annexB.end(), nal.begin(), nal.end());
    };
    if (frame.parameterSets) {
      append(frame.parameterSets->sps);
      append(frame.parameterSets->pps);
    }
    for (const auto& nal : avccNalUnits(frame.data))
      append(nal);

    packet_->data = annexB.data();
    packet_->size = static_cast<int>(annexB.size());
    EXPECT_EQ(avcodec_send_packet(context_.get(), packet_.get()), 0);
    if (avcodec_receive_frame(context_.get(), frame_.get()) != 0) return std::nullopt;
    DecodedPicture picture{frame_->width, frame_->height, {}};
    for (int y = 0; y < frame_->height; ++y) {
      const std::uint8_t* row = frame_->data[0] + static_cast<std::ptrdiff_t>(y) * frame_->linesize[0];
      picture.luma.insert(picture.luma.end(), row, row + frame_->width);
    }
    av_frame_unref(frame_.get());
    return picture;
  }

 private:
  av::CodecContextPtr context_;
  av::FramePtr frame_{av_frame_alloc()};
  av::PacketPtr packet_{av_packet_alloc()};
};

double lumaPsnr(const PixelBuffer& source, const DecodedPicture& decoded) {
  double squaredError = 0;
  for (int y = 0; y < source.height; ++y) {
    for (int x = 0; x < source.width; ++x) {
      const double difference = source.y[static_cast<std::size_t>(y * source.strideY + x)] -
                                decoded.luma[static_cast<std::size_t>(y * decoded.width + x)];
      squaredError += difference * difference;
    }
  }
  const double mse = squaredError / (source.width * source.height);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

class LibavcodecEncoderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { av_log_set_level(AV_LOG_WARNING); }

  // libx264 only, so that the results do not depend on the machine's GPU.
  std::shared_ptr<LibavcodecEncoderBackend> backend = std::make_shared<LibavcodecEncoderBackend>(
      LibavcodecEncoderBackend::Options{{LibavcodecEncoderBackend::Encoder::x264}, ""});
  double now = 1000;

  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::optional<EncodedFrame>> outputs;
  std::vector<std::thread::id> completionThreads;

  // Declared last: its destruction still completes pending frames into the members above.
  H264Encoder encoder{backend, [this] { return now; }};

  void encode(const PixelBufferRef& buffer, double time) {
    encoder.encode(buffer, time, [this](std::optional<EncodedFrame> frame) {
      std::lock_guard guard(lock);
      outputs.push_back(std::move(frame));
      completionThreads.push_back(std::this_thread::get_id());
      changed.notify_all();
    });
  }

  std::size_t completed() {
    std::lock_guard guard(lock);
    return outputs.size();
  }

  // Waits for the first `count` completions and returns them.
  std::vector<EncodedFrame> waitForFrames(std::size_t count) {
    std::unique_lock guard(lock);
    EXPECT_TRUE(changed.wait_for(guard, std::chrono::seconds(60), [&] { return outputs.size() >= count; }));
    std::vector<EncodedFrame> frames;
    for (std::size_t i = 0; i < count && i < outputs.size(); ++i) {
      EXPECT_TRUE(outputs[i]) << "frame " << i << " was dropped";
      if (outputs[i]) frames.push_back(*outputs[i]);
    }
    return frames;
  }
};

void expectKeyframeWithParameterSets(const EncodedFrame& frame) {
  EXPECT_TRUE(frame.keyframe);
  ASSERT_TRUE(frame.parameterSets);
  ASSERT_FALSE(frame.parameterSets->sps.empty() || frame.parameterSets->pps.empty());
  EXPECT_EQ(nalType(frame.parameterSets->sps[0]), 7);
  EXPECT_EQ(nalType(frame.parameterSets->pps[0]), 8);
  EXPECT_EQ(nalType(avccNalUnits(frame.data).back()[0]), 5);  // IDR slice
}

// Each access unit decodes at once to its own input (one packet per frame, no reordering); a
// requested keyframe and a new size each start an IDR that a client can begin decoding at. A
// request too soon after the last forced keyframe (frame 3) waits.
TEST_F(LibavcodecEncoderTest, FramesAreDecodableInOrderAndKeyframesComeOnRequestAndNewSizes) {
  std::vector<PixelBufferRef> inputs;
  for (int i = 0; i < 6; ++i) {
    if (i == 2) now += 1;
    if (i == 2 || i == 3) encoder.markKeyframeNeeded();
    inputs.push_back(i < 4 ? syntheticFrame(320, 240, i) : syntheticFrame(640, 360, i));
    encode(inputs.back(), i / 30.0);
  }
  const auto frames = waitForFrames(6);
  ASSERT_EQ(frames.size(), 6U);
  ASSERT_TRUE(frames[0].parameterSets && frames[4].parameterSets);
  EXPECT_EQ(frames[0].parameterSets->sps.at(1), 100);  // profile_idc 100: High
  EXPECT_NE(frames[4].parameterSets->sps, frames[0].parameterSets->sps);
  Decoder decoder;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (i % 2 == 0) {
      expectKeyframeWithParameterSets(frames[i]);
      EXPECT_TRUE(Decoder().decode(frames[i])) << i;
    } else {
      EXPECT_FALSE(frames[i].keyframe || frames[i].parameterSets) << i;
    }
    for (const auto& nal : avccNalUnits(frames[i].data))
      EXPECT_FALSE(nalType(nal[0]) == 7 || nalType(nal[0]) == 8) << i;
    const auto picture = decoder.decode(frames[i]);
    ASSERT_TRUE(picture) << i;
    EXPECT_EQ(picture->width, inputs[i]->width) << i;
    const double own = lumaPsnr(*inputs[i], *picture);
    EXPECT_GE(own, 30.0) << i;
    if (i % 2 == 1) {
      EXPECT_LT(lumaPsnr(*inputs[i - 1], *picture), own - 6.0) << i;
    }
  }
  std::lock_guard guard(lock);
  for (const auto id : completionThreads)
    EXPECT_NE(id, std::this_thread::get_id());
}

// A changed target reaches the running session without a new keyframe, down and up (libx264 keeps
// the average rate it was opened with unless told otherwise); frames slower than the expected 30 a
// second (the pacer let fewer through) still carry the target rate, not a thirtieth of it each.
TEST_F(LibavcodecEncoderTest, BitrateChangesTakeEffectWithoutANewSession) {
  struct Case {
    const char* name;
    double fps;
    std::int64_t from, to;
    std::size_t minBytes, maxBytes;  // per frame, over the settled half after the change
  };
  for (const Case& c :
       {Case{"drop", 30, 8'000'000, 200'000, 0, 5'000}, Case{"rise", 30, 300'000, 4'000'000, 10'000, 30'000},
        Case{"slow frames", 5, 2'000'000, 2'000'000, 25'000, 100'000}}) {
    constexpr std::size_t kFrames = 30;
    encoder.invalidateSession();
    const std::size_t base = completed();
    encoder.setBitrate(c.from);
    for (std::size_t i = 0; i < 2 * kFrames; ++i) {
      if (i == kFrames) {
        waitForFrames(base + kFrames);
        encoder.setBitrate(c.to);
        encoder.applyBitrate();
      }
      encode(syntheticFrame(640, 360, static_cast<int>(i), true), static_cast<double>(base + i) / c.fps);
    }
    const auto frames = waitForFrames(base + 2 * kFrames);
    ASSERT_EQ(frames.size(), base + 2 * kFrames) << c.name;
    std::size_t bytes = 0;
    for (std::size_t i = base + 1; i < frames.size(); ++i) {
      EXPECT_FALSE(frames[i].keyframe) << c.name << " " << i;
      if (i >= base + kFrames + kFrames / 2) bytes += frames[i].data.size();
    }
    EXPECT_GE(bytes / (kFrames / 2), c.minBytes) << c.name;
    EXPECT_LE(bytes / (kFrames / 2), c.maxBytes) << c.name;
  }
}

// A size no encoder takes fails with the error the host reports; the next frame tries again.
TEST_F(LibavcodecEncoderTest, AFailedStartIsAnErrorAndTheNextFrameTriesAgain) {
  try {
    encode(syntheticFrame(0, 0, 0), 0);
    ADD_FAILURE() << "expected an error";
  } catch (const QuorvantaError& error) {
    EXPECT_EQ(error.message(), "Could not start H.264 encoding.");
  }
  EXPECT_FALSE(encoder.hasSession());
  encode(syntheticFrame(320, 240, 1), 0.1);
  const auto frames = waitForFrames(1);
  ASSERT_EQ(frames.size(), 1U);
  expectKeyframeWithParameterSets(frames[0]);
}

TEST_F(LibavcodecEncoderTest, ClosingTheSessionCompletesEveryQueuedFrame) {
  constexpr int kFrames = 6;
  for (int i = 0; i < kFrames; ++i)
    encode(syntheticFrame(640, 360, i), i / 30.0);
  encoder.invalidateSession();
  EXPECT_FALSE(encoder.hasSession());
  std::lock_guard guard(lock);
  EXPECT_EQ(outputs.size(), static_cast<std::size_t>(kFrames));
}

// Frames may come far slower than the expected rate when the screen is still; the keyframe
// interval in seconds holds all the same.
TEST(LibavcodecEncoderBackendTest, KeyframeIntervalInSecondsHoldsForSlowFrames) {
  LibavcodecEncoderBackend backend(
      LibavcodecEncoderBackend::Options{{LibavcodecEncoderBackend::Encoder::x264}, ""});
  SessionSettings settings;
  settings.width = 320;
  settings.height = 240;
  settings.lowLatency = true;
  settings.maxKeyFrameIntervalDuration = 2;
  int status = -1;
  auto session = backend.createSession(settings, status);
  ASSERT_TRUE(session);
  ASSERT_EQ(session->prepare(), 0);
  std::mutex lock;
  std::vector<bool> keyframes;
  const std::vector<double> times{0.0, 1.0, 1.9, 2.0, 3.0, 4.5};
  for (std::size_t i = 0; i < times.size(); ++i) {
    ASSERT_EQ(session->submit(syntheticFrame(320, 240, static_cast<int>(i)), times[i], false,
                              [&lock, &keyframes](SessionOutput output) {
                                std::lock_guard guard(lock);
                                keyframes.push_back(output.sample && output.sample->keyframe);
                              }),
              0);
  }
  session->completeAndInvalidate();
  std::lock_guard guard(lock);
  EXPECT_EQ(keyframes, (std::vector<bool>{true, false, false, true, false, true}));
}

}  // namespace
}  // namespace quorvanta
