#include <gtest/gtest.h>
#include <qrencode.h>
#include <QAbstractButton>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>

#include <algorithm>

#include "app/devices_section.h"
#include "app/host_panel.h"
#include "app/pairing_card.h"
#include "app/permission_section.h"
#include "app/qr_image.h"
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
  void SetUp() override { panel_.show(); }

  // Renders `state` and lays the panel out.
  void show(const HostState& state) {
    panel_.render(state);
    panel_.widget()->adjustSize();
    QCoreApplication::processEvents();
  }
  QString text(const char* name) const {
    auto* label = child<QLabel>(&panel_, name);
    return label ? label->text() : QStringLiteral("<missing %1>").arg(QString::fromLatin1(name));
  }
  bool hidden(const char* name, const QWidget* in = nullptr) const {
    return child(in ? in : &panel_, name)->isHidden();
  }
  QAbstractButton* button(const char* name, const QWidget* in = nullptr) const {
    return child<QAbstractButton>(in ? in : &panel_, name);
  }
  // How often `signal` is emitted while `action` runs.
  template <typename Signal>
  int emitted(Signal signal, const std::function<void()>& action) {
    QSignalSpy spy(&panel_, signal);
    action();
    return static_cast<int>(spy.count());
  }
  template <typename Signal>
  int clicked(const char* name, Signal signal) {
    return emitted(signal, [&] { button(name)->click(); });
  }

  HostPanel panel_{QStringLiteral("0.1.0")};
};

TEST_F(HostPanelTest, HeaderAndFooterTextsAndQuit) {
  show(readyState());
  EXPECT_EQ(text("subtitle"), "Your computer. Within reach.");
  EXPECT_EQ(text("versionText"), "Quorvanta Host 0.1.0 · Beta");
  EXPECT_EQ(clicked("quitButton", &HostPanel::quitRequested), 1);
}

TEST_F(HostPanelTest, ErrorBlockTakesNoSpaceUntilThereIsAnError) {
  show(offState());
  EXPECT_TRUE(hidden("errorBlock"));

  HostState failing = offState();
  failing.error = "Secure credential storage is unavailable (-25308). Unlock your device and try again.";
  show(failing);
  EXPECT_FALSE(hidden("errorBlock"));
  EXPECT_EQ(text("errorText"), QString::fromStdString(*failing.error));
  EXPECT_TRUE(child<QLabel>(&panel_, "errorText")->textInteractionFlags() & Qt::TextSelectableByMouse);
  EXPECT_EQ(button("retryButton")->text(), "Retry secure credential access");
  EXPECT_EQ(clicked("retryButton", &HostPanel::retryCredentialsRequested), 1);
  show(offState());
  EXPECT_TRUE(hidden("errorBlock"));
}

TEST_F(HostPanelTest, MainButtonStatusDotAddressAndPairButtonFollowRunning) {
  HostState waiting = offState();
  waiting.status = "Waiting for Tailscale";
  show(waiting);
  EXPECT_EQ(button("sharingButton")->text(), "Start sharing");
  EXPECT_FALSE(button("pairButton")->isEnabled());
  EXPECT_FALSE(child(&panel_, "statusDot")->property("lit").toBool());
  EXPECT_EQ(text("statusText"), "Waiting for Tailscale");
  EXPECT_EQ(text("addressText"), "Tailscale is not connected");
  EXPECT_EQ(button("refreshButton")->toolTip(), "Refresh Tailscale address");
  EXPECT_EQ(clicked("refreshButton", &HostPanel::refreshAddressRequested), 1);
  EXPECT_EQ(clicked("sharingButton", &HostPanel::startRequested), 1);

  show(readyState());
  const QString shot = QString::fromStdString(testing::screenshotDirectory() + "/panel-ready.png");
  EXPECT_TRUE(panel_.grab().save(shot, "PNG"));  // what docs/panel.png shows
  EXPECT_EQ(button("sharingButton")->text(), "Stop sharing");
  EXPECT_TRUE(child(&panel_, "statusDot")->property("lit").toBool());
  EXPECT_EQ(text("addressText"), "100.101.102.103");
  EXPECT_EQ(text("connectionExplanation"),
            "Connections are accepted only through your Tailscale address. Each paired device has its own "
            "revocable credential.");
  EXPECT_EQ(clicked("sharingButton", &HostPanel::stopRequested), 1);
  EXPECT_EQ(clicked("pairButton", &HostPanel::pairRequested), 1);
}

