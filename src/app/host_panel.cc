#include "app/host_panel.h"

#include <QScrollBar>
#include <QVBoxLayout>

#include "app/devices_section.h"
#include "app/panel_sections.h"
#include "app/panel_style.h"
#include "app/permission_section.h"

namespace quorvanta {

HostPanel::HostPanel(const QString& version, QWidget* parent) : QScrollArea(parent) {
  setObjectName(QStringLiteral("hostPanel"));
  setPalette(darkPalette());
  setAutoFillBackground(true);
  setFrameShape(QFrame::NoFrame);
  setWidgetResizable(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  resize(kWidth, kHeight);

  auto* content = new QWidget;
  content->setObjectName(QStringLiteral("panelContent"));
  content->setPalette(darkPalette());
  content->setAutoFillBackground(true);
  auto* stack = new QVBoxLayout(content);
  stack->setContentsMargins(24, 24, 24, 24);
  stack->setSpacing(16);

  auto* header = new HeaderSection(content);
  status_ = new StatusSection(content);
  error_ = new ErrorSection(content);
  sharing_ = new SharingButton(content);
  connection_ = new ConnectionSection(content);
  permissions_ = new PermissionSection(content);
  devices_ = new DevicesSection(content);
  auto* footer = new FooterSection(version, content);

  stack->addWidget(header);
  stack->addWidget(status_);
  stack->addWidget(error_);
  stack->addWidget(sharing_, 0, Qt::AlignLeft);
  stack->addWidget(connection_);
  stack->addWidget(makeDivider(content));
  stack->addWidget(permissions_);
  stack->addWidget(makeDivider(content));
  stack->addWidget(devices_);
  stack->addWidget(makeDivider(content));
  stack->addWidget(footer);
  stack->addStretch(1);
  setWidget(content);

  connect(error_, &ErrorSection::retryRequested, this, &HostPanel::retryCredentialsRequested);
  connect(sharing_, &SharingButton::startRequested, this, &HostPanel::startRequested);
  connect(sharing_, &SharingButton::stopRequested, this, &HostPanel::stopRequested);
  connect(connection_, &ConnectionSection::refreshRequested, this, &HostPanel::refreshAddressRequested);
  connect(permissions_, &PermissionSection::allowScreenRecordingRequested, this,
          &HostPanel::allowScreenRecordingRequested);
  connect(permissions_, &PermissionSection::allowAccessibilityRequested, this,
          &HostPanel::allowAccessibilityRequested);
  connect(permissions_, &PermissionSection::controlEnabledChanged, this, &HostPanel::controlEnabledChanged);
  connect(permissions_, &PermissionSection::loginEnabledChanged, this, &HostPanel::loginEnabledChanged);
  connect(permissions_, &PermissionSection::curtainEnabledChanged, this, &HostPanel::curtainEnabledChanged);
  connect(devices_, &DevicesSection::pairRequested, this, &HostPanel::pairRequested);
  connect(devices_, &DevicesSection::cancelInvitationRequested, this, &HostPanel::cancelInvitationRequested);
  connect(devices_, &DevicesSection::revokeRequested, this, &HostPanel::revokeRequested);
  connect(footer, &FooterSection::quitRequested, this, &HostPanel::quitRequested);

  render(state_);
}

void HostPanel::showDesktop(const QString& name, const QString& note, const QString& curtainUnavailable) {
  permissions_->showDesktop(name, note, curtainUnavailable);
}

void HostPanel::render(const HostState& state) {
  state_ = state;
  status_->render(state);
  error_->render(state);
  sharing_->render(state);
  connection_->render(state);
  permissions_->render(state);
  devices_->render(state);
}

}  // namespace quorvanta
