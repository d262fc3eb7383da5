#pragma once

#include <cstdint>
#include <set>
#include <utility>

#include <xcb/render.h>
#include <xcb/xcb.h>

#include "platform/linux/x11/xcb_handles.h"

namespace quorvanta::x11 {

// Builds the picture of one area of the screen on the X server from the top-level windows,
// leaving some out. While it exists the root's children are redirected (Composite, automatic, so
// the screen itself looks unchanged); each frame it paints the background, then every other
// viewable top-level window from its named pixmap, bottom to top, with Render into a pixmap that
// the caller reads once.
//
// The background is the root's _XROOTPMAP_ID pixmap when a desktop has set one, else black.
// Every layer is clipped to the window's bounding shape and copied opaque (SRC), as the X server
// shows windows without a compositing manager; while one runs (it owns _NET_WM_CM_S<screen>),
// windows with an alpha channel are blended (OVER) instead, as it would show them. A window that
// goes away while a frame is built only costs its layer in that frame: the errors are discarded.
class WindowComposer {
 public:
  // Throws std::runtime_error when Composite 0.2 or Render 0.11 is missing or the redirection is
  // refused.
  WindowComposer(xcb_connection_t* connection, int screenNumber, xcb_window_t root, xcb_visualid_t rootVisual,
                 std::uint8_t rootDepth, int x, int y, int width, int height);
  ~WindowComposer();
  WindowComposer(const WindowComposer&) = delete;
  WindowComposer& operator=(const WindowComposer&) = delete;

  // Top-level windows (children of the root) to leave out.
  void setExcluded(std::set<xcb_window_t> windows) { excluded_ = std::move(windows); }

  // Composes one frame and returns the pixmap (width × height, the root's depth) that holds it.
  xcb_pixmap_t compose();

 private:
  xcb_render_pictformat_t formatOf(xcb_visualid_t visual) const;
  bool hasAlpha(xcb_render_pictformat_t format) const;
  bool compositingManagerRuns() const;
  void paintBackground();
  void discardErrors();

  xcb_connection_t* connection_;
  xcb_window_t root_;
  xcb_visualid_t rootVisual_;
  int x_, y_, width_, height_;
  std::set<xcb_window_t> excluded_;
  Reply<xcb_render_query_pict_formats_reply_t> formats_;
  xcb_pixmap_t pixmap_ = 0;
  xcb_render_picture_t picture_ = 0;
  xcb_atom_t rootPixmapAtom_ = 0;
  bool hasShape_ = false;            // whether windows can have a bounding shape
  xcb_atom_t managerSelection_ = 0;  // _NET_WM_CM_S<screen>, owned by a running compositing manager
};

// The child of `root` that contains `window` (itself when it is one), or XCB_NONE when `window`
// does not exist or is the root.
xcb_window_t topLevelOf(xcb_connection_t* connection, xcb_window_t root, xcb_window_t window);

}  // namespace quorvanta::x11
