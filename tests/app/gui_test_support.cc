#include "gui_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace quorvanta::testing {
namespace {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

}  // namespace

std::string screenshotDirectory() {
  const std::filesystem::path directory = std::filesystem::path(QUORVANTA_TEST_OUTPUT_DIR) / "screenshots";
  std::filesystem::create_directories(directory);
  return directory.string();
}

XPeer::XPeer()
    : c_(xcb_connect(nullptr, nullptr)), root_(xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root) {}

XPeer::~XPeer() {
  xcb_disconnect(c_);
}

std::uint8_t XPeer::mapState(std::uint32_t window, bool* overrideRedirect) {
  Reply<xcb_get_window_attributes_reply_t> reply(
      xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr));
  if (overrideRedirect) *overrideRedirect = reply && reply->override_redirect;
  return reply ? reply->map_state : 0xff;
}

int XPeer::shapeRectangles(std::uint32_t window, xcb_shape_kind_t kind) {
  Reply<xcb_shape_get_rectangles_reply_t> reply(
      xcb_shape_get_rectangles_reply(c_, xcb_shape_get_rectangles(c_, window, kind), nullptr));
  return reply ? static_cast<int>(reply->rectangles_len) : -1;
}

std::uint32_t XPeer::topmost() {
  Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr));
  if (!tree) return XCB_NONE;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = xcb_query_tree_children_length(tree.get()) - 1; i >= 0; --i)
    if (mapState(children[i]) == XCB_MAP_STATE_VIEWABLE) return children[i];
  return XCB_NONE;
}

int XPeer::rootGrey(int x, int y) {
  Reply<xcb_get_image_reply_t> reply(
      xcb_get_image_reply(c_,
                          xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, static_cast<std::int16_t>(x),
                                        static_cast<std::int16_t>(y), 1, 1, ~0U),
                          nullptr));
  if (!reply || xcb_get_image_data_length(reply.get()) < 3) return -1;
  const std::uint8_t* pixel = xcb_get_image_data(reply.get());
  return (pixel[0] + pixel[1] + pixel[2]) / 3;
}

std::uint32_t XPeer::popup() {
  const xcb_window_t window = xcb_generate_id(c_);
  const std::uint32_t values[] = {0xFFFFFF, 1};
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, root_, 100, 100, 300, 120, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c_, window);
  xcb_flush(c_);
  return window;
}

TrustedDevice device(const std::string& id, const std::string& name, double pairedAt) {
  TrustedDevice result;
  result.id = id;
  result.name = name;
  result.tokenHash = std::string(64, 'a');
  result.pairedAt = pairedAt;
  return result;
}

PairingInvitation invitation() {
  PairingInvitation result;
  result.hostID = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  result.name = "workstation";
  result.address = "100.101.102.103";
  result.certificateHash = std::string(64, 'c');
  result.secret = "b3Blbi1zZXNhbWUtc2VjcmV0LXRva2Vu";
  result.expiresAt = 818000000.5;
  return result;
}

}  // namespace quorvanta::testing
