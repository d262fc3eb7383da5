#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>

#include "core/transport/video_sink.h"
#include "core/util/monotonic_clock.h"
#include "core/video/encoded_frame.h"
#include "core/video/pixel_buffer.h"
#include "core/video/video_encoder.h"

namespace quorvanta {

// Connects capture, the encoder and the attached connection. It encodes the newest captured
// frame, and only once the connection's pacer has granted a send slot for it: at most one
// captured frame waits, a newer one replaces it, and nothing is encoded for a network that cannot
// take it. On a keyframe request it makes the encoder owe a keyframe and, since a still screen
// captures nothing new, re-feeds the last frame every 150 ms (at most 20 times) until the
// keyframe has been forced. Parameter sets of a keyframe go out in a "videoConfig" message just
// before the frame. One frame at a time is inside the encoder: while it encodes, newer captures
// wait in the one pending place, so that an encoder slower than the frame rate never works
// through a backlog of stale frames (each granted slot would otherwise queue a frame in front of
// the encoder and add its encoding time to the delay of every later frame).
//
// Threads: `queue` is a serial executor (a strand). submit(), reset() and everything that touches
// the encoder's session, frame rate and bit rate run on it. attach() and requestKeyframe() may be
// called from any thread and post the rest of their work to `queue`. Encoder results arrive on
// the encoder's own thread. Locks (the sink lock, each reservation's lock, the encoder's keyframe
// flag and the pacer's lock) are taken one at a time and never held while calling out.
//
// Lifetime: owned through std::shared_ptr. Pacer callbacks, encoder completions and queued work
// hold it weakly; a result that arrives after it is gone hands its send slot back.
class VideoPipeline : public std::enable_shared_from_this<VideoPipeline> {
 public:
  // Encoder bit rates never go below this, whatever the pacer asks for.
  static constexpr std::int64_t kMinBitrate = 100'000;
  // A keyframe request re-feeds the last frame at this interval, at most kMaxRefreshSteps times.
  static constexpr double kRefreshInterval = 0.15;
  static constexpr int kMaxRefreshSteps = 20;
  // Capture delivers nothing while the screen is still, so the encoder's periodic keyframe never
  // comes due: after this long without a new frame the last one is refreshed as a keyframe.
  static constexpr double kStillKeyframeInterval = 20.0;

  // `hostClock` stamps re-fed frames; it must be the clock capture stamps its frames with.
  VideoPipeline(asio::any_io_executor queue, std::unique_ptr<VideoEncoder> encoder,
                Clock hostClock = monotonicSeconds, double stillKeyframeInterval = kStillKeyframeInterval);
  static std::shared_ptr<VideoPipeline> create(asio::any_io_executor queue,
                                               std::unique_ptr<VideoEncoder> encoder,
                                               Clock hostClock = monotonicSeconds,
                                               double stillKeyframeInterval = kStillKeyframeInterval);

  VideoPipeline(const VideoPipeline&) = delete;
  VideoPipeline& operator=(const VideoPipeline&) = delete;
  ~VideoPipeline();

  // On `queue`: the newest captured frame. A frame still waiting for a slot is dropped unencoded.
  void submit(PixelBufferRef buffer, double time);

  // Any thread: makes `sink` the connection frames go to, with the stream's frame rate, maximum
  // bit rate and acknowledgement regime, and asks for a keyframe. nullptr detaches.
  void attach(const std::shared_ptr<VideoSink>& sink, std::int64_t fps, std::int64_t maxBitrate,
              bool acknowledged);

  // Any thread.
  void requestKeyframe();

  // On `queue`, when capture stops: forgets the frames, ends any keyframe refresh, re-arms error
  // reporting and drops the encoder session. The sink and its callbacks stay.
  void reset();

  // From any thread but `queue` (it waits for `queue`): whether a frame has been captured since
  // creation or the last reset.
  bool hasFrame();

  // Called on `queue` with the message of the first encoder error after creation or reset. Runs
  // on `queue` when called elsewhere, so set it before the first frame to be sure of it.
  void setOnError(std::function<void(std::string)> callback);
  // Called by attach() with false when the last connection goes and with true when one comes
  // again, so that capture can rest while nobody receives frames. Set before the first attach().
  void setOnDemand(std::function<void(bool wanted)> callback);

 private:
  class Reservation;
  class EncoderTurn;
  struct Pending {
    PixelBufferRef buffer;
    double time = 0;
  };

  // All on `queue`.
  void pump();
  void refresh(std::int64_t generation, int attempt);
  void refreshStep(std::int64_t generation, int attempt);
  void armStillKeyframe(std::chrono::steady_clock::time_point at);
  void changeBitrate(std::int64_t bitsPerSecond);
  void changeStream(std::int64_t fps, std::int64_t bitsPerSecond);
  void reportError(const std::string& message);
  void encoderFinished();
  // On the encoder's thread.
  void deliver(std::optional<EncodedFrame> frame, const std::shared_ptr<Reservation>& reservation);

  std::shared_ptr<VideoSink> currentSink();

  std::unique_ptr<VideoEncoder> encoder_;
  asio::any_io_executor queue_;
  Clock hostClock_;
  std::chrono::steady_clock::duration stillKeyframeInterval_;
  std::function<void(std::string)> onError_;  // on `queue`

  std::mutex sinkLock_;
  std::shared_ptr<VideoSink> sink_;     // guarded by sinkLock_
  std::function<void(bool)> onDemand_;  // guarded by sinkLock_

  // On `queue` only.
  std::optional<Pending> pending_;
  PixelBufferRef latest_;
  std::int64_t refreshGeneration_ = 0;
  bool reportedError_ = false;
  bool encoding_ = false;  // a frame is inside the encoder
  asio::steady_timer stillTimer_;
  std::int64_t stillGeneration_ = 0;  // of the timer's current wait
  bool stillArmed_ = false;
  std::chrono::steady_clock::time_point lastFrame_{};
};

}  // namespace quorvanta
