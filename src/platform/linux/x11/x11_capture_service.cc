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
#include "platform/linux/x11/frame_converter.h"
#include "platform/linux/x11/window_composer.h"

namespace quorvanta::x11 {

namespace {

constexpr const char* kDisplayGone = "The display is no longer available.";
constexpr const char* kWindowGone = "A window to leave out is not on screen.";
constexpr const char* kNotRunning = "This capture is not running.";

void requireExtensions(const Connection& connection) {
  xcb_connection_t* c = connection.get();
  Reply<xcb_randr_query_version_reply_t> randr(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr));
  if (!randr || (randr->major_version == 1 && randr->minor_version < 3)) {
    throw std::runtime_error("The X display does not offer RandR 1.3.");
  }
  Reply<xcb_shm_query_version_reply_t> shm(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  if (!shm) throw std::runtime_error("The X display does not offer shared-memory images (MIT-SHM).");
  // XFixes needs its version negotiated before any other request.
  Reply<xcb_xfixes_query_version_reply_t> xfixes(
      xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
  if (!xfixes) throw std::runtime_error("The X display does not offer XFixes.");
}

// One capture of one output's area of the root window. Everything but construction and
// destruction runs on the capture queue.
class X11CaptureStream final : public CaptureStream, public std::enable_shared_from_this<X11CaptureStream> {
 public:
  X11CaptureStream(std::string display, OutputGeometry area, StreamConfiguration configuration,
                   std::weak_ptr<CaptureStreamOutput> output, asio::any_io_executor queue)
      : display_(std::move(display)),
        area_(area),
        configuration_(configuration),
        output_(std::move(output)),
        queue_(std::move(queue)),
        timer_(queue_) {}

  asio::awaitable<void> startCapture() override {
    return asio::co_spawn(
        queue_,
        [self = shared_from_this()]() -> asio::awaitable<void> {
          self->begin();
          co_return;
        },
        asio::use_awaitable);
  }

  asio::awaitable<void> stopCapture() override {
    return asio::co_spawn(
        queue_,
        [self = shared_from_this()]() -> asio::awaitable<void> {
          self->end();
          co_return;
        },
        asio::use_awaitable);
  }

  asio::awaitable<void> updateContentFilter(ContentFilter filter) override {
    return asio::co_spawn(
        queue_,
        [self = shared_from_this(), windows = std::move(filter.excludedWindows)]() -> asio::awaitable<void> {
          self->exclude(windows);
          co_return;
        },
        asio::use_awaitable);
  }

 private:
  // On the queue.
  void begin() {
    if (state_ != State::idle) throw std::runtime_error("This capture has already been started.");
    connection_.emplace(Connection::connect(display_));
    requireExtensions(*connection_);
    const std::size_t bytes =
        static_cast<std::size_t>(area_.width) * static_cast<std::size_t>(area_.height) * 4;
    if (bytes == 0) throw std::runtime_error(kDisplayGone);
    shm_.emplace(connection_->get(), bytes);
    interval_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / std::max(configuration_.fps, 1)));
    state_ = State::running;
    next_ = std::chrono::steady_clock::now();
    schedule();
  }

  void end() {
    state_ = State::stopped;
    timer_.cancel();
    composer_.reset();
    shm_.reset();
    connection_.reset();
  }

  // Leaves the top-level windows holding `windows` out of the following frames. The windows are
  // redirected only while some are left out.
  void exclude(const std::vector<WindowID>& windows) {
    if (state_ != State::running) throw std::runtime_error(kNotRunning);
    if (windows.empty()) {
      composer_.reset();
      return;
    }
    xcb_connection_t* c = connection_->get();
    std::set<xcb_window_t> topLevels;
    for (WindowID window : windows) {
      const xcb_window_t topLevel = topLevelOf(c, connection_->root(), window);
      if (topLevel == XCB_NONE) throw std::runtime_error(kWindowGone);
      topLevels.insert(topLevel);
    }
    if (!composer_) {
      xcb_screen_t* screen = connection_->screen();
      composer_.emplace(c, connection_->screenNumber(), connection_->root(), screen->root_visual,
                        screen->root_depth, area_.x, area_.y, area_.width, area_.height);
    }
    composer_->setExcluded(std::move(topLevels));
  }

