#include "app/curtain_window.h"

#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>
#include <QVBoxLayout>

#include <algorithm>

#include "app/panel_style.h"
#include "app/symbols.h"
#include "app/x11_window_shape.h"

namespace quorvanta {

namespace {

QColor curtainColor() {
  return QColor::fromRgbF(0.02F, 0.02F, 0.02F, 0.97F);
}

QColor messageColor() {
  return QColor::fromRgbF(0.92F, 0.92F, 0.92F, 1.0F);
}

}  // namespace

QWidget* makeCurtainMessage(QWidget* parent) {
  auto* message = new QWidget(parent);
  message->setObjectName(QStringLiteral("curtainMessage"));
  auto* column = new QVBoxLayout(message);
  column->setSpacing(14);
  column->setAlignment(Qt::AlignCenter);

  auto* symbol = new QLabel(message);
  symbol->setPixmap(symbolPixmap(Symbol::display, 52, mintColor(), message->devicePixelRatioF()));
  symbol->setAlignment(Qt::AlignHCenter);

  auto* title = new QLabel(QStringLiteral("Quorvanta session in progress"), message);
  title->setObjectName(QStringLiteral("curtainTitle"));
  QFont titleFont = textFont(TextStyle::title);
  titleFont.setPixelSize(26);
  titleFont.setWeight(QFont::Medium);
  title->setFont(titleFont);
  title->setAlignment(Qt::AlignHCenter);
  setTextColor(title, messageColor());

  auto* text = new QLabel(
      QStringLiteral(
          "This computer is in use from a paired iPhone or iPad. The screen returns when the session ends."),
      message);
  text->setObjectName(QStringLiteral("curtainText"));
  text->setFont(textFont(TextStyle::callout));
  text->setWordWrap(true);
  text->setAlignment(Qt::AlignHCenter);
  // At most 420 wide; the height follows from the wrapped lines at that width.
  text->setFixedWidth(std::min(420, text->fontMetrics().horizontalAdvance(text->text()) + 1));
  text->setMinimumHeight(text->heightForWidth(text->width()));
  QColor secondary = messageColor();
  secondary.setAlphaF(0.6F);
  setTextColor(text, secondary);

  column->addWidget(symbol, 0, Qt::AlignHCenter);
  column->addWidget(title, 0, Qt::AlignHCenter);
  column->addWidget(text, 0, Qt::AlignHCenter);
  return message;
}

CurtainWindow::CurtainWindow(const QRect& frame)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::X11BypassWindowManagerHint | Qt::WindowTransparentForInput |
                           Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint),
      frame_(frame),
      fade_(new QPropertyAnimation(this, "windowOpacity", this)) {
  setObjectName(QStringLiteral("curtainWindow"));
  setWindowTitle(QStringLiteral("Quorvanta"));
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setGeometry(frame);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(makeCurtainMessage(this), 0, Qt::AlignCenter);
  fade_->setDuration(kFadeMilliseconds);
  fade_->setStartValue(0.0);
  fade_->setEndValue(1.0);

  // Made at once, not when first shown, so that the window has its X ID and shapes from the start.
  windowID_ = static_cast<std::uint32_t>(winId());
  x11_shape::setEmptyInput(windowID_);
  makeTransparent();
}

CurtainWindow::~CurtainWindow() = default;

void CurtainWindow::makeTransparent() {
  fade_->stop();
  revealed_ = false;
  setWindowOpacity(0.0);
  x11_shape::setEmptyBounding(windowID_);
}

void CurtainWindow::prepare() {
  if (isVisible()) return;
  makeTransparent();
  setGeometry(frame_);
  show();
  raise();
  // Showing can set the input region again; it stays empty.
  x11_shape::setEmptyInput(windowID_);
}

void CurtainWindow::reveal() {
  if (!isVisible()) return;
  revealed_ = true;
  fade_->stop();
  x11_shape::resetBounding(windowID_);
  x11_shape::setEmptyInput(windowID_);
  if (x11_shape::compositingManagerRuns()) {
    fade_->setStartValue(windowOpacity());
    fade_->start();
  } else {
    setWindowOpacity(1.0);
  }
  raise();
}

void CurtainWindow::takeOffScreen() {
  hide();
  makeTransparent();
}

void CurtainWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.fillRect(rect(), curtainColor());
}

}  // namespace quorvanta
