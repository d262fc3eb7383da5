#include "core/video/video_pipeline.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <future>
#include <utility>

#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "core/protocol/control_message.h"

namespace quorvanta {

// One send slot granted by the receiver's pacer for one frame. It settles exactly once: either
// the frame goes to the receiver's sendVideo, which takes the slot over, or giveUp() hands the
// slot back to the pacer.
class VideoPipeline::Reservation {
 public:
  explicit Reservation(std::shared_ptr<VideoSink> receiver) : receiver_(std::move(receiver)) {}

  Reservation(const Reservation&) = delete;
  Reservation& operator=(const Reservation&) = delete;

  // An encoder that drops a completion without running it (one destroyed with frames inside,
  // say) must not cost the connection its slot for good.
  ~Reservation() { giveUp(); }

  const std::shared_ptr<VideoSink>& receiver() const { return receiver_; }

  // True for the one caller that settles the reservation.
  bool settle() {
    std::lock_guard guard(lock_);
    if (settled_) return false;
    settled_ = true;
    return true;
  }

  void giveUp() {
    if (settle()) receiver_->pacer().releaseReservation();
  }

 private:
  std::shared_ptr<VideoSink> receiver_;
  std::mutex lock_;
  bool settled_ = false;
};

// The encoder's turn with one frame. It ends when the frame's completion has run or, should the
// encoder drop the completion unrun, when the completion is destroyed; either way the pipeline
// learns on its queue that the encoder is free for the newest frame.
class VideoPipeline::EncoderTurn {
 public:
  EncoderTurn(std::weak_ptr<VideoPipeline> pipeline, asio::any_io_executor queue)
      : pipeline_(std::move(pipeline)), queue_(std::move(queue)) {}
  EncoderTurn(const EncoderTurn&) = delete;
  EncoderTurn& operator=(const EncoderTurn&) = delete;
  ~EncoderTurn() {
    // The strong reference ends on the queue, never on the encoder's thread (see pump()).
    if (auto self = pipeline_.lock())
      asio::post(queue_, [self = std::move(self)] { self->encoderFinished(); });
  }

 private:
  std::weak_ptr<VideoPipeline> pipeline_;
  asio::any_io_executor queue_;
};

VideoPipeline::VideoPipeline(asio::any_io_executor queue, std::unique_ptr<VideoEncoder> encoder,
                             Clock hostClock, double stillKeyframeInterval)
    : encoder_(std::move(encoder)),
      queue_(std::move(queue)),
      hostClock_(std::move(hostClock)),
      stillKeyframeInterval_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(stillKeyframeInterval))),
      stillTimer_(queue_) {}

std::shared_ptr<VideoPipeline> VideoPipeline::create(asio::any_io_executor queue,
                                                     std::unique_ptr<VideoEncoder> encoder, Clock hostClock,
                                                     double stillKeyframeInterval) {
  return std::make_shared<VideoPipeline>(std::move(queue), std::move(encoder), std::move(hostClock),
                                         stillKeyframeInterval);
}

// Results still inside the encoder find the pipeline gone and hand their slots back.
VideoPipeline::~VideoPipeline() = default;

void VideoPipeline::submit(PixelBufferRef buffer, double time) {
  latest_ = buffer;
  pending_ = Pending{.buffer = std::move(buffer), .time = time};
  lastFrame_ = std::chrono::steady_clock::now();
  if (!stillArmed_) armStillKeyframe(lastFrame_ + stillKeyframeInterval_);
  pump();
}

