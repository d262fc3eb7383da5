#pragma once

// The connection behind MutterBus, shared by the files that make calls on it.

#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

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
    const std::lock_guard serial(subscribing_);
    Subscription request{
        sender, interface, member, &path, new std::function<void(GVariant*)>(std::move(callback)), {}};
    auto result = request.done.get_future();
    {
      // GLib hands `this` to its thread under locks that thread checkers cannot see; the request
      // itself goes over under this mutex, which they can.
      const std::lock_guard lock(handOver_);
      pending_ = &request;
    }
    g_main_context_invoke(context, &Impl::subscribeOnBusThread, this);
    return result.get();
  }

 private:
  struct Subscription {
    const char* sender;
    const char* interface;
    const char* member;
    const std::string* path;
    std::function<void(GVariant*)>* callback;
    std::promise<unsigned> done;
  };

  static gboolean subscribeOnBusThread(gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    Subscription* r = nullptr;
    {
      const std::lock_guard lock(impl->handOver_);
      r = std::exchange(impl->pending_, nullptr);
    }
    if (r == nullptr) return G_SOURCE_REMOVE;
    r->done.set_value(g_dbus_connection_signal_subscribe(
        impl->connection.get(), r->sender, r->interface, r->member, r->path->c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
           gpointer user) { (*static_cast<std::function<void(GVariant*)>*>(user))(parameters); },
        r->callback, [](gpointer user) { delete static_cast<std::function<void(GVariant*)>*>(user); }));
    return G_SOURCE_REMOVE;
  }

  std::mutex subscribing_;  // one subscription at a time
  std::mutex handOver_;
  Subscription* pending_ = nullptr;  // guarded by handOver_
};

}  // namespace quorvanta::wayland
