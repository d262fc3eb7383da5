#include "platform/linux/x11/x11_capture_stream.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>
#include <asio/co_spawn.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "core/util/monotonic_clock.h"
#include "core/util/run_on.h"
#include "core/video/screen_streamer.h"
#include "platform/linux/x11/frame_converter.h"
#include "platform/linux/x11/window_composer.h"

namespace quorvanta::x11 {

namespace {

constexpr const char* kDisplayGone = "The display is no longer available.";
constexpr const char* kWindowGone = "A window to leave out is not on screen.";
constexpr const char* kNotRunning = "This capture is not running.";

using Clock = std::chrono::steady_clock;

// An XFixes region owned by its connection.
class Region {
 public:
  explicit Region(xcb_connection_t* connection) : connection_(connection), id_(xcb_generate_id(connection)) {
    xcb_xfixes_create_region(connection_, id_, 0, nullptr);
  }
  ~Region() { xcb_xfixes_destroy_region(connection_, id_); }
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;
  xcb_xfixes_region_t id() const { return id_; }

 private:
  xcb_connection_t* connection_;
  xcb_xfixes_region_t id_;
};

class X11CaptureStream final : public CaptureStream, public std::enable_shared_from_this<X11CaptureStream> {
 public:
  X11CaptureStream(std::string display, OutputGeometry area, StreamConfiguration configuration,
                   std::weak_ptr<CaptureStreamOutput> output, asio::any_io_executor queue)
      : display_(std::move(display)),
        area_(std::move(area)),
        configuration_(configuration),
        output_(std::move(output)),
        queue_(std::move(queue)),
        timer_(queue_),
        readable_(queue_) {}

  ~X11CaptureStream() override {
    // The descriptor is the connection's: closing it is xcb's business.
    if (readable_.is_open()) readable_.release();
  }

  asio::awaitable<void> startCapture() override {
    return runOn(queue_, [self = shared_from_this()] { self->begin(); });
  }