void VideoPipeline::armStillKeyframe(std::chrono::steady_clock::time_point at) {
  stillArmed_ = true;
  const std::int64_t generation = ++stillGeneration_;
  stillTimer_.expires_at(at);
  stillTimer_.async_wait([weak = weak_from_this(), generation](const std::error_code&) {
    const auto self = weak.lock();
    if (!self || generation != self->stillGeneration_) return;
    self->stillArmed_ = false;
    if (!self->latest_) return;  // reset: the next frame arms it again
    const auto now = std::chrono::steady_clock::now();
    if (now - self->lastFrame_ >= self->stillKeyframeInterval_) {
      self->lastFrame_ = now;
      if (self->currentSink()) self->requestKeyframe();
    }
    self->armStillKeyframe(self->lastFrame_ + self->stillKeyframeInterval_);
  });
}

void VideoPipeline::attach(const std::shared_ptr<VideoSink>& sink, std::int64_t fps, std::int64_t maxBitrate,
                           bool acknowledged) {
  const std::weak_ptr<VideoPipeline> weak = weak_from_this();
  if (sink) {
    VideoPacer& pacer = sink->pacer();
    pacer.configure(acknowledged, fps, maxBitrate);
    pacer.setCreditCallback([weak, queue = queue_] {
      asio::post(queue, [weak] {
        if (const auto self = weak.lock()) self->pump();
      });
    });
    pacer.setBitrateCallback([weak, queue = queue_](std::int64_t bitsPerSecond) {
      asio::post(queue, [weak, bitsPerSecond] {
        if (const auto self = weak.lock()) self->changeBitrate(bitsPerSecond);
      });
    });
  }

  std::shared_ptr<VideoSink> old;
  std::function<void(bool)> onDemand;
  {
    std::lock_guard guard(sinkLock_);
    old = std::exchange(sink_, sink);
    if ((old == nullptr) != (sink == nullptr)) onDemand = onDemand_;
  }
  if (onDemand) onDemand(sink != nullptr);
  // Re-attaching the same connection keeps the callbacks just installed.
  if (old && old != sink) {
    old->pacer().setCreditCallback(nullptr);
    old->pacer().setBitrateCallback(nullptr);
  }
  if (!sink) return;

  const std::int64_t target = sink->pacer().target();
  asio::post(queue_, [weak, fps, target] {
    if (const auto self = weak.lock()) self->changeStream(fps, target);
  });
  requestKeyframe();
}

void VideoPipeline::requestKeyframe() {
  encoder_->markKeyframeNeeded();
  asio::post(queue_, [weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self) return;
    self->pump();
    // A newer loop ends every older one.
    self->refresh(++self->refreshGeneration_, 0);
  });
}

void VideoPipeline::reset() {
  pending_.reset();
  latest_.reset();
  ++stillGeneration_;
  stillArmed_ = false;
  stillTimer_.cancel();
  ++refreshGeneration_;
  reportedError_ = false;
  encoder_->invalidateSession();
}

bool VideoPipeline::hasFrame() {
  std::promise<bool> promise;
  std::future<bool> result = promise.get_future();
  // The caller's reference keeps the pipeline alive until the answer arrives. Should the queue
  // be torn down first, the dropped promise wakes the caller with an exception.
  asio::post(queue_,
             [this, promise = std::move(promise)]() mutable { promise.set_value(latest_ != nullptr); });
  return result.get();
}

void VideoPipeline::setOnDemand(std::function<void(bool wanted)> callback) {
  std::lock_guard guard(sinkLock_);
  onDemand_ = std::move(callback);
}

void VideoPipeline::setOnError(std::function<void(std::string)> callback) {
  asio::dispatch(queue_, [weak = weak_from_this(), callback = std::move(callback)]() mutable {
    if (const auto self = weak.lock()) self->onError_ = std::move(callback);
  });
}

