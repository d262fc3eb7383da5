#pragma once

#include <QObject>
#include <QString>

#include <memory>

#include "app/host_runtime.h"
#include "app/status_printer.h"

namespace quorvanta {

class CurtainBridge;
class CurtainWindows;
class PanelWindow;
class TrayIcon;

// The desktop application around the host: the tray icon, the panel window and the curtain
// windows on the GUI thread, the host on its own threads. One per process.
class HostApplication : public QObject {
  Q_OBJECT

 public:
  HostApplication(HostRuntime::Paths paths, const QString& version, QObject* parent = nullptr);
  ~HostApplication() override;

  // False when another copy runs: it has been asked to show its panel and this one should exit.
  bool claimInstance();
  // Starts the host; the application quits once the host has been torn down.
  void start();

  PanelWindow* window() const { return window_.get(); }

 private:
  void connectPanel();
  void onLaunched(bool quiet);
  void showPanel();
  void showNotice(const QString& text);
  void watchScreens();

  std::unique_ptr<CurtainWindows> curtainWindows_;
  std::shared_ptr<CurtainBridge> curtain_;
  std::unique_ptr<PanelWindow> window_;
  std::unique_ptr<TrayIcon> tray_;
  std::unique_ptr<HostRuntime> runtime_;
  StatusPrinter printer_;
  bool quitting_ = false;
};

}  // namespace quorvanta
