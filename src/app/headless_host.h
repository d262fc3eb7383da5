#pragma once

#include <QObject>

#include <memory>

#include "app/host_runtime.h"
#include "app/status_printer.h"

namespace quorvanta {

// The host where no X display can be reached (a server, a test in a private namespace): no tray,
// panel or curtain, only the status lines on standard output. The quorvanta command controls it.
class HeadlessHost : public QObject {
  Q_OBJECT

 public:
  explicit HeadlessHost(HostRuntime::Paths paths, QObject* parent = nullptr);

  // False when another copy runs: it has been asked to show its panel and this one should exit.
  bool claimInstance() { return runtime_->claimInstance(); }
  // Starts the host; the application quits once the host has been torn down.
  void start();

 private:
  std::unique_ptr<HostRuntime> runtime_;
  StatusPrinter printer_;
};

}  // namespace quorvanta
