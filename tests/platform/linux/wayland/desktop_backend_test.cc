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
  using enum DesktopBackend;
  const Case cases[] = {
      {"X11 with a stray WAYLAND_DISPLAY", {"x11", true, true}, kGnome, x11, true, ""},
      {"X display alone (Xvfb)", {"", false, true}, {}, x11, true, ""},
      {"GNOME on Wayland", kWayland, kGnome, gnome, true, ""},
      {"Wayland display, no session type", {"", true, false}, kGnome, gnome, true, ""},
      {"Mutter too old for the calls", kWayland, {1, 3, 4, 1}, portal, true, "every session"},
      {"portal approval persists", kWayland, {kNo, kNo, 4, 2}, portal, true, "asks once"},
      {"portal, no remote desktop", kWayland, {kNo, kNo, 4, kNo}, portal, false, "only watch"},
      {"portal, no persistence", kWayland, {kNo, kNo, 3, 1}, none, false, "GNOME or an X11"},
  };
  for (const Case& c : cases) {
    FakeProbe probe(c.bus);
    const BackendChoice choice = chooseBackend(c.facts, probe);
    EXPECT_EQ(choice.backend, c.backend) << c.what;
    EXPECT_EQ(choice.input, c.input) << c.what;
    EXPECT_EQ(choice.note.empty(), *c.note == '\0') << c.what;
    EXPECT_NE(choice.note.find(c.note), std::string::npos) << c.what << ": " << choice.note;
    // Only the X11 backend can keep its curtain out of the picture.
    EXPECT_EQ(choice.curtainUnavailable.empty(), c.backend == x11) << c.what;
  }
}

}  // namespace
}  // namespace quorvanta::wayland
