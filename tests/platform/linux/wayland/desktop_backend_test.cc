#include "platform/linux/wayland/desktop_backend.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

namespace quorvanta::wayland {
namespace {

// The versions a session bus offers: Mutter's RemoteDesktop and ScreenCast, the portal's ScreenCast
// and RemoteDesktop.
using BusOffer = std::array<std::optional<unsigned>, 4>;

struct FakeProbe final : BusProbe {
  explicit FakeProbe(BusOffer offer) : bus(offer) {}
  std::optional<unsigned> mutterRemoteDesktopVersion() override { return bus[0]; }
  std::optional<unsigned> mutterScreenCastVersion() override { return bus[1]; }
  std::optional<unsigned> portalScreenCastVersion() override { return bus[2]; }
  std::optional<unsigned> portalRemoteDesktopVersion() override { return bus[3]; }
  BusOffer bus;
};

struct Case {
  const char* what;
  SessionFacts facts;
  BusOffer bus;
  DesktopBackend backend;
  bool input;
  const char* note;  // a phrase the panel and the status show, or "" for none
};

const BusOffer kGnome{1, 4, 4, 1};
const SessionFacts kWayland{"wayland", true, true};
constexpr std::nullopt_t kNo = std::nullopt;

TEST(DesktopBackend, ChosenByWhatTheSessionOffers) {
  const Case cases[] = {
      {"X11 session with a stray WAYLAND_DISPLAY",
       {"x11", true, true},
       kGnome,
       DesktopBackend::x11,
       true,
       ""},
      {"no session type, X display only (Xvfb)", {"", false, true}, {}, DesktopBackend::x11, true, ""},
      {"GNOME on Wayland", kWayland, kGnome, DesktopBackend::gnome, true, ""},
      {"Wayland display without session type", {"", true, false}, kGnome, DesktopBackend::gnome, true, ""},
      {"Mutter too old for the calls", kWayland, {1, 3, 4, 1}, DesktopBackend::portal, true, "every session"},
      {"portal whose approval persists",
       kWayland,
       {kNo, kNo, 4, 2},
       DesktopBackend::portal,
       true,
       "asks once"},
      {"portal without remote desktop",
       kWayland,
       {kNo, kNo, 4, kNo},
       DesktopBackend::portal,
       false,
       "only watch"},
      {"portal without persistence",
       kWayland,
       {kNo, kNo, 3, 1},
       DesktopBackend::none,
       false,
       "GNOME or an X11"},
  };
  for (const Case& c : cases) {
    FakeProbe probe(c.bus);
    const BackendChoice choice = chooseBackend(c.facts, probe);
    EXPECT_EQ(choice.backend, c.backend) << c.what;
    EXPECT_EQ(choice.input, c.input) << c.what;
    EXPECT_EQ(choice.note.empty(), *c.note == '\0') << c.what;
    EXPECT_NE(choice.note.find(c.note), std::string::npos) << c.what << ": " << choice.note;
    // Only the X11 backend can keep its curtain out of the picture.
    EXPECT_EQ(choice.curtainUnavailable.empty(), c.backend == DesktopBackend::x11) << c.what;
  }
}

}  // namespace
}  // namespace quorvanta::wayland
