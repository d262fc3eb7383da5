#include "app/pairing_card.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/panel_style.h"
#include "app/qr_image.h"

namespace quorvanta {

QrCodeView::QrCodeView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("qrCode"));
  setFixedSize(kCodeSize + 2 * kPadding, kCodeSize + 2 * kPadding);
}

void QrCodeView::setImage(QImage image) {
  image_ = std::move(image);
  update();
}

void QrCodeView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::white);
  painter.drawRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
  if (image_.isNull()) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(QRect(kPadding, kPadding, kCodeSize, kCodeSize), image_);
}

PairingCard::PairingCard(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("pairingCard"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(16, 16, 16, 16);
  column->setSpacing(8);

  code_ = new QrCodeView(this);
  column->addWidget(code_, 0, Qt::AlignHCenter);
  auto* scan =
      makeLabel(QStringLiteral("Scan in Quorvanta on iPhone or iPad"), TextStyle::headline, false, this);
  scan->setObjectName(QStringLiteral("scanText"));
  scan->setAlignment(Qt::AlignHCenter);
  auto* expiry =
      makeLabel(QStringLiteral("One use · Expires in five minutes"), TextStyle::caption, true, this);
  expiry->setObjectName(QStringLiteral("expiryText"));
  expiry->setAlignment(Qt::AlignHCenter);
  column->addWidget(scan);
  column->addWidget(expiry);

  auto* buttons = new QWidget(this);
  auto* row = new QHBoxLayout(buttons);
  row->setContentsMargins(0, 4, 0, 0);
  row->setSpacing(8);
  auto* copy = new QPushButton(QStringLiteral("Copy pairing link"), buttons);
  copy->setObjectName(QStringLiteral("copyLinkButton"));
  copy->setStyleSheet(tintedButtonStyle(mintColor()));
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), buttons);
  cancel->setObjectName(QStringLiteral("cancelButton"));
  cancel->setStyleSheet(tintedButtonStyle(Qt::white));
  row->addStretch(1);
  row->addWidget(copy);
  row->addWidget(cancel);
  row->addStretch(1);
  column->addWidget(buttons);

  connect(copy, &QPushButton::clicked, this, &PairingCard::copyLink);
  connect(cancel, &QPushButton::clicked, this, &PairingCard::cancelRequested);
  hide();
}

void PairingCard::render(const std::optional<PairingInvitation>& invitation) {
  const std::optional<std::string> url = invitation ? invitation->url() : std::nullopt;
  if (!url) {
    link_.clear();
    code_->setImage({});
    hide();
    return;
  }
  const QString link = QString::fromStdString(*url);
  if (link != link_) {
    link_ = link;
    code_->setImage(qrImage(*url));
    code_->setVisible(!code_->image().isNull());
  }
  show();
}

void PairingCard::copyLink() {
  if (link_.isEmpty()) return;
  // A fresh MIME object replaces every format the clipboard held, so only the link remains.
  auto* mime = new QMimeData;
  mime->setText(link_);
  QGuiApplication::clipboard()->setMimeData(mime, QClipboard::Clipboard);
}

void PairingCard::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(255, 255, 255, 24), 1.0));
  painter.setBrush(QColor(255, 255, 255, 14));
  painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 14, 14);
}

}  // namespace quorvanta
