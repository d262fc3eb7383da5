#include "app/x11_window_shape.h"

#include <QGuiApplication>
#include <QString>

#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace quorvanta::x11_shape {

namespace {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};

xcb_connection_t* connection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

bool hasShape(xcb_connection_t* c) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_shape_id);
  return extension && extension->present;
}

// The screen number of $DISPLAY (":0.1" is screen 1), 0 when it names none.
int screenNumber() {
  const char* display = std::getenv("DISPLAY");
  if (!display) return 0;
  const std::string name(display);
  const auto colon = name.rfind(':');
  const auto dot = name.find('.', colon == std::string::npos ? 0 : colon);
  if (dot == std::string::npos) return 0;
  return std::atoi(name.c_str() + dot + 1);
}

void setEmptyShape(xcb_shape_kind_t kind, std::uint32_t window) {
  xcb_connection_t* c = connection();
  if (!c || !hasShape(c)) return;
  xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, kind, XCB_CLIP_ORDERING_UNSORTED, window, 0, 0, 0, nullptr);
  xcb_flush(c);
}

}  // namespace

void setEmptyBounding(std::uint32_t window) {
  setEmptyShape(XCB_SHAPE_SK_BOUNDING, window);
}

void setEmptyInput(std::uint32_t window) {
  setEmptyShape(XCB_SHAPE_SK_INPUT, window);
}

void resetBounding(std::uint32_t window) {
  xcb_connection_t* c = connection();
  if (!c || !hasShape(c)) return;
  // No pixmap: the bounding shape is the whole window again.
  xcb_shape_mask(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, window, 0, 0, XCB_NONE);
  xcb_flush(c);
}

void sync() {
  xcb_connection_t* c = connection();
  if (!c) return;
  std::unique_ptr<xcb_get_input_focus_reply_t, FreeDeleter> reply(
      xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

bool compositingManagerRuns() {
  xcb_connection_t* c = connection();
  if (!c) return false;
  const std::string name = "_NET_WM_CM_S" + std::to_string(screenNumber());
  std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> atom(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr));
  if (!atom) return false;
  std::unique_ptr<xcb_get_selection_owner_reply_t, FreeDeleter> owner(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr));
  return owner && owner->owner != XCB_NONE;
}

}  // namespace quorvanta::x11_shape
