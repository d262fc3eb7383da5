#include "platform/linux/presence/linux_presence_service.h"

#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <xcb/screensaver.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "core/util/paths.h"
#include "fake_bus_service.h"
#include "integration/test_window.h"
#include "xvfb_server.h"

namespace quorvanta {
namespace {

using namespace std::chrono_literals;
using testing::FakeBusService;
using testing::FakeObject;
using testing::XvfbServer;

constexpr auto kLimit = 5s;
constexpr std::uint32_t kCookie = 4242;
constexpr const char* kSessionPath = "/org/freedesktop/login1/session/_32";

constexpr const char* kScreenSaverXml = R"(<node><interface name="org.freedesktop.ScreenSaver">
  <method name="Inhibit"><arg type="s" direction="in"/><arg type="s" direction="in"/>
    <arg type="u" direction="out"/></method>
  <method name="UnInhibit"><arg type="u" direction="in"/></method>
  <method name="SimulateUserActivity"/>
  <method name="GetActive"><arg type="b" direction="out"/></method>
</interface></node>)";

constexpr const char* kLogindXml = R"(<node><interface name="org.freedesktop.login1.Manager">
  <method name="Inhibit"><arg type="s" direction="in"/><arg type="s" direction="in"/>
    <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="h" direction="out"/></method>
  <method name="GetSessionByPID"><arg type="u" direction="in"/><arg type="o" direction="out"/></method>
</interface></node>)";

constexpr const char* kSessionXml = R"(<node><interface name="org.freedesktop.login1.Session">
  <property name="LockedHint" type="b" access="read"/>
</interface></node>)";

constexpr const char* kGnomeXml = R"(<node><interface name="org.gnome.SessionManager">
  <method name="Inhibit"><arg type="s" direction="in"/><arg type="u" direction="in"/>
    <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="u" direction="out"/></method>
  <method name="Uninhibit"><arg type="u" direction="in"/></method>
</interface></node>)";

// A session service that hands out one cookie and reports `active`: org.freedesktop.ScreenSaver,
// or the GNOME session manager when `gnome`.
std::unique_ptr<FakeBusService> fakeScreenSaver(const std::string& address, std::atomic<bool>& active,
                                                bool gnome = false) {
  return std::make_unique<FakeBusService>(
      address, gnome ? "org.gnome.SessionManager" : "org.freedesktop.ScreenSaver",
      std::vector<FakeObject>{gnome ? FakeObject{"/org/gnome/SessionManager", kGnomeXml}
                                    : FakeObject{"/org/freedesktop/ScreenSaver", kScreenSaverXml}},
      [&active](const FakeBusService::Call& call, GVariant*, GDBusMethodInvocation* invocation) {
        if (call.method == "Inhibit")
          g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", kCookie));
        else if (call.method == "GetActive")
          g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", active.load()));
        else
          g_dbus_method_invocation_return_value(invocation, nullptr);
      });
}

// logind: each Inhibit hands out the write end of a new pipe whose read end lands in `inhibitor`,
// and this process's session has LockedHint `locked`.
std::unique_ptr<FakeBusService> fakeLogind(const std::string& address, std::atomic<int>& inhibitor,
                                           std::atomic<bool>& locked) {
  return std::make_unique<FakeBusService>(
      address, "org.freedesktop.login1",
      std::vector<FakeObject>{{"/org/freedesktop/login1", kLogindXml}, {kSessionPath, kSessionXml}},
      [&inhibitor](const FakeBusService::Call& call, GVariant*, GDBusMethodInvocation* invocation) {
        if (call.method == "GetSessionByPID") {
          g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", kSessionPath));
          return;
        }
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        if (const int old = inhibitor.exchange(ends[0]); old >= 0) close(old);
        GUnixFDList* descriptors = g_unix_fd_list_new_from_array(&ends[1], 1);  // takes the write end
        g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0),
                                                                descriptors);
        g_object_unref(descriptors);
      },
      [&locked](const std::string&, const std::string& property) -> GVariant* {
        return property == "LockedHint" ? g_variant_new_boolean(locked.load()) : nullptr;
      });
}

// Whether every write end of the pipe is closed, waiting at most `limit` for it.
bool writersGone(int readEnd, std::chrono::milliseconds limit) {
  pollfd fd{readEnd, POLLIN, 0};
  return poll(&fd, 1, static_cast<int>(limit.count())) == 1 && (fd.revents & POLLHUP) != 0;
}

