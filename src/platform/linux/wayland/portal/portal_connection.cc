#include "platform/linux/wayland/portal/portal_connection.h"

#include <gio/gunixfdlist.h>

#include <cstring>

namespace quorvanta::wayland {
namespace {

constexpr int kCallTimeoutMs = 5000;

constexpr const char* kNoBus = "The desktop's session bus cannot be reached, so the screen cannot be shared.";
constexpr const char* kDeclined =
    "Screen sharing was declined on this computer. Connect again to be asked again.";
constexpr const char* kNoAnswer =
    "Nobody answered the screen sharing dialog on this computer in time. Connect again to be asked again.";
constexpr const char* kPortalFailed = "The desktop did not start screen sharing: ";

// Waits for one Request's Response on a main context of the calling thread's own.
struct PendingResponse {
  bool answered = false;
  bool timedOut = false;
  std::uint32_t code = 2;
  glib::Variant results;

  static void received(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer data) {
    auto* self = static_cast<PendingResponse*>(data);
    GVariant* results = nullptr;
    g_variant_get(parameters, "(u@a{sv})", &self->code, &results);
    self->results.reset(results);
    self->answered = true;
  }
};

unsigned subscribe(GDBusConnection* connection, const std::string& path, PendingResponse& pending) {
  return g_dbus_connection_signal_subscribe(connection, nullptr, "org.freedesktop.portal.Request", "Response",
                                            path.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                            &PendingResponse::received, &pending, nullptr);
}

std::string failure(const glib::ErrorSlot& error) {
  return std::string(kPortalFailed) + (error ? error.get()->message : "no reply");
}

}  // namespace

PortalConnection::PortalConnection(const std::string& address) {
  glib::ErrorSlot error;
  const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                       G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  if (!address.empty())
    connection_.reset(
        g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, error.out()));
  if (!connection_) throw std::runtime_error(kNoBus);
  g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);
  // ":1.42" appears as "1_42" in request paths.
  sender_ = g_dbus_connection_get_unique_name(connection_.get()) + 1;
  for (char& c : sender_)
    if (c == '.') c = '_';
}

PortalConnection::~PortalConnection() {
  if (connection_) g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
}

std::string PortalConnection::token() {
  const std::lock_guard guard(tokenLock_);
  return "quorvanta" + std::to_string(++next_);
}

glib::Variant PortalConnection::request(const char* interface, const char* method, const std::string& session,
                                        GVariantBuilder& options, std::chrono::milliseconds limit) {
  const std::string handleToken = token();
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(handleToken.c_str()));
  GVariant* parameters = nullptr;
  if (session.empty())
    parameters = g_variant_new("(a{sv})", &options);
  else if (std::strcmp(method, "Start") == 0)
    parameters = g_variant_new("(osa{sv})", session.c_str(), "", &options);
  else
    parameters = g_variant_new("(oa{sv})", session.c_str(), &options);

  // The Response may come before the call returns: listen on the path the portal will use first.
  const glib::MainContext context(g_main_context_new());
  g_main_context_push_thread_default(context.get());
  PendingResponse pending;
  const std::string expected = std::string(kPortalPath) + "/request/" + sender_ + "/" + handleToken;
  unsigned subscriptions[2] = {subscribe(connection_.get(), expected, pending), 0};
  glib::ErrorSlot error;
  const glib::Variant reply(g_dbus_connection_call_sync(
      connection_.get(), kPortalService, kPortalPath, interface, method, parameters, G_VARIANT_TYPE("(o)"),
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, error.out()));
  std::string handle;
  if (reply) {
    const gchar* path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    handle = path;
    // Portals older than the handle_token convention choose the path themselves.
    if (handle != expected) subscriptions[1] = subscribe(connection_.get(), handle, pending);
    const glib::Source timeout(g_timeout_source_new(static_cast<guint>(limit.count())));
    g_source_set_callback(
        timeout.get(),
        [](gpointer data) {
          static_cast<PendingResponse*>(data)->timedOut = true;
          return G_SOURCE_REMOVE;
        },
        &pending, nullptr);
    g_source_attach(timeout.get(), context.get());
    while (!pending.answered && !pending.timedOut)
      g_main_context_iteration(context.get(), TRUE);
  }
  for (const unsigned subscription : subscriptions)
    if (subscription != 0) g_dbus_connection_signal_unsubscribe(connection_.get(), subscription);
  while (g_main_context_iteration(context.get(), FALSE)) {
  }
  g_main_context_pop_thread_default(context.get());

  if (!reply) throw std::runtime_error(failure(error));
  if (!pending.answered) {
    // Takes the dialog away; the person is asked again next time.
    send("org.freedesktop.portal.Request", "Close", nullptr, handle);
    throw PortalRefusal(kNoAnswer);
  }
  // 1: the person cancelled the dialog; 2: it ended another way (declined, or closed).
  if (pending.code != 0) throw PortalRefusal(kDeclined);
  return std::move(pending.results);
}

glib::Variant PortalConnection::call(const char* interface, const char* method, GVariant* parameters,
                                     const char* replyType) {
  glib::ErrorSlot error;
  glib::Variant reply(
      g_dbus_connection_call_sync(connection_.get(), kPortalService, kPortalPath, interface, method,
                                  parameters, replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                  G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, error.out()));
  if (!reply) throw std::runtime_error(failure(error));
  return reply;
}

void PortalConnection::send(const char* interface, const char* method, GVariant* parameters,
                            const std::string& path) {
  g_dbus_connection_call(connection_.get(), kPortalService, path.empty() ? kPortalPath : path.c_str(),
                         interface, method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs,
                         nullptr, nullptr, nullptr);
}

UniqueFd PortalConnection::openPipeWireRemote(const std::string& session) {
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  GUnixFDList* received = nullptr;
  glib::ErrorSlot error;
  const glib::Variant reply(g_dbus_connection_call_with_unix_fd_list_sync(
      connection_.get(), kPortalService, kPortalPath, kPortalScreenCast, "OpenPipeWireRemote",
      g_variant_new("(oa{sv})", session.c_str(), &options), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE,
      kCallTimeoutMs, nullptr, &received, nullptr, error.out()));
  const glib::Object<GUnixFDList> list(received);
  if (!reply || !list) throw std::runtime_error(failure(error));
  gint32 index = -1;
  g_variant_get(reply.get(), "(h)", &index);
  UniqueFd fd(g_unix_fd_list_get(list.get(), index, error.out()));
  if (!fd) throw std::runtime_error(failure(error));
  return fd;
}

}  // namespace quorvanta::wayland
