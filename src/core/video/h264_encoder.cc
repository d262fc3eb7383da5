#include "core/video/h264_encoder.h"

#include <exception>
#include <utility>

#include "core/util/quorvanta_error.h"

namespace quorvanta {
namespace {

// Hands out a frame's completion once: to the output handler, or to nobody when the submission
// was refused.
class CompletionSlot {
 public:
  explicit CompletionSlot(VideoEncoder::Completion completion) : completion_(std::move(completion)) {}

  VideoEncoder::Completion take() {
    std::lock_guard guard(lock_);
    return std::exchange(completion_, nullptr);
  }

 private:
  std::mutex lock_;
  VideoEncoder::Completion completion_;
};

}  // namespace

H264Encoder::H264Encoder(std::shared_ptr<EncoderBackend> backend, Clock clock)
    : backend_(std::move(backend)), clock_(std::move(clock)) {}

H264Encoder::~H264Encoder() {
  invalidateSession();
}

void H264Encoder::encode(PixelBufferRef buffer, double time, Completion completion) {
  if (!buffer) throw QuorvantaError("H.264 encoding is not available.");
  if (!session_ || buffer->width != width_ || buffer->height != height_) {
    configure(buffer->width, buffer->height);
  }
  if (!session_) throw QuorvantaError("H.264 encoding is not available.");

  bool forced = false;
  {
    const double now = clock_();
    std::lock_guard guard(keyframes_->lock);
    if (keyframes_->needsKeyframe && now - keyframes_->lastForcedKeyframe >= kMinForcedKeyframeSpacing) {
      keyframes_->needsKeyframe = false;
      keyframes_->lastForcedKeyframe = now;
      forced = true;
    }
  }

  // A session needs strictly increasing times; a frame that is not later than the one before is
  // moved one millisecond past it.
  double used = time;
  if (lastTimestamp_ && !(time > *lastTimestamp_)) used = *lastTimestamp_ + kTimestampStep;
  lastTimestamp_ = used;

  auto slot = std::make_shared<CompletionSlot>(std::move(completion));
  const std::weak_ptr<KeyframeState> weakKeyframes = keyframes_;
  auto handler = [weakKeyframes, forced, slot](SessionOutput output) {
    std::optional<EncodedFrame> frame;
    bool rearm = false;
    if (output.status == 0 && !output.dropped && output.sample) {
      frame = frameFromSample(*output.sample);
      rearm = !frame;  // good output we cannot use: the client needs a fresh keyframe either way
    } else {
      rearm = forced;
    }
    if (rearm) {
      if (const auto keyframes = weakKeyframes.lock()) {
        std::lock_guard guard(keyframes->lock);
        keyframes->needsKeyframe = true;
      }
    }
    if (auto callback = slot->take()) callback(std::move(frame));
  };

  int status = 0;
  try {
    status = session_->submit(std::move(buffer), used, forced, std::move(handler));
  } catch (...) {
    slot->take();
    if (forced) markKeyframeNeeded();
    throw;
  }
  if (status != 0) {
    slot->take();
    if (forced) markKeyframeNeeded();
    throw QuorvantaError("Video encoder failed (" + std::to_string(status) + ").");
  }
}

void H264Encoder::invalidateSession() {
  if (!session_) return;
  const auto session = std::move(session_);
  session_ = nullptr;
  session->completeAndInvalidate();
}

void H264Encoder::applyBitrate() {
  if (session_) session_->setBitrate(bitrate_, dataRateLimit(bitrate_));
}

void H264Encoder::markKeyframeNeeded() {
  std::lock_guard guard(keyframes_->lock);
  keyframes_->needsKeyframe = true;
}

bool H264Encoder::needsKeyframe() const {
  std::lock_guard guard(keyframes_->lock);
  return keyframes_->needsKeyframe;
}

std::string H264Encoder::sessionDescription() const {
  return session_ ? session_->description() : std::string();
}

std::optional<EncodedFrame> H264Encoder::frameFromSample(const EncoderSample& sample) {
  if (!sample.data) return std::nullopt;
  EncodedFrame frame;
  frame.keyframe = sample.keyframe;
  if (sample.keyframe && sample.parameterSets) {
    if (sample.parameterSets->sps.empty() || sample.parameterSets->pps.empty()) return std::nullopt;
    frame.parameterSets = sample.parameterSets;
  }
  frame.data = *sample.data;
  return frame;
}

DataRateLimit H264Encoder::dataRateLimit(std::int64_t bitsPerSecond) {
  return {static_cast<double>(bitsPerSecond) * 1.5 * 0.125, 1.0};
}

void H264Encoder::configure(int width, int height) {
  invalidateSession();
  width_ = width;
  height_ = height;
  lastTimestamp_.reset();

  int status = 0;
  bool lowLatency = true;
  auto session = backend_->createSession(settings(width, height, true), status);
  if (!session) {
    lowLatency = false;
    session = backend_->createSession(settings(width, height, false), status);
  }
  if (!session) throw QuorvantaError("Could not start H.264 encoding.");
  session_ = std::move(session);
  lowLatency_ = lowLatency;

  applyBitrate();
  status = session_->prepare();
  if (status != 0) {
    throw QuorvantaError("Could not prepare H.264 encoding (" + std::to_string(status) + ").");
  }

  std::lock_guard guard(keyframes_->lock);
  keyframes_->needsKeyframe = true;
  keyframes_->lastForcedKeyframe = -std::numeric_limits<double>::infinity();
}

SessionSettings H264Encoder::settings(int width, int height, bool lowLatency) const {
  SessionSettings result;
  result.width = width;
  result.height = height;
  result.lowLatency = lowLatency;
  result.realTime = true;
  result.allowFrameReordering = false;
  result.profile = lowLatency ? H264Profile::constrainedHighAutoLevel : H264Profile::mainAutoLevel;
  result.expectedFrameRate = fps_;
  result.maxKeyFrameInterval = fps_ * 20;
  result.maxKeyFrameIntervalDuration = kKeyframeIntervalSeconds;
  result.averageBitrate = bitrate_;
  return result;
}

}  // namespace quorvanta
