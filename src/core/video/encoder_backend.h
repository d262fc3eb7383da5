#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/video/encoded_frame.h"
#include "core/video/pixel_buffer.h"

namespace quorvanta {

// The platform's H.264 encoder service as H264Encoder uses it. A backend makes sessions; a session
// encodes the frames of one size. Status codes are the backend's own signed 32-bit numbers, 0 for
// success; they only ever reach the user inside a sentence.

enum class H264Profile {
  constrainedHighAutoLevel,  // asked for together with low-latency rate control
  mainAutoLevel,
};

// What a session is made for. A backend applies every field or refuses the session.
struct SessionSettings {
  int width = 0;
  int height = 0;
  // Low-latency rate control. A backend that cannot give it refuses the session rather than
  // quietly making an ordinary one: the caller then asks again without it.
  bool lowLatency = false;
  bool realTime = true;
  // False: output order is input order, one access unit per submitted frame.
  bool allowFrameReordering = false;
  H264Profile profile = H264Profile::mainAutoLevel;
  std::int64_t expectedFrameRate = 30;
  // The session inserts a keyframe at least this often, in frames and in seconds.
  std::int64_t maxKeyFrameInterval = 600;
  std::int64_t maxKeyFrameIntervalDuration = 20;
  // The rate the session starts with; setBitrate() changes it later.
  std::int64_t averageBitrate = 6'000'000;
};

// At most `bytes` bytes of output in any window of `seconds` seconds.
struct DataRateLimit {
  double bytes = 0;
  double seconds = 0;
};

// One encoded access unit as the service hands it out.
struct EncoderSample {
  // The access unit, NAL units with 4-byte big-endian lengths. None when the bytes could not be
  // read.
  std::optional<Bytes> data;
  bool keyframe = false;
  // The sequence and picture parameter sets when a keyframe starts a new coded sequence; an empty
  // one means it could not be read.
  std::optional<ParameterSets> parameterSets;
};

// What the service reports for one submitted frame.
struct SessionOutput {
  int status = 0;
  bool dropped = false;  // the service skipped the frame
  std::optional<EncoderSample> sample;
};

using SessionOutputHandler = std::function<void(SessionOutput)>;

class EncoderSession {
 public:
  virtual ~EncoderSession() = default;

  // Makes the session ready for its first frame; 0 when it is.
  virtual int prepare() = 0;
  // Takes effect at once, without a new session.
  virtual void setBitrate(std::int64_t averageBitsPerSecond, DataRateLimit limit) = 0;
  // Queues one frame. Returns 0 and later calls `handler` exactly once, on a thread of the
  // service; or returns the refusal and never calls it. `time` is the presentation time in
  // seconds and is later than that of the frame before.
  virtual int submit(PixelBufferRef buffer, double time, bool forceKeyframe,
                     SessionOutputHandler handler) = 0;
  // Finishes every frame still queued (their handlers run), then stops the session for good.
  // Returns once no handler of this session is running or will run.
  virtual void completeAndInvalidate() = 0;
  // Which encoder and which settings the session uses, for diagnostics.
  virtual std::string description() const = 0;
};

class EncoderBackend {
 public:
  virtual ~EncoderBackend() = default;

  // A new session, or none with a non-zero `status`.
  virtual std::unique_ptr<EncoderSession> createSession(const SessionSettings& settings, int& status) = 0;
};

}  // namespace quorvanta
