#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/video/capture_service.h"

namespace quorvanta::wayland {

// Where a recording's frames come from: a PipeWire node, reached through the session's PipeWire
// daemon or through `remoteFd` (a remote the desktop opened for this host; the stream takes it),
// and the desktop session that must live while the node is read.
struct PipeWireSource {
  std::shared_ptr<void> session;
  std::uint32_t node = 0;
  int remoteFd = -1;
  // Runs on the capture queue when the stream ends on its own (the desktop stopped sharing).
  std::function<void()> onEnded;
};

// Opens the source when the capture starts; `onClosed` runs (on any thread) if the desktop ends
// the session. Throws std::runtime_error with a sentence for the person.
using OpenPipeWireSource = std::function<PipeWireSource(std::function<void()> onClosed)>;

// One recording: starting and stopping run on `captureQueue`; pictures arrive on PipeWire's
// thread, are scaled to NV12 there and handed to `output` on the queue. The desktop draws the
// cursor into the frames and sends them only when the picture changes. Nothing can be left out
// of the picture, so content filters change nothing.
std::shared_ptr<CaptureStream> makePipeWireCaptureStream(OpenPipeWireSource open,
                                                         const StreamConfiguration& configuration,
                                                         std::weak_ptr<CaptureStreamOutput> output,
                                                         asio::any_io_executor captureQueue);

// The sentence a recording ends with when its display goes away.
extern const char* const kDisplayGone;

}  // namespace quorvanta::wayland
