#pragma once

#include <chrono>
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
// The background is what the root shows where no window is. Without a compositing manager the
// composer makes a window for it: an override-redirect child of the root as large as the root,
// with a ParentRelative background and an empty input region, redirected manually before it is
// mapped (so it never shows on the real screen and never takes a click) and kept lowest; its
// pixmap then holds the root's background, whatever painted it (xsetroot, a desktop's pixmap). It
// is cleared again when a desktop announces a new background (_XROOTPMAP_ID, _XSETROOT_ID or
// ESETROOT_PMAP_ID change on the root) and once a second, since setting the root's background
// itself sends no event. While a compositing manager runs, manual redirection is refused; a
// desktop window (_NET_WM_WINDOW_TYPE_DESKTOP) is then the lowest layer anyway, below which the
// root's _XROOTPMAP_ID pixmap is painted, else black.
//
// Layers below the highest window that covers the whole area opaquely (a full-screen window, a
// desktop window) are not painted, nor is the background then.
//
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

  // The window that holds the root's background, or XCB_NONE while a compositing manager runs.
  xcb_window_t backgroundWindow() const { return backgroundWindow_; }

 private:
  xcb_render_pictformat_t formatOf(xcb_visualid_t visual) const;
  bool hasAlpha(xcb_render_pictformat_t format) const;
  bool compositingManagerRuns() const;
  void makeBackgroundWindow(std::uint8_t rootDepth);
  void paintBackground();
  void handleEvents();

  xcb_connection_t* connection_;
  xcb_window_t root_;
  xcb_visualid_t rootVisual_;
  int x_, y_, width_, height_;
  std::set<xcb_window_t> excluded_;
  Reply<xcb_render_query_pict_formats_reply_t> formats_;
  xcb_pixmap_t pixmap_ = 0;
  xcb_render_picture_t picture_ = 0;
  xcb_atom_t rootPixmapAtom_ = 0;
  bool hasShape_ = false;                 // whether windows can have a bounding shape
  bool hasInputShape_ = false;            // Shape 1.1: windows can have an input region
  xcb_atom_t managerSelection_ = 0;       // _NET_WM_CM_S<screen>, owned by a running compositing manager
  std::set<xcb_atom_t> backgroundAtoms_;  // root properties whose change means a new background
  xcb_window_t backgroundWindow_ = 0;     // holds the root's background; see above
  xcb_pixmap_t backgroundPixmap_ = 0;     // its named pixmap
  xcb_render_picture_t backgroundPicture_ = 0;
  bool backgroundStale_ = false;  // clear the background window before the next frame
  std::chrono::steady_clock::time_point backgroundCleared_{};
};

// A property (of type CARDINAL) that marks the composer's background window, so that window
// listings can leave it out.
inline constexpr const char* kBackgroundWindowMarker = "_QUORVANTA_CAPTURE_BACKGROUND";

// The child of `root` that contains `window` (itself when it is one), or XCB_NONE when `window`
// does not exist or is the root.
xcb_window_t topLevelOf(xcb_connection_t* connection, xcb_window_t root, xcb_window_t window);

}  // namespace quorvanta::x11
