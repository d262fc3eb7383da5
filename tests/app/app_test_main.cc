// Runs the application's tests against a private Xvfb with a QApplication on its xcb platform.

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include <gtest/gtest.h>
#include <QApplication>
#include <QStyleFactory>

#include "platform/linux/x11/xvfb_server.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

  std::optional<quorvanta::testing::XvfbServer> server;
  server.emplace();
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
  server.reset();
  return result;
}
