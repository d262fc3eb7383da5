#pragma once

// A scriptable capture service and pipeline for the streamer's tests. Every behaviour is set by
// the test beforehand; calls are recorded for the test to inspect.

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "core/video/capture_service.h"
#include "core/video/screen_streamer.h"

namespace quorvanta::testing {

// How one asynchronous operation of the fake ends.
struct Behavior {
  std::optional<std::string> failure;  // thrown as std::runtime_error at once
  std::chrono::milliseconds delay{0};  // how long the operation takes before it succeeds

  static Behavior fail(std::string message) { return {std::move(message)}; }
  static Behavior hang() { return {std::nullopt, std::chrono::hours(1)}; }  // far longer than any limit
};

namespace detail {
// Runs `behavior`: throws, or returns after its delay. The reference is read only
// before the first suspension.
inline asio::awaitable<void> perform(const Behavior& behavior) {
  if (behavior.failure) throw std::runtime_error(*behavior.failure);
  if (behavior.delay.count() == 0) co_return;
  asio::steady_timer timer(co_await asio::this_coro::executor, behavior.delay);
  std::error_code ignored;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}
}  // namespace detail

class FakeCaptureStream final : public CaptureStream, public std::enable_shared_from_this<FakeCaptureStream> {
 public:
  FakeCaptureStream(ContentFilter filter, StreamConfiguration configuration,
                    std::weak_ptr<CaptureStreamOutput> output, asio::any_io_executor queue, Behavior start,
                    Behavior stop)
      : filter_(std::move(filter)),
        configuration_(configuration),
        output_(std::move(output)),
        queue_(std::move(queue)),
        startBehavior_(std::move(start)),
        stopBehavior_(std::move(stop)) {}

  asio::awaitable<void> startCapture() override { co_await detail::perform(startBehavior_); }
  asio::awaitable<void> stopCapture() override {
    ++stopCalls_;
    co_await detail::perform(stopBehavior_);
  }
  asio::awaitable<void> updateContentFilter(ContentFilter filter) override {
    ++updateCalls_;
    std::lock_guard guard(lock_);
    filter_ = std::move(filter);
    co_return;
  }

  // Delivers `sample` to the output on the capture queue, as the service would.
  void deliver(CaptureSample sample, SampleType type = SampleType::screen) {
    asio::post(queue_, [self = shared_from_this(), sample = std::move(sample), type] {
      if (auto output = self->output_.lock()) output->didOutputSample(*self, sample, type);
    });
  }

  // Reports that the stream stopped by itself, from the calling thread.
  void stopWithError(const std::string& message) {
    if (auto output = output_.lock()) output->didStopWithError(*this, message);
  }

  ContentFilter filter() const {
    std::lock_guard guard(lock_);
    return filter_;
  }
  const StreamConfiguration& configuration() const { return configuration_; }
  int stopCalls() const { return stopCalls_; }
  int updateCalls() const { return updateCalls_; }

 private:
  mutable std::mutex lock_;
  ContentFilter filter_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<CaptureStreamOutput> output_;
  const asio::any_io_executor queue_;
  const Behavior startBehavior_;
  const Behavior stopBehavior_;
  std::atomic<int> stopCalls_ = 0;
  std::atomic<int> updateCalls_ = 0;
};

class FakeCaptureService final : public CaptureService {
 public:
  // Script. Set before the call that uses it.
  ShareableContent content;
  Behavior contentBehavior;
  std::map<DisplayID, PixelSize> pixelSizes;
  std::map<DisplayID, std::string> names;
  std::optional<std::string> makeStreamError;
  Behavior startBehavior;
  Behavior stopBehavior;

  asio::awaitable<ShareableContent> shareableContent() override {
    Behavior behavior;
    ShareableContent snapshot;
    {
      std::lock_guard guard(lock_);
      behavior = contentBehavior;
      snapshot = content;
    }
    co_await detail::perform(behavior);
    co_return snapshot;
  }

  std::optional<PixelSize> pixelSize(DisplayID display) override { return find(pixelSizes, display); }
  std::optional<std::string> displayName(DisplayID display) override { return find(names, display); }

  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            std::weak_ptr<CaptureStreamOutput> output,
                                            asio::any_io_executor captureQueue) override {
    std::lock_guard guard(lock_);
    if (makeStreamError) throw std::runtime_error(*makeStreamError);
    auto stream = std::make_shared<FakeCaptureStream>(filter, configuration, std::move(output),
                                                      std::move(captureQueue), startBehavior, stopBehavior);
    streams_.push_back(stream);
    return stream;
  }

  // Every stream made so far, oldest first.
  std::vector<std::shared_ptr<FakeCaptureStream>> streams() const {
    std::lock_guard guard(lock_);
    return streams_;
  }

 private:
  template <typename Value>
  std::optional<Value> find(const std::map<DisplayID, Value>& values, DisplayID display) const {
    std::lock_guard guard(lock_);
    const auto found = values.find(display);
    return found == values.end() ? std::nullopt : std::optional<Value>(found->second);
  }

  mutable std::mutex lock_;
  std::vector<std::shared_ptr<FakeCaptureStream>> streams_;
};

// Records what the streamer hands its pipeline.
class FakePipeline final : public FramePipeline {
 public:
  struct Submission {
    PixelBufferRef buffer;
    double time = 0;
    bool onQueue = false;
  };

  explicit FakePipeline(asio::any_io_executor queue) : queue_(std::move(queue)) {}

  void submit(PixelBufferRef buffer, double time) override {
    const bool onQueue = onQueueThread();
    std::lock_guard guard(lock_);
    submissions_.push_back({std::move(buffer), time, onQueue});
  }
  void reset() override { ++resets_; }
  void setOnError(std::function<void(std::string)> onError) override {
    std::lock_guard guard(lock_);
    onError_ = std::move(onError);
  }

  // Reports an encoder failure as the real pipeline would.
  void fail(const std::string& message) {
    std::function<void(std::string)> onError;
    {
      std::lock_guard guard(lock_);
      onError = onError_;
    }
    if (onError) onError(message);
  }

  std::vector<Submission> submissions() const {
    std::lock_guard guard(lock_);
    return submissions_;
  }
  int resets() const { return resets_; }

 private:
  bool onQueueThread() const {
    const auto* queue = queue_.target<asio::io_context::executor_type>();
    return queue != nullptr && queue->running_in_this_thread();
  }

  const asio::any_io_executor queue_;
  mutable std::mutex lock_;
  std::vector<Submission> submissions_;
  std::atomic<int> resets_ = 0;
  std::function<void(std::string)> onError_;
};

}  // namespace quorvanta::testing
