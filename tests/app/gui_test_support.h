#pragma once

#include <xcb/shape.h>
#include <xcb/xcb.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "core/host/host_model.h"

namespace quorvanta::testing {

// Processes events until `done` holds or `limit` passes; returns whether it held.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  QDeadlineTimer deadline(limit.count());
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// The one descendant of `root` named `name`, or null when there is not exactly one.
template <typename Widget = QWidget>
Widget* child(const QObject* root, const char* name) {
  const QList<Widget*> found = root->findChildren<Widget*>(QString::fromLatin1(name));
  return found.size() == 1 ? found.front() : nullptr;
}

// Where the screenshots of the tests go: <build>/tests/app/screenshots.
std::string screenshotDirectory();

// A second X client that looks at the screen from outside, as the capture and other programs do.
class XPeer {
 public:
  XPeer();
  ~XPeer();
  XPeer(const XPeer&) = delete;
  XPeer& operator=(const XPeer&) = delete;

  bool ok() const { return xcb_connection_has_error(c_) == 0; }
  // The map state of `window` (0xff when it cannot be asked); `overrideRedirect` gets that flag.
  std::uint8_t mapState(std::uint32_t window, bool* overrideRedirect = nullptr);
  // The number of rectangles in a shape of `window`, -1 when it cannot be asked.
  int shapeRectangles(std::uint32_t window, xcb_shape_kind_t kind);
  // The topmost viewable child of the root.
  std::uint32_t topmost();
  // The grey level (0..255) of the root's pixel at x, y, as a screenshot sees it; -1 on failure.
  int rootGrey(int x, int y);
  // Maps a white override-redirect window on top, as notification popups are.
  std::uint32_t popup();

 private:
  xcb_connection_t* c_;
  xcb_window_t root_;
};

// A device as the registry holds it.
TrustedDevice device(const std::string& id, const std::string& name, double pairedAt);

// A pairing invitation that forms a link.
PairingInvitation invitation();

}  // namespace quorvanta::testing
