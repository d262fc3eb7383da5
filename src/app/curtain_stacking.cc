#include "app/curtain_stacking.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace quorvanta {

namespace {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};

xcb_connection_t* connection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

xcb_window_t rootOf(xcb_connection_t* c) {
  return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

}  // namespace

CurtainStacking::CurtainStacking(std::function<std::vector<std::uint32_t>()> shown)
    : shown_(std::move(shown)) {
  xcb_connection_t* c = connection();
  if (!c) return;
  // Structure changes of the root's children, added to whatever the toolkit selected on the root
  // for itself.
  const xcb_window_t root = rootOf(c);
  std::unique_ptr<xcb_get_window_attributes_reply_t, FreeDeleter> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, root), nullptr));
  const std::uint32_t mask =
      (attributes ? attributes->your_event_mask : 0U) | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c);
  QCoreApplication::instance()->installNativeEventFilter(this);
  installed_ = true;
}

CurtainStacking::~CurtainStacking() {
  if (installed_ && QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool CurtainStacking::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t") return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  xcb_window_t window = XCB_NONE;
  xcb_window_t parent = XCB_NONE;
  switch (event->response_type & 0x7F) {
    case XCB_MAP_NOTIFY: {
      const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(event);
      window = map->window;
      parent = map->event;
      break;
    }
    case XCB_CONFIGURE_NOTIFY: {
      const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
      window = configure->window;
      parent = configure->event;
      break;
    }
    case XCB_CIRCULATE_NOTIFY: {
      const auto* circulate = reinterpret_cast<const xcb_circulate_notify_event_t*>(event);
      window = circulate->window;
      parent = circulate->event;
      break;
    }
    default:
      return false;
  }
  xcb_connection_t* c = connection();
  if (!c || parent != rootOf(c)) return false;
  const std::vector<std::uint32_t> shown = shown_();
  // The curtain's own moves report back here too; they change nothing.
  if (shown.empty() || std::find(shown.begin(), shown.end(), window) != shown.end()) return false;
  restack();
  return false;
}

void CurtainStacking::restack() {
  xcb_connection_t* c = connection();
  if (!c) return;
  for (const std::uint32_t window : shown_()) {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
  }
  xcb_flush(c);
}

}  // namespace quorvanta
