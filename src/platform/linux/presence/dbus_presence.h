#pragma once

// The desktop's presence services over D-Bus: the session's org.freedesktop.ScreenSaver, GNOME's
// session manager and logind on the system bus.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/host/presence.h"
#include "core/util/unique_fd.h"
#include "platform/linux/keyring/glib_support.h"

namespace quorvanta::presence {

inline constexpr const char* kApplicationName = "Quorvanta Host";
inline constexpr const char* kDisplayInhibitReason = "Quorvanta display stream";
inline constexpr const char* kSystemInhibitReason = "Quorvanta remote session";

// An inhibition a session service hands out as a cookie (org.freedesktop.ScreenSaver, or GNOME's
// session manager), given back when destroyed. It keeps its bus connection open, since both
// services drop the inhibitions of clients that leave the bus.
class CookieInhibition final : public PresenceHold {
 public:
  struct Service {
    const char* name;
    const char* path;
    const char* interface;
    const char* releaseMethod;
  };

  // Null when the session has no such service or it refuses.
  static std::unique_ptr<CookieInhibition> takeScreenSaver(GDBusConnection* session,
                                                           std::chrono::milliseconds timeout);
  // GNOME's own idle inhibition: its shell blanks and locks by the session manager's idle state,
  // which a screensaver inhibition reaches only through a settings daemon that may not run.
  static std::unique_ptr<CookieInhibition> takeGnomeIdle(GDBusConnection* session,
                                                         std::chrono::milliseconds timeout);
  ~CookieInhibition() override;
  CookieInhibition(const CookieInhibition&) = delete;
  CookieInhibition& operator=(const CookieInhibition&) = delete;

 private:
  CookieInhibition(GDBusConnection* connection, const Service& service, std::uint32_t cookie,
                   std::chrono::milliseconds timeout);
  static std::unique_ptr<CookieInhibition> take(GDBusConnection* session, const Service& service,
                                                GVariant* arguments, std::chrono::milliseconds timeout);

  glib::Object<GDBusConnection> connection_;
  Service service_;
  std::uint32_t cookie_;
  std::chrono::milliseconds timeout_;
};

// A logind "idle:sleep" block, held for as long as the descriptor logind handed out stays open.
class LogindInhibition final : public PresenceHold {
 public:
  // Null when logind is absent or refuses.
  static std::unique_ptr<LogindInhibition> take(GDBusConnection* system, std::chrono::milliseconds timeout);
  explicit LogindInhibition(UniqueFd descriptor) : descriptor_(std::move(descriptor)) {}

 private:
  UniqueFd descriptor_;
};

// Tells the session's screensaver that a user is active, when there is one.
void simulateUserActivity(GDBusConnection* session, std::chrono::milliseconds timeout);

// The LockedHint of this process's logind session (found by process ID, else $XDG_SESSION_ID);
// nothing when logind cannot tell before `deadline`.
std::optional<bool> sessionLockedHint(GDBusConnection* system,
                                      std::chrono::steady_clock::time_point deadline);

// Whether the session's screensaver is active; nothing when there is no screensaver service.
std::optional<bool> screenSaverActive(GDBusConnection* session, std::chrono::milliseconds timeout);

}  // namespace quorvanta::presence
