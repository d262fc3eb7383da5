#include <gtest/gtest.h>
#include <sys/stat.h>
#include <QSignalSpy>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/curtain_windows.h"
#include "app/host_panel.h"
#include "app/host_runtime.h"
#include "app/panel_window.h"
#include "app/symbols.h"
#include "app/tray_icon.h"
#include "core/host/control_channel.h"
#include "core/host/host_settings.h"
#include "core/host/host_test_directory.h"
#include "gui_test_support.h"
#include "integration/child_process.h"
#include "support/test_helpers.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

TEST(PanelWindow, IsMadeOnceClosingHidesItOrWithoutATrayMinimises) {
  PanelWindow window(QStringLiteral("0.1.0"));
  EXPECT_EQ(window.windowTitle(), "Quorvanta Host");
  window.showPanel();
  ASSERT_TRUE(testing::waitUntil([&] { return window.isVisible(); }));
  window.close();
  EXPECT_FALSE(window.isVisible());
  HostPanel* panel = window.panel();
  window.showPanel();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.panel(), panel);

  window.setHideOnClose(false);
  window.close();
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.isMinimized());
  window.showPanel();
  EXPECT_FALSE(window.isMinimized());
}

TEST(TrayIcon, ShowsTheCheckMarkWhileADeviceIsInSession) {
  TrayIcon tray;
  HostState state;
  state.activeDevice = "Ana's iPhone";
  tray.render(state);
  EXPECT_TRUE(tray.showsSession());
  state.activeDevice.reset();
  tray.render(state);
  EXPECT_FALSE(tray.showsSession());
  EXPECT_NE(symbolPixmap(Symbol::display, 22, Qt::white).toImage(),
            symbolPixmap(Symbol::displayCheckmark, 22, Qt::white).toImage());
}

// A HostRuntime on private directories, with the real model and the desktop's services: no
// keyring (no session bus), no tailscale program.
TEST(HostRuntimeTest, ActionsComeBackInOrderAndQuitTurnsSharingOff) {
  ScratchDirectory root;
  const char* variables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "PATH"};
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
  for (const char* name : variables) {
    const char* value = std::getenv(name);
    saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    fs::create_directories(root.path() / name);
    ::setenv(name, (root.path() / name).c_str(), 1);
  }
  ::chmod((root.path() / "XDG_RUNTIME_DIR").c_str(), 0700);
  const HostRuntime::Paths paths = {"/usr/bin/quorvanta-host", root.path() / "data",
                                    root.path() / "host.conf", root.path() / "control.sock"};
  auto windows = std::make_unique<CurtainWindows>();
  auto curtain = std::make_shared<CurtainBridge>(windows.get());
  {
    HostRuntime runtime(paths, curtain);
    std::vector<HostState> states;
    QObject::connect(&runtime, &HostRuntime::stateChanged,
                     [&](const HostState& state) { states.push_back(state); });
    ASSERT_TRUE(runtime.claimInstance());
    QSignalSpy launched(&runtime, &HostRuntime::launched);
    runtime.start();
    ASSERT_TRUE(testing::waitUntil([&] { return launched.count() == 1 && !states.empty(); }));
    EXPECT_FALSE(launched.front().front().toBool()) << "sharing was never on: the panel shows at launch";
    EXPECT_EQ(states.back().credentialStore, SecureStore::Kind::file);

    // Without Tailscale, turning sharing on is remembered but nothing listens.
    runtime.perform([](HostModel& model) { model.start(); });
    ASSERT_TRUE(testing::waitUntil([&] { return states.back().status == "Waiting for Tailscale"; }));
    EXPECT_TRUE(HostSettings(paths.settings).hostEnabled());

    QSignalSpy finished(&runtime, &HostRuntime::finished);
    runtime.quit(false);
    ASSERT_TRUE(testing::waitUntil([&] { return finished.count() == 1; }));
    EXPECT_FALSE(HostSettings(paths.settings).hostEnabled()) << "quit turns sharing off for good";
    EXPECT_FALSE(fs::exists(paths.controlSocket));
  }
  curtain->detach();
  for (const auto& [name, value] : saved)
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
}

TEST(HostProcessTest, ATerminationSignalEndsItWithSuccessAndRemovesItsSocket) {
  ScratchDirectory root;
  fs::create_directory(root.path() / "run");
  ::chmod((root.path() / "run").c_str(), 0700);
  const fs::path socket = root.path() / "run" / "quorvanta" / "control.sock";
  test::ChildProcess host(QUORVANTA_HOST_BINARY, {},
                          {{"HOME", root.path()},
                           {"XDG_RUNTIME_DIR", root.path() / "run"},
                           {"XDG_CONFIG_HOME", root.path() / "config"},
                           {"XDG_DATA_HOME", root.path() / "data"}},
                          root.path() / "output");
  const auto answers = [&] {
    bool ok = false;  // once the model answers, as the signal handler is set with it
    test::thrownMessage([&] { ok = sendControlRequest(socket, {{"command", "status"}}).value("ok", false); });
    return ok;
  };
  ASSERT_TRUE(testing::waitUntil(answers, std::chrono::seconds(20))) << host.output();
  EXPECT_EQ(host.terminate(20), 0) << host.output();
  EXPECT_FALSE(fs::exists(socket));
}

}  // namespace
}  // namespace quorvanta
