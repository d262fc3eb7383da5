#pragma once

#include <QRect>
#include <QWidget>

#include <cstdint>

class QPropertyAnimation;

namespace quorvanta {

// One curtain window: undecorated, above every other window, on every workspace (it bypasses the
// window manager, so no workspace owns it), click-through (an empty input shape), nearly black
// with the session message in its middle.
//
// Three states: off screen; prepared (mapped and in front but showing nothing); revealed. A
// prepared window has an empty bounding shape, which hides it with and without a compositing
// manager, so a compositing manager starting or stopping during a session changes nothing.
// Revealing gives the window back its whole shape; where a compositing manager runs at that
// moment it fades in from opacity 0 to 1 over 0.4 seconds, elsewhere it shows at once.
class CurtainWindow : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kFadeMilliseconds = 400;

  explicit CurtainWindow(const QRect& frame);
  ~CurtainWindow() override;

  const QRect& frame() const { return frame_; }
  std::uint32_t windowID() const { return windowID_; }
  bool revealed() const { return revealed_; }

  // Maps the window in front of all others, transparent. A window already on screen is left as
  // it is.
  void prepare();
  void reveal();
  void takeOffScreen();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void makeTransparent();

  QRect frame_;
  std::uint32_t windowID_ = 0;
  bool revealed_ = false;
  QPropertyAnimation* fade_;
};

// The message in the middle of a curtain window.
QWidget* makeCurtainMessage(QWidget* parent);

}  // namespace quorvanta
