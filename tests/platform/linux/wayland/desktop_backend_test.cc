#include "platform/linux/wayland/desktop_backend.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "fake_bus_service.h"
#include "platform/linux/wayland/session_bus_probe.h"

namespace quorvanta::wayland {
namespace {

// What a session bus answers, by interface.
struct BusOffer {
  std::optional<unsigned> mutterRemoteDesktop;
  std::optional<unsigned> mutterScreenCast;
  std::optional<unsigned> portalScreenCast;
  std::optional<unsigned> portalRemoteDesktop;
};

class FakeProbe final : public BusProbe {
 public:
  explicit FakeProbe(BusOffer offer) : offer_(offer) {}
  std::optional<unsigned> mutterRemoteDesktopVersion() override { return offer_.mutterRemoteDesktop; }
  std::optional<unsigned> mutterScreenCastVersion() override { return offer_.mutterScreenCast; }
  std::optional<unsigned> portalScreenCastVersion() override { return offer_.portalScreenCast; }
  std::optional<unsigned> portalRemoteDesktopVersion() override { return offer_.portalRemoteDesktop; }

 private:
  BusOffer offer_;
};

struct Case {
  const char* what;
  SessionFacts facts;
  BusOffer bus;
  DesktopBackend backend;
  bool input;
};

const BusOffer kGnome{1, 4, 4, 1};
const BusOffer kPortalOnly{std::nullopt, std::nullopt, 4, 1};

TEST(DesktopBackend, ChosenByWhatTheSessionOffers) {
  const Case cases[] = {
      {"X11 session", {"x11", false, true}, kGnome, DesktopBackend::x11, true},
      {"X11 session with a stray WAYLAND_DISPLAY", {"x11", true, true}, kGnome, DesktopBackend::x11, true},
      {"no session type, X display only (Xvfb)", {"", false, true}, {}, DesktopBackend::x11, true},
      {"tty without any display", {"tty", false, false}, {}, DesktopBackend::x11, true},
      {"GNOME on Wayland", {"wayland", true, true}, kGnome, DesktopBackend::gnome, true},
      {"Wayland display without session type", {"", true, false}, kGnome, DesktopBackend::gnome, true},
      {"Mutter too old for the calls", {"wayland", true, true}, {1, 3, 4, 1}, DesktopBackend::portal, true},
      {"Mutter without screen cast",
       {"wayland", true, true},
       {1, std::nullopt, 4, 1},
       DesktopBackend::portal,
       true},
      {"KDE with the portal", {"wayland", true, true}, kPortalOnly, DesktopBackend::portal, true},
      {"portal without remote desktop",
       {"wayland", true, true},
       {std::nullopt, std::nullopt, 4, std::nullopt},
       DesktopBackend::portal,
       false},
      {"portal without persistence",
       {"wayland", true, true},
       {std::nullopt, std::nullopt, 3, 1},
       DesktopBackend::none,
       false},
      {"wlroots without either, XWayland present", {"wayland", true, true}, {}, DesktopBackend::none, false},
  };
  for (const Case& c : cases) {
    FakeProbe probe(c.bus);
    const BackendChoice choice = chooseBackend(c.facts, probe);
    EXPECT_EQ(choice.backend, c.backend) << c.what;
    EXPECT_EQ(choice.input, c.input) << c.what;
    // Only the X11 backend can keep its curtain out of the picture.
    EXPECT_EQ(choice.curtainUnavailable.empty(), c.backend == DesktopBackend::x11) << c.what;
  }
}

TEST(DesktopBackend, AnUnsupportedSessionSaysWhatToDo) {
  FakeProbe probe({});
  const BackendChoice choice = chooseBackend({"wayland", true, true}, probe);
  EXPECT_EQ(choice.name(), "None (Wayland)");
  EXPECT_EQ(choice.note, kUnsupportedWayland);
  EXPECT_NE(choice.note.find("GNOME or an X11 session"), std::string::npos);
}

// A private message bus for one test.
class PrivateBus {
 public:
  PrivateBus() : bus_(g_test_dbus_new(G_TEST_DBUS_NONE)) { g_test_dbus_up(bus_); }
  ~PrivateBus() {
    g_test_dbus_down(bus_);
    g_object_unref(bus_);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;
  std::string address() const { return g_test_dbus_get_bus_address(bus_); }

 private:
  GTestDBus* bus_;
};

std::string interfaceXml(const char* name, const char* property) {
  return std::string("<node><interface name='") + name + "'><property name='" + property +
         "' type='i' access='read'/></interface></node>";
}

TEST(SessionBusProbe, ReadsMutterVersionsAndMissesAnAbsentPortal) {
  PrivateBus bus;
  const auto answer = [](const quorvanta::testing::FakeBusService::Call&, GVariant*,
                         GDBusMethodInvocation* invocation) {
    g_dbus_method_invocation_return_value(invocation, nullptr);
  };
  const auto version = [](const std::string& path, const std::string&) -> GVariant* {
    return g_variant_new_int32(path == "/org/gnome/Mutter/ScreenCast" ? 4 : 1);
  };
  quorvanta::testing::FakeBusService remoteDesktop(
      bus.address(), "org.gnome.Mutter.RemoteDesktop",
      {{"/org/gnome/Mutter/RemoteDesktop", interfaceXml("org.gnome.Mutter.RemoteDesktop", "Version")}},
      answer, version);
  quorvanta::testing::FakeBusService screenCast(
      bus.address(), "org.gnome.Mutter.ScreenCast",
      {{"/org/gnome/Mutter/ScreenCast", interfaceXml("org.gnome.Mutter.ScreenCast", "Version")}}, answer,
      version);

  SessionBusProbe probe(bus.address(), std::chrono::milliseconds(1000));
  EXPECT_EQ(probe.mutterRemoteDesktopVersion(), 1u);
  EXPECT_EQ(probe.mutterScreenCastVersion(), 4u);
  EXPECT_EQ(probe.portalScreenCastVersion(), std::nullopt);
  EXPECT_EQ(chooseBackend({"wayland", true, false}, probe).backend, DesktopBackend::gnome);

  SessionBusProbe nowhere("", std::chrono::milliseconds(100));
  EXPECT_EQ(nowhere.mutterRemoteDesktopVersion(), std::nullopt);
}

}  // namespace
}  // namespace quorvanta::wayland
