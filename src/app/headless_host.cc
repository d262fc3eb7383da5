#include "app/headless_host.h"

#include <QCoreApplication>

#include <iostream>

namespace quorvanta {

HeadlessHost::HeadlessHost(HostRuntime::Paths paths, QObject* parent)
    : QObject(parent), runtime_(std::make_unique<HostRuntime>(std::move(paths), nullptr)) {}

void HeadlessHost::start() {
  connect(runtime_.get(), &HostRuntime::stateChanged, this,
          [this](const HostState& state) { printer_.print(state); });
  connect(runtime_.get(), &HostRuntime::desktopChosen, this,
          [](const QString& name, const QString& note, const QString&) {
            StatusPrinter::printDesktop(name.toStdString(), note.toStdString());
          });
  connect(runtime_.get(), &HostRuntime::showPanelRequested, this, [] {
    std::cout << "quorvanta-host: there is no display here, so no panel; use the quorvanta command."
              << std::endl;
  });
  connect(runtime_.get(), &HostRuntime::startFailed, this, [](const QString& reason) {
    std::cerr << "quorvanta-host: " << reason.toStdString() << std::endl;
    QCoreApplication::exit(1);
  });
  connect(runtime_.get(), &HostRuntime::finished, this, [] { QCoreApplication::exit(0); });
  runtime_->start();
}

}  // namespace quorvanta
