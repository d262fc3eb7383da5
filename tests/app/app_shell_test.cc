#include <gtest/gtest.h>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

#include "app/host_panel.h"
#include "app/panel_window.h"
#include "app/symbols.h"
#include "app/tray_icon.h"
#include "gui_test_support.h"

namespace quorvanta {
namespace {

TEST(PanelWindow, IsMadeOnceAndClosingOnlyHidesIt) {
  PanelWindow window(QStringLiteral("0.1.0"));
  EXPECT_EQ(window.windowTitle(), "Quorvanta Host");
  EXPECT_EQ(window.size(), QSize(400, 650));
  EXPECT_NE(window.panel(), nullptr);

  window.showPanel();
  ASSERT_TRUE(testing::waitUntil([&] { return window.isVisible(); }));
  const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE(std::abs(window.frameGeometry().center().x() - available.center().x()), 2);

  EXPECT_TRUE(window.close() == false || !window.isVisible());
  EXPECT_FALSE(window.isVisible());
  HostPanel* panel = window.panel();
  window.showPanel();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.panel(), panel);
}

TEST(PanelWindow, WithoutATrayClosingMinimises) {
  PanelWindow window(QStringLiteral("0.1.0"));
  window.setHideOnClose(false);
  window.showPanel();
  ASSERT_TRUE(testing::waitUntil([&] { return window.isVisible(); }));
  window.close();
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.isMinimized());
  window.showPanel();
  EXPECT_FALSE(window.isMinimized());
}

TEST(PanelWindow, ShowsNearTheTrayIconInsideTheScreen) {
  PanelWindow window(QStringLiteral("0.1.0"));
  const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
  // An icon in the top right corner: the panel drops down below it, inside the screen.
  window.showNear(QRect(available.right() - 30, available.top(), 24, 24));
  ASSERT_TRUE(testing::waitUntil([&] { return window.isVisible(); }));
  EXPECT_GE(window.y(), available.top() + 24);
  EXPECT_LE(window.x() + window.width(), available.right() + 1);
  EXPECT_TRUE(window.isVisible());
}

TEST(TrayIcon, ShowsTheCheckMarkWhileADeviceIsInSession) {
  TrayIcon tray;
  HostState state;
  tray.render(state);
  EXPECT_FALSE(tray.showsSession());
  state.activeDevice = "Ana's iPhone";
  tray.render(state);
  EXPECT_TRUE(tray.showsSession());
  state.activeDevice.reset();
  tray.render(state);
  EXPECT_FALSE(tray.showsSession());
}

TEST(Symbols, TheTwoTrayPicturesDiffer) {
  const QImage plain = symbolPixmap(Symbol::display, 22, Qt::white).toImage();
  const QImage checked = symbolPixmap(Symbol::displayCheckmark, 22, Qt::white).toImage();
  EXPECT_EQ(plain.size(), QSize(22, 22));
  EXPECT_NE(plain, checked);
  // Something is drawn, and not everywhere.
  int opaque = 0;
  for (int y = 0; y < 22; ++y)
    for (int x = 0; x < 22; ++x)
      if (qAlpha(plain.pixel(x, y)) > 128) ++opaque;
  EXPECT_GT(opaque, 20);
  EXPECT_LT(opaque, 22 * 22 / 2);
}

}  // namespace
}  // namespace quorvanta
