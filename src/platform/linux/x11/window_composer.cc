#include "platform/linux/x11/window_composer.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <xcb/composite.h>
#include <xcb/render.h>
#include <xcb/shape.h>
#include <xcb/xcb_renderutil.h>

#include "platform/linux/x11/xcb_handles.h"

namespace quorvanta::x11 {

namespace {

std::int16_t s16(int v) {
  return static_cast<std::int16_t>(v);
}
std::uint16_t u16(int v) {
  return static_cast<std::uint16_t>(v);
}

// How often the background window is cleared again without being told: setting the root's own
// background (xsetroot -solid) sends no event.
constexpr auto kBackgroundRefresh = std::chrono::seconds(1);

}  // namespace

WindowComposer::WindowComposer(xcb_connection_t* connection, int screenNumber, xcb_window_t root,
                               xcb_visualid_t rootVisual, std::uint8_t rootDepth, int x, int y, int width,
                               int height)
    : connection_(connection),
      root_(root),
      rootVisual_(rootVisual),
      x_(x),
      y_(y),
      width_(width),
      height_(height) {
  xcb_connection_t* c = connection_;
  Reply<xcb_composite_query_version_reply_t> composite(
      xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
  if (!composite || (composite->major_version == 0 && composite->minor_version < 2)) {
    throw std::runtime_error("The X display does not offer Composite 0.2.");
  }
  Reply<xcb_render_query_version_reply_t> render(
      xcb_render_query_version_reply(c, xcb_render_query_version(c, 0, 11), nullptr));
  if (!render) throw std::runtime_error("The X display does not offer Render.");
  formats_.reset(xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr));
  if (!formats_ || formatOf(rootVisual_) == XCB_NONE) {
    throw std::runtime_error("The X display's picture formats cannot be read.");
  }

  managerSelection_ = internAtom(c, "_NET_WM_CM_S" + std::to_string(screenNumber), false);
  for (const char* name : {"_XROOTPMAP_ID", "_XSETROOT_ID", "ESETROOT_PMAP_ID"}) {
    backgroundAtoms_.insert(internAtom(c, name, false));
  }
  Reply<xcb_shape_query_version_reply_t> shape(
      xcb_shape_query_version_reply(c, xcb_shape_query_version(c), nullptr));
  hasShape_ = shape != nullptr;
  hasInputShape_ =
      shape && (shape->major_version > 1 || (shape->major_version == 1 && shape->minor_version >= 1));
  // Background changes announced on the root arrive as PropertyNotify on this connection.
  const std::uint32_t propertyChanges = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c, root_, XCB_CW_EVENT_MASK, &propertyChanges);
  makeBackgroundWindow(rootDepth);

