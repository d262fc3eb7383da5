#pragma once

#include <QObject>
#include <QRect>

#include <optional>

#include "core/host/host_model.h"

class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace quorvanta {

// The tray entry "Quorvanta": a display, with a check mark while a device is in a session, in
// the theme's symbolic icon or else drawn in the desktop's text colour (following a light or dark
// theme). Clicking it asks for the panel; its menu offers the panel and "Quit".
class TrayIcon : public QObject {
  Q_OBJECT

 public:
  explicit TrayIcon(QObject* parent = nullptr);
  ~TrayIcon() override;

  static bool available();

  // Shows the icon, now when a tray is there, else as soon as one appears (a session's autostart
  // may run before its panel): the tray is looked for again every few seconds until then.
  void show();
  bool visible() const;
  void render(const HostState& state);
  // Whether the check mark form is shown.
  bool showsSession() const { return session_.value_or(false); }

 Q_SIGNALS:
  // `anchor`: where the icon is on the screen, when the tray tells.
  void panelRequested(const QRect& anchor);
  void quitRequested();
  // The icon was shown after a tray appeared.
  void appeared();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void refreshIcon();

  QSystemTrayIcon* tray_;
  QMenu* menu_;
  QTimer* recheck_;
  std::optional<bool> session_;
};

}  // namespace quorvanta
