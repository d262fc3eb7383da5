#pragma once

#include <QAbstractButton>

namespace quorvanta {

// An on/off switch: a rounded track with a knob, filled with the accent colour while on.
// Programmatic setChecked() does not emit clicked(); only the user's press does.
class ToggleSwitch : public QAbstractButton {
  Q_OBJECT

 public:
  explicit ToggleSwitch(QWidget* parent = nullptr);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace quorvanta