  asio::awaitable<void> stopCapture() override {
    return runOn(queue_, [self = shared_from_this()] { self->end(); });
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

  void setPaused(bool paused) override {
    asio::post(queue_, [weak = weak_from_this(), paused] {
      const auto self = weak.lock();
      if (!self) return;
      self->paused_ = paused;
      // Back from a pause: the screen as it is now, whatever changed meanwhile.
      if (!paused) self->dirty_ = true;
      self->service();
    });
  }

 private:
  // On the queue.
  void begin() {
    if (state_ != State::idle) throw std::runtime_error("This capture has already been started.");
    connection_.emplace(Connection::connect(display_));
    requireExtensions(*connection_);
    xcb_connection_t* c = connection_->get();
    Reply<xcb_damage_query_version_reply_t> damage(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    if (!damage) throw std::runtime_error("The X display does not offer DAMAGE.");
    damageEvent_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event;
    randrEvent_ = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
    xfixesEvent_ = xcb_get_extension_data(c, &xcb_xfixes_id)->first_event;
    damage_ = xcb_generate_id(c);
    xcb_damage_create(c, damage_, connection_->root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    damaged_.emplace(c);
    xcb_randr_select_input(c, connection_->root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    if (configuration_.showsCursor) watchPointer();
    resize();
    interval_ = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / std::max(configuration_.fps, 1)));
    state_ = State::running;
    readable_.assign(xcb_get_file_descriptor(c));
    dirty_ = true;  // the first frame
    service();
  }

  void end() {
    state_ = State::stopped;
    timer_.cancel();
    if (readable_.is_open()) {
      readable_.cancel();
      readable_.release();
    }
    composer_.reset();
    shm_.reset();
    damaged_.reset();
    connection_.reset();
  }

  // Pointer moves (raw motion of every master device) and cursor shape changes.
  void watchPointer() {
    xcb_connection_t* c = connection_->get();
    xcb_xfixes_select_cursor_input(c, connection_->root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    const xcb_query_extension_reply_t* input = xcb_get_extension_data(c, &xcb_input_id);
    if (!input || !input->present) return;
    Reply<xcb_input_xi_query_version_reply_t> version(
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 0), nullptr));
    if (!version || version->major_version < 2) return;
    inputOpcode_ = input->major_opcode;
    struct Selection {
      xcb_input_event_mask_t head;
      std::uint32_t bits;
    };
    const Selection selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
    xcb_input_xi_select_events(c, connection_->root(), 1, &selection.head);
  }

  // The MIT-SHM segment and the frame size for the current area.
  void resize() {
    const std::size_t bytes =
        static_cast<std::size_t>(area_.width) * static_cast<std::size_t>(area_.height) * 4;
    if (bytes == 0) throw std::runtime_error(kDisplayGone);
    if (!shm_ || shm_->size() != bytes) {
      shm_.reset();
      shm_.emplace(connection_->get(), bytes);
    }
    width_ = configuration_.width;
    height_ = configuration_.height;
    if (configuration_.maxWidth > 0) {
      const PixelSize size = captureOutputSize(area_.width, area_.height, configuration_.maxWidth);
      width_ = size.width;
      height_ = size.height;
    }
  }

  // Leaves the top-level windows holding `windows` out of the following frames. The windows are
  // redirected only while some are left out.
  void exclude(const std::vector<WindowID>& windows) {
    if (state_ != State::running) throw std::runtime_error(kNotRunning);
    excluded_.clear();
    if (windows.empty()) {
      composer_.reset();
      dirty_ = true;
      return service();
    }
    xcb_connection_t* c = connection_->get();
    std::set<xcb_window_t> topLevels;
    for (WindowID window : windows) {
      const xcb_window_t topLevel = topLevelOf(c, connection_->root(), window);
      if (topLevel == XCB_NONE) throw std::runtime_error(kWindowGone);
      topLevels.insert(topLevel);
    }
    excluded_ = topLevels;
    makeComposer();
    dirty_ = true;
    service();
  }

  void makeComposer() {
    composer_.reset();
    if (excluded_.empty()) return;
    xcb_screen_t* screen = connection_->screen();
    composer_.emplace(connection_->get(), connection_->screenNumber(), connection_->root(),
                      screen->root_visual, screen->root_depth, area_.x, area_.y, area_.width, area_.height);
    composer_->setExcluded(excluded_);
  }

  // Reads what the server reported, grabs when a change is due, and waits for the next report
  // or the end of the interval.
  void service() {
    if (state_ != State::running) return;
    try {
      drain();
      if (geometryChanged_) follow();
      const Clock::time_point now = Clock::now();
      // Paused, the reports are still read (so nothing piles up) but nothing is grabbed.
      const bool due = !paused_ && (dirty_ || composer_);
      if (due && now >= lastGrab_ + interval_) {
        dirty_ = false;
        lastGrab_ = now;
        const double time = monotonicSeconds();
        if (auto frame = grab()) deliver(std::move(frame), time);
        drain();  // reports that arrived during the grab's round trips
      }
    } catch (const std::exception& e) {
      end();
      if (auto output = output_.lock()) output->didStopWithError(*this, e.what());
      return;
    }
    if (!paused_ && (dirty_ || composer_) && !timerArmed_) {
      timerArmed_ = true;
      timer_.expires_at(lastGrab_ + interval_);
      timer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
        if (error) return;
        if (auto self = weak.lock()) {
          self->timerArmed_ = false;
          self->service();
        }
      });
    }
    if (!readArmed_) {
      readArmed_ = true;
      readable_.async_wait(asio::posix::stream_descriptor::wait_read,
                           [weak = weak_from_this()](const std::error_code& error) {
                             if (error) return;
                             if (auto self = weak.lock()) {
                               self->readArmed_ = false;
                               self->service();
                             }
                           });
    }
  }

