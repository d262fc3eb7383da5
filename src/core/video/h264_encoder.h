#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/util/monotonic_clock.h"
#include "core/video/encoder_backend.h"
#include "core/video/video_encoder.h"

namespace quorvanta {

// Turns captured frames into H.264 access units through one session of the platform's encoder.
// The session is made for the size of the first frame and made again when the size changes or
// after invalidateSession(). The first frame of every session is a forced keyframe; forced
// keyframes are at least 0.3 s apart however often one is asked for; presentation times handed to
// a session are strictly increasing.
//
// Threads: encode(), invalidateSession(), applyBitrate() and the fps/bitrate accessors run on the
// pipeline's queue. Completions run on the backend's threads. The keyframe flag is guarded by its
// own lock and may be touched from any thread.
class H264Encoder final : public VideoEncoder {
 public:
  static constexpr double kMinForcedKeyframeSpacing = 0.3;  // seconds
  static constexpr double kTimestampStep = 0.001;           // seconds
  static constexpr std::int64_t kKeyframeIntervalSeconds = 20;

  explicit H264Encoder(std::shared_ptr<EncoderBackend> backend, Clock clock = monotonicSeconds);
  ~H264Encoder() override;

  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  void encode(PixelBufferRef buffer, double time, Completion completion) override;
  void invalidateSession() override;
  bool hasSession() const override { return session_ != nullptr; }
  void applyBitrate() override;

  std::int64_t fps() const override { return fps_; }
  void setFps(std::int64_t fps) override { fps_ = fps; }
  std::int64_t bitrate() const override { return bitrate_; }
  void setBitrate(std::int64_t bitsPerSecond) override { bitrate_ = bitsPerSecond; }

  void markKeyframeNeeded() override;
  bool needsKeyframe() const override;

  // Whether the current session was made with low-latency rate control.
  bool lowLatency() const { return lowLatency_; }
  // The current session's encoder and settings; empty without a session.
  std::string sessionDescription() const;

  // The frame a service sample stands for, or none when it cannot be used.
  static std::optional<EncodedFrame> frameFromSample(const EncoderSample& sample);
  // The average bit rate may be exceeded by half, in bytes, over any one second.
  static DataRateLimit dataRateLimit(std::int64_t bitsPerSecond);

 private:
  // The keyframe state outlives the encoder while output handlers still hold it; a handler that
  // finds it gone re-arms nothing.
  struct KeyframeState {
    mutable std::mutex lock;
    bool needsKeyframe = true;
    double lastForcedKeyframe = -std::numeric_limits<double>::infinity();
  };

  void configure(int width, int height);
  SessionSettings settings(int width, int height, bool lowLatency) const;

  std::shared_ptr<EncoderBackend> backend_;
  Clock clock_;
  std::unique_ptr<EncoderSession> session_;
  int width_ = 0;
  int height_ = 0;
  std::optional<double> lastTimestamp_;
  std::shared_ptr<KeyframeState> keyframes_ = std::make_shared<KeyframeState>();
  bool lowLatency_ = false;
  std::int64_t fps_ = 30;
  std::int64_t bitrate_ = 6'000'000;
};

}  // namespace quorvanta
