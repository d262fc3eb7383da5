#pragma once

#include <QString>
#include <QWidget>

#include <vector>

#include "core/host/host_model.h"

class QPushButton;
class QVBoxLayout;
class QLabel;

namespace quorvanta {

class PairingCard;

// One trusted device: its name above the date it was paired, and "Revoke".
class DeviceRow : public QWidget {
  Q_OBJECT

 public:
  DeviceRow(const TrustedDevice& device, QWidget* parent = nullptr);
  const QString& deviceID() const { return deviceID_; }

 Q_SIGNALS:
  void revokeRequested(const QString& deviceID);

 private:
  QString deviceID_;
};

// The date (without the time) of a moment given in seconds since 2001-01-01 00:00:00 UTC, in the
// user's locale.
QString pairingDateText(double secondsSince2001);

// "YOUR DEVICES" with "Pair device", the pairing card while an invitation is open, and the list
// of trusted devices or, without any, how pairing works.
class DevicesSection : public QWidget {
  Q_OBJECT

 public:
  explicit DevicesSection(QWidget* parent = nullptr);
  void render(const HostState& state);

 Q_SIGNALS:
  void pairRequested();
  void cancelInvitationRequested();
  void revokeRequested(const QString& deviceID);

 private:
  QPushButton* pair_;
  PairingCard* card_;
  QLabel* emptyHint_;
  QWidget* list_;
  QVBoxLayout* listLayout_;
  std::optional<std::vector<TrustedDevice>> shown_;
};

}  // namespace quorvanta