  // Takes every event xcb has read or can read now.
  void drain() {
    xcb_connection_t* c = connection_->get();
    if (connection_->hasError()) throw std::runtime_error(kDisplayGone);
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
      const std::uint8_t type = event->response_type & 0x7F;
      if (type == damageEvent_ + XCB_DAMAGE_NOTIFY) {
        damagePending_ = true;
        dirty_ = true;
      } else if (type == xfixesEvent_ + XCB_XFIXES_CURSOR_NOTIFY) {
        dirty_ = true;
      } else if (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                 type == randrEvent_ + XCB_RANDR_NOTIFY) {
        geometryChanged_ = true;
      } else if (type == XCB_GE_GENERIC && inputOpcode_ != 0) {
        const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event.get());
        if (generic->extension == inputOpcode_ && generic->event_type == XCB_INPUT_RAW_MOTION) dirty_ = true;
      }
    }
    if (connection_->hasError()) throw std::runtime_error(kDisplayGone);
  }

  // The output moved, changed its mode or went away.
  void follow() {
    geometryChanged_ = false;
    std::optional<OutputGeometry> now;
    for (const OutputGeometry& output : queryOutputs(*connection_)) {
      if (output.id == area_.id) now = output;
    }
    if (!now) throw std::runtime_error(kDisplayGone);
    if (*now == area_) return;
    area_ = *now;
    resize();
    makeComposer();
    dirty_ = true;
  }

  // The frame, or nothing when the damage lay outside this output and the cursor did not move.
  PixelBufferRef grab() {
    xcb_connection_t* c = connection_->get();
    if (damagePending_) {
      damagePending_ = false;
      // Repair everything and learn what it was, before reading, so that drawing during the
      // read reports again.
      xcb_damage_subtract(c, damage_, XCB_NONE, damaged_->id());
    }
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
    if (!image || error) {
      // A mode change may have made the area reach past the root before RandR said so.
      drain();
      if (geometryChanged_) {
        dirty_ = true;
        return nullptr;
      }
      throw std::runtime_error(kDisplayGone);
    }
    if (image->size != shm_->size()) {
      throw std::runtime_error("The display's pixel format cannot be captured.");
    }
    if (image->depth != 24 && image->depth != 32) {
      throw std::runtime_error("The display's color depth cannot be captured.");
    }

    BgrxImage frame{shm_->data(), area_.width, area_.height, area_.width * 4};
    if (configuration_.showsCursor) drawPointer(frame);
    return converter_.convert(frame, width_, height_);
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
  OutputGeometry area_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<CaptureStreamOutput> output_;
  const asio::any_io_executor queue_;
  asio::steady_timer timer_;
  asio::posix::stream_descriptor readable_;
  State state_ = State::idle;
  Clock::duration interval_{};
  Clock::time_point lastGrab_{};
  bool timerArmed_ = false;
  bool readArmed_ = false;
  bool paused_ = false;           // nobody receives the frames: grab nothing
  bool dirty_ = false;            // something to show changed since the last grab
  bool damagePending_ = false;    // the damage object holds drawing not yet repaired
  bool geometryChanged_ = false;  // RandR reported a change not yet looked at
  int width_ = 0;                 // the frames' size
  int height_ = 0;
  std::uint8_t damageEvent_ = 0;
  std::uint8_t randrEvent_ = 0;
  std::uint8_t xfixesEvent_ = 0;
  std::uint8_t inputOpcode_ = 0;
  xcb_damage_damage_t damage_ = XCB_NONE;  // freed with the connection
  std::set<xcb_window_t> excluded_;
  std::optional<Connection> connection_;
  std::optional<Region> damaged_;
  std::optional<ShmSegment> shm_;           // declared after the connection: detached before it closes
  std::optional<WindowComposer> composer_;  // present while windows are left out
  FrameConverter converter_;
};

}  // namespace

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

std::shared_ptr<CaptureStream> makeX11CaptureStream(std::string display, OutputGeometry area,
                                                    StreamConfiguration configuration,
                                                    std::weak_ptr<CaptureStreamOutput> output,
                                                    asio::any_io_executor queue) {
  return std::make_shared<X11CaptureStream>(std::move(display), std::move(area), configuration,
                                            std::move(output), std::move(queue));
}

}  // namespace quorvanta::x11
