#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/util/quorvanta_error.h"
#include "core/video/video_encoder.h"

namespace quorvanta::test {

// A VideoEncoder that records what it is asked to do and leaves every result to the test, which
// completes calls by index from whatever thread it likes. Thread-safe; one lock guards it all.
class FakeVideoEncoder : public VideoEncoder {
 public:
  struct Call {
    PixelBufferRef buffer;
    double time = 0;
    bool keyframeForced = false;  // the call found a keyframe owed
  };

  void encode(PixelBufferRef buffer, double time, Completion completion) override {
    std::function<void(std::size_t)> hook;
    std::size_t index = 0;
    {
      std::lock_guard guard(lock_);
      if (!throws_.empty()) {
        const std::string message = std::move(throws_.front());
        throws_.pop_front();
        throw QuorvantaError(message);
      }
      const bool forced = keyframeNeeded_ && forcesKeyframes_;
      if (forced) keyframeNeeded_ = false;
      hasSession_ = true;
      calls_.push_back(Call{.buffer = std::move(buffer), .time = time, .keyframeForced = forced});
      completions_.push_back(std::move(completion));
      index = calls_.size() - 1;
      hook = onEncode_;
    }
    changed_.notify_all();
    if (hook) hook(index);
  }

  void invalidateSession() override { set(hasSession_, false); }
  void applyBitrate() override {}
  void markKeyframeNeeded() override {
    std::lock_guard guard(lock_);
    keyframeNeeded_ = true;
    ++keyframeRequests_;
  }
  bool hasSession() const override { return get(hasSession_); }
  std::int64_t fps() const override { return get(fps_); }
  void setFps(std::int64_t fps) override { set(fps_, fps); }
  std::int64_t bitrate() const override { return get(bitrate_); }
  void setBitrate(std::int64_t bitsPerSecond) override { set(bitrate_, bitsPerSecond); }
  bool needsKeyframe() const override { return get(keyframeNeeded_); }

  // Runs call `index`'s completion on the calling thread. Each completion runs at most once.
  void complete(std::size_t index, std::optional<EncodedFrame> frame) {
    takeCompletion(index)(std::move(frame));
  }
  Completion takeCompletion(std::size_t index) {
    std::lock_guard guard(lock_);
    return std::exchange(completions_.at(index), nullptr);
  }

  // The next encode() calls throw these messages, one each, before recording anything.
  void throwNext(std::string message) {
    std::lock_guard guard(lock_);
    throws_.push_back(std::move(message));
  }
  // When false, an owed keyframe stays owed however many frames are encoded.
  void setForcesKeyframes(bool forces) { set(forcesKeyframes_, forces); }
  // Called after each recorded encode(), outside the lock, on the encoding thread.
  void setOnEncode(std::function<void(std::size_t)> hook) { set(onEncode_, std::move(hook)); }

  // Waits at most `timeout` for `count` recorded calls.
  bool waitForCalls(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return calls_.size() >= count; });
  }

  std::vector<Call> calls() const { return get(calls_); }
  std::size_t callCount() const { return get(calls_).size(); }
  int keyframeRequests() const { return get(keyframeRequests_); }

 private:
  template <typename T>
  T get(const T& member) const {
    std::lock_guard guard(lock_);
    return member;
  }
  template <typename T, typename V>
  void set(T& member, V&& value) {
    std::lock_guard guard(lock_);
    member = std::forward<V>(value);
  }

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
  std::vector<Completion> completions_;
  std::deque<std::string> throws_;
  std::function<void(std::size_t)> onEncode_;
  std::int64_t fps_ = 30;
  std::int64_t bitrate_ = 6'000'000;
  bool hasSession_ = false;
  bool keyframeNeeded_ = false;
  bool forcesKeyframes_ = true;
  int keyframeRequests_ = 0;
};

}  // namespace quorvanta::test
