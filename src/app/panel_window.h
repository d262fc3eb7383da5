#pragma once

#include <QRect>
#include <QString>
#include <QWidget>

namespace quorvanta {

class HostPanel;

// The panel's own window, "Quorvanta Host", 400 × 650. Made once and kept: closing it only hides
// it, or, where there is no tray icon to bring it back, minimises it.
class PanelWindow : public QWidget {
  Q_OBJECT

 public:
  explicit PanelWindow(const QString& version, QWidget* parent = nullptr);

  HostPanel* panel() const { return panel_; }

  // Whether closing hides the window (there is a tray icon) or minimises it (there is none).
  void setHideOnClose(bool hide) { hideOnClose_ = hide; }

  // Brings the window to the front: centred on the screen the first time, then where it was.
  void showPanel();
  // Shows the window beside a tray icon whose area on the screen is `anchor`.
  void showNear(const QRect& anchor);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void bringToFront();

  HostPanel* panel_;
  bool hideOnClose_ = true;
  bool placed_ = false;
};

}  // namespace quorvanta
