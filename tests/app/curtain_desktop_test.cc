// The curtain on a desktop with a window manager and a compositing manager (see test_desktop.h).

#include <gtest/gtest.h>

#include "app/curtain_window.h"
#include "app/curtain_windows.h"
#include "gui_test_support.h"
#include "test_desktop.h"

namespace quorvanta {

testing::TestDesktop* testDesktop();  // the desktop the test main started

namespace {

TEST(CurtainDesktopTest, APopupCannotCoverTheCurtain) {
  testing::XPeer peer;
  CurtainWindows curtain;
  const std::uint32_t id = curtain.prepare().front();
  curtain.reveal();
  ASSERT_TRUE(testing::waitUntil([&] { return peer.topmost() == id; }));
  const std::uint32_t popup = peer.popup();
  // The popup goes on top when mapped, and the curtain goes back over it.
  EXPECT_TRUE(testing::waitUntil([&] { return peer.topmost() == id; }));
  EXPECT_NE(peer.topmost(), popup);
  curtain.hide();
}

TEST(CurtainDesktopTest, APreparedCurtainStaysInvisibleWhenTheCompositorComesAndGoes) {
  testing::XPeer peer;
  CurtainWindows curtain;
  const std::uint32_t id = curtain.prepare().front();
  testDesktop()->stopCompositor();
  for (int i = 0; i < 10; ++i)
    QCoreApplication::processEvents();
  EXPECT_EQ(peer.shapeRectangles(id, XCB_SHAPE_SK_BOUNDING), 0)
      << "without a compositor opacity hides nothing";
  curtain.reveal();
  EXPECT_GT(peer.shapeRectangles(id, XCB_SHAPE_SK_BOUNDING), 0);
  EXPECT_TRUE(testing::waitUntil([&] { return curtain.windows().front()->windowOpacity() == 1.0; }));
  curtain.hide();
  testDesktop()->startCompositor();
  curtain.prepare();
  EXPECT_EQ(peer.shapeRectangles(id, XCB_SHAPE_SK_BOUNDING), 0);
  curtain.reveal();
  EXPECT_TRUE(testing::waitUntil([&] { return curtain.windows().front()->windowOpacity() == 1.0; }));
  curtain.hide();
}

}  // namespace
}  // namespace quorvanta
