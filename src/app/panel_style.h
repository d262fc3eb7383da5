#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>

class QLabel;
class QWidget;

namespace quorvanta {

// The accent colour of the panel, the tray icon and the curtain: sRGB (0.5, 0.88, 0.72).
QColor mintColor();
// Text that is less important than its neighbours.
QColor secondaryTextColor();
QColor warningColor();
QColor destructiveColor();

// The panel is always dark, whatever the desktop's theme.
QPalette darkPalette();

// The text styles of the panel, in pixels (points and pixels are the same on X11).
enum class TextStyle { title, headline, body, callout, caption, captionStrong, monospaced };
QFont textFont(TextStyle style);

// A label in one of the text styles, word-wrapped, optionally in the secondary colour.
QLabel* makeLabel(const QString& text, TextStyle style, bool secondary, QWidget* parent = nullptr);
void setTextColor(QWidget* widget, const QColor& color);

// A style sheet for a filled push button with rounded corners.
QString filledButtonStyle(const QColor& background, const QColor& text);
// A style sheet for a push button with a tinted label on a faint background.
QString tintedButtonStyle(const QColor& tint);

}  // namespace quorvanta
