#include "viewer/video_view.h"

#include <cmath>

#include <QFocusEvent>
#include <QImage>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include "platform/linux/x11/x11_keymap.h"

namespace quorvanta::viewer {
namespace {

ModifierKeys keysOf(Qt::KeyboardModifiers modifiers) {
  return {modifiers.testFlag(Qt::ShiftModifier), modifiers.testFlag(Qt::ControlModifier),
          modifiers.testFlag(Qt::AltModifier)};
}

ControlMessage input(const char* event) {
  auto message = ControlMessage::make("input");
  message.event = event;
  return message;
}

}  // namespace

VideoView::VideoView(QWidget* parent) : QWidget(parent) {
  setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_InputMethodEnabled);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(320, 180);
}

void VideoView::setControlAllowed(bool allowed) {
  if (controlAllowed_ && !allowed) releaseHeld();
  controlAllowed_ = allowed;
  setCursor(allowed ? Qt::CrossCursor : Qt::ArrowCursor);
}

void VideoView::show(std::shared_ptr<const Picture> picture) {
  picture_ = std::move(picture);
  if (picture_ && (picture_->sourceWidth != videoWidth_ || picture_->sourceHeight != videoHeight_)) {
    setVideoSize(picture_->sourceWidth, picture_->sourceHeight);
  }
  update();
}

void VideoView::setVideoSize(int width, int height) {
  if (width == videoWidth_ && height == videoHeight_) return;
  videoWidth_ = width;
  videoHeight_ = height;
  announceSize();
  update();
}

Area VideoView::pictureArea() const {
  return fitPicture(videoWidth_, videoHeight_, {0, 0, double(width()), double(height())});
}

void VideoView::announceSize() {
  const Area area = pictureArea();
  const double ratio = devicePixelRatioF();
  Q_EMIT pictureResized(static_cast<int>(std::lround(area.width * ratio)),
                        static_cast<int>(std::lround(area.height * ratio)));
}

void VideoView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (picture_) {
    const QImage image(picture_->pixels.data(), picture_->width, picture_->height, picture_->width * 4,
                       QImage::Format_RGB32);
    const Area area = pictureArea();
    const QRectF target(area.x, area.y, area.width, area.height);
    // The worker scaled the picture to this area already; a picture of the previous size is
    // stretched until the next one arrives.
    painter.drawImage(target, image);
  }
  if (!overlay_.isEmpty()) {
    painter.setPen(Qt::white);
    const QRect box = painter.boundingRect(QRect(12, 12, width() - 24, height() - 24),
                                           Qt::AlignLeft | Qt::AlignTop, overlay_);
    painter.fillRect(box.adjusted(-8, -6, 8, 6), QColor(0, 0, 0, 170));
    painter.drawText(box, Qt::AlignLeft | Qt::AlignTop, overlay_);
  }
}

void VideoView::resizeEvent(QResizeEvent*) {
  announceSize();
}

void VideoView::pointer(const QPointF& position, const char* event, std::optional<bool> down, int button,
                        Qt::KeyboardModifiers modifiers) {
  if (!controlAllowed_ || !send_) return;
  const auto point = normalise(pictureArea(), position.x(), position.y());
  if (!point) return;
  auto message = input(event);
  message.x = point->x;
  message.y = point->y;
  message.modifiers = modifierFlags(keysOf(modifiers));
  if (down) {
    message.keyDown = *down;
    message.button = button;
  }
  send_(std::move(message));
}

void VideoView::mouseMoveEvent(QMouseEvent* event) {
  pointer(event->position(), "move", std::nullopt, 0, event->modifiers());
}

void VideoView::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  const int button = event->button() == Qt::RightButton ? 1 : 0;
  if (event->button() != Qt::LeftButton && event->button() != Qt::RightButton) return;
  if (controlAllowed_) heldButtons_ |= 1 << button;
  pointer(event->position(), "button", true, button, event->modifiers());
}

void VideoView::mouseReleaseEvent(QMouseEvent* event) {
  const int button = event->button() == Qt::RightButton ? 1 : 0;
  if (event->button() != Qt::LeftButton && event->button() != Qt::RightButton) return;
  heldButtons_ &= ~(1 << button);
  pointer(event->position(), "button", false, button, event->modifiers());
}

void VideoView::mouseDoubleClickEvent(QMouseEvent* event) {
  // The second press of a double click; the host counts the click series itself.
  if (!controlAllowed_) {
    Q_EMIT viewOnlyDoubleClicked();
    return;
  }
  mousePressEvent(event);
}

void VideoView::wheelEvent(QWheelEvent* event) {
  event->accept();
  if (!controlAllowed_ || !send_) return;
  double dx;
  double dy;
  if (!event->pixelDelta().isNull()) {
    dx = event->pixelDelta().x();
    dy = event->pixelDelta().y();
  } else {
    dx = wheelPixels(event->angleDelta().x());
    dy = wheelPixels(event->angleDelta().y());
  }
  if (dx == 0 && dy == 0) return;
  auto message = input("scroll");
  message.x = dx;
  message.y = dy;
  send_(std::move(message));
}

void VideoView::key(QKeyEvent* event, bool down) {
  event->accept();
  if (!controlAllowed_ || !send_) return;
  const auto code = x11::macKeyForKeycode(event->nativeScanCode());
  if (!code) {
    // A key the host's table leaves out still types its text.
    if (down && !event->text().isEmpty() && event->text().at(0).isPrint()) {
      auto message = input("text");
      message.text = event->text().toStdString();
      send_(std::move(message));
    }
    return;
  }
  if (down) {
    heldKeys_.insert(*code);
  } else {
    heldKeys_.erase(*code);
  }
  auto message = input("key");
  message.keyCode = *code;
  message.keyDown = down;
  message.modifiers = modifierFlags(keysOf(event->modifiers()));
  send_(std::move(message));
}

void VideoView::keyPressEvent(QKeyEvent* event) {
  key(event, true);
}

void VideoView::keyReleaseEvent(QKeyEvent* event) {
  if (event->isAutoRepeat()) return event->accept();
  key(event, false);
}

void VideoView::inputMethodEvent(QInputMethodEvent* event) {
  event->accept();
  if (!controlAllowed_ || !send_ || event->commitString().isEmpty()) return;
  auto message = input("text");
  message.text = event->commitString().toStdString();
  send_(std::move(message));
}

QVariant VideoView::inputMethodQuery(Qt::InputMethodQuery query) const {
  if (query == Qt::ImEnabled) return controlAllowed_;
  if (query == Qt::ImCursorRectangle) return QRect(width() / 2, height() / 2, 1, 1);
  return QWidget::inputMethodQuery(query);
}

void VideoView::focusOutEvent(QFocusEvent* event) {
  releaseHeld();
  QWidget::focusOutEvent(event);
}

void VideoView::releaseHeld() {
  if (heldKeys_.empty() && heldButtons_ == 0) return;
  heldKeys_.clear();
  heldButtons_ = 0;
  if (send_) send_(ControlMessage::make("release"));
}

}  // namespace quorvanta::viewer
