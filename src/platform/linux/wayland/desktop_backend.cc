#include "platform/linux/wayland/desktop_backend.h"

#include <cstdlib>

namespace quorvanta::wayland {
namespace {

// Mutter's session interfaces as the GNOME backend drives them (ScreenCast 4 and RemoteDesktop 1
// on GNOME 43; older versions lack the calls it makes).
constexpr unsigned kMutterScreenCastMinimum = 4;
constexpr unsigned kMutterRemoteDesktopMinimum = 1;
// persist_mode and restore_token arrived with ScreenCast version 4 of the portal.
constexpr unsigned kPortalScreenCastMinimum = 4;

// What the person will be asked on this computer, said before the first session.
constexpr const char* kPortalAsksOnce =
    "This desktop asks once, on this computer, to allow screen sharing and remote control when your "
    "device first connects; approve it there.";
constexpr const char* kPortalAsksEveryTime =
    "This desktop asks on this computer at the start of every session to allow screen sharing and "
    "remote control: someone there must approve it each time your device connects.";
constexpr const char* kPortalViewOnly =
    "This desktop asks once, on this computer, to allow screen sharing when your device first "
    "connects; it offers no remote control, so your device can only watch.";
constexpr const char* kCurtainRecorded =
    "This desktop records everything on the screen, so a dimmed screen would reach your device too; "
    "the curtain is available on X11 sessions.";

bool present(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

bool atLeast(const std::optional<unsigned>& version, unsigned minimum) {
  return version && *version >= minimum;
}

}  // namespace

const char* const kUnsupportedWayland =
    "This Wayland desktop offers no screen sharing that Quorvanta Host can use. Log out, choose GNOME or "
    "an X11 session on the login screen, and start Quorvanta Host again.";

SessionFacts SessionFacts::fromEnvironment() {
  SessionFacts facts;
  if (const char* type = std::getenv("XDG_SESSION_TYPE")) facts.sessionType = type;
  facts.waylandDisplay = present("WAYLAND_DISPLAY");
  facts.x11Display = present("DISPLAY");
  return facts;
}

std::string BackendChoice::name() const {
  switch (backend) {
    case DesktopBackend::x11:
      return "X11";
    case DesktopBackend::gnome:
      return "GNOME (Wayland)";
    case DesktopBackend::portal:
      return "Desktop portal (Wayland)";
    case DesktopBackend::none:
      break;
  }
  return "None (Wayland)";
}

BackendChoice chooseBackend(const SessionFacts& facts, BusProbe& bus) {
  const bool wayland = facts.sessionType == "wayland" || (facts.sessionType != "x11" && facts.waylandDisplay);
  if (!wayland) return {};

  if (atLeast(bus.mutterRemoteDesktopVersion(), kMutterRemoteDesktopMinimum) &&
      atLeast(bus.mutterScreenCastVersion(), kMutterScreenCastMinimum))
    return {DesktopBackend::gnome, true, "", kCurtainRecorded};

  if (atLeast(bus.portalScreenCastVersion(), kPortalScreenCastMinimum)) {
    const unsigned remoteDesktop = bus.portalRemoteDesktopVersion().value_or(0);
    const char* note = remoteDesktop >= 2   ? kPortalAsksOnce
                       : remoteDesktop == 1 ? kPortalAsksEveryTime
                                            : kPortalViewOnly;
    return {DesktopBackend::portal, remoteDesktop >= 1, note, kCurtainRecorded, remoteDesktop};
  }
  return {DesktopBackend::none, false, kUnsupportedWayland, kCurtainRecorded};
}

}  // namespace quorvanta::wayland
