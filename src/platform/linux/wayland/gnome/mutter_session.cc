#include "platform/linux/wayland/gnome/mutter_session.h"

#include <condition_variable>
#include <future>
#include <map>
#include <optional>
#include <stdexcept>
#include <thread>

#include "platform/linux/keyring/glib_support.h"
#include "platform/linux/wayland/gnome/mutter_bus_impl.h"

namespace quorvanta::wayland {
namespace {

constexpr const char* kRemoteDesktop = kMutterRemoteDesktop;
constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* kRemoteDesktopSession = kMutterRemoteDesktopSession;
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kScreenCastStream = "org.gnome.Mutter.ScreenCast.Stream";
constexpr const char* kDisplayConfig = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";

constexpr int kCallTimeoutMs = kMutterCallTimeoutMs;
constexpr auto kStreamWait = std::chrono::seconds(5);
constexpr std::uint32_t kCursorEmbedded = 1;
constexpr std::uint32_t kKeyLeftShift = 42;

constexpr const char* kNoBus = "GNOME's session bus cannot be reached, so the screen cannot be shared.";
constexpr const char* kNoStream = "GNOME did not start the screen stream in time.";

}  // namespace

DisplayID displayIdentifier(const std::string& connector) {
  std::uint32_t hash = 2166136261u;
  for (const char c : connector) {
    hash ^= static_cast<std::uint8_t>(c);
    hash *= 16777619u;
  }
  return hash == 0 ? 1 : hash;
}

std::shared_ptr<MutterBus> MutterBus::connect(const std::string& address) {
  auto impl = std::make_unique<Impl>();
  glib::ErrorSlot error;
  const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                       G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  impl->connection.reset(address.empty() ? nullptr
                                         : g_dbus_connection_new_for_address_sync(
                                               address.c_str(), flags, nullptr, nullptr, error.out()));
  if (!impl->connection) throw std::runtime_error(kNoBus);
  g_dbus_connection_set_exit_on_close(impl->connection.get(), FALSE);
  impl->context = g_main_context_new();
  impl->loop = g_main_loop_new(impl->context, FALSE);
  impl->thread = std::thread([context = impl->context, loop = impl->loop] {
    g_main_context_push_thread_default(context);
    g_main_loop_run(loop);
    g_main_context_pop_thread_default(context);
  });
  return std::shared_ptr<MutterBus>(new MutterBus(std::move(impl)));
}

MutterBus::MutterBus(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MutterBus::~MutterBus() = default;

std::vector<MutterMonitor> MutterBus::monitors() {
  const auto reply = impl_->call(kDisplayConfig, kDisplayConfigPath, kDisplayConfig, "GetCurrentState",
                                 nullptr, "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})");
  // Connector → current mode size and display name.
  std::map<std::string, MutterMonitor> known;
  GVariantIter* monitorIter = nullptr;
  GVariantIter* logicalIter = nullptr;
  g_variant_get(reply.get(), "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})", nullptr,
                &monitorIter, &logicalIter, nullptr);
  GVariant* monitor = nullptr;
  while ((monitor = g_variant_iter_next_value(monitorIter)) != nullptr) {
    const glib::Variant owner(monitor);
    const gchar* connector = nullptr;
    GVariantIter* modes = nullptr;
    GVariant* properties = nullptr;
    g_variant_get(monitor, "((&ssss)a(siiddada{sv})@a{sv})", &connector, nullptr, nullptr, nullptr, &modes,
                  &properties);
    const glib::Variant propertiesOwner(properties);
    MutterMonitor entry;
    entry.connector = connector;
    const gchar* name = nullptr;
    entry.name = g_variant_lookup(properties, "display-name", "&s", &name) ? name : connector;
    GVariant* mode = nullptr;
    while ((mode = g_variant_iter_next_value(modes)) != nullptr) {
      const glib::Variant modeOwner(mode);
      gint32 width = 0;
      gint32 height = 0;
      GVariant* modeProperties = nullptr;
      g_variant_get(mode, "(&siiddad@a{sv})", nullptr, &width, &height, nullptr, nullptr, nullptr,
                    &modeProperties);
      const glib::Variant modePropertiesOwner(modeProperties);
      gboolean current = FALSE;
      if (g_variant_lookup(modeProperties, "is-current", "b", &current) && current) {
        entry.width = width;
        entry.height = height;
      }
    }
    g_variant_iter_free(modes);
    if (entry.width > 0 && entry.height > 0) known[entry.connector] = entry;
  }
  g_variant_iter_free(monitorIter);

  // Only monitors in the layout are on; the layout gives their place.
  std::vector<MutterMonitor> result;
  GVariant* logical = nullptr;
  while ((logical = g_variant_iter_next_value(logicalIter)) != nullptr) {
    const glib::Variant owner(logical);
    gint32 x = 0;
    gint32 y = 0;
    GVariantIter* members = nullptr;
    g_variant_get(logical, "(iiduba(ssss)@a{sv})", &x, &y, nullptr, nullptr, nullptr, &members, nullptr);
    const gchar* connector = nullptr;
    while (g_variant_iter_next(members, "(&ssss)", &connector, nullptr, nullptr, nullptr)) {
      const auto found = known.find(connector);
      if (found == known.end()) continue;
      MutterMonitor entry = found->second;
      entry.x = x;
      entry.y = y;
      result.push_back(entry);
    }
    g_variant_iter_free(members);
  }
  g_variant_iter_free(logicalIter);
  return result;
}

std::shared_ptr<RemoteDesktopSession> MutterBus::startSession(const std::string& connector,
                                                              std::function<void()> onClosed) {
  std::shared_ptr<RemoteDesktopSession> previous;
  {
    std::lock_guard guard(lock_);
    // A session that still records this monitor is used again: its stream takes a new consumer.
    if (current_ && current_->connector() == connector && !current_->stopped()) return current_;
    previous = std::move(current_);
  }
  // The old session stops before the new one starts, even while its capture is still being
  // retired: with two sessions Mutter drops the newer one's pointer events.
  if (previous) previous->stop();
  std::shared_ptr<RemoteDesktopSession> session(new RemoteDesktopSession(shared_from_this(), connector));
  session->closedSubscription_ = impl_->subscribe(
      kRemoteDesktop, kRemoteDesktopSession, "Closed", session->sessionPath_,
      [weak = std::weak_ptr<RemoteDesktopSession>(session), closed = std::move(onClosed)](GVariant*) {
        if (const auto self = weak.lock()) self->markClosed();
        if (closed) closed();
      });
  session->transferSubscription_ =
      impl_->subscribe(kRemoteDesktop, kRemoteDesktopSession, "SelectionTransfer", session->sessionPath_,
                       [weak = std::weak_ptr<RemoteDesktopSession>(session)](GVariant* arguments) {
                         std::uint32_t serial = 0;
                         g_variant_get(arguments, "(&su)", nullptr, &serial);
                         if (const auto self = weak.lock()) self->transfer(serial);
                       });
  session->ownerSubscription_ =
      impl_->subscribe(kRemoteDesktop, kRemoteDesktopSession, "SelectionOwnerChanged", session->sessionPath_,
                       [weak = std::weak_ptr<RemoteDesktopSession>(session)](GVariant* arguments) {
                         GVariant* options = nullptr;
                         g_variant_get(arguments, "(@a{sv})", &options);
                         const glib::Variant owner(options);
                         gboolean ours = FALSE;
                         g_variant_lookup(options, "session-is-owner", "b", &ours);
                         if (const auto self = weak.lock()) self->ownerChanged(ours != FALSE);
                       });
  // Clipboard text both ways; a Mutter without it still shares the screen.
  GVariantBuilder none;
  g_variant_builder_init(&none, G_VARIANT_TYPE_VARDICT);
  session->notify("EnableClipboard", g_variant_new("(a{sv})", &none));
  std::lock_guard guard(lock_);
  current_ = session;
  return session;
}

std::shared_ptr<RemoteDesktopSession> MutterBus::currentSession() {
  std::lock_guard guard(lock_);
  return current_;
}

RemoteDesktopSession::RemoteDesktopSession(std::shared_ptr<MutterBus> bus, std::string connector)
    : bus_(std::move(bus)), connector_(std::move(connector)) {
  auto& impl = *bus_->impl_;
  const auto created =
      impl.call(kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop, "CreateSession", nullptr, "(o)");
  const gchar* path = nullptr;
  g_variant_get(created.get(), "(&o)", &path);
  sessionPath_ = path;

  const auto idReply = impl.call(kRemoteDesktop, sessionPath_, "org.freedesktop.DBus.Properties", "Get",
                                 g_variant_new("(ss)", kRemoteDesktopSession, "SessionId"), "(v)");
  GVariant* boxed = nullptr;
  g_variant_get(idReply.get(), "(v)", &boxed);
  const glib::Variant id(boxed);

  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "remote-desktop-session-id",
                        g_variant_new_string(g_variant_get_string(id.get(), nullptr)));
  const auto cast = impl.call(kScreenCast, kScreenCastPath, kScreenCast, "CreateSession",
                              g_variant_new("(a{sv})", &options), "(o)");
  const gchar* castPath = nullptr;
  g_variant_get(cast.get(), "(&o)", &castPath);

  GVariantBuilder recordOptions;
  g_variant_builder_init(&recordOptions, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&recordOptions, "{sv}", "cursor-mode", g_variant_new_uint32(kCursorEmbedded));
  const auto stream = impl.call(kScreenCast, castPath, kScreenCastSession, "RecordMonitor",
                                g_variant_new("(sa{sv})", connector_.c_str(), &recordOptions), "(o)");
  const gchar* streamPath = nullptr;
  g_variant_get(stream.get(), "(&o)", &streamPath);
  streamPath_ = streamPath;

  struct Added {
    std::mutex lock;
    std::condition_variable changed;
    std::optional<std::uint32_t> node;
  };
  auto added = std::make_shared<Added>();
  const unsigned subscription = impl.subscribe(kScreenCast, kScreenCastStream, "PipeWireStreamAdded",
                                               streamPath_, [added](GVariant* arguments) {
                                                 std::uint32_t node = 0;
                                                 g_variant_get(arguments, "(u)", &node);
                                                 std::lock_guard guard(added->lock);
                                                 added->node = node;
                                                 added->changed.notify_all();
                                               });
  try {
    impl.call(kRemoteDesktop, sessionPath_, kRemoteDesktopSession, "Start", nullptr, nullptr);
  } catch (...) {
    g_dbus_connection_signal_unsubscribe(impl.connection.get(), subscription);
    throw;
  }
  std::unique_lock wait(added->lock);
  const bool arrived = added->changed.wait_for(wait, kStreamWait, [&] { return added->node.has_value(); });
  g_dbus_connection_signal_unsubscribe(impl.connection.get(), subscription);
  if (!arrived) throw std::runtime_error(kNoStream);
  node_ = *added->node;

  // The seat has no pointer or keyboard until the first event arrives, and that first event is
  // swallowed by the focus change: make it one that does nothing.
  notify("NotifyPointerMotionRelative", g_variant_new("(dd)", 0.0, 0.0));
  keyboardKeycode(kKeyLeftShift, true);
  keyboardKeycode(kKeyLeftShift, false);
}

RemoteDesktopSession::~RemoteDesktopSession() {
  stop();
}

bool RemoteDesktopSession::stopped() {
  std::lock_guard guard(stopLock_);
  return stopped_;
}

void RemoteDesktopSession::markClosed() {
  std::lock_guard guard(stopLock_);
  stopped_ = true;
}

void RemoteDesktopSession::stop() {
  std::lock_guard guard(stopLock_);
  if (stopped_) return;
  stopped_ = true;
  auto& impl = *bus_->impl_;
  for (const unsigned subscription : {closedSubscription_, transferSubscription_, ownerSubscription_})
    if (subscription != 0) g_dbus_connection_signal_unsubscribe(impl.connection.get(), subscription);
  // Waits for Mutter: a session that is still going makes it drop the next one's pointer events.
  if (!sessionPath_.empty()) {
    glib::Variant ignored(g_dbus_connection_call_sync(
        impl.connection.get(), kRemoteDesktop, sessionPath_.c_str(), kRemoteDesktopSession, "Stop", nullptr,
        nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr));
  }
}

void RemoteDesktopSession::notify(const char* method, void* parameters) {
  std::lock_guard guard(stopLock_);
  if (stopped_) {
    g_variant_unref(g_variant_ref_sink(static_cast<GVariant*>(parameters)));
    return;
  }
  g_dbus_connection_call(bus_->impl_->connection.get(), kRemoteDesktop, sessionPath_.c_str(),
                         kRemoteDesktopSession, method, static_cast<GVariant*>(parameters), nullptr,
                         G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr, nullptr);
}

void RemoteDesktopSession::pointerMotion(double x, double y) {
  notify("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", streamPath_.c_str(), x, y));
}

void RemoteDesktopSession::pointerButton(std::int32_t evdevButton, bool pressed) {
  notify("NotifyPointerButton", g_variant_new("(ib)", evdevButton, pressed ? TRUE : FALSE));
}

void RemoteDesktopSession::pointerAxis(double dx, double dy) {
  constexpr std::uint32_t kFinish = 1;  // the scroll ends with this event
  notify("NotifyPointerAxis", g_variant_new("(ddu)", dx, dy, kFinish));
}

void RemoteDesktopSession::keyboardKeycode(std::uint32_t evdevKey, bool pressed) {
  notify("NotifyKeyboardKeycode", g_variant_new("(ub)", evdevKey, pressed ? TRUE : FALSE));
}

void RemoteDesktopSession::keyboardKeysym(std::uint32_t keysym, bool pressed) {
  notify("NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, pressed ? TRUE : FALSE));
}

}  // namespace quorvanta::wayland
