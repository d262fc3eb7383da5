#pragma once

#include <QScrollArea>
#include <QString>

#include "core/host/host_model.h"

namespace quorvanta {

class ConnectionSection;
class DevicesSection;
class ErrorSection;
class PermissionSection;
class SharingButton;
class StatusSection;

// The host's panel: 400 × 650, dark, scrolling. It shows one snapshot of the host's published
// values at a time and turns every press into a signal; it keeps nothing of its own beyond what
// the snapshot says.
class HostPanel : public QScrollArea {
  Q_OBJECT

 public:
  static constexpr int kWidth = 400;
  static constexpr int kHeight = 650;

  // `version` is shown in the footer.
  explicit HostPanel(const QString& version, QWidget* parent = nullptr);

  void render(const HostState& state);
  const HostState& state() const { return state_; }
  // The desktop backend's name and note; `curtainUnavailable` non-empty disables the curtain switch
  // and says why.
  void showDesktop(const QString& name, const QString& note, const QString& curtainUnavailable);

  QSize sizeHint() const override { return {kWidth, kHeight}; }

 Q_SIGNALS:
  void startRequested();
  void stopRequested();
  void retryCredentialsRequested();
  void refreshAddressRequested();
  void allowScreenRecordingRequested();
  void allowAccessibilityRequested();
  void controlEnabledChanged(bool enabled);
  void curtainEnabledChanged(bool enabled);
  void loginEnabledChanged(bool enabled);
  void pairRequested();
  void cancelInvitationRequested();
  void revokeRequested(const QString& deviceID);
  void quitRequested();

 private:
  HostState state_;
  StatusSection* status_;
  ErrorSection* error_;
  SharingButton* sharing_;
  ConnectionSection* connection_;
  PermissionSection* permissions_;
  DevicesSection* devices_;
};

}  // namespace quorvanta
