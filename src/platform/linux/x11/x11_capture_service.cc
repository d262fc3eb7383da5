#include "platform/linux/x11/x11_capture_service.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <span>
#include <stdexcept>
#include <utility>

#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "core/util/monotonic_clock.h"
#include "platform/linux/x11/edid.h"
#include "platform/linux/x11/window_composer.h"
#include "platform/linux/x11/x11_capture_stream.h"

namespace quorvanta::x11 {

namespace {

constexpr const char* kDisplayGone = "The display is no longer available.";
constexpr const char* kWindowGone = "A window to leave out is not on screen.";
constexpr const char* kNotRunning = "This capture is not running.";

}  // namespace

X11CaptureService::X11CaptureService(std::string display)
    : display_(std::move(display)), connection_(Connection::connect(display_)) {
  requireExtensions(connection_);
  // Changes are watched before the first listing, so that none falls between the two.
  xcb_connection_t* c = connection_.get();
  randrEvent_ = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
  xcb_randr_select_input(c, connection_.root(),
                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  xcb_flush(c);
}

X11CaptureService::~X11CaptureService() {
  worker_.join();
}

asio::awaitable<ShareableContent> X11CaptureService::shareableContent() {
  return asio::co_spawn(
      worker_.get_executor(), [this]() -> asio::awaitable<ShareableContent> { co_return queryContent(); },
      asio::use_awaitable);
}

std::vector<OutputGeometry> X11CaptureService::queryOutputs() {
  // Reading what arrived costs no round trip; RandR events are the only ones selected.
  xcb_connection_t* c = connection_.get();
  while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
    const std::uint8_t type = event->response_type & 0x7F;
    if (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEvent_ + XCB_RANDR_NOTIFY) {
      outputs_.reset();
      names_.clear();
    }
  }
  if (!outputs_) outputs_ = x11::queryOutputs(connection_);
  return *outputs_;
}

ShareableContent X11CaptureService::queryContent() {
  std::lock_guard guard(lock_);
  ShareableContent content;
  for (const OutputGeometry& output : queryOutputs()) {
    content.displays.push_back(CaptureDisplay{output.id, output.width, output.height});
  }

  // On-screen top-level windows, bottom to top: the root's mapped children, each followed by the
  // client window it frames when a window manager has reparented one.
  xcb_connection_t* c = connection_.get();
  Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, connection_.root()), nullptr));
  if (!tree) return content;
  const xcb_atom_t wmState = internAtom(c, "WM_STATE", true);
  // A capture's own background window (see WindowComposer) is no window of the desktop.
  const xcb_atom_t backgroundMarker = internAtom(c, kBackgroundWindowMarker, true);
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  const int count = xcb_query_tree_children_length(tree.get());
  std::vector<xcb_get_window_attributes_cookie_t> cookies;
  cookies.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    cookies.push_back(xcb_get_window_attributes(c, children[i]));
  for (int i = 0; i < count; ++i) {
    Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, cookies[static_cast<std::size_t>(i)], nullptr));
    if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;
    if (attributes->override_redirect && backgroundMarker != XCB_ATOM_NONE) {
      Reply<xcb_get_property_reply_t> marker(xcb_get_property_reply(
          c, xcb_get_property(c, 0, children[i], backgroundMarker, XCB_ATOM_ANY, 0, 0), nullptr));
      if (marker && marker->type != XCB_NONE) continue;
    }
    content.windows.push_back(CaptureWindow{children[i]});
    if (wmState == XCB_ATOM_NONE) continue;
    Reply<xcb_get_property_reply_t> own(
        xcb_get_property_reply(c, xcb_get_property(c, 0, children[i], wmState, XCB_ATOM_ANY, 0, 0), nullptr));
    if (own && own->type != XCB_NONE) continue;  // the child is itself a client
    Reply<xcb_query_tree_reply_t> inner(xcb_query_tree_reply(c, xcb_query_tree(c, children[i]), nullptr));
    if (!inner) continue;
    const xcb_window_t* grandchildren = xcb_query_tree_children(inner.get());
    for (int j = 0; j < xcb_query_tree_children_length(inner.get()); ++j) {
      Reply<xcb_get_property_reply_t> state(xcb_get_property_reply(
          c, xcb_get_property(c, 0, grandchildren[j], wmState, XCB_ATOM_ANY, 0, 0), nullptr));
      if (state && state->type != XCB_NONE) content.windows.push_back(CaptureWindow{grandchildren[j]});
    }
  }
  return content;
}

std::optional<OutputGeometry> X11CaptureService::findOutput(DisplayID display) {
  std::lock_guard guard(lock_);
  for (const OutputGeometry& output : queryOutputs()) {
    if (output.id == display) return output;
  }
  return std::nullopt;
}

std::optional<PixelSize> X11CaptureService::pixelSize(DisplayID display) {
  try {
    if (auto output = findOutput(display)) return PixelSize{output->width, output->height};
  } catch (const std::exception&) {
    // Unreadable: the caller falls back to the listed size.
  }
  return std::nullopt;
}

std::optional<std::string> X11CaptureService::displayName(DisplayID display) {
  try {
    std::lock_guard guard(lock_);
    const std::vector<OutputGeometry> outputs = queryOutputs();
    if (const auto known = names_.find(display); known != names_.end()) return known->second;
    const auto output = std::find_if(outputs.begin(), outputs.end(),
                                     [display](const OutputGeometry& o) { return o.id == display; });
    if (output == outputs.end()) return std::nullopt;
    return names_[display] = readName(*output);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> X11CaptureService::readName(const OutputGeometry& output) {
  xcb_connection_t* c = connection_.get();
  const xcb_atom_t edidAtom = internAtom(c, "EDID", true);
  if (edidAtom != XCB_ATOM_NONE) {
    // 64 four-byte units: the 256 bytes of the base block and its first extension.
    Reply<xcb_randr_get_output_property_reply_t> edid(xcb_randr_get_output_property_reply(
        c, xcb_randr_get_output_property(c, output.id, edidAtom, XCB_ATOM_ANY, 0, 64, 0, 0), nullptr));
    if (edid && edid->format == 8) {
      std::span<const std::uint8_t> bytes(xcb_randr_get_output_property_data(edid.get()),
                                          static_cast<std::size_t>(edid->num_items));
      if (auto name = edidMonitorName(bytes)) return name;
    }
  }
  if (!output.name.empty()) return output.name;
  return std::nullopt;
}

std::shared_ptr<CaptureStream> X11CaptureService::makeStream(const ContentFilter& filter,
                                                             const StreamConfiguration& configuration,
                                                             std::weak_ptr<CaptureStreamOutput> output,
                                                             asio::any_io_executor captureQueue) {
  auto area = findOutput(filter.displayID);
  if (!area) throw std::runtime_error(kDisplayGone);
  // Streams start with the whole display; exclusions are applied to a running stream.
  if (!filter.excludedWindows.empty())
    throw std::invalid_argument("Exclusions apply to running captures only.");
  if (configuration.width < 2 || configuration.height < 2 || configuration.width % 2 != 0 ||
      configuration.height % 2 != 0) {
    throw std::invalid_argument("Capture frames must have even sizes of at least 2.");
  }
  return makeX11CaptureStream(display_, *area, configuration, std::move(output), std::move(captureQueue));
}

}  // namespace quorvanta::x11
