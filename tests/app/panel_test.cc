#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QToolButton>

#include <filesystem>

#include "app/devices_section.h"
#include "app/host_panel.h"
#include "app/pairing_card.h"
#include "app/permission_section.h"
#include "app/toggle_switch.h"
#include "app/wrapping_label.h"
#include "gui_test_support.h"

namespace quorvanta {
namespace {

using testing::child;

HostState offState() {
  HostState state;
  state.status = "Sharing is off";
  state.screenPermission = true;
  state.accessibilityPermission = true;
  state.credentialStore = SecureStore::Kind::keyring;
  return state;
}

HostState readyState() {
  HostState state = offState();
  state.running = true;
  state.address = "100.101.102.103";
  state.status = "Ready at 100.101.102.103";
  state.controlEnabled = true;
  return state;
}

class HostPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    panel_ = std::make_unique<HostPanel>(QStringLiteral("0.1.0"));
    panel_->show();
    QCoreApplication::processEvents();
  }

  // Renders `state`, lays the panel out and returns it.
  HostPanel& show(const HostState& state) {
    panel_->render(state);
    panel_->widget()->adjustSize();
    QCoreApplication::processEvents();
    return *panel_;
  }

  QString text(const char* name) const {
    auto* label = child<QLabel>(panel_.get(), name);
    return label ? label->text() : QStringLiteral("<missing %1>").arg(QString::fromLatin1(name));
  }

  QAbstractButton* button(const char* name) const { return child<QAbstractButton>(panel_.get(), name); }

  // Saves the panel as it looks now; returns the file.
  std::filesystem::path screenshot(const char* name) const {
    const std::filesystem::path file = std::filesystem::path(testing::screenshotDirectory()) / name;
    EXPECT_TRUE(panel_->grab().save(QString::fromStdString(file.string()), "PNG"));
    return file;
  }

  std::unique_ptr<HostPanel> panel_;
};

