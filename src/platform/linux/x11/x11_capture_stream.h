#pragma once

#include <memory>
#include <string>

#include <asio/any_io_executor.hpp>

#include "core/video/capture_service.h"
#include "platform/linux/x11/x11_outputs.h"
#include "platform/linux/x11/xcb_handles.h"

namespace quorvanta::x11 {

// Throws std::runtime_error when the display lacks RandR 1.3, MIT-SHM or XFixes.
void requireExtensions(const Connection& connection);

// A capture of one output's area of the root window, on its own connection.
//
// It grabs only when something changed: DAMAGE reports drawing on the root, and when the cursor
// is drawn in, XInput raw motion and XFixes cursor changes report the pointer. A change is
// grabbed as soon as it arrives, but no sooner than 1/fps after the grab before, so frames never
// come closer than that; a still screen sends nothing after its first frame. The stream follows
// RandR: when its output moves or changes mode, the following frames show the output's new area,
// scaled by the configuration's size rules (see StreamConfiguration::maxWidth); the stream ends
// with "The display is no longer available." only when the output no longer shows anything.
// While windows are left out (see WindowComposer) every interval is grabbed, as the composed
// frame's changes do not all reach the root.
//
// Everything but construction and destruction runs on `queue`.
std::shared_ptr<CaptureStream> makeX11CaptureStream(std::string display, OutputGeometry area,
                                                    StreamConfiguration configuration,
                                                    std::weak_ptr<CaptureStreamOutput> output,
                                                    asio::any_io_executor queue);

}  // namespace quorvanta::x11
