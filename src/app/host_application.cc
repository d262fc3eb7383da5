#include "app/host_application.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>

#include "app/curtain_windows.h"
#include "app/host_panel.h"
#include "app/panel_window.h"
#include "app/tray_icon.h"

namespace quorvanta {

HostApplication::HostApplication(HostRuntime::Paths paths, const QString& version, QObject* parent)
    : QObject(parent),
      curtainWindows_(std::make_unique<CurtainWindows>()),
      curtain_(std::make_shared<CurtainBridge>(curtainWindows_.get())),
      window_(std::make_unique<PanelWindow>(version)),
      runtime_(std::make_unique<HostRuntime>(std::move(paths), curtain_)) {
  tray_ = std::make_unique<TrayIcon>();
  // Without a tray icon the window is the only way back to the host, so closing it minimises it;
  // a tray that appears later takes that over (TrayIcon::appeared).
  window_->setHideOnClose(TrayIcon::available());
}

HostApplication::~HostApplication() {
  // The host thread may still wait for the curtain; detaching and destroying the windows first
  // releases it before the runtime joins its threads.
  curtain_->detach();
  curtainWindows_.reset();
  runtime_.reset();
}

bool HostApplication::claimInstance() {
  return runtime_->claimInstance();
}

void HostApplication::start() {
  connectPanel();
  connect(runtime_.get(), &HostRuntime::stateChanged, window_->panel(), &HostPanel::render);
  connect(runtime_.get(), &HostRuntime::stateChanged, this,
          [this](const HostState& state) { printer_.print(state); });
  connect(runtime_.get(), &HostRuntime::desktopChosen, this,
          [this](const QString& name, const QString& note, const QString& curtainUnavailable) {
            StatusPrinter::printDesktop(name.toStdString(), note.toStdString());
            window_->panel()->showDesktop(name, note, curtainUnavailable);
          });
  connect(runtime_.get(), &HostRuntime::launched, this, &HostApplication::onLaunched);
  connect(runtime_.get(), &HostRuntime::showPanelRequested, this, &HostApplication::showPanel);
  connect(runtime_.get(), &HostRuntime::noticeReady, this, &HostApplication::showNotice);
  connect(runtime_.get(), &HostRuntime::startFailed, this, [](const QString& reason) {
    qCritical("quorvanta-host: %s", qPrintable(reason));
    QCoreApplication::exit(1);
  });
  // exit(), not quit(): quit() first asks the windows to close, and the panel window refuses.
  connect(runtime_.get(), &HostRuntime::finished, this, [] { QCoreApplication::exit(0); });
  connect(runtime_.get(), &HostRuntime::stateChanged, tray_.get(), &TrayIcon::render);
  connect(tray_.get(), &TrayIcon::panelRequested, window_.get(), &PanelWindow::showNear);
  connect(tray_.get(), &TrayIcon::quitRequested, window_->panel(), &HostPanel::quitRequested);
  connect(tray_.get(), &TrayIcon::appeared, this, [this] { window_->setHideOnClose(true); });
  tray_->show();
  watchScreens();
  runtime_->start();
}

void HostApplication::connectPanel() {
  HostPanel* panel = window_->panel();
  HostRuntime* runtime = runtime_.get();
  const auto perform = [runtime](std::function<void(HostModel&)> action) {
    runtime->perform(std::move(action));
  };
  connect(panel, &HostPanel::startRequested, this, [perform] { perform([](HostModel& m) { m.start(); }); });
  connect(panel, &HostPanel::stopRequested, this,
          [perform] { perform([](HostModel& m) { m.stop(false); }); });
  connect(panel, &HostPanel::retryCredentialsRequested, this,
          [perform] { perform([](HostModel& m) { m.loadCredentials(true); }); });
  connect(panel, &HostPanel::refreshAddressRequested, this,
          [perform] { perform([](HostModel& m) { m.refreshAddress(); }); });
  connect(panel, &HostPanel::allowScreenRecordingRequested, this,
          [runtime] { runtime->requestScreenRecording(); });
  connect(panel, &HostPanel::allowAccessibilityRequested, this, [this] {
    // X11 has no per-application grant: posting input needs the server's XTEST extension.
    showNotice(QStringLiteral(
        "Remote control needs the XTEST extension of your X server, and this one does not offer it. Use an X "
        "server with XTEST (every desktop X server has it), then start Quorvanta Host again."));
  });
  connect(panel, &HostPanel::controlEnabledChanged, this,
          [perform](bool on) { perform([on](HostModel& m) { m.setControlEnabled(on); }); });
  connect(panel, &HostPanel::curtainEnabledChanged, this,
          [perform](bool on) { perform([on](HostModel& m) { m.setCurtainEnabled(on); }); });
  connect(panel, &HostPanel::loginEnabledChanged, this,
          [perform](bool on) { perform([on](HostModel& m) { m.setLogin(on); }); });
  connect(panel, &HostPanel::pairRequested, this,
          [perform] { perform([](HostModel& m) { m.makeInvitation(); }); });
  connect(panel, &HostPanel::cancelInvitationRequested, this,
          [perform] { perform([](HostModel& m) { m.cancelInvitation(); }); });
  connect(panel, &HostPanel::revokeRequested, this, [perform](const QString& id) {
    perform([device = id.toStdString()](HostModel& m) { m.revoke(device); });
  });
  connect(panel, &HostPanel::quitRequested, this, [this] {
    if (quitting_) return;
    quitting_ = true;
    window_->hide();
    runtime_->quit(false);
  });
}

void HostApplication::onLaunched(bool quiet) {
  if (quiet && tray_->visible()) return;
  showPanel();
}

void HostApplication::showPanel() {
  if (quitting_) return;
  window_->showPanel();
}

void HostApplication::showNotice(const QString& text) {
  auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Quorvanta Host"), text,
                              QMessageBox::Ok, window_->isVisible() ? window_.get() : nullptr);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void HostApplication::watchScreens() {
  HostRuntime* runtime = runtime_.get();
  const auto changed = [runtime] { runtime->perform([](HostModel& m) { m.screensChanged(); }); };
  const auto watch = [this, changed](QScreen* screen) {
    connect(screen, &QScreen::geometryChanged, this, changed);
  };
  for (QScreen* screen : QGuiApplication::screens())
    watch(screen);
  connect(qApp, &QGuiApplication::screenAdded, this, [watch, changed](QScreen* screen) {
    watch(screen);
    changed();
  });
  connect(qApp, &QGuiApplication::screenRemoved, this, changed);
}

}  // namespace quorvanta
