#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include <optional>

#include "core/protocol/pairing_invitation.h"

class QPushButton;

namespace quorvanta {

// The QR code of a pairing link on a white rounded card: 210 × 210 with 12 of padding, corner
// radius 14, scaled without smoothing so that every module stays sharp.
class QrCodeView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kCodeSize = 210;
  static constexpr int kPadding = 12;
  static constexpr int kCornerRadius = 14;

  explicit QrCodeView(QWidget* parent = nullptr);
  void setImage(QImage image);
  const QImage& image() const { return image_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage image_;
};

// The open invitation: its QR code, how to use it, "Copy pairing link" and "Cancel".
class PairingCard : public QWidget {
  Q_OBJECT

 public:
  explicit PairingCard(QWidget* parent = nullptr);
  // Shows the card for `invitation` when its link can be formed; hides it otherwise.
  void render(const std::optional<PairingInvitation>& invitation);
  const QString& link() const { return link_; }

 Q_SIGNALS:
  void cancelRequested();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void copyLink();

  QrCodeView* code_;
  QString link_;
};

}  // namespace quorvanta
