#pragma once

// The connection behind MutterBus, shared by the files that make calls on it.

#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/linux/keyring/glib_support.h"
#include "platform/linux/wayland/gnome/mutter_session.h"

namespace quorvanta::wayland {

inline constexpr const char* kMutterRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* kMutterRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
inline constexpr int kMutterCallTimeoutMs = 5000;
inline constexpr const char* kRefused = "GNOME refused to share the screen: ";

struct MutterBus::Impl {
  glib::Object<GDBusConnection> connection;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;

  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() {
    if (loop != nullptr) {
      g_main_loop_quit(loop);
      if (thread.joinable()) thread.join();
      g_main_loop_unref(loop);
    }
    if (connection) g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
    connection.reset();
    if (context != nullptr) g_main_context_unref(context);
  }

  // A bounded call; throws std::runtime_error carrying Mutter's message.
  glib::Variant call(const char* service, const std::string& path, const char* interface, const char* method,
                     GVariant* parameters, const char* replyType) {
    glib::ErrorSlot error;
    glib::Variant reply(
        g_dbus_connection_call_sync(connection.get(), service, path.c_str(), interface, method, parameters,
                                    replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NONE,
                                    kMutterCallTimeoutMs, nullptr, error.out()));
    if (!reply) {
      std::string reason = error ? error.get()->message : "no reply";
      throw std::runtime_error(kRefused + reason);
    }
    return reply;
  }

  // Subscribes from the bus thread, so that `callback` runs there.
  unsigned subscribe(const char* sender, const char* interface, const char* member, const std::string& path,
                     std::function<void(GVariant*)> callback) {
    struct Request {
      Impl* impl;
      const char* sender;
      const char* interface;
      const char* member;
      const std::string* path;
      std::function<void(GVariant*)>* callback;
      std::promise<unsigned> done;
      // GLib hands the request to its thread under locks that ThreadSanitizer cannot see; taking
      // this mutex on both sides makes the hand-over visible.
      std::mutex handOver;
    };
    Request request{this,   sender, interface,
                    member, &path,  new std::function<void(GVariant*)>(std::move(callback)),
                    {},     {}};
    auto result = request.done.get_future();
    { const std::lock_guard lock(request.handOver); }
    g_main_context_invoke(
        context,
        [](gpointer data) -> gboolean {
          auto* r = static_cast<Request*>(data);
          { const std::lock_guard lock(r->handOver); }
          r->done.set_value(g_dbus_connection_signal_subscribe(
              r->impl->connection.get(), r->sender, r->interface, r->member, r->path->c_str(), nullptr,
              G_DBUS_SIGNAL_FLAGS_NONE,
              [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                 GVariant* parameters,
                 gpointer user) { (*static_cast<std::function<void(GVariant*)>*>(user))(parameters); },
              r->callback, [](gpointer user) { delete static_cast<std::function<void(GVariant*)>*>(user); }));
          return G_SOURCE_REMOVE;
        },
        &request);
    return result.get();
  }
};

}  // namespace quorvanta::wayland
