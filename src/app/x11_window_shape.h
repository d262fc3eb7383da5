#pragma once

#include <cstdint>

namespace quorvanta {

// The X11 window shapes the curtain relies on, sent on the application's own X connection. Each
// does nothing when the application does not run on X11 or the server lacks the SHAPE extension.
//
// Bounding shape: what part of the window is drawn. Empty: the window is mapped (viewable, in the
// stacking order, found by a capture) but shows nothing. Input shape: what part receives pointer
// events. Empty: clicks and movement go to the windows below.
namespace x11_shape {

void setEmptyBounding(std::uint32_t window);
void resetBounding(std::uint32_t window);
void setEmptyInput(std::uint32_t window);
// Sends every pending request to the server and waits until it has handled them.
void sync();

// Whether a compositing manager runs on the application's X screen (it owns _NET_WM_CM_S<n>);
// without one, window opacity and alpha channels show nothing.
bool compositingManagerRuns();

}  // namespace x11_shape

}  // namespace quorvanta
