#include "platform/linux/wayland/gnome/gnome_capture_service.h"

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <stdexcept>

#include "core/util/monotonic_clock.h"
#include "core/util/run_on.h"
#include "platform/linux/wayland/pipewire/pipewire_stream.h"
#include "platform/linux/x11/frame_converter.h"

namespace quorvanta::wayland {
namespace {

constexpr const char* kDisplayGone = "The display is no longer available.";

// One recording of one monitor. Starting and stopping run on the capture queue; pictures arrive
// on PipeWire's thread, are scaled there and handed to the output on the capture queue.
class GnomeCaptureStream final : public CaptureStream,
                                 public std::enable_shared_from_this<GnomeCaptureStream> {
 public:
  GnomeCaptureStream(std::shared_ptr<MutterBus> bus, std::string connector, StreamConfiguration configuration,
                     std::weak_ptr<CaptureStreamOutput> output, asio::any_io_executor queue)
      : bus_(std::move(bus)),
        connector_(std::move(connector)),
        configuration_(configuration),
        output_(std::move(output)),
        queue_(std::move(queue)) {}

  ~GnomeCaptureStream() override { end(); }
  GnomeCaptureStream(const GnomeCaptureStream&) = delete;
  GnomeCaptureStream& operator=(const GnomeCaptureStream&) = delete;

  asio::awaitable<void> startCapture() override {
    return runOn(queue_, [self = shared_from_this()] { self->begin(); });
  }

  asio::awaitable<void> stopCapture() override {
    return runOn(queue_, [self = shared_from_this()] { self->end(); });
  }

  // The curtain is never shown on this backend, so nothing is ever left out.
  asio::awaitable<void> updateContentFilter(ContentFilter) override { co_return; }

 private:
  void begin() {
    if (started_) throw std::runtime_error("This capture has already been started.");
    started_ = true;
    const std::weak_ptr<GnomeCaptureStream> weak = weak_from_this();
    session_ = bus_->startSession(connector_, [weak] {
      if (const auto self = weak.lock()) self->stopWithError(kDisplayGone);
    });
    // PipeWire's thread ends before stream_ is destroyed, so its callbacks may use `this`; they
    // must not own the stream, whose last owner would otherwise stop that thread from within.
    PipeWireStream::Callbacks callbacks;
    callbacks.onPicture = [this](const VideoPicture& picture) { this->picture(picture); };
    callbacks.onEnded = [this](const std::string& reason) { stopWithError(reason); };
    stream_ = std::make_unique<PipeWireStream>(session_->pipeWireNode(), std::move(callbacks));
  }

  // The remote-desktop session stays for the next capture of this monitor: Mutter drops the
  // pointer events of a session that follows another one.
  void end() {
    stream_.reset();
    session_.reset();
  }

  // On PipeWire's thread.
  void picture(const VideoPicture& picture) {
    const double time = monotonicSeconds();
    PixelBufferRef frame;
    try {
      frame = converter_.convert({picture.data, picture.width, picture.height, picture.stride},
                                 configuration_.width, configuration_.height);
    } catch (const std::exception&) {
      return;  // a size the scaler refuses; the next picture may do
    }
    asio::post(queue_, [weak = weak_from_this(), frame = std::move(frame), time] {
      const auto self = weak.lock();
      if (!self || !self->stream_) return;
      CaptureSample sample;
      sample.status = static_cast<int>(FrameStatus::complete);
      sample.image = frame;
      sample.presentationTime = time;
      if (auto output = self->output_.lock()) output->didOutputSample(*self, sample, SampleType::screen);
    });
  }

  // Any thread; reported once, on the capture queue.
  void stopWithError(const std::string& reason) {
    asio::post(queue_, [weak = weak_from_this(), reason] {
      const auto self = weak.lock();
      if (!self || !self->stream_) return;
      self->end();
      if (auto output = self->output_.lock()) output->didStopWithError(*self, reason);
    });
  }

  const std::shared_ptr<MutterBus> bus_;
  const std::string connector_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<CaptureStreamOutput> output_;
  const asio::any_io_executor queue_;
  bool started_ = false;
  std::shared_ptr<RemoteDesktopSession> session_;  // on the queue
  std::unique_ptr<PipeWireStream> stream_;         // on the queue
  x11::FrameConverter converter_;                  // on PipeWire's thread
};

}  // namespace

GnomeCaptureService::GnomeCaptureService(std::shared_ptr<MutterBus> bus) : bus_(std::move(bus)) {}

std::vector<MutterMonitor> GnomeCaptureService::refresh() {
  auto monitors = bus_->monitors();
  std::lock_guard guard(lock_);
  monitors_ = monitors;
  return monitors;
}

asio::awaitable<ShareableContent> GnomeCaptureService::shareableContent() {
  ShareableContent content;
  for (const MutterMonitor& monitor : refresh())
    content.displays.push_back({displayIdentifier(monitor.connector), monitor.width, monitor.height});
  co_return content;
}

std::optional<MutterMonitor> GnomeCaptureService::monitor(DisplayID display) {
  std::lock_guard guard(lock_);
  for (const MutterMonitor& monitor : monitors_)
    if (displayIdentifier(monitor.connector) == display) return monitor;
  return std::nullopt;
}

std::optional<PixelSize> GnomeCaptureService::pixelSize(DisplayID display) {
  try {
    refresh();
  } catch (const std::exception&) {
    return std::nullopt;
  }
  const auto found = monitor(display);
  if (!found) return std::nullopt;
  return PixelSize{found->width, found->height};
}

std::optional<std::string> GnomeCaptureService::displayName(DisplayID display) {
  const auto found = monitor(display);
  if (!found) return std::nullopt;
  return found->name;
}

std::shared_ptr<CaptureStream> GnomeCaptureService::makeStream(const ContentFilter& filter,
                                                               const StreamConfiguration& configuration,
                                                               std::weak_ptr<CaptureStreamOutput> output,
                                                               asio::any_io_executor captureQueue) {
  const auto found = monitor(filter.displayID);
  if (!found) throw std::runtime_error(kDisplayGone);
  return std::make_shared<GnomeCaptureStream>(bus_, found->connector, configuration, std::move(output),
                                              std::move(captureQueue));
}

}  // namespace quorvanta::wayland
