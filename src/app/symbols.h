#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace quorvanta {

// The small pictures of the interface, drawn in code so that they look the same on every desktop.
enum class Symbol {
  display,           // a monitor on its stand
  displayCheckmark,  // the monitor with a check mark: a device is in a session
  checkmarkFilled,   // a filled circle with a check mark: granted
  circle,            // an empty circle: not granted
  refresh,           // a clockwise arrow
  plus,
  devices,  // a tablet beside a phone
};

// `symbol` in `color`, `size` × `size` device-independent pixels.
QPixmap symbolPixmap(Symbol symbol, int size, const QColor& color, qreal devicePixelRatio = 1.0);
QIcon symbolIcon(Symbol symbol, int size, const QColor& color);

}  // namespace quorvanta
