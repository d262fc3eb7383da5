#include "app/tray_icon.h"

#include <QMenu>
#include <QSystemTrayIcon>

#include "app/symbols.h"

namespace quorvanta {

namespace {

QIcon trayIcon(bool session) {
  return symbolIcon(session ? Symbol::displayCheckmark : Symbol::display, 22, QColor(236, 236, 236));
}

}  // namespace

TrayIcon::TrayIcon(QObject* parent) : QObject(parent), tray_(new QSystemTrayIcon(this)), menu_(new QMenu) {
  tray_->setToolTip(QStringLiteral("Quorvanta"));
  tray_->setIcon(trayIcon(false));
  QAction* open = menu_->addAction(QStringLiteral("Open Quorvanta Host"));
  menu_->addSeparator();
  QAction* quit = menu_->addAction(QStringLiteral("Quit"));
  tray_->setContextMenu(menu_);
  connect(open, &QAction::triggered, this, [this] { Q_EMIT panelRequested(tray_->geometry()); });
  connect(quit, &QAction::triggered, this, &TrayIcon::quitRequested);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
      Q_EMIT panelRequested(tray_->geometry());
  });
}

TrayIcon::~TrayIcon() {
  delete menu_;
}

bool TrayIcon::available() {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::show() {
  tray_->show();
}

void TrayIcon::render(const HostState& state) {
  const bool session = state.activeDevice.has_value();
  if (session_ == session) return;
  session_ = session;
  tray_->setIcon(trayIcon(session));
}

}  // namespace quorvanta
