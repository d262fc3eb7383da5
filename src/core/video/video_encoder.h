#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "core/video/encoded_frame.h"
#include "core/video/pixel_buffer.h"

namespace quorvanta {

// What the video pipeline asks of its encoder. Everything but the keyframe flag is used on the
// pipeline's queue only; markKeyframeNeeded() and needsKeyframe() may be called from any thread.
class VideoEncoder {
 public:
  // Called exactly once per successful encode(), on an encoder thread, with the frame or with
  // nothing when the output was dropped or unusable.
  using Completion = std::function<void(std::optional<EncodedFrame>)>;

  virtual ~VideoEncoder() = default;

  // Either throws QuorvantaError (and never calls `completion`) or returns and later calls it
  // exactly once. `time` is the presentation time in seconds.
  virtual void encode(PixelBufferRef buffer, double time, Completion completion) = 0;
  // Finishes the frames still in the session, then drops it; the next frame makes a new one.
  virtual void invalidateSession() = 0;
  virtual bool hasSession() const = 0;
  // Applies bitrate() to the current session at once.
  virtual void applyBitrate() = 0;

  virtual std::int64_t fps() const = 0;
  virtual void setFps(std::int64_t fps) = 0;
  virtual std::int64_t bitrate() const = 0;
  virtual void setBitrate(std::int64_t bitsPerSecond) = 0;

  virtual void markKeyframeNeeded() = 0;
  virtual bool needsKeyframe() const = 0;
};

}  // namespace quorvanta
