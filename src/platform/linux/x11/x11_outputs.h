#pragma once

#include <string>
#include <vector>

#include "core/video/capture_service.h"
#include "platform/linux/x11/xcb_handles.h"

namespace quorvanta::x11 {

// A display: a connected RandR output that drives a CRTC, and where that CRTC sits on the root.
struct OutputGeometry {
  DisplayID id = 0;  // the output's XID
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  std::string name;  // the output's own name, such as "HDMI-1"

  bool operator==(const OutputGeometry&) const = default;
};

// The outputs that show something, the primary one first. Throws std::runtime_error when the
// display cannot be reached or its outputs cannot be listed.
std::vector<OutputGeometry> queryOutputs(const Connection& connection);

}  // namespace quorvanta::x11
