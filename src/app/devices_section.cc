#include "app/devices_section.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

#include "app/pairing_card.h"
#include "app/panel_style.h"
#include "app/symbols.h"
#include "app/wrapping_label.h"

namespace quorvanta {

namespace {

// 2001-01-01 00:00:00 UTC in seconds since the Unix epoch.
constexpr qint64 kReferenceDate = 978307200;

}  // namespace

QString pairingDateText(double secondsSince2001) {
  const double seconds = std::isfinite(secondsSince2001) ? std::floor(secondsSince2001) : 0.0;
  const QDateTime moment = QDateTime::fromSecsSinceEpoch(kReferenceDate + static_cast<qint64>(seconds));
  return QLocale().toString(moment.toLocalTime().date(), QLocale::ShortFormat);
}

DeviceRow::DeviceRow(const TrustedDevice& device, QWidget* parent)
    : QWidget(parent), deviceID_(QString::fromStdString(device.id)) {
  setObjectName(QStringLiteral("deviceRow"));
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(10);
  auto* symbol = new QLabel(this);
  symbol->setPixmap(
      symbolPixmap(Symbol::devices, 22, palette().color(QPalette::WindowText), devicePixelRatioF()));
  row->addWidget(symbol, 0, Qt::AlignVCenter);

  auto* texts = new QWidget(this);
  auto* column = new QVBoxLayout(texts);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(1);
  auto* name = new WrappingLabel(texts);
  name->setObjectName(QStringLiteral("deviceName"));
  name->setFont(textFont(TextStyle::body));
  name->setText(QString::fromStdString(device.name));
  auto* date = makeLabel(pairingDateText(device.pairedAt), TextStyle::caption, true, texts);
  date->setObjectName(QStringLiteral("deviceDate"));
  column->addWidget(name);
  column->addWidget(date);
  texts->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  row->addWidget(texts, 1);

  auto* revoke = new QPushButton(QStringLiteral("Revoke"), this);
  revoke->setObjectName(QStringLiteral("revokeButton"));
  revoke->setStyleSheet(tintedButtonStyle(destructiveColor()));
  revoke->setCursor(Qt::PointingHandCursor);
  row->addWidget(revoke, 0, Qt::AlignVCenter);
  connect(revoke, &QPushButton::clicked, this, [this] { Q_EMIT revokeRequested(deviceID_); });
}

DevicesSection::DevicesSection(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("devices"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(12);

  auto* header = new QWidget(this);
  auto* headerRow = new QHBoxLayout(header);
  headerRow->setContentsMargins(0, 0, 0, 0);
  auto* caption = makeLabel(QStringLiteral("YOUR DEVICES"), TextStyle::captionStrong, true, header);
  caption->setObjectName(QStringLiteral("devicesCaption"));
  caption->setWordWrap(false);
  pair_ = new QPushButton(QStringLiteral("Pair device"), header);
  pair_->setObjectName(QStringLiteral("pairButton"));
  pair_->setIcon(symbolIcon(Symbol::plus, 14, mintColor()));
  pair_->setStyleSheet(tintedButtonStyle(mintColor()));
  pair_->setCursor(Qt::PointingHandCursor);
  pair_->setEnabled(false);
  headerRow->addWidget(caption);
  headerRow->addStretch(1);
  headerRow->addWidget(pair_);
  column->addWidget(header);

  card_ = new PairingCard(this);
  column->addWidget(card_);

  emptyHint_ = makeLabel(QStringLiteral("Pair once. Your devices reconnect automatically afterward."),
                         TextStyle::callout, true, this);
  emptyHint_->setObjectName(QStringLiteral("noDevicesText"));
  column->addWidget(emptyHint_);

  list_ = new QWidget(this);
  list_->setObjectName(QStringLiteral("deviceList"));
  listLayout_ = new QVBoxLayout(list_);
  listLayout_->setContentsMargins(0, 0, 0, 0);
  listLayout_->setSpacing(10);
  list_->hide();
  column->addWidget(list_);

  connect(pair_, &QPushButton::clicked, this, &DevicesSection::pairRequested);
  connect(card_, &PairingCard::cancelRequested, this, &DevicesSection::cancelInvitationRequested);
}

void DevicesSection::render(const HostState& state) {
  pair_->setEnabled(state.running);
  card_->render(state.invitation);
  emptyHint_->setVisible(state.devices.empty());
  list_->setVisible(!state.devices.empty());
  if (shown_ == state.devices) return;
  shown_ = state.devices;

  while (QLayoutItem* item = listLayout_->takeAt(0)) {
    // Deleted later: the row's own button may be what led here.
    if (QWidget* row = item->widget()) {
      row->hide();
      row->setParent(nullptr);
      row->deleteLater();
    }
    delete item;
  }
  for (const TrustedDevice& device : state.devices) {
    auto* row = new DeviceRow(device, list_);
    connect(row, &DeviceRow::revokeRequested, this, &DevicesSection::revokeRequested);
    listLayout_->addWidget(row);
  }
}

}  // namespace quorvanta
