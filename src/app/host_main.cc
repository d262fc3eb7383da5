// quorvanta-host: shares this desktop with paired devices over Tailscale. A tray icon and a panel
// window on the GUI thread; the host itself on threads of its own.

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <QApplication>
#include <QCoreApplication>
#include <QStyleFactory>

#include <xcb/xcb.h>

#include "app/headless_host.h"
#include "app/host_application.h"
#include "core/host/control_channel.h"
#include "core/host/host_settings.h"
#include "core/util/executable_path.h"
#include "core/util/paths.h"
#include "quorvanta_version.h"

namespace {

using namespace quorvanta;

constexpr const char* kUsage =
    "Usage: quorvanta-host [--version]\n"
    "Shares this desktop with your paired devices over Tailscale. Its tray icon opens the panel;\n"
    "the quorvanta command controls it from a terminal (quorvanta status, quorvanta pair, ...).\n"
    "Without an X display it runs without a panel and prints its status.\n";

// The open-at-login entry starts this program: an installed host's entry names the installed one.
HostRuntime::Paths hostPaths() {
  return {runningExecutable(), dataDirectory(), HostSettings::defaultPath(), controlSocketPath()};
}

// Whether the X display named by $DISPLAY answers. The panel, the tray icon and the curtain are X11
// windows (the curtain's window IDs go to the X11 capture), so the application always runs on
// Qt's xcb platform.
bool displayReachable() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return false;
  xcb_connection_t* connection = xcb_connect(display, nullptr);
  const bool reachable = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return reachable;
}

int runHeadless(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  HeadlessHost host(hostPaths());
  if (!host.claimInstance()) return 0;
  host.start();
  return QCoreApplication::exec();
}

int run(int argc, char** argv) {
  QCoreApplication::setApplicationName(QStringLiteral("Quorvanta Host"));
  QCoreApplication::setApplicationVersion(QString::fromLatin1(kVersion));
  if (!displayReachable()) return runHeadless(argc, argv);

  qputenv("QT_QPA_PLATFORM", "xcb");
  QApplication::setDesktopFileName(QStringLiteral("app.quorvanta.host"));
  QApplication application(argc, argv);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  // The tray icon keeps the application alive when the panel window is closed.
  QApplication::setQuitOnLastWindowClosed(false);

  HostApplication host(hostPaths(), QString::fromLatin1(kVersion));
  // One host per user: a second launch asks the running one to show its panel and leaves.
  if (!host.claimInstance()) return 0;
  host.start();
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  for (int index = 1; index < argc; ++index) {
    if (std::strcmp(argv[index], "--help") == 0 || std::strcmp(argv[index], "-h") == 0) {
      std::cout << kUsage;
      return 0;
    }
    if (std::strcmp(argv[index], "--version") == 0) {
      std::cout << "quorvanta-host " << quorvanta::kVersion << "\n";
      return 0;
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return run(argc, argv);
  } catch (const std::exception& failure) {
    std::cerr << "quorvanta-host: " << failure.what() << "\n";
    return 1;
  }
}
