#include "app/tray_icon.h"

#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPalette>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/symbols.h"

namespace quorvanta {

namespace {

constexpr int kTrayRecheckMs = 5000;

QIcon trayIcon(bool session) {
  // The desktop colours a themed symbolic icon for its panel itself.
  if (!session) {
    const QIcon themed = QIcon::fromTheme(QStringLiteral("app.quorvanta.host-symbolic"));
    if (!themed.isNull()) return themed;
  }
  return symbolIcon(session ? Symbol::displayCheckmark : Symbol::display, 22,
                    QGuiApplication::palette().color(QPalette::WindowText));
}

}  // namespace

TrayIcon::TrayIcon(QObject* parent)
    : QObject(parent), tray_(new QSystemTrayIcon(this)), menu_(new QMenu), recheck_(new QTimer(this)) {
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
  recheck_->setInterval(kTrayRecheckMs);
  connect(recheck_, &QTimer::timeout, this, [this] {
    if (!available()) return;
    recheck_->stop();
    tray_->show();
    Q_EMIT appeared();
  });
  // A light or dark theme chosen while running recolours the drawn icon.
  qGuiApp->installEventFilter(this);
}

TrayIcon::~TrayIcon() {
  delete menu_;
}

bool TrayIcon::available() {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::show() {
  if (available()) {
    tray_->show();
  } else {
    recheck_->start();
  }
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qGuiApp && event->type() == QEvent::ApplicationPaletteChange) refreshIcon();
  return QObject::eventFilter(watched, event);
}

bool TrayIcon::visible() const {
  return tray_->isVisible();
}

void TrayIcon::refreshIcon() {
  tray_->setIcon(trayIcon(session_.value_or(false)));
}

void TrayIcon::render(const HostState& state) {
  const bool session = state.activeDevice.has_value();
  if (session_ == session) return;
  session_ = session;
  refreshIcon();
}

}  // namespace quorvanta
