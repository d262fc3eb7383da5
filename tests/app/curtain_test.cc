#include <gtest/gtest.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QWidget>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "app/curtain_window.h"
#include "app/curtain_windows.h"
#include "gui_test_support.h"

namespace quorvanta {
namespace {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// A second X client that looks at the curtain from outside, as the capture does.
class Observer {
 public:
  Observer() : connection_(xcb_connect(nullptr, nullptr)) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
  }
  ~Observer() { xcb_disconnect(connection_); }
  Observer(const Observer&) = delete;
  Observer& operator=(const Observer&) = delete;

  bool ok() const { return xcb_connection_has_error(connection_) == 0; }

  std::uint8_t mapState(std::uint32_t window) {
    Reply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
        connection_, xcb_get_window_attributes(connection_, window), nullptr));
    return reply ? reply->map_state : 0xff;
  }
  bool overrideRedirect(std::uint32_t window) {
    Reply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
        connection_, xcb_get_window_attributes(connection_, window), nullptr));
    return reply && reply->override_redirect;
  }
  // The number of rectangles in a shape of `window`, -1 when it cannot be asked.
  int shapeRectangles(std::uint32_t window, xcb_shape_kind_t kind) {
    Reply<xcb_shape_get_rectangles_reply_t> reply(xcb_shape_get_rectangles_reply(
        connection_, xcb_shape_get_rectangles(connection_, window, kind), nullptr));
    return reply ? static_cast<int>(reply->rectangles_len) : -1;
  }
  bool isTopLevel(std::uint32_t window) {
    Reply<xcb_query_tree_reply_t> reply(
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr));
    return reply && reply->parent == root_;
  }
  // The grey level (0..255) of the root's pixel at x, y, as a screenshot sees it.
  int rootGrey(int x, int y) {
    Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        connection_,
        xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), 1, 1, ~0U),
        nullptr));
    if (!reply || xcb_get_image_data_length(reply.get()) < 3) return -1;
    const std::uint8_t* pixel = xcb_get_image_data(reply.get());
    return (pixel[0] + pixel[1] + pixel[2]) / 3;
  }

 private:
  xcb_connection_t* connection_;
  xcb_window_t root_ = 0;
};

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
  void SetUp() override { ASSERT_TRUE(observer_.ok()); }
  Observer observer_;
};

TEST_F(CurtainTest, PrepareMapsOneTransparentClickThroughWindowPerScreen) {
  CurtainWindows curtain;
  const std::vector<std::uint32_t> ids = curtain.prepare();
  ASSERT_EQ(ids.size(), static_cast<std::size_t>(QGuiApplication::screens().size()));
  ASSERT_FALSE(ids.empty());
  const std::uint32_t id = ids.front();
  EXPECT_NE(id, 0U);
  EXPECT_EQ(curtain.windows().front()->frame(), QGuiApplication::primaryScreen()->geometry());
  EXPECT_EQ(observer_.mapState(id), XCB_MAP_STATE_VIEWABLE);
  EXPECT_TRUE(observer_.overrideRedirect(id));
  EXPECT_TRUE(observer_.isTopLevel(id));
  EXPECT_EQ(observer_.shapeRectangles(id, XCB_SHAPE_SK_INPUT), 0);
  EXPECT_EQ(observer_.shapeRectangles(id, XCB_SHAPE_SK_BOUNDING), 0);
  EXPECT_FALSE(curtain.windows().front()->revealed());
}

TEST_F(CurtainTest, RevealDarkensTheScreenAndHideUnmaps) {
  WhiteBackdrop backdrop;
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  const int x = screen.center().x();
  const int y = screen.top() + 20;
  ASSERT_TRUE(testing::waitUntil([&] { return observer_.rootGrey(x, y) > 200; }));

  CurtainWindows curtain;
  const std::uint32_t id = curtain.prepare().front();
  // Prepared: in front but invisible.
  for (int i = 0; i < 10; ++i)
    QCoreApplication::processEvents();
  EXPECT_GT(observer_.rootGrey(x, y), 200);

  curtain.reveal();
  EXPECT_TRUE(curtain.windows().front()->revealed());
  EXPECT_TRUE(testing::waitUntil([&] { return observer_.rootGrey(x, y) < 16; }));
  EXPECT_GT(observer_.shapeRectangles(id, XCB_SHAPE_SK_BOUNDING), 0);
  EXPECT_EQ(observer_.shapeRectangles(id, XCB_SHAPE_SK_INPUT), 0);
  const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  EXPECT_TRUE(shot.save(QString::fromStdString(testing::screenshotDirectory() + "/curtain.png"), "PNG"));

  curtain.hide();
  EXPECT_EQ(observer_.mapState(id), XCB_MAP_STATE_UNMAPPED);
  EXPECT_TRUE(testing::waitUntil([&] { return observer_.rootGrey(x, y) > 200; }));

  // Hide then prepare: back in front, transparent again.
  EXPECT_EQ(curtain.prepare().front(), id);
  EXPECT_EQ(observer_.mapState(id), XCB_MAP_STATE_VIEWABLE);
  EXPECT_FALSE(curtain.windows().front()->revealed());
  EXPECT_EQ(observer_.shapeRectangles(id, XCB_SHAPE_SK_BOUNDING), 0);
}

