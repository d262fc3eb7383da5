#include "core/video/screen_streamer.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "core/util/quorvanta_error.h"
#include "core/util/with_timeout.h"

namespace quorvanta {

namespace {

constexpr const char* kNoDisplay = "No display is available. Keep a display connected to this Mac.";

// One side of the output size: scaled, truncated toward zero, made even, at least 2.
int scaledSide(int source, double scale) {
  const double scaled = std::trunc(scale * static_cast<double>(source));
  // The scale never exceeds 1, so the result fits an int; the clamp only guards odd inputs.
  int side = static_cast<int>(std::clamp(scaled, 0.0, static_cast<double>(source)));
  side -= side % 2;
  return std::max(side, 2);
}

}  // namespace

SerialQueue::SerialQueue() : context_(std::make_shared<asio::io_context>(1)) {
  // The thread shares the context, so a detached thread never outlives it.
  thread_ = std::thread([context = context_] {
    auto work = asio::make_work_guard(*context);
    context->run();
  });
}

SerialQueue::~SerialQueue() {
  context_->stop();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

PixelSize captureOutputSize(int sourceWidth, int sourceHeight, int maxWidth) {
  sourceWidth = std::max(sourceWidth, 0);
  sourceHeight = std::max(sourceHeight, 0);
  // A display without a width has nothing to scale; a negative request scales down to nothing.
  double scale = 1.0;
  if (sourceWidth > 0) {
    scale = std::min(static_cast<double>(maxWidth) / static_cast<double>(sourceWidth), 1.0);
  }
  scale = std::max(scale, 0.0);
  return PixelSize{scaledSide(sourceWidth, scale), scaledSide(sourceHeight, scale)};
}

std::shared_ptr<ScreenStreamer> ScreenStreamer::create(std::shared_ptr<CaptureService> service,
                                                       const PipelineFactory& makePipeline, Limits limits) {
  std::shared_ptr<ScreenStreamer> streamer(new ScreenStreamer(std::move(service), limits));
  streamer->pipeline_ = makePipeline(streamer->captureQueue_.executor());
  std::weak_ptr<ScreenStreamer> weak = streamer;
  streamer->pipeline_->setOnError([weak](std::string message) {
    if (auto self = weak.lock()) self->reportError(message);
  });
  streamer->pipeline_->setOnDemand([weak](bool wanted) {
    if (auto self = weak.lock()) self->setDemand(wanted);
  });
  return streamer;
}

std::shared_ptr<ScreenStreamer> ScreenStreamer::create(std::shared_ptr<CaptureService> service,
                                                       std::unique_ptr<VideoEncoder> encoder, Limits limits) {
  // The factory runs exactly once, inside create().
  auto owned = std::make_shared<std::unique_ptr<VideoEncoder>>(std::move(encoder));
  return create(
      std::move(service),
      [owned](asio::any_io_executor queue) -> std::shared_ptr<FramePipeline> {
        return std::make_shared<VideoPipelineFrames>(
            VideoPipeline::create(std::move(queue), std::move(*owned)));
      },
      limits);
}

std::shared_ptr<VideoPipeline> ScreenStreamer::videoPipeline() const {
  const auto* frames = dynamic_cast<const VideoPipelineFrames*>(pipeline_.get());
  return frames != nullptr ? frames->videoPipeline() : nullptr;
}

ScreenStreamer::ScreenStreamer(std::shared_ptr<CaptureService> service, Limits limits)
    : service_(std::move(service)), limits_(limits) {}

ScreenStreamer::~ScreenStreamer() = default;

void ScreenStreamer::reportError(const std::string& message) {
  ErrorCallback callback;
  {
    std::lock_guard guard(stateLock_);
    callback = errorCallback_;
  }
  std::int64_t current = 0;
  {
    std::lock_guard guard(stateLock_);
    current = generation_;
  }
  if (callback) callback(message, current);
}

void ScreenStreamer::setErrorCallback(ErrorCallback callback) {
  std::lock_guard guard(stateLock_);
  errorCallback_ = std::move(callback);
}

std::int64_t ScreenStreamer::generation() const {
  std::lock_guard guard(stateLock_);
  return generation_;
}

std::shared_ptr<CaptureStream> ScreenStreamer::currentStream() const {
  std::lock_guard guard(stateLock_);
  return currentStream_;
}

std::string ScreenStreamer::name(DisplayID display) const {
  if (auto known = service_->displayName(display)) return *known;
  return "Display " + std::to_string(display);
}

// Not coroutines: every temporary these make is gone before the caller suspends. Each operation
// may outlive the wait when the limit wins, so it owns what it uses.
asio::awaitable<ShareableContent> ScreenStreamer::fetchContent(double limitSeconds) {
  return withTimeout(limitSeconds, [service = service_]() { return service->shareableContent(); });
}

static asio::awaitable<void> startWithin(double limitSeconds, const std::shared_ptr<CaptureStream>& stream) {
  return withTimeout(limitSeconds, [stream]() { return stream->startCapture(); });
}

static asio::awaitable<void> stopWithin(double limitSeconds, const std::shared_ptr<CaptureStream>& stream) {
  return withTimeout(limitSeconds, [stream]() { return stream->stopCapture(); });
}

static asio::awaitable<void> updateFilter(const std::shared_ptr<CaptureStream>& stream,
                                          const ContentFilter& filter) {
  return stream->updateContentFilter(filter);
}

static asio::awaitable<void> resetOn(const asio::any_io_executor& queue,
                                     const std::shared_ptr<FramePipeline>& pipeline) {
  return asio::co_spawn(
      queue,
      [pipeline]() -> asio::awaitable<void> {
        pipeline->reset();
        co_return;
      },
      asio::use_awaitable);
}

asio::awaitable<std::vector<RemoteDisplay>> ScreenStreamer::displays() {
  return listDisplays(shared_from_this());
}

asio::awaitable<std::vector<RemoteDisplay>> ScreenStreamer::listDisplays(
    [[maybe_unused]] std::shared_ptr<ScreenStreamer> keepAlive) {
  const ShareableContent content = co_await fetchContent(limits_.listContent);
  std::vector<RemoteDisplay> result;
  result.reserve(content.displays.size());
  for (const CaptureDisplay& display : content.displays) {
    result.push_back(RemoteDisplay{display.id, name(display.id), display.width, display.height});
  }
  co_return result;
}

asio::awaitable<RemoteDisplay> ScreenStreamer::start(std::optional<DisplayID> displayID, int maxWidth,
                                                     int fps) {
  return starting(shared_from_this(), displayID, maxWidth, fps);
}

asio::awaitable<RemoteDisplay> ScreenStreamer::starting(
    [[maybe_unused]] std::shared_ptr<ScreenStreamer> keepAlive, std::optional<DisplayID> displayID,
    int maxWidth, int fps) {
  co_await stop();

  const ShareableContent content = co_await fetchContent(limits_.listContent);
  if (content.displays.empty()) throw QuorvantaError(kNoDisplay);
  const CaptureDisplay* chosen = &content.displays.front();
  if (displayID) {
    auto match = std::find_if(content.displays.begin(), content.displays.end(),
                              [&](const CaptureDisplay& d) { return d.id == *displayID; });
    if (match != content.displays.end()) chosen = &*match;
  }
  const CaptureDisplay display = *chosen;

  int sourceWidth = std::max(display.width, 0);
  int sourceHeight = std::max(display.height, 0);
  if (auto pixels = service_->pixelSize(display.id)) {
    sourceWidth = std::max(pixels->width, display.width);
    sourceHeight = std::max(pixels->height, display.height);
  }
  const PixelSize output = captureOutputSize(sourceWidth, sourceHeight, maxWidth);

  StreamConfiguration configuration;
  configuration.width = output.width;
  configuration.height = output.height;
  configuration.maxWidth = maxWidth;
  configuration.fps = fps;
  configuration.queueDepth = 5;
  configuration.showsCursor = true;
  configuration.capturesAudio = false;

  // Throws when the output cannot be attached; the stream is then dropped and nothing changed.
  std::shared_ptr<CaptureStream> stream = service_->makeStream(ContentFilter{display.id, {}}, configuration,
                                                               weak_from_this(), captureQueue_.executor());
  {
    std::lock_guard guard(stateLock_);
    currentStream_ = stream;
    ++generation_;
  }
  {
    std::lock_guard guard(stateLock_);
    capturedDisplayID_ = display.id;
  }

  std::exception_ptr failure;
  try {
    co_await startWithin(limits_.startCapture, stream);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    {
      std::lock_guard guard(stateLock_);
      if (currentStream_ == stream) {
        currentStream_.reset();
        ++generation_;
      }
    }
    std::rethrow_exception(failure);
  }

  co_return RemoteDisplay{display.id, name(display.id), output.width, output.height};
}

std::vector<std::shared_ptr<CaptureStream>> ScreenStreamer::takeStreams() {
  std::vector<std::shared_ptr<CaptureStream>> streams;
  std::lock_guard guard(stateLock_);
  if (currentStream_) streams.push_back(std::move(currentStream_));
  if (retiredStream_) streams.push_back(std::move(retiredStream_));
  currentStream_.reset();
  retiredStream_.reset();
  ++generation_;
  return streams;
}

asio::awaitable<void> ScreenStreamer::stop() {
  return stopping(shared_from_this());
}

asio::awaitable<void> ScreenStreamer::stopping([[maybe_unused]] std::shared_ptr<ScreenStreamer> keepAlive) {
  // A named local: the streams must stay alive across the waits below.
  const std::vector<std::shared_ptr<CaptureStream>> streams = takeStreams();
  for (const std::shared_ptr<CaptureStream>& stream : streams) {
    try {
      co_await stopWithin(limits_.stopCapture, stream);
    } catch (...) {
      // A stream that fails or takes too long to stop is released anyway.
    }
  }
  // Reset on the capture queue and wait for it, so that no frame of the old streams remains.
  const asio::any_io_executor queue = captureQueue_.executor();
  co_await resetOn(queue, pipeline_);
}

void ScreenStreamer::retire() {
  std::shared_ptr<CaptureStream> released;
  {
    std::lock_guard guard(stateLock_);
    if (currentStream_) {
      // A stream already retired is replaced and released without a stop call.
      released = std::move(retiredStream_);
      retiredStream_ = std::move(currentStream_);
      currentStream_.reset();
      retiredStream_->setPaused(true);
    }
    ++generation_;
  }
  // `released` goes out of scope outside the lock.
}

void ScreenStreamer::setDemand(bool wanted) {
  std::shared_ptr<CaptureStream> stream;
  {
    std::lock_guard guard(stateLock_);
    stream = currentStream_;
  }
  if (stream) stream->setPaused(!wanted);
}

asio::awaitable<bool> ScreenStreamer::exclude(std::set<WindowID> windowIDs) {
  return excluding(shared_from_this(), std::move(windowIDs));
}

asio::awaitable<bool> ScreenStreamer::excluding([[maybe_unused]] std::shared_ptr<ScreenStreamer> keepAlive,
                                                std::set<WindowID> windowIDs) {
  std::shared_ptr<CaptureStream> stream;
  std::optional<DisplayID> displayID;
  {
    std::lock_guard guard(stateLock_);
    stream = currentStream_;
    displayID = capturedDisplayID_;
  }
  if (!stream || !displayID) co_return false;

  ShareableContent content;
  try {
    content = co_await fetchContent(limits_.listContentForExclusion);
  } catch (...) {
    co_return false;
  }
  const bool hasDisplay = std::any_of(content.displays.begin(), content.displays.end(),
                                      [&](const CaptureDisplay& d) { return d.id == *displayID; });
  if (!hasDisplay) co_return false;

  ContentFilter filter{*displayID, {}};
  for (const CaptureWindow& window : content.windows) {
    if (windowIDs.contains(window.id)) filter.excludedWindows.push_back(window.id);
  }
  if (filter.excludedWindows.size() != windowIDs.size()) co_return false;

  try {
    co_await updateFilter(stream, filter);
  } catch (...) {
    co_return false;
  }
  co_return true;
}

void ScreenStreamer::didOutputSample(const CaptureStream& stream, const CaptureSample& sample,
                                     SampleType type) {
  {
    std::lock_guard guard(stateLock_);
    if (currentStream_.get() != &stream) return;
  }
  if (type != SampleType::screen) return;
  if (!sample.valid) return;
  if (!sample.status || *sample.status != static_cast<int>(FrameStatus::complete)) return;
  if (!sample.image) return;
  pipeline_->submit(sample.image, sample.presentationTime);
}

void ScreenStreamer::didStopWithError(const CaptureStream& stream, const std::string& message) {
  std::int64_t current = 0;
  bool isCurrent = false;
  {
    std::lock_guard guard(stateLock_);
    isCurrent = currentStream_.get() == &stream;
    current = generation_;
  }
  if (!isCurrent) return;
  ErrorCallback callback;
  {
    std::lock_guard guard(stateLock_);
    callback = errorCallback_;
  }
  if (callback) callback(message, current);
}

}  // namespace quorvanta
