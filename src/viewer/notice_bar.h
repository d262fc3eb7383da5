#pragma once

#include <functional>

#include <QFrame>

class QLabel;
class QPushButton;

namespace quorvanta::viewer {

// A bar above the picture with one sentence and, optionally, one action button.
class NoticeBar : public QFrame {
  Q_OBJECT

 public:
  explicit NoticeBar(QWidget* parent = nullptr);

  void say(const QString& text, const QString& action = {}, std::function<void()> onAction = {});
  void clear();
  QString text() const;

 private:
  QLabel* label_;
  QPushButton* button_;
  QPushButton* close_;
  std::function<void()> onAction_;
};

}  // namespace quorvanta::viewer
