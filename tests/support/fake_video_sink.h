#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "core/protocol/control_message.h"
#include "core/transport/video_pacer.h"
#include "core/transport/video_sink.h"

namespace quorvanta::test {

// A VideoSink with a real pacer that records what is sent, in call order. Thread-safe.
class FakeVideoSink : public VideoSink {
 public:
  // One send: a control message, or a video frame with its keyframe flag.
  struct Sent {
    std::optional<ControlMessage> control;
    Bytes video;
    bool keyframe = false;
  };

  explicit FakeVideoSink(Clock clock = [] { return 0.0; }) : pacer_(std::move(clock)) {}

  VideoPacer& pacer() override { return pacer_; }

  void send(const ControlMessage& message) override {
    std::lock_guard guard(lock_);
    sent_.push_back(Sent{.control = message, .video = {}, .keyframe = false});
  }

  void sendVideo(Bytes frame, bool isKeyframe) override {
    bool release = false;
    {
      std::lock_guard guard(lock_);
      sent_.push_back(Sent{.control = std::nullopt, .video = std::move(frame), .keyframe = isKeyframe});
      release = releaseOnSend_;
    }
    // A network that takes every frame at once hands the slot straight back.
    if (release) pacer_.releaseReservation();
  }

  void setReleaseOnSend(bool release) {
    std::lock_guard guard(lock_);
    releaseOnSend_ = release;
  }

  std::vector<Sent> sent() const {
    std::lock_guard guard(lock_);
    return sent_;
  }

 private:
  VideoPacer pacer_;
  mutable std::mutex lock_;
  std::vector<Sent> sent_;
  bool releaseOnSend_ = false;
};

}  // namespace quorvanta::test
