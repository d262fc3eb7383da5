#pragma once

#include <optional>
#include <string>

namespace quorvanta::wayland {

// Which desktop API the host captures and controls the screen through.
enum class DesktopBackend {
  x11,     // an X11 session: xcb capture, XTEST input, the X clipboard
  gnome,   // GNOME on Wayland: Mutter's remote-desktop and screen-cast API
  portal,  // another Wayland desktop with the xdg desktop portal's ScreenCast (and RemoteDesktop)
  none,    // a Wayland session that offers neither
};

// What the session's environment says about it.
struct SessionFacts {
  std::string sessionType;  // $XDG_SESSION_TYPE, e.g. "x11", "wayland", "tty" or ""
  bool waylandDisplay = false;
  bool x11Display = false;

  static SessionFacts fromEnvironment();
};

// What the session bus offers; each answer is an interface's version, absent when the service
// does not answer. One probe is asked at most once per question.
class BusProbe {
 public:
  virtual ~BusProbe() = default;
  virtual std::optional<unsigned> mutterRemoteDesktopVersion() = 0;
  virtual std::optional<unsigned> mutterScreenCastVersion() = 0;
  virtual std::optional<unsigned> portalScreenCastVersion() = 0;
  virtual std::optional<unsigned> portalRemoteDesktopVersion() = 0;
};

// The backend chosen for a session, and what the person should know about it.
struct BackendChoice {
  DesktopBackend backend = DesktopBackend::x11;
  // Whether remote input can be posted through this backend at all.
  bool input = true;
  // A sentence for the panel and the status: what this backend cannot do or will ask; "" when
  // there is nothing to say.
  std::string note;
  // Why the curtain cannot be used here, or "" when it can.
  std::string curtainUnavailable;
  // The portal's RemoteDesktop version (0 without one): from 2 on an approval persists.
  unsigned portalRemoteDesktop = 0;

  // The backend's name as the panel and `quorvanta status` show it.
  [[nodiscard]] std::string name() const;
};

// Decides by what the session offers: an X11 session (or no Wayland at all) keeps the X11 backend;
// a Wayland session uses Mutter's API when both of its interfaces answer, else the desktop portal
// when its ScreenCast can persist an approval (input when it has RemoteDesktop); else nothing. An X display
// on a Wayland session is XWayland, which shows only X clients, so it is never used there.
BackendChoice chooseBackend(const SessionFacts& facts, BusProbe& bus);

// The sentence for a Wayland session without a usable API: what to do instead.
extern const char* const kUnsupportedWayland;

}  // namespace quorvanta::wayland
