#include "platform/linux/presence/bus_connection.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace quorvanta::presence {

namespace {

constexpr const char* kStandardSystemBus = "unix:path=/run/dbus/system_bus_socket";

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

bool isSocket(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

}  // namespace

BusAddresses BusAddresses::fromEnvironment() {
  BusAddresses addresses;
  addresses.session = environment("DBUS_SESSION_BUS_ADDRESS");
  if (addresses.session.empty()) {
    // The per-user bus of systemd; GIO would otherwise try to autolaunch a bus on the X display.
    const std::string runtime = environment("XDG_RUNTIME_DIR");
    if (!runtime.empty() && isSocket(runtime + "/bus")) addresses.session = "unix:path=" + runtime + "/bus";
  }
  addresses.system = environment("DBUS_SYSTEM_BUS_ADDRESS");
  if (addresses.system.empty()) addresses.system = kStandardSystemBus;
  return addresses;
}

GDBusConnection* BusConnection::get(std::chrono::milliseconds timeout) {
  if (connection_ && g_dbus_connection_is_closed(connection_.get()) == FALSE) return connection_.get();
  connection_.reset();
  if (address_.empty()) return nullptr;
  glib::CancelAfter deadline(timeout);
  glib::ErrorSlot error;
  const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                       G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(address_.c_str(), flags, nullptr,
                                                                       deadline.cancellable(), error.out());
  if (connection == nullptr) return nullptr;
  // A bus that goes away must not take this process with it.
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  connection_.reset(connection);
  return connection;
}

glib::Variant callMethod(GDBusConnection* connection, const char* service, const char* path,
                         const char* interface, const char* method, GVariant* parameters,
                         const char* replyType, std::chrono::milliseconds timeout) {
  if (connection == nullptr) {
    if (parameters != nullptr) g_variant_unref(g_variant_ref_sink(parameters));
    return nullptr;
  }
  glib::ErrorSlot error;
  return glib::Variant(g_dbus_connection_call_sync(connection, service, path, interface, method, parameters,
                                                   G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE,
                                                   timeoutMilliseconds(timeout), nullptr, error.out()));
}

int timeoutMilliseconds(std::chrono::milliseconds timeout) {
  const auto clamped =
      std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 1, std::numeric_limits<int>::max());
  return static_cast<int>(clamped);
}

}  // namespace quorvanta::presence
