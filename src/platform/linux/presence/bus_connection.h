#pragma once

// A D-Bus connection opened on first use, and bounded method calls on it.

#include <chrono>
#include <string>

#include "platform/linux/keyring/glib_support.h"

namespace quorvanta::presence {

// Where the two message buses listen, as D-Bus addresses; empty means there is no such bus.
struct BusAddresses {
  std::string session;
  std::string system;

  // $DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus when that socket exists; and
  // $DBUS_SYSTEM_BUS_ADDRESS, else the standard system bus socket. No bus is ever launched.
  static BusAddresses fromEnvironment();
};

// One message bus, connected when first needed and again after the connection closed.
class BusConnection {
 public:
  explicit BusConnection(std::string address) : address_(std::move(address)) {}

  // The open connection, or null when the bus cannot be reached within `timeout`. The reference
  // belongs to this object; take one of your own to keep the connection beyond it.
  GDBusConnection* get(std::chrono::milliseconds timeout);

 private:
  std::string address_;
  glib::Object<GDBusConnection> connection_;
};

// Calls `method` and waits at most `timeout` for the reply, whose type must be `replyType`; null
// when there is no connection, no such service or method, an error or no reply in time.
// `parameters` is consumed when floating. Never throws.
glib::Variant callMethod(GDBusConnection* connection, const char* service, const char* path,
                         const char* interface, const char* method, GVariant* parameters,
                         const char* replyType, std::chrono::milliseconds timeout);

// Milliseconds for GDBus, at least 1 (0 would mean its own default of 25 seconds).
int timeoutMilliseconds(std::chrono::milliseconds timeout);

}  // namespace quorvanta::presence
