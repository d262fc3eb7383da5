// Runs the application's tests against a private Xvfb with a QApplication on its xcb platform.

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include <gtest/gtest.h>
#include <QApplication>
#include <QStyleFactory>

#include "platform/linux/x11/xvfb_server.h"
#ifdef QUORVANTA_TEST_DESKTOP
#include "platform/linux/x11/test_desktop.h"
using TestServer = quorvanta::testing::TestDesktop;
#else
using TestServer = quorvanta::testing::XvfbServer;
#endif

namespace quorvanta {
namespace {
TestServer* server = nullptr;  // the server main() runs the tests on
}  // namespace

#ifdef QUORVANTA_TEST_DESKTOP
// For tests that change the desktop while they run.
testing::TestDesktop* testDesktop() {
  return server;
}
#endif
}  // namespace quorvanta

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

  std::optional<TestServer> server;
  server.emplace();
  quorvanta::server = &*server;
  setenv("DISPLAY", server->display().c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  // Keep the tests away from the user's desktop settings and clipboard managers.
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  int result = 0;
  {
    QApplication application(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setQuitOnLastWindowClosed(false);
    result = RUN_ALL_TESTS();
  }
  quorvanta::server = nullptr;
  server.reset();
  return result;
}