TEST_F(CurtainTest, PrepareReusesWindowsAndKeepsAShownCurtainShown) {
  CurtainWindows curtain;
  const std::vector<std::uint32_t> first = curtain.prepare();
  curtain.reveal();
  const std::vector<std::uint32_t> second = curtain.prepare();
  EXPECT_EQ(first, second);
  EXPECT_TRUE(curtain.windows().front()->revealed());
  EXPECT_GT(observer_.shapeRectangles(second.front(), XCB_SHAPE_SK_BOUNDING), 0);
}

TEST_F(CurtainTest, ShowsTheSessionMessage) {
  CurtainWindow window(QRect(0, 0, 800, 600));
  auto* title = window.findChild<QLabel*>("curtainTitle");
  auto* text = window.findChild<QLabel*>("curtainText");
  ASSERT_NE(title, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(title->text(), "Quorvanta session in progress");
  EXPECT_EQ(
      text->text(),
      "This computer is in use from a paired iPhone or iPad. The screen returns when the session ends.");
  EXPECT_LE(text->maximumWidth(), 420);
}

TEST_F(CurtainTest, BridgeCarriesHostThreadCallsToTheGuiThread) {
  CurtainWindows windows;
  CurtainBridge bridge(&windows);
  std::vector<std::uint32_t> ids;
  std::atomic<bool> done{false};
  std::thread host([&] {
    ids = bridge.prepare();
    bridge.reveal();
    done = true;
  });
  EXPECT_TRUE(testing::waitUntil([&] { return done.load(); }));
  host.join();
  ASSERT_EQ(ids.size(), 1U);
  EXPECT_EQ(ids, windows.windowIDs());
  EXPECT_TRUE(windows.windows().front()->revealed());

  // From the GUI thread itself the call runs at once.
  bridge.hide();
  EXPECT_EQ(observer_.mapState(ids.front()), XCB_MAP_STATE_UNMAPPED);
}

TEST_F(CurtainTest, WaitingCallEndsWhenTheWindowsGoAway) {
  auto windows = std::make_unique<CurtainWindows>();
  CurtainBridge bridge(windows.get());
  std::vector<std::uint32_t> ids{1};
  std::atomic<bool> done{false};
  std::thread host([&] {
    ids = bridge.prepare();
    done = true;
  });
  // The GUI thread does not serve the call; it leaves instead, as the application does at exit.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  bridge.detach();
  windows.reset();
  host.join();
  EXPECT_TRUE(done);
  EXPECT_TRUE(ids.empty());
  EXPECT_TRUE(bridge.prepare().empty());
}

}  // namespace
}  // namespace quorvanta

namespace quorvanta {
namespace {

TEST_F(CurtainTest, FollowsTheScreensByTheirFrames) {
  std::vector<QRect> screens{QRect(0, 0, 640, 720), QRect(640, 0, 640, 720)};
  CurtainWindows curtain([&] { return screens; });
  const std::vector<std::uint32_t> two = curtain.prepare();
  ASSERT_EQ(two.size(), 2U);
  EXPECT_NE(two[0], two[1]);
  EXPECT_EQ(curtain.windows()[1]->frame(), screens[1]);
  EXPECT_EQ(curtain.windows()[1]->geometry(), screens[1]);

  // The second screen is unplugged: its window goes off screen and out of the list.
  screens.pop_back();
  EXPECT_EQ(curtain.prepare(), std::vector<std::uint32_t>{two[0]});
  EXPECT_EQ(observer_.mapState(two[1]), XCB_MAP_STATE_UNMAPPED);

  // The first one changes its resolution: a new window replaces the old one.
  screens[0] = QRect(0, 0, 1024, 600);
  const std::vector<std::uint32_t> resized = curtain.prepare();
  ASSERT_EQ(resized.size(), 1U);
  EXPECT_NE(resized[0], two[0]);
  EXPECT_EQ(observer_.mapState(two[0]), XCB_MAP_STATE_UNMAPPED);
  EXPECT_EQ(observer_.mapState(resized[0]), XCB_MAP_STATE_VIEWABLE);
  EXPECT_EQ(curtain.windows().front()->frame(), screens[0]);
}

}  // namespace
}  // namespace quorvanta
