#include "platform/linux/wayland/pipewire/pipewire_capture_stream.h"

#include <asio/post.hpp>
#include <stdexcept>

#include "core/util/monotonic_clock.h"
#include "core/util/run_on.h"
#include "platform/linux/wayland/pipewire/pipewire_stream.h"
#include "platform/linux/x11/frame_converter.h"

namespace quorvanta::wayland {

const char* const kDisplayGone = "The display is no longer available.";

namespace {

class PipeWireCaptureStream final : public CaptureStream,
                                    public std::enable_shared_from_this<PipeWireCaptureStream> {
 public:
  PipeWireCaptureStream(OpenPipeWireSource open, StreamConfiguration configuration,
                        std::weak_ptr<CaptureStreamOutput> output, asio::any_io_executor queue)
      : open_(std::move(open)),
        configuration_(configuration),
        output_(std::move(output)),
        queue_(std::move(queue)) {}

  ~PipeWireCaptureStream() override { end(); }
  PipeWireCaptureStream(const PipeWireCaptureStream&) = delete;
  PipeWireCaptureStream& operator=(const PipeWireCaptureStream&) = delete;

  asio::awaitable<void> startCapture() override {
    return runOn(queue_, [self = shared_from_this()] { self->begin(); });
  }

  asio::awaitable<void> stopCapture() override {
    return runOn(queue_, [self = shared_from_this()] { self->end(); });
  }

  asio::awaitable<void> updateContentFilter(ContentFilter) override { co_return; }

 private:
  void begin() {
    if (started_) throw std::runtime_error("This capture has already been started.");
    started_ = true;
    const std::weak_ptr<PipeWireCaptureStream> weak = weak_from_this();
    PipeWireSource source = open_([weak] {
      if (const auto self = weak.lock()) self->stopWithError(kDisplayGone);
    });
    session_ = std::move(source.session);
    onEnded_ = std::move(source.onEnded);
    // PipeWire's thread ends before stream_ is destroyed, so its callbacks may use `this`; they
    // must not own the stream, whose last owner would otherwise stop that thread from within.
    PipeWireStream::Callbacks callbacks;
    callbacks.onPicture = [this](const VideoPicture& picture) { this->picture(picture); };
    callbacks.onEnded = [this](const std::string& reason) { stopWithError(reason); };
    stream_ = std::make_unique<PipeWireStream>(source.node, std::move(callbacks), source.remoteFd);
  }

  // The desktop session stays with its owner for the next capture: GNOME drops the pointer events
  // of a session that follows another one, and the portal would ask the person again.
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
      if (self->onEnded_) self->onEnded_();
      if (auto output = self->output_.lock()) output->didStopWithError(*self, reason);
    });
  }

  const OpenPipeWireSource open_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<CaptureStreamOutput> output_;
  const asio::any_io_executor queue_;
  bool started_ = false;
  std::shared_ptr<void> session_;           // on the queue
  std::function<void()> onEnded_;           // on the queue
  std::unique_ptr<PipeWireStream> stream_;  // on the queue
  x11::FrameConverter converter_;           // on PipeWire's thread
};

}  // namespace

std::shared_ptr<CaptureStream> makePipeWireCaptureStream(OpenPipeWireSource open,
                                                         const StreamConfiguration& configuration,
                                                         std::weak_ptr<CaptureStreamOutput> output,
                                                         asio::any_io_executor captureQueue) {
  return std::make_shared<PipeWireCaptureStream>(std::move(open), configuration, std::move(output),
                                                 std::move(captureQueue));
}

}  // namespace quorvanta::wayland
