#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <thread>

#include "core/protocol/control_message.h"
#include "core/video/capture_service.h"
#include "core/video/pixel_buffer.h"
#include "core/video/video_encoder.h"
#include "core/video/video_pipeline.h"

namespace quorvanta {

// What the streamer asks of its video pipeline: it receives every complete frame and is reset,
// both on the capture queue, and reports encoder failures through its error callback.
class FramePipeline {
 public:
  virtual ~FramePipeline() = default;
  virtual void submit(PixelBufferRef buffer, double time) = 0;
  virtual void reset() = 0;
  virtual void setOnError(std::function<void(std::string)> onError) = 0;
  // Told false when nobody can receive frames any more and true when somebody can again.
  virtual void setOnDemand(std::function<void(bool wanted)> /*onDemand*/) {}
};

// A serial queue: one thread running one io_context. It may be destroyed from its own thread (the
// last owner of the streamer can let go inside a capture callback); the thread then finishes on
// its own instead of being joined.
class SerialQueue {
 public:
  SerialQueue();
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  asio::any_io_executor executor() const { return context_->get_executor(); }

 private:
  std::shared_ptr<asio::io_context> context_;
  std::thread thread_;
};

// The video pipeline in the streamer's service.
class VideoPipelineFrames final : public FramePipeline {
 public:
  explicit VideoPipelineFrames(std::shared_ptr<VideoPipeline> pipeline) : pipeline_(std::move(pipeline)) {}
  void submit(PixelBufferRef buffer, double time) override { pipeline_->submit(std::move(buffer), time); }
  void reset() override { pipeline_->reset(); }
  void setOnError(std::function<void(std::string)> onError) override {
    pipeline_->setOnError(std::move(onError));
  }
  void setOnDemand(std::function<void(bool wanted)> onDemand) override {
    pipeline_->setOnDemand(std::move(onDemand));
  }
  const std::shared_ptr<VideoPipeline>& videoPipeline() const { return pipeline_; }

 private:
  std::shared_ptr<VideoPipeline> pipeline_;
};

// The size of the frames captured from a display of `sourceWidth` × `sourceHeight` pixels for a
// client that asked for at most `maxWidth` pixels across: scaled down (never up) by one factor,
// each side truncated, made even and at least 2.
PixelSize captureOutputSize(int sourceWidth, int sourceHeight, int maxWidth);

// Bounds on the streamer's waits for the capture service, in seconds.
struct CaptureLimits {
  double listContent = 8;
  double startCapture = 8;
  double listContentForExclusion = 5;
  double stopCapture = 3;
};

// Lists the displays and captures one at a time, handing every complete frame to the pipeline.
// A generation counter, raised whenever the current stream changes, tags every error report so
// that the caller can drop reports about a stream it has already replaced.
class ScreenStreamer final : public CaptureStreamOutput, public std::enable_shared_from_this<ScreenStreamer> {
 public:
  using ErrorCallback = std::function<void(const std::string& message, std::int64_t generation)>;
  using PipelineFactory = std::function<std::shared_ptr<FramePipeline>(asio::any_io_executor captureQueue)>;

  using Limits = CaptureLimits;

  static std::shared_ptr<ScreenStreamer> create(std::shared_ptr<CaptureService> service,
                                                const PipelineFactory& makePipeline, Limits limits = {});
  // The streamer as the host runs it: frames go to a VideoPipeline with `encoder` on the capture
  // queue.
  static std::shared_ptr<ScreenStreamer> create(std::shared_ptr<CaptureService> service,
                                                std::unique_ptr<VideoEncoder> encoder, Limits limits = {});
  ~ScreenStreamer() override;
  ScreenStreamer(const ScreenStreamer&) = delete;
  ScreenStreamer& operator=(const ScreenStreamer&) = delete;

  // The displays clients may choose from, each with its size in points. Throws the service's
  // error or the timeout error.
  asio::awaitable<std::vector<RemoteDisplay>> displays();
  // Stops any earlier capture, then captures `displayID` (or the first display when it is absent
  // or gone) at most `maxWidth` pixels wide and `fps` frames per second. Returns the display with
  // the size of the frames that will be delivered.
  asio::awaitable<RemoteDisplay> start(std::optional<DisplayID> displayID, int maxWidth, int fps);
  // Stops the current and the retired stream and resets the pipeline. Never throws.
  asio::awaitable<void> stop();
  // Takes the current stream out of service at once and pauses it; it is stopped by the next
  // stop() or start().
  void retire();
  // Leaves exactly `windowIDs` out of the running capture. False when nothing runs, a window is
  // not on screen, or the service refuses; the previous exclusions then stay.
  asio::awaitable<bool> exclude(std::set<WindowID> windowIDs);

  // The user-visible name of a display: the service's, else "Display <id>".
  std::string name(DisplayID display) const;

  const std::shared_ptr<FramePipeline>& pipeline() const { return pipeline_; }
  // The VideoPipeline when the streamer was made with an encoder, else nullptr.
  std::shared_ptr<VideoPipeline> videoPipeline() const;
  asio::any_io_executor captureQueue() const { return captureQueue_.executor(); }

  void setErrorCallback(ErrorCallback callback);
  std::int64_t generation() const;
  std::shared_ptr<CaptureStream> currentStream() const;

  // CaptureStreamOutput
  void didOutputSample(const CaptureStream& stream, const CaptureSample& sample, SampleType type) override;
  void didStopWithError(const CaptureStream& stream, const std::string& message) override;

 private:
  ScreenStreamer(std::shared_ptr<CaptureService> service, Limits limits);
  // The bodies of displays(), start(), stop() and exclude(). Each holds the streamer from the
  // moment the operation is made until it ends, so that an owner may let go of the streamer while
  // an operation still waits on the capture service (a stop whose service never answers resumes
  // after its limit and still touches the streamer).
  asio::awaitable<std::vector<RemoteDisplay>> listDisplays(std::shared_ptr<ScreenStreamer> keepAlive);
  asio::awaitable<RemoteDisplay> starting(std::shared_ptr<ScreenStreamer> keepAlive,
                                          std::optional<DisplayID> displayID, int maxWidth, int fps);
  asio::awaitable<void> stopping(std::shared_ptr<ScreenStreamer> keepAlive);
  asio::awaitable<bool> excluding(std::shared_ptr<ScreenStreamer> keepAlive, std::set<WindowID> windowIDs);

  std::vector<std::shared_ptr<CaptureStream>> takeStreams();
  asio::awaitable<ShareableContent> fetchContent(double limitSeconds);
  void reportError(const std::string& message);
  // Pauses the current stream while the pipeline has nobody to send frames to.
  void setDemand(bool wanted);

  const std::shared_ptr<CaptureService> service_;
  const Limits limits_;
  // Serial: one thread. Samples arrive here, and the pipeline does all its frame work here.
  SerialQueue captureQueue_;
  std::shared_ptr<FramePipeline> pipeline_;

  mutable std::mutex stateLock_;
  std::shared_ptr<CaptureStream> currentStream_;
  std::shared_ptr<CaptureStream> retiredStream_;
  std::optional<DisplayID> capturedDisplayID_;
  std::int64_t generation_ = 0;
  ErrorCallback errorCallback_;
};

}  // namespace quorvanta