  ErrorReply refused(xcb_request_check(
      c, xcb_composite_redirect_subwindows_checked(c, root_, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
  if (refused) {
    if (backgroundWindow_ != XCB_NONE) {
      xcb_render_free_picture(c, backgroundPicture_);
      xcb_free_pixmap(c, backgroundPixmap_);
      xcb_destroy_window(c, backgroundWindow_);
    }
    const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(c, root_, XCB_CW_EVENT_MASK, &none);
    xcb_flush(c);
    throw std::runtime_error("The X display refused to redirect its windows.");
  }

  pixmap_ = xcb_generate_id(c);
  xcb_create_pixmap(c, rootDepth, pixmap_, root_, u16(width_), u16(height_));
  picture_ = xcb_generate_id(c);
  xcb_render_create_picture(c, picture_, pixmap_, formatOf(rootVisual_), 0, nullptr);
  rootPixmapAtom_ = internAtom(c, "_XROOTPMAP_ID", true);
}

void WindowComposer::makeBackgroundWindow(std::uint8_t rootDepth) {
  xcb_connection_t* c = connection_;
  Reply<xcb_get_geometry_reply_t> rootGeometry(
      xcb_get_geometry_reply(c, xcb_get_geometry(c, root_), nullptr));
  if (!rootGeometry) return;
  const xcb_window_t window = xcb_generate_id(c);
  // Value order follows the mask bits: background pixmap, override-redirect.
  const std::uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE, 1};
  xcb_create_window(c, rootDepth, window, root_, 0, 0, rootGeometry->width, rootGeometry->height, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, rootVisual_, XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT,
                    values);
  // Redirected before it is mapped, so that it never shows on the real screen. A compositing
  // manager holds manual redirection of every child of the root and the server refuses a second.
  ErrorReply refused(
      xcb_request_check(c, xcb_composite_redirect_window_checked(c, window, XCB_COMPOSITE_REDIRECT_MANUAL)));
  if (refused) {
    xcb_destroy_window(c, window);
    return;
  }
  // It lies over the root: an empty input region lets clicks on the bare desktop reach the root,
  // as they would without it.
  if (hasInputShape_) {
    xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED, window, 0, 0, 0,
                         nullptr);
  }
  const xcb_atom_t marker = internAtom(c, kBackgroundWindowMarker, false);
  if (marker != XCB_ATOM_NONE) {
    const std::uint32_t one = 1;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, marker, XCB_ATOM_CARDINAL, 32, 1, &one);
  }
  const std::uint32_t below = XCB_STACK_MODE_BELOW;
  xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, &below);
  xcb_map_window(c, window);
  // Mapping paints its background into its pixmap, which stays the same while it is mapped.
  backgroundWindow_ = window;
  backgroundPixmap_ = xcb_generate_id(c);
  xcb_composite_name_window_pixmap(c, window, backgroundPixmap_);
  backgroundPicture_ = xcb_generate_id(c);
  xcb_render_create_picture(c, backgroundPicture_, backgroundPixmap_, formatOf(rootVisual_), 0, nullptr);
  backgroundCleared_ = std::chrono::steady_clock::now();
}

bool WindowComposer::hasAlpha(xcb_render_pictformat_t format) const {
  for (auto it = xcb_render_query_pict_formats_formats_iterator(formats_.get()); it.rem > 0;
       xcb_render_pictforminfo_next(&it)) {
    if (it.data->id == format) return it.data->direct.alpha_mask != 0;
  }
  return false;
}

bool WindowComposer::compositingManagerRuns() const {
  if (managerSelection_ == XCB_ATOM_NONE) return false;
  Reply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
      connection_, xcb_get_selection_owner(connection_, managerSelection_), nullptr));
  return owner && owner->owner != XCB_NONE;
}

WindowComposer::~WindowComposer() {
  xcb_connection_t* c = connection_;
  xcb_render_free_picture(c, picture_);
  xcb_free_pixmap(c, pixmap_);
  if (backgroundWindow_ != XCB_NONE) {
    xcb_render_free_picture(c, backgroundPicture_);
    xcb_free_pixmap(c, backgroundPixmap_);
    xcb_destroy_window(c, backgroundWindow_);
  }
  const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
  xcb_change_window_attributes(c, root_, XCB_CW_EVENT_MASK, &none);
  xcb_composite_unredirect_subwindows(c, root_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  xcb_flush(c);
  handleEvents();
}

xcb_render_pictformat_t WindowComposer::formatOf(xcb_visualid_t visual) const {
  const xcb_render_pictvisual_t* found = xcb_render_util_find_visual_format(formats_.get(), visual);
  return found != nullptr ? found->format : xcb_render_pictformat_t{XCB_NONE};
}

void WindowComposer::paintBackground() {
  xcb_connection_t* c = connection_;
  if (backgroundWindow_ != XCB_NONE) {
    const auto now = std::chrono::steady_clock::now();
    if (backgroundStale_ || now - backgroundCleared_ >= kBackgroundRefresh) {
      // The server paints the root's background into the window's pixmap again.
      xcb_clear_area(c, 0, backgroundWindow_, 0, 0, 0, 0);
      backgroundStale_ = false;
      backgroundCleared_ = now;
    }
    xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, backgroundPicture_, XCB_NONE, picture_, s16(x_), s16(y_),
                         0, 0, 0, 0, u16(width_), u16(height_));
    return;
  }
  if (rootPixmapAtom_ != XCB_ATOM_NONE) {
    Reply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        c, xcb_get_property(c, 0, root_, rootPixmapAtom_, XCB_ATOM_PIXMAP, 0, 1), nullptr));
    if (property && property->type == XCB_ATOM_PIXMAP && property->format == 32 &&
        xcb_get_property_value_length(property.get()) >= 4) {
      const auto background = *static_cast<const xcb_pixmap_t*>(xcb_get_property_value(property.get()));
      const xcb_render_picture_t source = xcb_generate_id(c);
      // The desktop's pixmap covers the root from its origin; a bad one leaves the black below.
      xcb_render_fill_rectangles(c, XCB_RENDER_PICT_OP_SRC, picture_, xcb_render_color_t{0, 0, 0, 0xFFFF}, 1,
                                 std::vector<xcb_rectangle_t>{{0, 0, u16(width_), u16(height_)}}.data());
      xcb_render_create_picture(c, source, background, formatOf(rootVisual_), 0, nullptr);
      xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, source, XCB_NONE, picture_, s16(x_), s16(y_), 0, 0, 0,
                           0, u16(width_), u16(height_));
      xcb_render_free_picture(c, source);
      return;
    }
  }
  const xcb_rectangle_t all{0, 0, u16(width_), u16(height_)};
  xcb_render_fill_rectangles(c, XCB_RENDER_PICT_OP_SRC, picture_, xcb_render_color_t{0, 0, 0, 0xFFFF}, 1,
                             &all);
}

