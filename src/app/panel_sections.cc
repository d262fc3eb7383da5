#include "app/panel_sections.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/panel_style.h"
#include "app/symbols.h"

namespace quorvanta {

namespace {

QHBoxLayout* rowLayout(QWidget* owner, int spacing) {
  auto* row = new QHBoxLayout(owner);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(spacing);
  return row;
}

QVBoxLayout* columnLayout(QWidget* owner, int spacing) {
  auto* column = new QVBoxLayout(owner);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(spacing);
  return column;
}

QPixmap dotPixmap(const QColor& color) {
  QPixmap pixmap(7, 7);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(color);
  painter.drawEllipse(QRectF(0, 0, 7, 7));
  return pixmap;
}

}  // namespace

HeaderSection::HeaderSection(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("header"));
  auto* row = rowLayout(this, 12);
  auto* symbol = new QLabel(this);
  symbol->setObjectName(QStringLiteral("headerSymbol"));
  symbol->setPixmap(symbolPixmap(Symbol::display, 30, mintColor(), devicePixelRatioF()));
  row->addWidget(symbol, 0, Qt::AlignVCenter);

  auto* titles = new QWidget(this);
  auto* column = columnLayout(titles, 0);
  auto* title = makeLabel(QStringLiteral("Quorvanta"), TextStyle::title, false, titles);
  title->setObjectName(QStringLiteral("title"));
  title->setWordWrap(false);
  auto* subtitle = makeLabel(QStringLiteral("Your computer. Within reach."), TextStyle::body, true, titles);
  subtitle->setObjectName(QStringLiteral("subtitle"));
  column->addWidget(title);
  column->addWidget(subtitle);
  row->addWidget(titles);
  row->addStretch(1);
}

StatusSection::StatusSection(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("statusLine"));
  auto* row = rowLayout(this, 8);
  dot_ = new QLabel(this);
  dot_->setObjectName(QStringLiteral("statusDot"));
  dot_->setFixedSize(7, 7);
  text_ = makeLabel(QString(), TextStyle::callout, false, this);
  text_->setObjectName(QStringLiteral("statusText"));
  row->addWidget(dot_, 0, Qt::AlignVCenter);
  row->addWidget(text_, 1);
}

void StatusSection::render(const HostState& state) {
  text_->setText(QString::fromStdString(state.status));
  if (running_ == state.running) return;
  running_ = state.running;
  dot_->setPixmap(dotPixmap(state.running ? mintColor() : secondaryTextColor()));
  dot_->setProperty("lit", state.running);
}

ErrorSection::ErrorSection(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("errorBlock"));
  auto* column = columnLayout(this, 8);
  text_ = makeLabel(QString(), TextStyle::callout, false, this);
  text_->setObjectName(QStringLiteral("errorText"));
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  setTextColor(text_, warningColor());
  auto* retry = new QPushButton(QStringLiteral("Retry secure credential access"), this);
  retry->setObjectName(QStringLiteral("retryButton"));
  retry->setStyleSheet(tintedButtonStyle(Qt::white));
  column->addWidget(text_);
  column->addWidget(retry, 0, Qt::AlignLeft);
  connect(retry, &QPushButton::clicked, this, &ErrorSection::retryRequested);
  hide();
}

void ErrorSection::render(const HostState& state) {
  text_->setText(state.error ? QString::fromStdString(*state.error) : QString());
  setVisible(state.error.has_value());
}

SharingButton::SharingButton(QWidget* parent) : QPushButton(parent) {
  setObjectName(QStringLiteral("sharingButton"));
  setCursor(Qt::PointingHandCursor);
  connect(this, &QPushButton::clicked, this, [this] {
    if (running_.value_or(false)) {
      Q_EMIT stopRequested();
    } else {
      Q_EMIT startRequested();
    }
  });
}

void SharingButton::render(const HostState& state) {
  if (running_ == state.running) return;
  running_ = state.running;
  setText(state.running ? QStringLiteral("Stop sharing") : QStringLiteral("Start sharing"));
  setStyleSheet(state.running ? filledButtonStyle(QColor(99, 99, 102), Qt::white)
                              : filledButtonStyle(mintColor(), QColor(12, 40, 28)));
}

ConnectionSection::ConnectionSection(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("connection"));
  auto* column = columnLayout(this, 6);
  auto* caption = makeLabel(QStringLiteral("PRIVATE CONNECTION"), TextStyle::captionStrong, true, this);
  caption->setObjectName(QStringLiteral("connectionCaption"));
  column->addWidget(caption);

  auto* addressRow = new QWidget(this);
  auto* row = rowLayout(addressRow, 6);
  address_ = makeLabel(QString(), TextStyle::monospaced, false, addressRow);
  address_->setObjectName(QStringLiteral("addressText"));
  address_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* refresh = new QToolButton(addressRow);
  refresh->setObjectName(QStringLiteral("refreshButton"));
  refresh->setIcon(symbolIcon(Symbol::refresh, 16, palette().color(QPalette::ButtonText)));
  refresh->setAutoRaise(true);
  refresh->setToolTip(QStringLiteral("Refresh Tailscale address"));
  refresh->setAccessibleName(QStringLiteral("Refresh Tailscale address"));
  refresh->setCursor(Qt::PointingHandCursor);
  row->addWidget(address_, 1);
  row->addWidget(refresh);
  column->addWidget(addressRow);
  connect(refresh, &QToolButton::clicked, this, &ConnectionSection::refreshRequested);

  auto* explanation = makeLabel(
      QStringLiteral(
          "Connections are accepted only through your Tailscale address. Each paired device has its "
          "own revocable credential."),
      TextStyle::caption, true, this);
  explanation->setObjectName(QStringLiteral("connectionExplanation"));
  column->addWidget(explanation);

  storeNote_ = makeLabel(
      QStringLiteral("No desktop keyring is running, so the host's credentials are kept in a private file in "
                     "your data directory."),
      TextStyle::caption, false, this);
  storeNote_->setObjectName(QStringLiteral("credentialStoreNote"));
  setTextColor(storeNote_, warningColor());
  storeNote_->hide();
  column->addWidget(storeNote_);
}

void ConnectionSection::render(const HostState& state) {
  address_->setText(state.address.empty() ? QStringLiteral("Tailscale is not connected")
                                          : QString::fromStdString(state.address));
  storeNote_->setVisible(state.credentialStore == SecureStore::Kind::file);
}

FooterSection::FooterSection(const QString& version, QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("footer"));
  auto* row = rowLayout(this, 8);
  auto* text = makeLabel(QStringLiteral("Quorvanta Host ") + version + QStringLiteral(" · Beta"),
                         TextStyle::caption, true, this);
  text->setObjectName(QStringLiteral("versionText"));
  text->setWordWrap(false);
  auto* quit = new QPushButton(QStringLiteral("Quit"), this);
  quit->setObjectName(QStringLiteral("quitButton"));
  quit->setStyleSheet(tintedButtonStyle(Qt::white));
  row->addWidget(text);
  row->addStretch(1);
  row->addWidget(quit);
  connect(quit, &QPushButton::clicked, this, &FooterSection::quitRequested);
}

QWidget* makeDivider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setObjectName(QStringLiteral("divider"));
  line->setFixedHeight(1);
  line->setStyleSheet(QStringLiteral("background-color: rgba(255, 255, 255, 28); border: none;"));
  return line;
}

}  // namespace quorvanta
