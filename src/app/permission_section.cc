#include "app/permission_section.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdlib>

#include "app/panel_style.h"
#include "app/symbols.h"
#include "app/toggle_switch.h"

namespace quorvanta {

namespace {

constexpr const char* kCurtainNote =
    "People near this computer see a dark screen while your iPhone or iPad still sees everything. It lifts "
    "when the session ends.";
constexpr const char* kCurtainUnavailable =
    "The curtain is not available on this desktop: its shell draws the overview, the window switcher and "
    "the lock screen above every window, where people near this computer would see them.";

}  // namespace

bool shellDrawsAboveWindows(std::string_view desktops) {
  while (!desktops.empty()) {
    const auto colon = desktops.find(':');
    const std::string_view name = desktops.substr(0, colon);
    if (name == "GNOME" || name == "X-Cinnamon" || name == "Cinnamon") return true;
    if (colon == std::string_view::npos) break;
    desktops.remove_prefix(colon + 1);
  }
  return false;
}

std::string_view PermissionSection::currentDesktops() {
  const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
  return desktops ? desktops : "";
}

PermissionRow::PermissionRow(const QString& title, QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);
  symbol_ = new QLabel(this);
  symbol_->setObjectName(QStringLiteral("permissionSymbol"));
  symbol_->setFixedSize(18, 18);
  auto* label = makeLabel(title, TextStyle::body, false, this);
  label->setObjectName(QStringLiteral("permissionTitle"));
  allowed_ = makeLabel(QStringLiteral("Allowed"), TextStyle::caption, true, this);
  allowed_->setObjectName(QStringLiteral("allowedText"));
  allowed_->setWordWrap(false);
  allow_ = new QPushButton(QStringLiteral("Allow"), this);
  allow_->setObjectName(QStringLiteral("allowButton"));
  allow_->setStyleSheet(tintedButtonStyle(Qt::white));
  allow_->setCursor(Qt::PointingHandCursor);
  row->addWidget(symbol_);
  row->addWidget(label, 1);
  row->addWidget(allowed_);
  row->addWidget(allow_);
  connect(allow_, &QPushButton::clicked, this, &PermissionRow::allowRequested);
}

void PermissionRow::render(bool granted) {
  if (rendered_ && granted_ == granted) return;
  rendered_ = true;
  granted_ = granted;
  symbol_->setPixmap(granted ? symbolPixmap(Symbol::checkmarkFilled, 18, mintColor(), devicePixelRatioF())
                             : symbolPixmap(Symbol::circle, 18, warningColor(), devicePixelRatioF()));
  allowed_->setVisible(granted);
  allow_->setVisible(!granted);
}

SwitchRow::SwitchRow(const QString& title, QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);
  auto* label = makeLabel(title, TextStyle::body, false, this);
  label->setObjectName(QStringLiteral("switchTitle"));
  toggle_ = new ToggleSwitch(this);
  toggle_->setAccessibleName(title);
  row->addWidget(label, 1);
  row->addWidget(toggle_, 0, Qt::AlignVCenter);
  connect(toggle_, &ToggleSwitch::clicked, this, &SwitchRow::clicked);
}

void SwitchRow::render(bool on) {
  toggle_->setChecked(on);
}

PermissionSection::PermissionSection(QWidget* parent, std::string_view desktops) : QWidget(parent) {
  setObjectName(QStringLiteral("permissions"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(10);

  desktop_ = makeLabel(QString(), TextStyle::caption, true, this);
  desktop_->setObjectName(QStringLiteral("desktopNote"));
  desktop_->hide();
  screenRecording_ = new PermissionRow(QStringLiteral("Screen Recording"), this);
  screenRecording_->setObjectName(QStringLiteral("screenRecordingRow"));
  accessibility_ = new PermissionRow(QStringLiteral("Accessibility"), this);
  accessibility_->setObjectName(QStringLiteral("accessibilityRow"));
  control_ = new SwitchRow(QStringLiteral("Allow remote control"), this);
  control_->setObjectName(QStringLiteral("controlSwitch"));
  auto* controlNote = makeLabel(
      QStringLiteral("Viewing needs Screen Recording. Control also needs Accessibility. You can keep a "
                     "connection view only."),
      TextStyle::caption, true, this);
  login_ = new SwitchRow(QStringLiteral("Open at login"), this);
  login_->setObjectName(QStringLiteral("loginSwitch"));
  curtain_ = new SwitchRow(QStringLiteral("Dim this computer's screen during sessions"), this);
  curtain_->setObjectName(QStringLiteral("curtainSwitch"));
  curtainNote_ =
      makeLabel(QString::fromUtf8(shellDrawsAboveWindows(desktops) ? kCurtainUnavailable : kCurtainNote),
                TextStyle::caption, true, this);
  curtainNote_->setObjectName(QStringLiteral("curtainNote"));

  for (QWidget* widget : std::initializer_list<QWidget*>{
           screenRecording_, accessibility_, control_, controlNote, login_, curtain_, curtainNote_, desktop_})
    column->addWidget(widget);

  connect(screenRecording_, &PermissionRow::allowRequested, this,
          &PermissionSection::allowScreenRecordingRequested);
  connect(accessibility_, &PermissionRow::allowRequested, this,
          &PermissionSection::allowAccessibilityRequested);
  connect(control_, &SwitchRow::clicked, this, &PermissionSection::controlEnabledChanged);
  connect(login_, &SwitchRow::clicked, this, &PermissionSection::loginEnabledChanged);
  connect(curtain_, &SwitchRow::clicked, this, &PermissionSection::curtainEnabledChanged);
}

void PermissionSection::render(const HostState& state) {
  screenRecording_->render(state.screenPermission);
  accessibility_->render(state.accessibilityPermission);
  control_->render(state.controlEnabled);
  login_->render(state.loginEnabled);
  curtain_->render(curtainAvailable_ && state.curtainEnabled);
}

void PermissionSection::showDesktop(const QString& name, const QString& note,
                                    const QString& curtainUnavailable) {
  desktop_->setText(QStringLiteral("Desktop: ") + name +
                    (note.isEmpty() ? QString() : QStringLiteral(". ") + note));
  desktop_->show();
  curtainAvailable_ = curtainUnavailable.isEmpty();
  curtain_->toggle()->setEnabled(curtainAvailable_);
  if (!curtainAvailable_) {
    curtainNote_->setText(curtainUnavailable);
    curtain_->render(false);
  }
}

}  // namespace quorvanta
