#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "core/video/pixel_buffer.h"

namespace quorvanta {

// A display's identifier as clients see it (on X11, the RandR output's XID).
using DisplayID = std::uint32_t;
// A top-level window's identifier (on X11, the window's XID).
using WindowID = std::uint32_t;

// A display as the capture service lists it. The size is in points, which on X11 are pixels.
struct CaptureDisplay {
  DisplayID id = 0;
  int width = 0;
  int height = 0;
};

struct CaptureWindow {
  WindowID id = 0;
};

// What can be captured at one moment: the displays in the service's order, and the windows that
// are on screen, in the service's order.
struct ShareableContent {
  std::vector<CaptureDisplay> displays;
  std::vector<CaptureWindow> windows;
};

struct PixelSize {
  int width = 0;
  int height = 0;
};

// One display, whole, optionally without some windows.
struct ContentFilter {
  DisplayID displayID = 0;
  std::vector<WindowID> excludedWindows;
};

// What a stream is asked to deliver: NV12 (4:2:0 bi-planar, 8 bits, video range) frames of exactly
// width × height, the display scaled to fit, at most one frame per 1/fps second. A stream that
// follows its display through a mode change sizes the new frames as captureOutputSize() does
// with `maxWidth`; without one (0) it keeps width × height.
struct StreamConfiguration {
  int width = 0;
  int height = 0;
  int maxWidth = 0;
  int fps = 0;
  int queueDepth = 5;
  bool showsCursor = true;
  bool capturesAudio = false;
};

enum class SampleType { screen, audio };

// The state of the display that a screen sample reports.
enum class FrameStatus : int { complete = 0, idle = 1, blank = 2, suspended = 3, started = 4, stopped = 5 };

// One sample delivered by a stream. Only a valid screen sample whose status is `complete` and
// that has an image carries a frame worth showing.
struct CaptureSample {
  bool valid = true;
  std::optional<int> status;  // raw FrameStatus, absent when the sample has none
  PixelBufferRef image;
  double presentationTime = 0;  // seconds, monotonic
};

class CaptureStream;

// Receives what a stream produces. Samples arrive on the capture queue given to makeStream();
// a stop report may arrive on any thread.
class CaptureStreamOutput {
 public:
  virtual ~CaptureStreamOutput() = default;
  virtual void didOutputSample(const CaptureStream& stream, const CaptureSample& sample, SampleType type) = 0;
  virtual void didStopWithError(const CaptureStream& stream, const std::string& message) = 0;
};

// One capture of one display. The asynchronous operations complete once, with success or an
// exception; none of them bounds its own duration.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  virtual asio::awaitable<void> startCapture() = 0;
  virtual asio::awaitable<void> stopCapture() = 0;
  virtual asio::awaitable<void> updateContentFilter(ContentFilter filter) = 0;
  // While paused nobody can receive the frames: a stream may stop grabbing them. Once resumed it
  // delivers the screen as it is then, without waiting for a change. May be called on any thread.
  virtual void setPaused(bool /*paused*/) {}
};

// The platform's screen-capture service.
class CaptureService {
 public:
  virtual ~CaptureService() = default;

  // The current displays and on-screen windows, or an exception.
  virtual asio::awaitable<ShareableContent> shareableContent() = 0;
  // The pixel size of the display's current mode, when it can be read.
  virtual std::optional<PixelSize> pixelSize(DisplayID display) = 0;
  // The user-visible name of a display, when the service knows one.
  virtual std::optional<std::string> displayName(DisplayID display) = 0;
  // A stream for `filter` with `configuration` that delivers samples to `output` on `captureQueue`.
  // It does not capture before startCapture(). Throws when the output cannot be attached.
  virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    std::weak_ptr<CaptureStreamOutput> output,
                                                    asio::any_io_executor captureQueue) = 0;
};

}  // namespace quorvanta
