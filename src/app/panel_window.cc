#include "app/panel_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

#include "app/host_panel.h"
#include "app/panel_style.h"

namespace quorvanta {

PanelWindow::PanelWindow(const QString& version, QWidget* parent)
    : QWidget(parent, Qt::Window), panel_(new HostPanel(version, this)) {
  setObjectName(QStringLiteral("panelWindow"));
  setWindowTitle(QStringLiteral("Quorvanta Host"));
  setPalette(darkPalette());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(panel_);
  setFixedSize(HostPanel::kWidth, HostPanel::kHeight);
}

void PanelWindow::showPanel() {
  if (!placed_) {
    placed_ = true;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect area = frameGeometry();
      area.moveCenter(screen->availableGeometry().center());
      move(area.topLeft());
    }
  }
  bringToFront();
}

void PanelWindow::showNear(const QRect& anchor) {
  QScreen* screen = anchor.isValid() ? QGuiApplication::screenAt(anchor.center()) : nullptr;
  if (!screen) {
    showPanel();
    return;
  }
  placed_ = true;
  const QRect available = screen->availableGeometry();
  // Below the icon when it sits at the top of the screen, above it otherwise; centred on it.
  int x = anchor.center().x() - width() / 2;
  int y = anchor.center().y() < available.center().y() ? anchor.bottom() + 6 : anchor.top() - height() - 6;
  x = std::clamp(x, available.left(), std::max(available.left(), available.right() - width()));
  y = std::clamp(y, available.top(), std::max(available.top(), available.bottom() - height()));
  move(x, y);
  bringToFront();
}

void PanelWindow::bringToFront() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void PanelWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  if (hideOnClose_) {
    hide();
  } else {
    showMinimized();
  }
}

}  // namespace quorvanta
