#include "fake_bus_service.h"

#include <stdexcept>

namespace quorvanta::testing {

FakeBusService::FakeBusService(const std::string& address, std::string name, std::vector<FakeObject> objects,
                               MethodHandler onMethod, PropertyHandler onProperty)
    : name_(std::move(name)),
      objects_(std::move(objects)),
      onMethod_(std::move(onMethod)),
      onProperty_(std::move(onProperty)),
      context_(g_main_context_new()),
      loop_(g_main_loop_new(context_, FALSE)) {
  thread_ = std::thread([this, address] { serve(address); });
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::seconds(10), [this] { return started_; }) || !ready_) {
    lock.unlock();
    stop();
    throw std::runtime_error("The fake service could not take its name on the bus.");
  }
}

FakeBusService::~FakeBusService() {
  stop();
}

void FakeBusService::stop() {
  g_main_loop_quit(loop_);
  thread_.join();
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void FakeBusService::serve(const std::string& address) {
  g_main_context_push_thread_default(context_);
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  static const GDBusInterfaceVTable vtable{
      &FakeBusService::methodCall, &FakeBusService::getProperty, nullptr, {}};
  std::vector<guint> registrations;
  std::vector<GDBusNodeInfo*> nodes;
  for (const FakeObject& object : connection != nullptr ? objects_ : std::vector<FakeObject>{}) {
    nodes.push_back(g_dbus_node_info_new_for_xml(object.introspection.c_str(), nullptr));
    for (GDBusInterfaceInfo** interface = nodes.back()->interfaces; *interface != nullptr; ++interface)
      registrations.push_back(g_dbus_connection_register_object(connection, object.path.c_str(), *interface,
                                                                &vtable, this, nullptr, nullptr));
  }

  // Named only once every object is in place, so that no caller reaches a half-made service.
  GVariant* owned = connection == nullptr
                        ? nullptr
                        : g_dbus_connection_call_sync(
                              connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", name_.c_str(), 4U),
                              G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  guint32 outcome = 0;
  if (owned != nullptr) {
    g_variant_get(owned, "(u)", &outcome);
    g_variant_unref(owned);
  }
  {
    std::lock_guard lock(mutex_);
    started_ = true;
    ready_ = outcome == 1;
    changed_.notify_all();
  }
  if (outcome == 1) g_main_loop_run(loop_);

  for (guint registration : registrations)
    g_dbus_connection_unregister_object(connection, registration);
  for (GDBusNodeInfo* node : nodes)
    g_dbus_node_info_unref(node);
  if (connection != nullptr) {
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
  }
  // Let the last callbacks of the connection run before the context goes.
  while (g_main_context_iteration(context_, FALSE)) {
  }
  g_main_context_pop_thread_default(context_);
}

void FakeBusService::methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                                gpointer self) {
  auto* service = static_cast<FakeBusService*>(self);
  gchar* printed = g_variant_print(parameters, FALSE);
  const Call call{method, printed};
  g_free(printed);
  {
    std::lock_guard lock(service->mutex_);
    service->calls_.push_back(call);
  }
  service->onMethod_(call, parameters, invocation);
  service->changed_.notify_all();
}

GVariant* FakeBusService::getProperty(GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                                      const gchar* property, GError** error, gpointer self) {
  auto* service = static_cast<FakeBusService*>(self);
  GVariant* value = service->onProperty_ ? service->onProperty_(path, property) : nullptr;
  if (value == nullptr) g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No such property");
  return value;
}

std::vector<FakeBusService::Call> FakeBusService::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

bool FakeBusService::waitForCalls(const std::string& method, std::size_t count,
                                  std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    std::size_t seen = 0;
    for (const Call& call : calls_)
      if (call.method == method) ++seen;
    return seen >= count;
  });
}

}  // namespace quorvanta::testing
