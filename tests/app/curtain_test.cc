#include <gtest/gtest.h>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QWidget>

#include <memory>
#include <thread>

#include "app/curtain_window.h"
#include "app/curtain_windows.h"
#include "gui_test_support.h"

namespace quorvanta {
namespace {

// A white window under everything, so that a dark screen can only come from the curtain.
class WhiteBackdrop : public QWidget {
 public:
  WhiteBackdrop() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint) {
    setGeometry(QGuiApplication::primaryScreen()->geometry());
    show();
  }

 protected:
  void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), Qt::white); }
};

class CurtainTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(peer_.ok()); }
  int bounding(std::uint32_t id) { return peer_.shapeRectangles(id, XCB_SHAPE_SK_BOUNDING); }
  testing::XPeer peer_;
};

TEST_F(CurtainTest, PreparedIsInvisibleAndClickThroughRevealedDarkensHiddenUnmaps) {
  WhiteBackdrop backdrop;
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  const int x = screen.center().x();
  const int y = screen.top() + 20;
  ASSERT_TRUE(testing::waitUntil([&] { return peer_.rootGrey(x, y) > 200; }));

  CurtainWindows curtain;
  const std::vector<std::uint32_t> ids = curtain.prepare();
  ASSERT_EQ(ids.size(), static_cast<std::size_t>(QGuiApplication::screens().size()));
  const std::uint32_t id = ids.front();
  EXPECT_EQ(curtain.windows().front()->frame(), screen);
  bool overrideRedirect = false;
  EXPECT_EQ(peer_.mapState(id, &overrideRedirect), XCB_MAP_STATE_VIEWABLE);
  EXPECT_TRUE(overrideRedirect);
  EXPECT_EQ(peer_.shapeRectangles(id, XCB_SHAPE_SK_INPUT), 0);
  EXPECT_EQ(bounding(id), 0);
  for (int i = 0; i < 10; ++i)
    QCoreApplication::processEvents();
  EXPECT_GT(peer_.rootGrey(x, y), 200) << "prepared: in front but invisible";

  curtain.reveal();
  EXPECT_TRUE(testing::waitUntil([&] { return peer_.rootGrey(x, y) < 16; }));
  EXPECT_EQ(curtain.windows().front()->findChild<QLabel*>("curtainTitle")->text(),
            "Quorvanta session in progress");
  EXPECT_EQ(
      curtain.windows().front()->findChild<QLabel*>("curtainText")->text(),
      "This computer is in use from a paired iPhone or iPad. The screen returns when the session ends.");
  EXPECT_GT(bounding(id), 0);
  EXPECT_EQ(peer_.shapeRectangles(id, XCB_SHAPE_SK_INPUT), 0);
  // Preparing a shown curtain again reuses its window and keeps it shown.
  EXPECT_EQ(curtain.prepare(), ids);
  EXPECT_GT(bounding(id), 0);

  curtain.hide();
  EXPECT_EQ(peer_.mapState(id), XCB_MAP_STATE_UNMAPPED);
  EXPECT_TRUE(testing::waitUntil([&] { return peer_.rootGrey(x, y) > 200; }));
  EXPECT_EQ(curtain.prepare().front(), id);
  EXPECT_EQ(peer_.mapState(id), XCB_MAP_STATE_VIEWABLE);
  EXPECT_EQ(bounding(id), 0);
}

TEST_F(CurtainTest, AHostThreadCallEndsWhenTheWindowsGoAway) {
  auto windows = std::make_unique<CurtainWindows>();
  CurtainBridge bridge(windows.get());
  std::vector<std::uint32_t> ids{1};
  // The GUI thread does not serve the call; it leaves instead, as the application does at exit.
  std::thread host([&] { ids = bridge.prepare(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  bridge.detach();
  windows.reset();
  host.join();
  EXPECT_TRUE(ids.empty());
  EXPECT_TRUE(bridge.prepare().empty());
}

}  // namespace
}  // namespace quorvanta
