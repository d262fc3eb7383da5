#include "app/wrapping_label.h"

#include <QPainter>
#include <QTextLayout>

#include <cmath>

namespace quorvanta {

namespace {

// Lays `text` out in lines of `width` and returns the height; draws it when `painter` is given.
int layOut(const QString& text, const QFont& font, int width, QPainter* painter) {
  QTextLayout layout(text, font);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  qreal height = 0;
  while (true) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(std::max(width, 1));
    line.setPosition(QPointF(0, height));
    height += line.height();
  }
  layout.endLayout();
  if (painter) layout.draw(painter, QPointF(0, 0));
  return static_cast<int>(std::ceil(height));
}

}  // namespace

WrappingLabel::WrappingLabel(QWidget* parent) : QWidget(parent) {
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
}

void WrappingLabel::setText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  updateGeometry();
  update();
}

int WrappingLabel::heightForWidth(int width) const {
  return layOut(text_, font(), width, nullptr);
}

QSize WrappingLabel::sizeHint() const {
  const int width = fontMetrics().horizontalAdvance(text_) + 1;
  return {width, heightForWidth(width)};
}

QSize WrappingLabel::minimumSizeHint() const {
  return {fontMetrics().averageCharWidth() * 4, fontMetrics().height()};
}

void WrappingLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setPen(palette().color(foregroundRole()));
  layOut(text_, font(), width(), &painter);
}

}  // namespace quorvanta