TEST_F(HostPanelTest, PermissionRowsShowAllowedOrAllow) {
  HostState state = offState();
  show(state);
  const QWidget* screen = child(&panel_, "screenRecordingRow");
  EXPECT_EQ(child<QLabel>(screen, "permissionTitle")->text(), "Screen Recording");
  EXPECT_TRUE(hidden("allowButton", screen));
  state.screenPermission = false;
  show(state);
  EXPECT_TRUE(hidden("allowedText", screen));
  EXPECT_EQ(
      emitted(&HostPanel::allowScreenRecordingRequested, [&] { button("allowButton", screen)->click(); }), 1);
}

TEST_F(HostPanelTest, SwitchesShowTheStateAndReportOnlyTheUsersChoice) {
  HostState state = readyState();
  state.loginEnabled = true;
  show(state);
  auto toggle = [&](const char* row) { return child(&panel_, row)->findChild<ToggleSwitch*>(); };
  EXPECT_EQ(child<QLabel>(child(&panel_, "curtainSwitch"), "switchTitle")->text(),
            "Dim this computer's screen during sessions");
  EXPECT_FALSE(toggle("curtainSwitch")->isChecked());
  // A new snapshot moves the switches without reporting anything.
  state.curtainEnabled = true;
  EXPECT_EQ(emitted(&HostPanel::curtainEnabledChanged, [&] { show(state); }), 0);
  for (const auto& [row, signal] : {std::pair{"controlSwitch", &HostPanel::controlEnabledChanged},
                                    std::pair{"curtainSwitch", &HostPanel::curtainEnabledChanged},
                                    std::pair{"loginSwitch", &HostPanel::loginEnabledChanged}}) {
    EXPECT_TRUE(toggle(row)->isChecked()) << row;
    QSignalSpy spy(&panel_, signal);
    toggle(row)->click();
    ASSERT_EQ(spy.count(), 1) << row;
    EXPECT_FALSE(spy.front().front().toBool()) << row;
  }
}

TEST(PermissionSectionTest, TheCurtainNoteSaysWhereTheShellDrawsAboveEveryWindow) {
  for (const auto& [desktops, above] :
       {std::pair{"GNOME", true}, std::pair{"ubuntu:GNOME", true}, std::pair{"X-Cinnamon", true},
        std::pair{"XFCE", false}, std::pair{"KDE", false}, std::pair{"", false},
        std::pair{"GNOME-Flashback:Unity", false}}) {
    EXPECT_EQ(shellDrawsAboveWindows(desktops), above) << desktops;
  }
  const auto note = [](const char* desktops) {
    PermissionSection section(nullptr, desktops);
    return section.findChild<QLabel*>(QStringLiteral("curtainNote"))->text().toStdString();
  };
  EXPECT_EQ(note("ubuntu:GNOME").rfind("The curtain is not available on this desktop", 0), 0u);
  EXPECT_EQ(note("XFCE").rfind("People near this computer see a dark screen", 0), 0u);
}