bool screenSaverOn(xcb_connection_t* c, xcb_window_t root) {
  const x11::Reply<xcb_screensaver_query_info_reply_t> info(
      xcb_screensaver_query_info_reply(c, xcb_screensaver_query_info(c, root), nullptr));
  return info && info->state == XCB_SCREENSAVER_STATE_ON;
}

class PresenceServiceTest : public ::testing::Test {
 protected:
  PresenceServiceTest() { g_test_dbus_up(bus_); }
  XvfbServer xvfb_;
  GTestDBus* bus_ = g_test_dbus_new(G_TEST_DBUS_NONE);  // a bus of the test's own, activating nothing
  asio::io_context io_;
  std::atomic<bool> screenSaverActive_{false};
  std::atomic<bool> locked_{false};
  std::atomic<int> inhibitor_{-1};  // the read end of logind's latest inhibitor pipe
  const std::filesystem::path record_ =
      std::filesystem::temp_directory_path() / ("quorvanta-presence-" + std::to_string(getpid())) / "dpms";
  ~PresenceServiceTest() override {
    std::filesystem::remove_all(record_.parent_path());
    if (inhibitor_ >= 0) close(inhibitor_);
    g_test_dbus_down(bus_);
    g_object_unref(bus_);
  }
  std::string busAddress() const { return g_test_dbus_get_bus_address(bus_); }
};

TEST_F(PresenceServiceTest, KeepAwakeInhibitsTheSessionAndLogindUntilReleasedAndActivityIsTold) {
  const auto screenSaver = fakeScreenSaver(busAddress(), screenSaverActive_);
  const auto logind = fakeLogind(busAddress(), inhibitor_, locked_);
  LinuxPresenceService presence(xvfb_.display(), io_.get_executor(), {busAddress(), busAddress()}, record_);

  auto hold = presence.keepAwake();
  ASSERT_TRUE(hold);
  const auto calls = screenSaver->calls();
  ASSERT_EQ(calls.size(), 1U);
  EXPECT_EQ(calls[0].method, "Inhibit");
  EXPECT_EQ(logind->calls().size(), 1U);
  ASSERT_GE(inhibitor_, 0);
  // The block lasts as long as the hold keeps logind's descriptor open.
  EXPECT_FALSE(writersGone(inhibitor_, 300ms));

  hold.reset();
  ASSERT_TRUE(screenSaver->waitForCalls("UnInhibit", 1, kLimit));
  EXPECT_EQ(screenSaver->calls().back().arguments, "(" + std::to_string(kCookie) + ",)");
  EXPECT_TRUE(writersGone(inhibitor_, kLimit));

  presence.declareUserActivity();
  EXPECT_TRUE(screenSaver->waitForCalls("SimulateUserActivity", 1, kLimit));
}

