#pragma once

#include <gio/gio.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "core/util/unique_fd.h"
#include "platform/linux/keyring/glib_support.h"

namespace quorvanta::wayland {

inline constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
inline constexpr const char* kPortalScreenCast = "org.freedesktop.portal.ScreenCast";
inline constexpr const char* kPortalRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";

// The person declined, cancelled or never answered the desktop's sharing dialog. Nothing of it
// is kept: the next capture asks again.
class PortalRefusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A connection to the desktop portal on the session bus. Calls that open a dialog are requests:
// the answer comes later as the Response signal of a Request object whose path is made from this
// connection's name and a token of ours. Calls may come from any thread.
class PortalConnection {
 public:
  // Throws std::runtime_error with a sentence when the bus cannot be reached.
  explicit PortalConnection(const std::string& address);
  ~PortalConnection();
  PortalConnection(const PortalConnection&) = delete;
  PortalConnection& operator=(const PortalConnection&) = delete;

  // Calls `method` of `interface` on `session` ("" for CreateSession; Start also gets an empty
  // parent window) with `options` (a vardict builder that gets our handle_token here) and waits
  // at most `limit` for the answer. Returns the results vardict;
  // throws PortalRefusal when the person declined or cancelled (or nobody answered in time), and
  // std::runtime_error when the portal failed.
  glib::Variant request(const char* interface, const char* method, const std::string& session,
                        GVariantBuilder& options, std::chrono::milliseconds limit);

  // A call answered at once; throws std::runtime_error.
  glib::Variant call(const char* interface, const char* method, GVariant* parameters, const char* replyType);
  // A call whose answer nobody waits for, in order with the others, on the portal's object or
  // on `path`.
  void send(const char* interface, const char* method, GVariant* parameters, const std::string& path = "");
  // OpenPipeWireRemote on `session`: a descriptor for PipeWire that shows only the shared streams.
  UniqueFd openPipeWireRemote(const std::string& session);
  // A session handle token unique on this connection.
  std::string token();

 private:
  glib::Object<GDBusConnection> connection_;
  std::string sender_;  // the connection's unique name as request paths spell it
  unsigned next_ = 0;   // guarded by tokenLock_
  std::mutex tokenLock_;
};

}  // namespace quorvanta::wayland