TEST_F(HostPanelTest, DevicesListWithRevokeTheEmptyHintAndTheFileStoreNote) {
  HostState state = readyState();
  show(state);
  EXPECT_EQ(text("noDevicesText"), "Pair once. Your devices reconnect automatically afterward.");
  EXPECT_FALSE(hidden("noDevicesText"));
  EXPECT_TRUE(hidden("credentialStoreNote"));

  state.devices = {testing::device("A1", "Ana's iPhone", 786000000),
                   testing::device("B2", "Studio iPad", 787000000)};
  state.credentialStore = SecureStore::Kind::file;
  show(state);
  EXPECT_TRUE(hidden("noDevicesText"));
  EXPECT_FALSE(hidden("credentialStoreNote"));
  QList<DeviceRow*> rows = panel_.findChildren<DeviceRow*>();
  ASSERT_EQ(rows.size(), 2);
  std::sort(rows.begin(), rows.end(), [](DeviceRow* a, DeviceRow* b) { return a->y() < b->y(); });
  EXPECT_EQ(rows[0]->findChild<WrappingLabel*>("deviceName")->text(), "Ana's iPhone");
  const QString date = rows[1]->findChild<QLabel*>("deviceDate")->text();
  EXPECT_TRUE(date.contains(QStringLiteral("25")) && !date.contains(QLatin1Char(':'))) << date.toStdString();
  QSignalSpy revoke(&panel_, &HostPanel::revokeRequested);
  rows[1]->findChild<QPushButton*>("revokeButton")->click();
  ASSERT_EQ(revoke.count(), 1);
  EXPECT_EQ(revoke.front().front().toString(), "B2");

  state.devices.clear();  // the last device revoked: the hint comes back
  show(state);
  EXPECT_TRUE(panel_.findChildren<DeviceRow*>().isEmpty());
  EXPECT_FALSE(hidden("noDevicesText"));
}

TEST_F(HostPanelTest, PairingCardFollowsTheInvitation) {
  HostState state = readyState();
  show(state);
  EXPECT_TRUE(hidden("pairingCard"));
  state.invitation = testing::invitation();
  show(state);
  auto* card = child<PairingCard>(&panel_, "pairingCard");
  EXPECT_FALSE(card->isHidden());
  EXPECT_EQ(card->link().toStdString(), *state.invitation->url());
  EXPECT_EQ(text("scanText"), "Scan in Quorvanta on iPhone or iPad");
  EXPECT_EQ(text("expiryText"), "One use · Expires in five minutes");
  EXPECT_EQ(button("copyLinkButton")->text(), "Copy pairing link");
  EXPECT_EQ(child<QrCodeView>(&panel_, "qrCode")->size(), QSize(210 + 24, 210 + 24));
  EXPECT_GE(card->width(), panel_.viewport()->width() - 2 * 24) << "the card spans the panel";
  EXPECT_EQ(clicked("cancelButton", &HostPanel::cancelInvitationRequested), 1);

  // A link that cannot be formed shows no card.
  state.invitation->name = std::string("\xff\xfe", 2);
  show(state);
  EXPECT_TRUE(card->isHidden());
  EXPECT_TRUE(card->link().isEmpty());
}

TEST(QrImage, EncodesTheTextAtLevelMScaledBySixAndNothingForEmptyText) {
  EXPECT_TRUE(qrImage("").isNull());
  const std::string text = *testing::invitation().url();
  const QImage image = qrImage(text);
  struct Free {
    void operator()(QRcode* code) const { QRcode_free(code); }
  };
  const std::unique_ptr<QRcode, Free> code(QRcode_encodeData(
      static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M));
  ASSERT_TRUE(code);
  const int modules = code->width;
  ASSERT_EQ(image.size(), QSize(modules * 6, modules * 6));
  for (int row = 0; row < modules; ++row) {
    for (int column = 0; column < modules; ++column) {
      const bool dark = (code->data[static_cast<std::size_t>(row * modules + column)] & 1U) != 0;
      ASSERT_EQ(qGray(image.pixel(column * 6 + 5, row * 6 + 5)) < 128, dark) << row << "," << column;
    }
  }
}

TEST(PairingCard, CopyPutsExactlyTheLinkOnTheClipboard) {
  PairingCard card;
  card.render(testing::invitation());
  card.show();
  QGuiApplication::clipboard()->setText(QStringLiteral("something older"), QClipboard::Clipboard);
  testing::child<QAbstractButton>(&card, "copyLinkButton")->click();
  const std::string link = *testing::invitation().url();
  const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->text().toStdString(), link);
  EXPECT_FALSE(data->hasHtml() || data->hasUrls() || data->hasImage());

  EXPECT_NE(QGuiApplication::clipboard()->text(QClipboard::Selection).toStdString(), link)
      << "the primary selection is left alone";
}

}  // namespace
}  // namespace quorvanta
