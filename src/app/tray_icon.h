#pragma once

#include <QObject>
#include <QRect>

#include <optional>

#include "core/host/host_model.h"

class QMenu;
class QSystemTrayIcon;

namespace quorvanta {

// The tray entry "Quorvanta": a display, with a check mark while a device is in a session.
// Clicking it asks for the panel; its menu offers the panel and "Quit".
class TrayIcon : public QObject {
  Q_OBJECT

 public:
  explicit TrayIcon(QObject* parent = nullptr);
  ~TrayIcon() override;

  static bool available();

  void show();
  void render(const HostState& state);
  // Whether the check mark form is shown.
  bool showsSession() const { return session_.value_or(false); }

 Q_SIGNALS:
  // `anchor`: where the icon is on the screen, when the tray tells.
  void panelRequested(const QRect& anchor);
  void quitRequested();

 private:
  QSystemTrayIcon* tray_;
  QMenu* menu_;
  std::optional<bool> session_;
};

}  // namespace quorvanta
