// quorvanta-viewer: shows and controls a paired host's screen.

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <QApplication>
#include <QTimer>

#include "core/util/paths.h"
#include "core/util/quorvanta_error.h"
#include "platform/linux/keyring/secure_store_factory.h"
#include "quorvanta_version.h"
#include "viewer/host_book.h"
#include "viewer/pair_command.h"
#include "viewer/viewer_window.h"

namespace {

constexpr const char* kUsage =
    "Usage: quorvanta-viewer [--take-over] [HOST]\n"
    "       quorvanta-viewer pair LINK\n"
    "       quorvanta-viewer --version\n"
    "\n"
    "Shows a paired host's screen and controls it when the host allows it. HOST is a host's ID or\n"
    "name; without it the viewer connects to the only paired host, or lists the paired hosts.\n"
    "--take-over takes the session over when another device holds it.\n"
    "pair LINK pairs with the host that made the quorvanta://pair link LINK.\n"
    "Hosts are kept in $XDG_CONFIG_HOME/quorvanta-viewer/hosts.json, device tokens in the desktop\n"
    "keyring where one runs.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvanta;
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::cout << kUsage;
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "quorvanta-viewer " << kVersion << "\n";
    return 0;
  }
  const bool pairing = argc > 1 && std::strcmp(argv[1], "pair") == 0;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  const bool takeover = !pairing && !arguments.empty() && arguments.front() == "--take-over";
  if (takeover) arguments.erase(arguments.begin());
  if ((pairing && argc != 3) || (!pairing && arguments.size() > 1) ||
      (arguments.size() == 1 && !pairing && arguments[0].starts_with("-"))) {
    std::cerr << kUsage;
    return 2;
  }
  std::unique_ptr<SecureStore> store;
  std::filesystem::path file;
  try {
    store = makeSecureStore(dataDirectory().parent_path() / "quorvanta-viewer");
    file = viewer::HostBook::defaultFile();
  } catch (const QuorvantaError& error) {
    std::cerr << error.message() << std::endl;
    return 2;
  }
  viewer::HostBook book(file, *store);
  if (pairing) return viewer::runPairCommand(argv[2], book, std::cout, std::cerr);

  QApplication app(argc, argv);
  QApplication::setApplicationName("quorvanta-viewer");
  QApplication::setApplicationDisplayName("Quorvanta Viewer");
  viewer::ViewerWindow window(book);
  window.show();
  const std::string wanted = arguments.empty() ? "" : arguments[0];
  QTimer::singleShot(0, &window, [&] {
    try {
      if (auto host = book.find(wanted)) return window.connectTo(*host, std::nullopt, takeover);
      if (!wanted.empty()) {
        std::cerr << "No paired host is called " << wanted << "." << std::endl;
        QApplication::exit(2);
        return;
      }
    } catch (const QuorvantaError& error) {
      std::cerr << error.message() << std::endl;
    }
    window.showHosts();
  });
  return QApplication::exec();
}
