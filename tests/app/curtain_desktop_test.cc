// The curtain on a desktop with a window manager and a compositing manager (see test_desktop.h).

#include <gtest/gtest.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>
#include <QGuiApplication>
#include <QScreen>

#include <cstdlib>
#include <memory>

#include "app/curtain_window.h"
#include "app/curtain_windows.h"
#include "gui_test_support.h"
#include "test_desktop.h"

namespace quorvanta {

testing::TestDesktop* testDesktop();  // the desktop the test main started

namespace {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Another client: it maps popups and looks at the stacking order and shapes from outside.
class Client {
 public:
  Client()
      : c_(xcb_connect(nullptr, nullptr)), root_(xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root) {}
  ~Client() { xcb_disconnect(c_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // An override-redirect window mapped on top, as notification popups are.
  xcb_window_t popup() {
    const xcb_window_t window = xcb_generate_id(c_);
    const std::uint32_t values[] = {0xFFFFFF, 1};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, root_, 100, 100, 300, 120, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c_, window);
    xcb_flush(c_);
    return window;
  }
  // The topmost mapped child of the root.
  xcb_window_t topmost() {
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr));
    if (!tree) return XCB_NONE;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = xcb_query_tree_children_length(tree.get()) - 1; i >= 0; --i) {
      Reply<xcb_get_window_attributes_reply_t> attributes(
          xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, children[i]), nullptr));
      if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE) return children[i];
    }
    return XCB_NONE;
  }
  int boundingRectangles(xcb_window_t window) {
    Reply<xcb_shape_get_rectangles_reply_t> reply(xcb_shape_get_rectangles_reply(
        c_, xcb_shape_get_rectangles(c_, window, XCB_SHAPE_SK_BOUNDING), nullptr));
    return reply ? static_cast<int>(reply->rectangles_len) : -1;
  }

 private:
  xcb_connection_t* c_;
  xcb_window_t root_;
};

TEST(CurtainDesktopTest, APopupCannotCoverTheCurtain) {
  Client client;
  CurtainWindows curtain;
  const std::uint32_t id = curtain.prepare().front();
  curtain.reveal();
  ASSERT_TRUE(testing::waitUntil([&] { return client.topmost() == id; }));
  const xcb_window_t popup = client.popup();
  // The popup goes on top when mapped, and the curtain goes back over it.
  EXPECT_TRUE(testing::waitUntil([&] { return client.topmost() == id; }));
  EXPECT_NE(client.topmost(), popup);
  curtain.hide();
}

TEST(CurtainDesktopTest, APreparedCurtainStaysInvisibleWhenTheCompositorComesAndGoes) {
  Client client;
  CurtainWindows curtain;
  const std::uint32_t id = curtain.prepare().front();
  EXPECT_EQ(client.boundingRectangles(id), 0);
  testDesktop()->stopCompositor();
  for (int i = 0; i < 10; ++i)
    QCoreApplication::processEvents();
  EXPECT_EQ(client.boundingRectangles(id), 0) << "without a compositor opacity hides nothing";
  curtain.reveal();
  EXPECT_GT(client.boundingRectangles(id), 0);
  EXPECT_TRUE(testing::waitUntil([&] { return curtain.windows().front()->windowOpacity() == 1.0; }));
  curtain.hide();
  testDesktop()->startCompositor();
  curtain.prepare();
  EXPECT_EQ(client.boundingRectangles(id), 0);
  curtain.reveal();
  EXPECT_TRUE(testing::waitUntil([&] { return curtain.windows().front()->windowOpacity() == 1.0; }));
  curtain.hide();
}

}  // namespace
}  // namespace quorvanta
