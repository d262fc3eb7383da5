#include "app/symbols.h"

#include <QPainter>
#include <QPainterPath>

namespace quorvanta {

namespace {

// Every symbol is drawn on a 24 × 24 grid and scaled.
constexpr qreal kGrid = 24.0;

QPen strokePen(const QColor& color, qreal width) {
  QPen pen(color, width);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  return pen;
}

void drawDisplay(QPainter& painter, const QColor& color) {
  painter.setPen(strokePen(color, 1.8));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(QRectF(2.5, 3.5, 19.0, 13.0), 2.0, 2.0);
  painter.drawLine(QPointF(12.0, 16.5), QPointF(12.0, 20.0));
  painter.drawLine(QPointF(8.0, 20.5), QPointF(16.0, 20.5));
}

void drawCheck(QPainter& painter, const QPointF& centre, qreal scale, const QPen& pen) {
  QPainterPath check;
  check.moveTo(centre + QPointF(-3.2, 0.2) * scale);
  check.lineTo(centre + QPointF(-0.9, 2.5) * scale);
  check.lineTo(centre + QPointF(3.4, -2.4) * scale);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(check);
}

void drawRefresh(QPainter& painter, const QColor& color) {
  const QRectF arc(5.0, 5.0, 14.0, 14.0);
  painter.setPen(strokePen(color, 1.9));
  painter.setBrush(Qt::NoBrush);
  // From the top, clockwise, most of the way round.
  painter.drawArc(arc, 60 * 16, -300 * 16);
  QPainterPath head;
  head.moveTo(15.2, 3.2);
  head.lineTo(16.4, 7.4);
  head.lineTo(12.0, 7.6);
  painter.drawPath(head);
}

void drawDevices(QPainter& painter, const QColor& color) {
  painter.setPen(strokePen(color, 1.6));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(QRectF(2.5, 4.0, 13.0, 17.0), 2.0, 2.0);
  painter.drawRoundedRect(QRectF(14.5, 10.0, 7.0, 11.5), 1.5, 1.5);
}

}  // namespace

QPixmap symbolPixmap(Symbol symbol, int size, const QColor& color, qreal devicePixelRatio) {
  const int pixels = qRound(size * devicePixelRatio);
  QPixmap pixmap(pixels, pixels);
  pixmap.setDevicePixelRatio(devicePixelRatio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal scale = size / kGrid;
  painter.scale(scale, scale);

  switch (symbol) {
    case Symbol::display:
      drawDisplay(painter, color);
      break;
    case Symbol::displayCheckmark:
      drawDisplay(painter, color);
      drawCheck(painter, QPointF(12.0, 10.0), 1.0, strokePen(color, 1.9));
      break;
    case Symbol::checkmarkFilled: {
      painter.setPen(Qt::NoPen);
      painter.setBrush(color);
      painter.drawEllipse(QRectF(2.0, 2.0, 20.0, 20.0));
      painter.setCompositionMode(QPainter::CompositionMode_Clear);
      drawCheck(painter, QPointF(12.0, 12.0), 1.15, strokePen(Qt::black, 2.4));
      break;
    }
    case Symbol::circle:
      painter.setPen(strokePen(color, 1.8));
      painter.setBrush(Qt::NoBrush);
      painter.drawEllipse(QRectF(3.0, 3.0, 18.0, 18.0));
      break;
    case Symbol::refresh:
      drawRefresh(painter, color);
      break;
    case Symbol::plus:
      painter.setPen(strokePen(color, 2.0));
      painter.drawLine(QPointF(12.0, 5.0), QPointF(12.0, 19.0));
      painter.drawLine(QPointF(5.0, 12.0), QPointF(19.0, 12.0));
      break;
    case Symbol::devices:
      drawDevices(painter, color);
      break;
  }
  return pixmap;
}

QIcon symbolIcon(Symbol symbol, int size, const QColor& color) {
  QIcon icon;
  for (const int pixels : {16, 22, 24, 32, 48, 64}) {
    if (pixels > size * 4) break;
    icon.addPixmap(symbolPixmap(symbol, pixels, color));
  }
  icon.addPixmap(symbolPixmap(symbol, size, color));
  return icon;
}

}  // namespace quorvanta