TEST_F(HostPanelTest, IsDarkScrollingAndOfTheFixedSize) {
  show(offState());
  EXPECT_EQ(panel_->size(), QSize(400, 650));
  EXPECT_EQ(panel_->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_LT(panel_->palette().color(QPalette::Window).lightness(), 64);
  EXPECT_GT(panel_->palette().color(QPalette::WindowText).lightness(), 192);
}

TEST_F(HostPanelTest, SectionsAppearInOrder) {
  HostState state = readyState();
  state.error = "Secure credential storage is unavailable (-25308).";
  state.invitation = testing::invitation();
  show(state);
  const char* order[] = {"header",      "statusLine", "errorBlock",  "sharingButton", "connection",
                         "permissions", "devices",    "pairingCard", "footer"};
  int previous = -1;
  for (const char* name : order) {
    QWidget* widget = child(panel_.get(), name);
    ASSERT_NE(widget, nullptr) << name;
    const int top = widget->mapTo(panel_->widget(), QPoint(0, 0)).y();
    EXPECT_GT(top, previous) << name;
    previous = top;
  }
  EXPECT_EQ(text("title"), "Quorvanta");
  EXPECT_EQ(text("subtitle"), "Your computer. Within reach.");
  EXPECT_EQ(text("connectionCaption"), "PRIVATE CONNECTION");
  EXPECT_EQ(text("devicesCaption"), "YOUR DEVICES");
}

TEST_F(HostPanelTest, ErrorBlockTakesNoSpaceUntilThereIsAnError) {
  show(offState());
  QWidget* block = child(panel_.get(), "errorBlock");
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(block->isHidden());
  const int buttonTop = button("sharingButton")->y();
  const int statusBottom = child(panel_.get(), "statusLine")->geometry().bottom();
  EXPECT_LT(buttonTop - statusBottom, 40);

  HostState failing = offState();
  failing.error = "Secure credential storage is unavailable (-25308). Unlock your device and try again.";
  show(failing);
  EXPECT_FALSE(block->isHidden());
  EXPECT_EQ(text("errorText"), QString::fromStdString(*failing.error));
  EXPECT_TRUE(child<QLabel>(panel_.get(), "errorText")->textInteractionFlags() & Qt::TextSelectableByMouse);
  EXPECT_EQ(button("retryButton")->text(), "Retry secure credential access");
  QSignalSpy retry(panel_.get(), &HostPanel::retryCredentialsRequested);
  button("retryButton")->click();
  EXPECT_EQ(retry.count(), 1);
  screenshot("panel-error.png");

  show(offState());
  EXPECT_TRUE(block->isHidden());
}

TEST_F(HostPanelTest, MainButtonStatusDotAndPairButtonFollowRunning) {
  show(offState());
  screenshot("panel-off.png");
  EXPECT_EQ(button("sharingButton")->text(), "Start sharing");
  EXPECT_FALSE(button("pairButton")->isEnabled());
  EXPECT_FALSE(child(panel_.get(), "statusDot")->property("lit").toBool());
  EXPECT_EQ(text("statusText"), "Sharing is off");
  QSignalSpy start(panel_.get(), &HostPanel::startRequested);
  QSignalSpy stop(panel_.get(), &HostPanel::stopRequested);
  button("sharingButton")->click();
  EXPECT_EQ(start.count(), 1);

  show(readyState());
  screenshot("panel-ready.png");
  EXPECT_EQ(button("sharingButton")->text(), "Stop sharing");
  EXPECT_TRUE(button("pairButton")->isEnabled());
  EXPECT_TRUE(child(panel_.get(), "statusDot")->property("lit").toBool());
  button("sharingButton")->click();
  EXPECT_EQ(stop.count(), 1);
  EXPECT_EQ(start.count(), 1);
  QSignalSpy pair(panel_.get(), &HostPanel::pairRequested);
  button("pairButton")->click();
  EXPECT_EQ(pair.count(), 1);
}

TEST_F(HostPanelTest, AddressLineAndRefresh) {
  HostState waiting = offState();
  waiting.status = "Waiting for Tailscale";
  show(waiting);
  screenshot("panel-waiting-for-tailscale.png");
  EXPECT_EQ(text("addressText"), "Tailscale is not connected");
  auto* refresh = child<QToolButton>(panel_.get(), "refreshButton");
  ASSERT_NE(refresh, nullptr);
  EXPECT_EQ(refresh->toolTip(), "Refresh Tailscale address");
  EXPECT_TRUE(refresh->text().isEmpty());
  QSignalSpy spy(panel_.get(), &HostPanel::refreshAddressRequested);
  refresh->click();
  EXPECT_EQ(spy.count(), 1);

  show(readyState());
  EXPECT_EQ(text("addressText"), "100.101.102.103");
  EXPECT_EQ(text("connectionExplanation"),
            "Connections are accepted only through your Tailscale address. Each paired device has its own "
            "revocable credential.");
}

TEST_F(HostPanelTest, PermissionRowsShowAllowedOrAllow) {
  HostState state = offState();
  show(state);
  for (const char* row : {"screenRecordingRow", "accessibilityRow"}) {
    QWidget* widget = child(panel_.get(), row);
    ASSERT_NE(widget, nullptr);
    EXPECT_FALSE(child(widget, "allowedText")->isHidden()) << row;
    EXPECT_TRUE(child(widget, "allowButton")->isHidden()) << row;
  }

  state.screenPermission = false;
  state.accessibilityPermission = false;
  show(state);
  screenshot("panel-permissions-missing.png");
  QSignalSpy screen(panel_.get(), &HostPanel::allowScreenRecordingRequested);
  QSignalSpy accessibility(panel_.get(), &HostPanel::allowAccessibilityRequested);
  auto* screenRow = child(panel_.get(), "screenRecordingRow");
  auto* accessibilityRow = child(panel_.get(), "accessibilityRow");
  EXPECT_TRUE(child(screenRow, "allowedText")->isHidden());
  child<QAbstractButton>(screenRow, "allowButton")->click();
  child<QAbstractButton>(accessibilityRow, "allowButton")->click();
  EXPECT_EQ(screen.count(), 1);
  EXPECT_EQ(accessibility.count(), 1);
  EXPECT_EQ(child<QLabel>(screenRow, "permissionTitle")->text(), "Screen Recording");
  EXPECT_EQ(child<QLabel>(accessibilityRow, "permissionTitle")->text(), "Accessibility");
}

TEST_F(HostPanelTest, SwitchesShowTheStateAndReportTheUsersChoice) {
  HostState state = readyState();
  state.controlEnabled = true;
  state.curtainEnabled = false;
  state.loginEnabled = true;
  show(state);
  auto toggle = [&](const char* row) { return child(panel_.get(), row)->findChild<ToggleSwitch*>(); };
  EXPECT_TRUE(toggle("controlSwitch")->isChecked());
  EXPECT_FALSE(toggle("curtainSwitch")->isChecked());
  EXPECT_TRUE(toggle("loginSwitch")->isChecked());
  EXPECT_EQ(child<QLabel>(child(panel_.get(), "curtainSwitch"), "switchTitle")->text(),
            "Dim this computer's screen during sessions");

  QSignalSpy control(panel_.get(), &HostPanel::controlEnabledChanged);
  QSignalSpy curtain(panel_.get(), &HostPanel::curtainEnabledChanged);
  QSignalSpy login(panel_.get(), &HostPanel::loginEnabledChanged);
  // A new snapshot moves the switches without reporting anything.
  state.curtainEnabled = true;
  show(state);
  EXPECT_TRUE(toggle("curtainSwitch")->isChecked());
  EXPECT_EQ(curtain.count(), 0);

  toggle("controlSwitch")->click();
  toggle("curtainSwitch")->click();
  toggle("loginSwitch")->click();
  ASSERT_EQ(control.count(), 1);
  ASSERT_EQ(curtain.count(), 1);
  ASSERT_EQ(login.count(), 1);
  EXPECT_FALSE(control.front().front().toBool());
  EXPECT_FALSE(curtain.front().front().toBool());
  EXPECT_FALSE(login.front().front().toBool());
}

TEST(PermissionSectionTest, TheCurtainNoteSaysWhereTheShellDrawsAboveEveryWindow) {
  struct Case {
    const char* desktops;
    bool shellAbove;
  };
  for (const Case& c :
       {Case{"GNOME", true}, Case{"ubuntu:GNOME", true}, Case{"X-Cinnamon", true}, Case{"XFCE", false},
        Case{"KDE", false}, Case{"MATE", false}, Case{"", false}, Case{"GNOME-Flashback:Unity", false}}) {
    EXPECT_EQ(shellDrawsAboveWindows(c.desktops), c.shellAbove) << c.desktops;
  }
  PermissionSection gnome(nullptr, "ubuntu:GNOME");
  PermissionSection xfce(nullptr, "XFCE");
  const auto note = [](const QWidget& section) {
    return section.findChild<QLabel*>(QStringLiteral("curtainNote"))->text().toStdString();
  };
  EXPECT_EQ(note(gnome).rfind("The curtain is not available on this desktop", 0), 0u) << note(gnome);
  EXPECT_EQ(note(xfce).rfind("People near this computer see a dark screen", 0), 0u) << note(xfce);
}

TEST_F(HostPanelTest, DeviceListAndEmptyHint) {
  HostState state = readyState();
  show(state);
  EXPECT_FALSE(child(panel_.get(), "noDevicesText")->isHidden());
  EXPECT_EQ(text("noDevicesText"), "Pair once. Your devices reconnect automatically afterward.");
  EXPECT_TRUE(panel_->findChildren<DeviceRow*>().isEmpty());

  state.devices = {testing::device("A1", "Ana's iPhone", 786000000),
                   testing::device("B2", "Studio iPad", 787000000)};
  show(state);
  screenshot("panel-devices.png");
  EXPECT_TRUE(child(panel_.get(), "noDevicesText")->isHidden());
  QList<DeviceRow*> rows = panel_->findChildren<DeviceRow*>();
  ASSERT_EQ(rows.size(), 2);
  std::sort(rows.begin(), rows.end(), [](DeviceRow* a, DeviceRow* b) { return a->y() < b->y(); });
  EXPECT_EQ(rows[0]->deviceID(), "A1");
  EXPECT_EQ(rows[0]->findChild<WrappingLabel*>("deviceName")->text(), "Ana's iPhone");
  EXPECT_EQ(rows[1]->findChild<QLabel*>("deviceDate")->text(), pairingDateText(787000000));
  QSignalSpy revoke(panel_.get(), &HostPanel::revokeRequested);
  rows[1]->findChild<QPushButton*>("revokeButton")->click();
  ASSERT_EQ(revoke.count(), 1);
  EXPECT_EQ(revoke.front().front().toString(), "B2");

  // Revoking the last device brings the hint back.
  state.devices = {state.devices.front()};
  show(state);
  EXPECT_EQ(panel_->findChildren<DeviceRow*>().size(), 1);
  state.devices.clear();
  show(state);
  EXPECT_TRUE(panel_->findChildren<DeviceRow*>().isEmpty());
  EXPECT_FALSE(child(panel_.get(), "noDevicesText")->isHidden());
}

TEST_F(HostPanelTest, PairingDateShowsTheDateOnly) {
  // 2024-03-01 12:00:00 UTC.
  const QString text = pairingDateText(730987200);
  EXPECT_FALSE(text.isEmpty());
  EXPECT_FALSE(text.contains(QLatin1Char(':')));
  EXPECT_TRUE(text.contains(QStringLiteral("24")));
}

TEST_F(HostPanelTest, LongDeviceNameWrapsInsideThePanel) {
  HostState state = readyState();
  state.devices = {testing::device("L", std::string(80, 'W'), 786000000)};
  show(state);
  QCoreApplication::processEvents();
  auto* name = panel_->findChild<WrappingLabel*>("deviceName");
  ASSERT_NE(name, nullptr);
  const int right = name->mapTo(panel_->viewport(), QPoint(name->width(), 0)).x();
  EXPECT_LE(right, panel_->viewport()->width());
  EXPECT_GT(name->height(), name->fontMetrics().height());
  auto* revoke = panel_->findChild<QPushButton*>("revokeButton");
  EXPECT_LE(revoke->mapTo(panel_->viewport(), QPoint(revoke->width(), 0)).x(), panel_->viewport()->width());
  screenshot("panel-long-device-name.png");
}

TEST_F(HostPanelTest, PairingCardFollowsTheInvitation) {
  HostState state = readyState();
  show(state);
  EXPECT_TRUE(child(panel_.get(), "pairingCard")->isHidden());

  state.invitation = testing::invitation();
  show(state);
  auto* card = child<PairingCard>(panel_.get(), "pairingCard");
  ASSERT_NE(card, nullptr);
  EXPECT_FALSE(card->isHidden());
  EXPECT_EQ(card->link().toStdString(), *state.invitation->url());
  EXPECT_EQ(text("scanText"), "Scan in Quorvanta on iPhone or iPad");
  EXPECT_EQ(text("expiryText"), "One use · Expires in five minutes");
  EXPECT_EQ(button("copyLinkButton")->text(), "Copy pairing link");
  auto* code = child<QrCodeView>(panel_.get(), "qrCode");
  ASSERT_NE(code, nullptr);
  EXPECT_FALSE(code->image().isNull());
  EXPECT_EQ(code->size(), QSize(210 + 24, 210 + 24));
  // The card spans the panel's width.
  EXPECT_GE(card->width(), panel_->viewport()->width() - 2 * 24);
  panel_->verticalScrollBar()->setValue(card->mapTo(panel_->widget(), QPoint(0, 0)).y() - 40);
  screenshot("panel-pairing.png");

  QSignalSpy cancel(panel_.get(), &HostPanel::cancelInvitationRequested);
  button("cancelButton")->click();
  EXPECT_EQ(cancel.count(), 1);

  // A link that cannot be formed shows no card.
  state.invitation->name = std::string("\xff\xfe", 2);
  show(state);
  EXPECT_TRUE(card->isHidden());
  state.invitation.reset();
  show(state);
  EXPECT_TRUE(card->isHidden());
}

TEST_F(HostPanelTest, InSessionAndFileStore) {
  HostState state = readyState();
  state.status = "Ana's iPhone is connected";
  state.activeDevice = "Ana's iPhone";
  state.curtainEnabled = true;
  state.devices = {testing::device("A1", "Ana's iPhone", 786000000)};
  show(state);
  screenshot("panel-in-session.png");
  EXPECT_EQ(text("statusText"), "Ana's iPhone is connected");
  EXPECT_TRUE(child(panel_.get(), "credentialStoreNote")->isHidden());

  state.credentialStore = SecureStore::Kind::file;
  show(state);
  EXPECT_FALSE(child(panel_.get(), "credentialStoreNote")->isHidden());
}

TEST_F(HostPanelTest, FooterCarriesTheVersionAndQuit) {
  show(offState());
  EXPECT_EQ(text("versionText"), "Quorvanta Host 0.1.0 · Beta");
  QSignalSpy quit(panel_.get(), &HostPanel::quitRequested);
  button("quitButton")->click();
  EXPECT_EQ(quit.count(), 1);

  HostPanel unversioned{QString()};
  EXPECT_EQ(child<QLabel>(&unversioned, "versionText")->text(), "Quorvanta Host  · Beta");
}

}  // namespace
}  // namespace quorvanta
