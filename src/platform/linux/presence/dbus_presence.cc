#include "platform/linux/presence/dbus_presence.h"

#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/linux/presence/bus_connection.h"

namespace quorvanta::presence {

namespace {

constexpr const char* kScreenSaverService = "org.freedesktop.ScreenSaver";
constexpr const char* kScreenSaverPath = "/org/freedesktop/ScreenSaver";
constexpr const char* kScreenSaverInterface = "org.freedesktop.ScreenSaver";

constexpr const char* kLogindService = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kLogindManager = "org.freedesktop.login1.Manager";
constexpr const char* kLogindSession = "org.freedesktop.login1.Session";

std::chrono::milliseconds remaining(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
}

// The object path of this process's logind session, or empty.
std::string logindSessionPath(GDBusConnection* system, std::chrono::steady_clock::time_point deadline) {
  glib::Variant reply =
      callMethod(system, kLogindService, kLogindPath, kLogindManager, "GetSessionByPID",
                 g_variant_new("(u)", static_cast<guint32>(getpid())), "(o)", remaining(deadline));
  if (!reply) {
    // Started outside the session's process tree (a user service, say): the session named by
    // the environment is still ours.
    const char* id = std::getenv("XDG_SESSION_ID");
    if (id == nullptr || *id == '\0' || remaining(deadline).count() <= 0) return {};
    reply = callMethod(system, kLogindService, kLogindPath, kLogindManager, "GetSession",
                       g_variant_new("(s)", id), "(o)", remaining(deadline));
    if (!reply) return {};
  }
  const gchar* path = nullptr;
  g_variant_get(reply.get(), "(&o)", &path);
  return path != nullptr ? std::string(path) : std::string();
}

}  // namespace

std::unique_ptr<CookieInhibition> CookieInhibition::take(GDBusConnection* session, const Service& service,
                                                         GVariant* arguments,
                                                         std::chrono::milliseconds timeout) {
  const glib::Variant reply = callMethod(session, service.name, service.path, service.interface, "Inhibit",
                                         arguments, "(u)", timeout);
  if (!reply) return nullptr;
  guint32 cookie = 0;
  g_variant_get(reply.get(), "(u)", &cookie);
  return std::unique_ptr<CookieInhibition>(new CookieInhibition(session, service, cookie, timeout));
}

std::unique_ptr<CookieInhibition> CookieInhibition::takeScreenSaver(GDBusConnection* session,
                                                                    std::chrono::milliseconds timeout) {
  static constexpr Service kService{kScreenSaverService, kScreenSaverPath, kScreenSaverInterface,
                                    "UnInhibit"};
  return take(session, kService, g_variant_new("(ss)", kApplicationName, kDisplayInhibitReason), timeout);
}

std::unique_ptr<CookieInhibition> CookieInhibition::takeGnomeIdle(GDBusConnection* session,
                                                                  std::chrono::milliseconds timeout) {
  static constexpr Service kService{"org.gnome.SessionManager", "/org/gnome/SessionManager",
                                    "org.gnome.SessionManager", "Uninhibit"};
  // No top-level window to name (0); the flag asks the session not to count the user as idle.
  constexpr guint32 kInhibitIdle = 8;
  return take(session, kService,
              g_variant_new("(susu)", kApplicationName, guint32{0}, kDisplayInhibitReason, kInhibitIdle),
              timeout);
}

CookieInhibition::CookieInhibition(GDBusConnection* connection, const Service& service, std::uint32_t cookie,
                                   std::chrono::milliseconds timeout)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))),
      service_(service),
      cookie_(cookie),
      timeout_(timeout) {}

CookieInhibition::~CookieInhibition() {
  callMethod(connection_.get(), service_.name, service_.path, service_.interface, service_.releaseMethod,
             g_variant_new("(u)", cookie_), "()", timeout_);
}

std::unique_ptr<LogindInhibition> LogindInhibition::take(GDBusConnection* system,
                                                         std::chrono::milliseconds timeout) {
  if (system == nullptr) return nullptr;
  GUnixFDList* rawDescriptors = nullptr;
  glib::ErrorSlot error;
  const glib::Variant reply(g_dbus_connection_call_with_unix_fd_list_sync(
      system, kLogindService, kLogindPath, kLogindManager, "Inhibit",
      g_variant_new("(ssss)", "idle:sleep", kApplicationName, kSystemInhibitReason, "block"),
      G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, timeoutMilliseconds(timeout), nullptr, &rawDescriptors,
      nullptr, error.out()));
  const glib::Object<GUnixFDList> descriptors(rawDescriptors);
  if (!reply || !descriptors) return nullptr;
  gint32 index = -1;
  g_variant_get(reply.get(), "(h)", &index);
  glib::ErrorSlot fdError;
  // A duplicate of our own; the list closes its copy when it goes.
  UniqueFd descriptor(g_unix_fd_list_get(descriptors.get(), index, fdError.out()));
  if (!descriptor) return nullptr;
  return std::make_unique<LogindInhibition>(std::move(descriptor));
}

void simulateUserActivity(GDBusConnection* session, std::chrono::milliseconds timeout) {
  callMethod(session, kScreenSaverService, kScreenSaverPath, kScreenSaverInterface, "SimulateUserActivity",
             nullptr, "()", timeout);
}

std::optional<bool> sessionLockedHint(GDBusConnection* system,
                                      std::chrono::steady_clock::time_point deadline) {
  if (system == nullptr) return std::nullopt;
  const std::string path = logindSessionPath(system, deadline);
  if (path.empty() || remaining(deadline).count() <= 0) return std::nullopt;
  const glib::Variant reply =
      callMethod(system, kLogindService, path.c_str(), "org.freedesktop.DBus.Properties", "Get",
                 g_variant_new("(ss)", kLogindSession, "LockedHint"), "(v)", remaining(deadline));
  if (!reply) return std::nullopt;
  GVariant* rawValue = nullptr;
  g_variant_get(reply.get(), "(v)", &rawValue);
  const glib::Variant value(rawValue);
  if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)) return std::nullopt;
  return g_variant_get_boolean(value.get()) != FALSE;
}

std::optional<bool> screenSaverActive(GDBusConnection* session, std::chrono::milliseconds timeout) {
  const glib::Variant reply = callMethod(session, kScreenSaverService, kScreenSaverPath,
                                         kScreenSaverInterface, "GetActive", nullptr, "(b)", timeout);
  if (!reply) return std::nullopt;
  gboolean active = FALSE;
  g_variant_get(reply.get(), "(b)", &active);
  return active != FALSE;
}

}  // namespace quorvanta::presence