xcb_pixmap_t WindowComposer::compose() {
  xcb_connection_t* c = connection_;
  handleEvents();

  const bool blendTranslucent = compositingManagerRuns();
  Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root_), nullptr));
  const xcb_window_t* children = tree ? xcb_query_tree_children(tree.get()) : nullptr;
  const auto count = tree ? static_cast<std::size_t>(xcb_query_tree_children_length(tree.get())) : 0;
  if (backgroundWindow_ != XCB_NONE && count > 0 && children[0] != backgroundWindow_) {
    // Something raised it (or went below it): back to the bottom, so that it hides nothing from
    // the pointer and stacking-order readers.
    const std::uint32_t below = XCB_STACK_MODE_BELOW;
    xcb_configure_window(c, backgroundWindow_, XCB_CONFIG_WINDOW_STACK_MODE, &below);
  }
  if (!tree) {
    paintBackground();
    return pixmap_;
  }

  std::vector<xcb_get_window_attributes_cookie_t> attributes(count);
  std::vector<xcb_get_geometry_cookie_t> geometry(count);
  std::vector<xcb_shape_get_rectangles_cookie_t> shapes(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (children[i] == backgroundWindow_) continue;  // painted first, as the background
    attributes[i] = xcb_get_window_attributes(c, children[i]);
    geometry[i] = xcb_get_geometry(c, children[i]);
    if (hasShape_) shapes[i] = xcb_shape_get_rectangles(c, children[i], XCB_SHAPE_SK_BOUNDING);
  }
  // The layers, bottom to top; a window that vanished since the tree was read simply has no
  // replies.
  struct Layer {
    xcb_window_t window;
    Reply<xcb_get_geometry_reply_t> geometry;
    Reply<xcb_shape_get_rectangles_reply_t> shape;
    xcb_render_pictformat_t format;
    std::uint8_t op;
    int left, top, outerWidth, outerHeight;
  };
  std::vector<Layer> layers;
  layers.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (children[i] == backgroundWindow_) continue;
    Reply<xcb_get_window_attributes_reply_t> a(xcb_get_window_attributes_reply(c, attributes[i], nullptr));
    Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, geometry[i], nullptr));
    Reply<xcb_shape_get_rectangles_reply_t> shape(
        hasShape_ ? xcb_shape_get_rectangles_reply(c, shapes[i], nullptr) : nullptr);
    if (!a || !g || a->map_state != XCB_MAP_STATE_VIEWABLE || a->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT)
      continue;
    if (excluded_.contains(children[i])) continue;
    const int outerWidth = g->width + 2 * g->border_width;
    const int outerHeight = g->height + 2 * g->border_width;
    const int left = g->x - x_;
    const int top = g->y - y_;
    if (left >= width_ || top >= height_ || left + outerWidth <= 0 || top + outerHeight <= 0) continue;
    const xcb_render_pictformat_t format = formatOf(a->visual);
    if (format == XCB_NONE) continue;
    const std::uint8_t op =
        blendTranslucent && hasAlpha(format) ? XCB_RENDER_PICT_OP_OVER : XCB_RENDER_PICT_OP_SRC;
    layers.push_back(
        Layer{children[i], std::move(g), std::move(shape), format, op, left, top, outerWidth, outerHeight});
  }

  // Whatever lies below the highest layer that covers the whole area opaquely is never seen: a
  // full-screen window or a desktop window spares the background and the layers under it.
  const auto coversAll = [&](const Layer& layer) {
    if (layer.op != XCB_RENDER_PICT_OP_SRC) return false;
    int left = layer.left, top = layer.top, right = layer.left + layer.outerWidth,
        bottom = layer.top + layer.outerHeight;
    if (layer.shape) {
      if (layer.shape->rectangles_len != 1) return false;
      const xcb_rectangle_t r = *xcb_shape_get_rectangles_rectangles(layer.shape.get());
      const int originX = layer.left + layer.geometry->border_width + r.x;
      const int originY = layer.top + layer.geometry->border_width + r.y;
      left = std::max(left, originX);
      top = std::max(top, originY);
      right = std::min(right, originX + r.width);
      bottom = std::min(bottom, originY + r.height);
    }
    return left <= 0 && top <= 0 && right >= width_ && bottom >= height_;
  };
  std::size_t first = 0;
  for (std::size_t i = layers.size(); i > 0; --i) {
    if (coversAll(layers[i - 1])) {
      first = i - 1;
      break;
    }
  }
  if (first == 0 && (layers.empty() || !coversAll(layers[0]))) paintBackground();

  for (std::size_t i = first; i < layers.size(); ++i) {
    const Layer& layer = layers[i];
    const xcb_pixmap_t content = xcb_generate_id(c);
    xcb_composite_name_window_pixmap(c, layer.window, content);
    const xcb_render_picture_t source = xcb_generate_id(c);
    const std::uint32_t includeInferiors = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
    xcb_render_create_picture(c, source, content, layer.format, XCB_RENDER_CP_SUBWINDOW_MODE,
                              &includeInferiors);
    // A shaped window covers only its bounding region, given from its inner top-left corner.
    if (layer.shape) {
      const int origin = layer.geometry->border_width;
      xcb_render_set_picture_clip_rectangles(c, picture_, s16(layer.left + origin), s16(layer.top + origin),
                                             static_cast<std::uint32_t>(layer.shape->rectangles_len),
                                             xcb_shape_get_rectangles_rectangles(layer.shape.get()));
    }
    xcb_render_composite(c, layer.op, source, XCB_NONE, picture_, 0, 0, 0, 0, s16(layer.left), s16(layer.top),
                         u16(layer.outerWidth), u16(layer.outerHeight));
    if (layer.shape) {
      const std::uint32_t none = XCB_NONE;
      xcb_render_change_picture(c, picture_, XCB_RENDER_CP_CLIP_MASK, &none);
    }
    xcb_render_free_picture(c, source);
    xcb_free_pixmap(c, content);
  }
  return pixmap_;
}

void WindowComposer::handleEvents() {
  // Errors of unchecked requests (a window gone mid-frame) arrive as events and are dropped; the
  // only events selected on this connection are property changes on the root.
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY) {
      const auto* change = reinterpret_cast<const xcb_property_notify_event_t*>(event);
      if (change->window == root_ && backgroundAtoms_.contains(change->atom)) backgroundStale_ = true;
    }
    std::free(event);
  }
}

xcb_window_t topLevelOf(xcb_connection_t* connection, xcb_window_t root, xcb_window_t window) {
  xcb_window_t current = window;
  for (int depth = 0; depth < 64; ++depth) {
    Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection, xcb_query_tree(connection, current), nullptr));
    if (!tree || current == root) return XCB_NONE;
    if (tree->parent == root) return current;
    current = tree->parent;
  }
  return XCB_NONE;
}

}  // namespace quorvanta::x11
