#include "platform/linux/wayland/session_bus_probe.h"

#include "platform/linux/presence/bus_connection.h"

namespace quorvanta::wayland {
namespace {

constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";

}  // namespace

struct SessionBusProbe::Connection {
  explicit Connection(std::string address) : bus(std::move(address)) {}
  presence::BusConnection bus;
};

SessionBusProbe::SessionBusProbe(std::string address, std::chrono::milliseconds timeout)
    : connection_(std::make_unique<Connection>(std::move(address))), timeout_(timeout) {}

SessionBusProbe::~SessionBusProbe() = default;

std::optional<unsigned> SessionBusProbe::version(const char* service, const char* path, const char* interface,
                                                 const char* property) {
  GDBusConnection* bus = connection_->bus.get(timeout_);
  const auto reply = presence::callMethod(bus, service, path, kProperties, "Get",
                                          g_variant_new("(ss)", interface, property), "(v)", timeout_);
  if (!reply) return std::nullopt;
  GVariant* boxed = nullptr;
  g_variant_get(reply.get(), "(v)", &boxed);
  const glib::Variant value(boxed);
  if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32)) return g_variant_get_uint32(value.get());
  if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_INT32) && g_variant_get_int32(value.get()) >= 0)
    return static_cast<unsigned>(g_variant_get_int32(value.get()));
  return std::nullopt;
}

std::optional<unsigned> SessionBusProbe::mutterRemoteDesktopVersion() {
  return version("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                 "org.gnome.Mutter.RemoteDesktop", "Version");
}

std::optional<unsigned> SessionBusProbe::mutterScreenCastVersion() {
  return version("org.gnome.Mutter.ScreenCast", "/org/gnome/Mutter/ScreenCast", "org.gnome.Mutter.ScreenCast",
                 "Version");
}

std::optional<unsigned> SessionBusProbe::portalScreenCastVersion() {
  return version(kPortal, kPortalPath, "org.freedesktop.portal.ScreenCast", "version");
}

std::optional<unsigned> SessionBusProbe::portalRemoteDesktopVersion() {
  return version(kPortal, kPortalPath, "org.freedesktop.portal.RemoteDesktop", "version");
}

BackendChoice chooseSessionBackend() {
  SessionBusProbe probe(presence::BusAddresses::fromEnvironment().session);
  return chooseBackend(SessionFacts::fromEnvironment(), probe);
}

}  // namespace quorvanta::wayland
