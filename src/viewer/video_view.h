#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>

#include <QWidget>

#include "core/protocol/control_message.h"
#include "viewer/decode_worker.h"
#include "viewer/input_mapping.h"

namespace quorvanta::viewer {

// Draws the newest decoded picture, aspect kept, on black, and turns the person's pointer, wheel,
// keys and input-method text into "input" messages for `send` while control is allowed. Keys go
// by physical position (the native scan code) as the host's virtual key codes.
class VideoView : public QWidget {
  Q_OBJECT

 public:
  explicit VideoView(QWidget* parent = nullptr);

  void setSend(std::function<void(ControlMessage)> send) { send_ = std::move(send); }
  void setControlAllowed(bool allowed);
  bool controlAllowed() const { return controlAllowed_; }
  // Shows `picture` at the next paint.
  void show(std::shared_ptr<const Picture> picture);
  void setVideoSize(int width, int height);
  void setOverlay(QString text) {
    overlay_ = std::move(text);
    update();
  }
  // Where the picture is drawn, in logical pixels.
  Area pictureArea() const;
  // Releases what the host holds for this viewer: every key and button it pressed.
  void releaseHeld();

 Q_SIGNALS:
  // The area the picture fills changed; its size in device pixels.
  void pictureResized(int width, int height);
  // A double click while control is not allowed (the window turns full screen on it).
  void viewOnlyDoubleClicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
  void focusOutEvent(QFocusEvent* event) override;
  bool focusNextPrevChild(bool) override { return false; }  // Tab goes to the host

 private:
  void pointer(const QPointF& position, const char* event, std::optional<bool> down, int button,
               Qt::KeyboardModifiers modifiers);
  void key(QKeyEvent* event, bool down);
  void announceSize();

  std::function<void(ControlMessage)> send_;
  bool controlAllowed_ = false;
  std::shared_ptr<const Picture> picture_;
  int videoWidth_ = 0;
  int videoHeight_ = 0;
  QString overlay_;
  std::set<std::uint16_t> heldKeys_;
  int heldButtons_ = 0;
};

}  // namespace quorvanta::viewer
