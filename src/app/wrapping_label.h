#pragma once

#include <QString>
#include <QWidget>

namespace quorvanta {

// Plain text that wraps at word boundaries and, inside a word longer than the line, anywhere, so
// that it never asks for more width than it is given.
class WrappingLabel : public QWidget {
  Q_OBJECT

 public:
  explicit WrappingLabel(QWidget* parent = nullptr);

  void setText(const QString& text);
  const QString& text() const { return text_; }

  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString text_;
};

}  // namespace quorvanta
