#include "app/panel_style.h"

#include <QLabel>
#include <QWidget>

namespace quorvanta {

QColor mintColor() {
  return QColor::fromRgbF(0.5F, 0.88F, 0.72F, 1.0F);
}

QColor secondaryTextColor() {
  return QColor(235, 235, 245, 153);
}

QColor warningColor() {
  return QColor(255, 159, 10);
}

QColor destructiveColor() {
  return QColor(255, 69, 58);
}

QPalette darkPalette() {
  QPalette palette;
  const QColor window(30, 30, 32);
  const QColor base(44, 44, 46);
  const QColor text(255, 255, 255, 230);
  palette.setColor(QPalette::Window, window);
  palette.setColor(QPalette::WindowText, text);
  palette.setColor(QPalette::Base, base);
  palette.setColor(QPalette::AlternateBase, window);
  palette.setColor(QPalette::ToolTipBase, base);
  palette.setColor(QPalette::ToolTipText, text);
  palette.setColor(QPalette::PlaceholderText, secondaryTextColor());
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::Button, QColor(58, 58, 60));
  palette.setColor(QPalette::ButtonText, text);
  palette.setColor(QPalette::BrightText, Qt::white);
  palette.setColor(QPalette::Highlight, mintColor().darker(160));
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Link, mintColor());
  palette.setColor(QPalette::Mid, QColor(72, 72, 74));
  palette.setColor(QPalette::Dark, QColor(20, 20, 22));
  palette.setColor(QPalette::Light, QColor(84, 84, 88));
  palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(255, 255, 255, 70));
  palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(255, 255, 255, 70));
  palette.setColor(QPalette::Disabled, QPalette::Text, QColor(255, 255, 255, 70));
  return palette;
}

QFont textFont(TextStyle style) {
  QFont font;
  font.setFamilies({QStringLiteral("Cantarell"), QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans")});
  switch (style) {
    case TextStyle::title:
      font.setFamilies({QStringLiteral("Noto Serif"), QStringLiteral("DejaVu Serif")});
      font.setStyleHint(QFont::Serif);
      font.setPixelSize(27);
      font.setWeight(QFont::DemiBold);
      break;
    case TextStyle::headline:
      font.setPixelSize(13);
      font.setWeight(QFont::DemiBold);
      break;
    case TextStyle::body:
      font.setPixelSize(13);
      break;
    case TextStyle::callout:
      font.setPixelSize(12);
      break;
    case TextStyle::caption:
      font.setPixelSize(10);
      break;
    case TextStyle::captionStrong:
      font.setPixelSize(10);
      font.setWeight(QFont::DemiBold);
      break;
    case TextStyle::monospaced:
      font.setFamilies({QStringLiteral("Noto Sans Mono"), QStringLiteral("DejaVu Sans Mono")});
      font.setStyleHint(QFont::Monospace);
      font.setPixelSize(12);
      break;
  }
  return font;
}

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::Text, color);
  widget->setPalette(palette);
}

QLabel* makeLabel(const QString& text, TextStyle style, bool secondary, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFont(textFont(style));
  label->setWordWrap(true);
  label->setTextFormat(Qt::PlainText);
  if (secondary) setTextColor(label, secondaryTextColor());
  return label;
}

QString filledButtonStyle(const QColor& background, const QColor& text) {
  return QStringLiteral(
             "QPushButton { background-color: %1; color: %2; border: none; border-radius: 7px;"
             " padding: 7px 16px; font-weight: 600; }"
             "QPushButton:hover { background-color: %3; }"
             "QPushButton:pressed { background-color: %4; }")
      .arg(background.name(QColor::HexArgb), text.name(QColor::HexArgb),
           background.lighter(110).name(QColor::HexArgb), background.darker(115).name(QColor::HexArgb));
}

QString tintedButtonStyle(const QColor& tint) {
  QColor faint = tint;
  faint.setAlphaF(0.16F);
  QColor stronger = tint;
  stronger.setAlphaF(0.28F);
  return QStringLiteral(
             "QPushButton { background-color: %1; color: %2; border: none; border-radius: 6px;"
             " padding: 4px 10px; }"
             "QPushButton:hover { background-color: %3; }"
             "QPushButton:disabled { color: rgba(255, 255, 255, 70); background-color: rgba(255, 255, 255, "
             "20); }")
      .arg(faint.name(QColor::HexArgb), tint.name(QColor::HexArgb), stronger.name(QColor::HexArgb));
}

}  // namespace quorvanta
