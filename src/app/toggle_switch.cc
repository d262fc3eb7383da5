#include "app/toggle_switch.h"

#include <QPainter>

#include "app/panel_style.h"

namespace quorvanta {

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize ToggleSwitch::sizeHint() const {
  return {38, 22};
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF track = QRectF(rect()).adjusted(1.0, 1.0, -1.0, -1.0);
  const qreal radius = track.height() / 2.0;
  QColor trackColor = isChecked() ? mintColor() : QColor(120, 120, 128, 90);
  if (!isEnabled()) trackColor.setAlphaF(trackColor.alphaF() * 0.5F);
  painter.setPen(Qt::NoPen);
  painter.setBrush(trackColor);
  painter.drawRoundedRect(track, radius, radius);

  const qreal knob = track.height() - 4.0;
  const qreal left = isChecked() ? track.right() - 2.0 - knob : track.left() + 2.0;
  painter.setBrush(QColor(255, 255, 255, isEnabled() ? 255 : 150));
  painter.drawEllipse(QRectF(left, track.top() + 2.0, knob, knob));
  if (hasFocus()) {
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(mintColor().lighter(120), 1.0));
    painter.drawRoundedRect(track.adjusted(-0.5, -0.5, 0.5, 0.5), radius, radius);
  }
}

}  // namespace quorvanta
