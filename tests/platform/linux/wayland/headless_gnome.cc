#include "headless_gnome.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "platform/linux/wayland/session_bus_probe.h"

namespace quorvanta::test {
namespace {

// Waits until `done` holds, at most `seconds`.
bool waitUntil(const std::function<bool()>& done, int seconds) {
  for (int tries = seconds * 20; !done() && tries > 0; --tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return done();
}

// The locale service's properties that mutter reads; all but Locale are strings.
std::string localeXml() {
  std::string xml =
      "<node><interface name='org.freedesktop.locale1'><property name='Locale' type='as' access='read'/>";
  for (const char* name :
       {"VConsoleKeymap", "VConsoleKeymapToggle", "X11Layout", "X11Model", "X11Variant", "X11Options"})
    xml += std::string("<property name='") + name + "' type='s' access='read'/>";
  return xml + "</interface></node>";
}

}  // namespace

HeadlessGnome::HeadlessGnome(std::string layout) : layout_(std::move(layout)) {
  for (const char* program : {"mutter", "pipewire", "wireplumber"})
    if (!std::filesystem::exists(std::string("/usr/bin/") + program)) return;
  bus_.reset(g_test_dbus_new(G_TEST_DBUS_NONE));
  g_test_dbus_up(bus_.get());

  // mutter asks the system bus for the layout: here it is the same private bus.
  locale_ = std::make_unique<testing::FakeBusService>(
      busAddress(), "org.freedesktop.locale1",
      std::vector<testing::FakeObject>{{"/org/freedesktop/locale1", localeXml()}},
      testing::FakeBusService::MethodHandler{},  // the interface has no methods
      [this](const std::string&, const std::string& property) -> GVariant* {
        if (property == "Locale") return g_variant_new_strv(nullptr, 0);
        if (property == "X11Layout") return g_variant_new_string(layout_.c_str());
        return g_variant_new_string("");
      });
  const std::map<std::string, std::optional<std::string>> environment{
      {"DBUS_SESSION_BUS_ADDRESS", busAddress()},
      {"DBUS_SYSTEM_BUS_ADDRESS", busAddress()},
      {"XDG_RUNTIME_DIR", runtime_.path().string()},
      {"GSETTINGS_BACKEND", "memory"},
      {"NO_AT_BRIDGE", "1"},
      {"DISPLAY", std::nullopt},
      {"WAYLAND_DISPLAY", std::nullopt}};
  pipewire_ = std::make_unique<ChildProcess>("/usr/bin/pipewire", std::vector<std::string>{}, environment,
                                             runtime_.path() / "pipewire.log");
  // WirePlumber and mutter look for PipeWire's socket when they start.
  waitUntil([&] { return std::filesystem::exists(runtime_.path() / "pipewire-0"); }, 3);
  wireplumber_ = std::make_unique<ChildProcess>("/usr/bin/wireplumber", std::vector<std::string>{},
                                                environment, runtime_.path() / "wireplumber.log");
  mutter_ = std::make_unique<ChildProcess>(
      "/usr/bin/mutter",
      std::vector<std::string>{"--headless", "--wayland", "--no-x11",
                               std::string("--wayland-display=") + kWaylandDisplay, "--virtual-monitor",
                               "1280x720"},
      environment, runtime_.path() / "mutter.log");
  wayland::SessionBusProbe probe(busAddress(), std::chrono::milliseconds(500));
  available_ =
      waitUntil([&] { return probe.mutterScreenCastVersion() && probe.mutterRemoteDesktopVersion(); }, 10);
}

std::string HeadlessGnome::busAddress() const {
  return bus_ ? g_test_dbus_get_bus_address(bus_.get()) : "";
}

}  // namespace quorvanta::test