void VideoPipeline::pump() {
  if (!pending_ || encoding_) return;
  const std::shared_ptr<VideoSink> sink = currentSink();
  if (!sink) return;
  // Refused: the frame keeps waiting and the pacer's credit callback pumps again.
  if (!sink->pacer().tryReserve()) return;

  Pending next = std::move(*pending_);
  pending_.reset();
  auto reservation = std::make_shared<Reservation>(sink);
  auto turn = std::make_shared<EncoderTurn>(weak_from_this(), queue_);
  encoding_ = true;
  try {
    encoder_->encode(
        std::move(next.buffer), next.time,
        [weak = weak_from_this(), queue = queue_, reservation, turn](std::optional<EncodedFrame> frame) {
          auto self = weak.lock();
          if (!self) return reservation->giveUp();
          self->deliver(std::move(frame), reservation);
          // If the owner let go meanwhile, this was the last reference: end the
          // pipeline (and its encoder) on the queue, never on the encoder's own
          // thread, which the encoder's shutdown waits for.
          asio::post(queue, [last = std::move(self)] {});
        });
  } catch (const std::exception& error) {
    reservation->giveUp();
    reportError(error.what());
  }
}

void VideoPipeline::encoderFinished() {
  encoding_ = false;
  pump();
}

void VideoPipeline::deliver(std::optional<EncodedFrame> frame,
                            const std::shared_ptr<Reservation>& reservation) {
  if (!frame) {
    reservation->giveUp();
    // A forced keyframe that came out unusable is still owed; ask again.
    if (encoder_->needsKeyframe()) requestKeyframe();
    return;
  }

  const std::shared_ptr<VideoSink> sink = currentSink();
  // Frames encoded for a connection that is no longer current go nowhere; the slot goes back to
  // the connection that granted it.
  if (!sink || sink != reservation->receiver() || !reservation->settle()) {
    reservation->giveUp();
    return;
  }

  if (frame->parameterSets) {
    ControlMessage config = ControlMessage::make("videoConfig");
    config.sps = std::move(frame->parameterSets->sps);
    config.pps = std::move(frame->parameterSets->pps);
    sink->send(config);
  }
  sink->sendVideo(std::move(frame->data), frame->keyframe);
}

void VideoPipeline::refresh(std::int64_t generation, int attempt) {
  if (attempt >= kMaxRefreshSteps) return;
  auto timer =
      std::make_shared<asio::steady_timer>(queue_, std::chrono::duration_cast<asio::steady_timer::duration>(
                                                       std::chrono::duration<double>(kRefreshInterval)));
  timer->async_wait([timer, weak = weak_from_this(), generation, attempt](const std::error_code& error) {
    if (error) return;
    if (const auto self = weak.lock()) self->refreshStep(generation, attempt);
  });
}

void VideoPipeline::refreshStep(std::int64_t generation, int attempt) {
  if (generation != refreshGeneration_) return;
  if (!encoder_->needsKeyframe()) return;
  // A newer captured frame that is already waiting is better than the old one again.
  if (!pending_ && latest_) pending_ = Pending{.buffer = latest_, .time = hostClock_()};
  pump();
  refresh(generation, attempt + 1);
}

void VideoPipeline::changeBitrate(std::int64_t bitsPerSecond) {
  try {
    encoder_->setBitrate(std::max(bitsPerSecond, kMinBitrate));
    if (encoder_->hasSession()) encoder_->applyBitrate();
  } catch (const std::exception& error) {
    reportError(error.what());
  }
}

void VideoPipeline::changeStream(std::int64_t fps, std::int64_t bitsPerSecond) {
  try {
    // A new frame rate needs a new session; the next frame starts it, with a keyframe.
    if (encoder_->fps() != fps) {
      encoder_->invalidateSession();
      encoder_->setFps(fps);
    }
  } catch (const std::exception& error) {
    reportError(error.what());
  }
  changeBitrate(bitsPerSecond);
}

void VideoPipeline::reportError(const std::string& message) {
  if (reportedError_) return;
  reportedError_ = true;
  // A copy, so that the callback may replace itself.
  if (const auto callback = onError_) callback(message);
}

std::shared_ptr<VideoSink> VideoPipeline::currentSink() {
  std::lock_guard guard(sinkLock_);
  return sink_;
}

}  // namespace quorvanta