  void schedule() {
    timer_.expires_at(next_);
    timer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
      if (error) return;
      if (auto self = weak.lock()) self->tick();
    });
  }

  void tick() {
    if (state_ != State::running) return;
    // The next frame is read no sooner than one interval after this one, so frames are never
    // closer than 1/fps; a late timer delays the following frames instead of bunching them.
    next_ = std::chrono::steady_clock::now() + interval_;
    const double time = monotonicSeconds();
    try {
      deliver(grab(), time);
    } catch (const std::exception& e) {
      end();
      if (auto output = output_.lock()) output->didStopWithError(*this, e.what());
      return;
    }
    schedule();
  }

  PixelBufferRef grab() {
    xcb_connection_t* c = connection_->get();
    if (connection_->hasError()) throw std::runtime_error(kDisplayGone);
    // Either the screen itself or, while windows are left out, the frame composed from the others.
    const xcb_drawable_t source = composer_ ? composer_->compose() : connection_->root();
    const int left = composer_ ? 0 : area_.x;
    const int top = composer_ ? 0 : area_.y;
    ErrorReply error;
    xcb_generic_error_t* rawError = nullptr;
    Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, source, static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
                          static_cast<std::uint16_t>(area_.width), static_cast<std::uint16_t>(area_.height),
                          ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shm_->id(), 0),
        &rawError));
    error.reset(rawError);
    if (!image || error) throw std::runtime_error(kDisplayGone);
    if (image->size != shm_->size()) {
      throw std::runtime_error("The display's pixel format cannot be captured.");
    }
    if (image->depth != 24 && image->depth != 32) {
      throw std::runtime_error("The display's color depth cannot be captured.");
    }

    BgrxImage frame{shm_->data(), area_.width, area_.height, area_.width * 4};
    if (configuration_.showsCursor) drawPointer(frame);
    return converter_.convert(frame, configuration_.width, configuration_.height);
  }

  void drawPointer(const BgrxImage& frame) {
    xcb_connection_t* c = connection_->get();
    Reply<xcb_xfixes_get_cursor_image_reply_t> cursor(
        xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (!cursor) return;  // no cursor this frame; the picture is still good
    const int left = cursor->x - cursor->xhot - area_.x;
    const int top = cursor->y - cursor->yhot - area_.y;
    drawCursor(frame, xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width, cursor->height,
               left, top);
  }

  void deliver(PixelBufferRef buffer, double time) {
    CaptureSample sample;
    sample.status = static_cast<int>(FrameStatus::complete);
    sample.image = std::move(buffer);
    sample.presentationTime = time;
    if (auto output = output_.lock()) output->didOutputSample(*this, sample, SampleType::screen);
  }

  enum class State { idle, running, stopped };

  const std::string display_;
  const OutputGeometry area_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<CaptureStreamOutput> output_;
  const asio::any_io_executor queue_;
  asio::steady_timer timer_;
  State state_ = State::idle;
  std::chrono::steady_clock::duration interval_{};
  std::chrono::steady_clock::time_point next_{};
  std::optional<Connection> connection_;
  std::optional<ShmSegment> shm_;           // declared after the connection: detached before it closes
  std::optional<WindowComposer> composer_;  // present while windows are left out
  FrameConverter converter_;
};

}  // namespace

X11CaptureService::X11CaptureService(std::string display)
    : display_(std::move(display)), connection_(Connection::connect(display_)) {
  requireExtensions(connection_);
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
  xcb_connection_t* c = connection_.get();
  if (connection_.hasError()) throw std::runtime_error("The X display cannot be reached.");
  Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, connection_.root()), nullptr));
  if (!resources) throw std::runtime_error("The X display's outputs cannot be listed.");
  Reply<xcb_randr_get_output_primary_reply_t> primary(
      xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, connection_.root()), nullptr));

  const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
  std::vector<OutputGeometry> result;
  for (int i = 0; i < count; ++i) {
    Reply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
        c, xcb_randr_get_output_info(c, outputs[i], resources->config_timestamp), nullptr));
    if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED || info->crtc == XCB_NONE) continue;
    Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
        c, xcb_randr_get_crtc_info(c, info->crtc, resources->config_timestamp), nullptr));
    if (!crtc || crtc->mode == XCB_NONE || crtc->width == 0 || crtc->height == 0) continue;
    const auto* name = reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get()));
    const auto length = static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get()));
    result.push_back(
        OutputGeometry{outputs[i], crtc->x, crtc->y, crtc->width, crtc->height, std::string(name, length)});
  }
  if (primary && primary->output != XCB_NONE) {
    std::stable_partition(result.begin(), result.end(),
                          [&](const OutputGeometry& o) { return o.id == primary->output; });
  }
  return result;
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
  std::optional<OutputGeometry> output;
  try {
    output = findOutput(display);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!output) return std::nullopt;

  std::lock_guard guard(lock_);
  xcb_connection_t* c = connection_.get();
  const xcb_atom_t edidAtom = internAtom(c, "EDID", true);
  if (edidAtom != XCB_ATOM_NONE) {
    // 64 four-byte units: the 256 bytes of the base block and its first extension.
    Reply<xcb_randr_get_output_property_reply_t> edid(xcb_randr_get_output_property_reply(
        c, xcb_randr_get_output_property(c, display, edidAtom, XCB_ATOM_ANY, 0, 64, 0, 0), nullptr));
    if (edid && edid->format == 8) {
      std::span<const std::uint8_t> bytes(xcb_randr_get_output_property_data(edid.get()),
                                          static_cast<std::size_t>(edid->num_items));
      if (auto name = edidMonitorName(bytes)) return name;
    }
  }
  if (!output->name.empty()) return output->name;
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
  return std::make_shared<X11CaptureStream>(display_, *area, configuration, std::move(output),
                                            std::move(captureQueue));
}

}  // namespace quorvanta::x11
