#pragma once

#include <string_view>

#include <QString>
#include <QWidget>

#include "core/host/host_model.h"

class QLabel;
class QPushButton;

namespace quorvanta {

class ToggleSwitch;

// One permission: a check mark when granted, else an empty circle; then "Allowed" or "Allow".
class PermissionRow : public QWidget {
  Q_OBJECT

 public:
  PermissionRow(const QString& title, QWidget* parent = nullptr);
  void render(bool granted);
  bool granted() const { return granted_; }

 Q_SIGNALS:
  void allowRequested();

 private:
  QLabel* symbol_;
  QLabel* allowed_;
  QPushButton* allow_;
  bool granted_ = false;
  bool rendered_ = false;
};

// A title with a switch at the far end. clicked() carries the new value the user chose.
class SwitchRow : public QWidget {
  Q_OBJECT

 public:
  SwitchRow(const QString& title, QWidget* parent = nullptr);
  void render(bool on);
  ToggleSwitch* toggle() const { return toggle_; }

 Q_SIGNALS:
  void clicked(bool on);

 private:
  ToggleSwitch* toggle_;
};

// Whether the desktop named by $XDG_CURRENT_DESKTOP (a colon-separated list) draws its overview,
// window switcher and lock screen in its compositor, above every X window: GNOME Shell and
// Cinnamon do. No window, the curtain's included, can cover those there.
bool shellDrawsAboveWindows(std::string_view desktops);

// The two permissions, the three switches and their explanations. Where the desktop's shell
// draws above every window, the curtain's explanation says that the curtain is not available.
class PermissionSection : public QWidget {
  Q_OBJECT

 public:
  // `desktops`: as in $XDG_CURRENT_DESKTOP.
  explicit PermissionSection(QWidget* parent = nullptr, std::string_view desktops = currentDesktops());
  static std::string_view currentDesktops();
  void render(const HostState& state);
  void showDesktop(const QString& name, const QString& note, const QString& curtainUnavailable);

 Q_SIGNALS:
  void allowScreenRecordingRequested();
  void allowAccessibilityRequested();
  void controlEnabledChanged(bool enabled);
  void loginEnabledChanged(bool enabled);
  void curtainEnabledChanged(bool enabled);

 private:
  PermissionRow* screenRecording_;
  PermissionRow* accessibility_;
  SwitchRow* control_;
  SwitchRow* login_;
  SwitchRow* curtain_;
  QLabel* curtainNote_;
  QLabel* desktop_;
  bool curtainAvailable_ = true;
};

}  // namespace quorvanta