// Without a session service that keeps the displays on, the X server itself must not blank them;
// the GNOME session manager keeps them on when told the user is not idle (flag 8).
TEST_F(PresenceServiceTest, TheXServerStopsBlankingOnlyWithoutASessionServiceThatKeepsDisplaysOn) {
  const x11::Connection observer = x11::Connection::connect(xvfb_.display());
  xcb_connection_t* c = observer.get();
  // A screensaver that starts after a second of idleness.
  xcb_set_screen_saver(c, 1, 0, XCB_BLANKING_DEFAULT, XCB_EXPOSURES_DEFAULT);
  for (const bool gnome : {false, true}) {
    SCOPED_TRACE(gnome ? "GNOME session manager" : "no bus service");
    xcb_force_screen_saver(c, XCB_SCREEN_SAVER_RESET);
    ASSERT_FALSE(screenSaverOn(c, observer.root()));  // also makes sure the server has the settings
    const auto session = gnome ? fakeScreenSaver(busAddress(), screenSaverActive_, true) : nullptr;
    LinuxPresenceService presence(xvfb_.display(), io_.get_executor(), {busAddress(), busAddress()}, record_);
    auto hold = presence.keepAwake();
    ASSERT_TRUE(hold);
    // Well past the timeout, the screensaver has started only where the session keeps displays on.
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(screenSaverOn(c, observer.root()), gnome);
    EXPECT_EQ(gnome ? session->calls().size() : 1U, 1U) << "released only with the hold";
    hold.reset();
    if (gnome) {
      ASSERT_TRUE(session->waitForCalls("Uninhibit", 1, kLimit));
      EXPECT_EQ(session->calls().front().arguments, "('Quorvanta Host', 0, 'Quorvanta display stream', 8)");
      EXPECT_EQ(session->calls().back().arguments, "(" + std::to_string(kCookie) + ",)");
      continue;
    }
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (!screenSaverOn(c, observer.root()) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(screenSaverOn(c, observer.root()));
  }
}

// A host killed while it held DPMS off left its record: the next start that reaches the display
// turns DPMS back on and drops the record; one that cannot reach it keeps the record.
TEST_F(PresenceServiceTest, TheNextStartRestoresDpmsThatAKilledHostLeftOff) {
  std::filesystem::create_directories(record_.parent_path());
  const auto record = [this](const std::string& display) {
    writeFileAtomically(record_, std::vector<std::uint8_t>(display.begin(), display.end()),
                        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  };
  record(":4095");
  { LinuxPresenceService unreachable(xvfb_.display(), io_.get_executor(), {"", ""}, record_); }
  EXPECT_TRUE(std::filesystem::exists(record_)) << "kept for a start that finds the display";
  record(xvfb_.display());
  LinuxPresenceService presence(xvfb_.display(), io_.get_executor(), {"", ""}, record_);
  EXPECT_FALSE(std::filesystem::exists(record_));
}

TEST_F(PresenceServiceTest, ScreenLockComesFromLogindElseFromTheScreenSaver) {
  const auto screenSaver = fakeScreenSaver(busAddress(), screenSaverActive_);
  {
    LinuxPresenceService presence(xvfb_.display(), io_.get_executor(), {busAddress(), ""}, record_);
    EXPECT_FALSE(presence.screenLocked());
    screenSaverActive_ = true;
    EXPECT_TRUE(presence.screenLocked());
  }
  const auto logind = fakeLogind(busAddress(), inhibitor_, locked_);
  LinuxPresenceService presence(xvfb_.display(), io_.get_executor(), {busAddress(), busAddress()}, record_);
  // logind knows the session, and its answer stands.
  EXPECT_FALSE(presence.screenLocked());
  locked_ = true;
  EXPECT_TRUE(presence.screenLocked());
}

TEST_F(PresenceServiceTest, KeysAndButtonsOfAnotherInputDeviceAreReported) {
  const std::string command = "DISPLAY=" + xvfb_.display() + " xinput create-master test";
  ASSERT_EQ(std::system(command.c_str()), 0) << "xinput is needed to make a second master device";
  LinuxPresenceService presence(xvfb_.display(), io_.get_executor(), {"", ""}, record_);
  int calls = 0;
  const auto hold = presence.watchLocalInput([&calls] { ++calls; });
  ASSERT_TRUE(hold);
  // An X client whose input goes through the second master device, as a person's would.
  test::TestWindow person(xvfb_.display(), std::nullopt);
  ASSERT_TRUE(person.useMaster("test pointer"));
  const auto work = asio::make_work_guard(io_);
  const auto runUntilCalls = [&](int count) {
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (calls < count && std::chrono::steady_clock::now() < deadline)
      io_.run_one_until(deadline);
    return calls >= count;
  };
  person.press(XCB_KEY_PRESS, 38);  // A
  ASSERT_TRUE(runUntilCalls(1));
  io_.run_for(300ms);  // past the quiet period that coalesces bursts
  person.press(XCB_BUTTON_PRESS, 3);
  EXPECT_TRUE(runUntilCalls(2));
}

TEST(PresenceServiceWithoutDesktop, AnswersWithoutDisplayOrBuses) {
  asio::io_context io;
  LinuxPresenceService presence(":4095", io.get_executor(), {"", "unix:path=/nonexistent/quorvanta-bus"},
                                "/nonexistent/quorvanta-dpms");
  EXPECT_TRUE(presence.keepAwake());
  EXPECT_TRUE(presence.displaysAwake());
  presence.declareUserActivity();
  EXPECT_FALSE(presence.screenLocked());
  EXPECT_EQ(presence.watchLocalInput([] {}), nullptr);
}

}  // namespace
}  // namespace quorvanta
