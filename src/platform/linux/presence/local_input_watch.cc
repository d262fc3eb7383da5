#include "platform/linux/presence/local_input_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <asio/post.hpp>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace quorvanta::presence {

namespace {

constexpr std::string_view kCorePointer = "Virtual core pointer";
constexpr std::string_view kCoreKeyboard = "Virtual core keyboard";
constexpr std::string_view kXTestPointerSuffix = "XTEST pointer";
constexpr std::string_view kXTestKeyboardSuffix = "XTEST keyboard";

std::string_view deviceName(const xcb_input_xi_device_info_t* info) {
  return {xcb_input_xi_device_info_name(info), info->name_len};
}

// The XTEST slave devices of the core master pointer and keyboard: the devices through which
// XTEST fake input without a device of its own (the host's remote input) arrives.
std::optional<std::set<xcb_input_device_id_t>> queryCoreXTestDevices(xcb_connection_t* connection) {
  const x11::Reply<xcb_input_xi_query_device_reply_t> reply(xcb_input_xi_query_device_reply(
      connection, xcb_input_xi_query_device(connection, XCB_INPUT_DEVICE_ALL), nullptr));
  if (!reply) return std::nullopt;

  std::optional<xcb_input_device_id_t> corePointer;
  std::optional<xcb_input_device_id_t> coreKeyboard;
  for (auto it = xcb_input_xi_query_device_infos_iterator(reply.get()); it.rem > 0;
       xcb_input_xi_device_info_next(&it)) {
    const std::string_view name = deviceName(it.data);
    if (it.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER && name == kCorePointer)
      corePointer = it.data->deviceid;
    if (it.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_KEYBOARD && name == kCoreKeyboard)
      coreKeyboard = it.data->deviceid;
  }

  std::set<xcb_input_device_id_t> devices;
  for (auto it = xcb_input_xi_query_device_infos_iterator(reply.get()); it.rem > 0;
       xcb_input_xi_device_info_next(&it)) {
    const xcb_input_xi_device_info_t& info = *it.data;
    const std::string_view name = deviceName(&info);
    const bool corePointerXTest = info.type == XCB_INPUT_DEVICE_TYPE_SLAVE_POINTER &&
                                  name.ends_with(kXTestPointerSuffix) && info.attachment == corePointer;
    const bool coreKeyboardXTest = info.type == XCB_INPUT_DEVICE_TYPE_SLAVE_KEYBOARD &&
                                   name.ends_with(kXTestKeyboardSuffix) && info.attachment == coreKeyboard;
    if (corePointerXTest || coreKeyboardXTest) devices.insert(info.deviceid);
  }
  return devices;
}

bool hasXInput22(xcb_connection_t* connection) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, &xcb_input_id);
  if (data == nullptr || data->present == 0) return false;
  const x11::Reply<xcb_input_xi_query_version_reply_t> version(
      xcb_input_xi_query_version_reply(connection, xcb_input_xi_query_version(connection, 2, 2), nullptr));
  return version &&
         (version->major_version > 2 || (version->major_version == 2 && version->minor_version >= 2));
}

// Raw events from every device attached to a master, and changes of the device hierarchy.
bool selectEvents(xcb_connection_t* connection, xcb_window_t root) {
  struct Selection {
    xcb_input_event_mask_t head;
    std::uint32_t bits;
  };
  const std::array<Selection, 2> selections{{
      {{XCB_INPUT_DEVICE_ALL_MASTER, 1},
       XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS |
           XCB_INPUT_XI_EVENT_MASK_RAW_MOTION},
      {{XCB_INPUT_DEVICE_ALL, 1}, XCB_INPUT_XI_EVENT_MASK_HIERARCHY},
  }};
  static_assert(sizeof(Selection) == sizeof(xcb_input_event_mask_t) + sizeof(std::uint32_t));
  const x11::ErrorReply error(xcb_request_check(
      connection,
      xcb_input_xi_select_events_checked(connection, root, static_cast<std::uint16_t>(selections.size()),
                                         &selections.front().head)));
  return !error;
}

}  // namespace

std::unique_ptr<LocalInputWatch> LocalInputWatch::start(const std::string& display,
                                                        asio::any_io_executor main,
                                                        std::function<void()> onLocalInput) {
  try {
    x11::Connection connection = x11::Connection::connect(display);
    xcb_connection_t* c = connection.get();
    if (!hasXInput22(c)) return nullptr;
    const std::uint8_t opcode = xcb_get_extension_data(c, &xcb_input_id)->major_opcode;
    // Selected before this returns, so that no input made afterwards is missed.
    if (!selectEvents(c, connection.root())) return nullptr;
    std::optional<std::set<xcb_input_device_id_t>> devices = queryCoreXTestDevices(c);
    if (!devices) return nullptr;
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    UniqueFd wakeRead(pipeEnds[0]);
    UniqueFd wakeWrite(pipeEnds[1]);
    return std::unique_ptr<LocalInputWatch>(
        new LocalInputWatch(std::move(connection), opcode, std::move(wakeRead), std::move(wakeWrite),
                            std::move(main), std::move(onLocalInput), std::move(*devices)));
  } catch (const std::runtime_error&) {
    // No display, or no thread to watch it from (std::system_error).
    return nullptr;
  }
}

LocalInputWatch::LocalInputWatch(x11::Connection connection, std::uint8_t opcode, UniqueFd wakeRead,
                                 UniqueFd wakeWrite, asio::any_io_executor main,
                                 std::function<void()> onLocalInput,
                                 std::set<xcb_input_device_id_t> injectionDevices)
    : connection_(std::move(connection)),
      opcode_(opcode),
      wakeRead_(std::move(wakeRead)),
      wakeWrite_(std::move(wakeWrite)),
      main_(std::move(main)),
      shared_(std::make_shared<Shared>()),
      injectionDevices_(std::move(injectionDevices)) {
  shared_->onLocalInput = std::move(onLocalInput);
  thread_ = std::thread([this] { run(); });
}

LocalInputWatch::~LocalInputWatch() {
  shared_->active = false;
  const char wake = 1;
  // A full pipe already wakes the thread; nothing else can go wrong with a pipe we own.
  [[maybe_unused]] const ssize_t written = write(wakeWrite_.get(), &wake, 1);
  thread_.join();
}

void LocalInputWatch::run() {
  xcb_connection_t* c = connection_.get();
  std::optional<std::chrono::steady_clock::time_point> lastPosted;
  for (;;) {
    while (xcb_generic_event_t* raw = xcb_poll_for_event(c)) {
      const x11::Reply<xcb_generic_event_t> event(raw);
      if (!isLocalInput(*event)) continue;
      const auto now = std::chrono::steady_clock::now();
      if (lastPosted && now - *lastPosted < kQuietPeriod) continue;
      lastPosted = now;
      asio::post(main_, [shared = shared_] {
        if (shared->active) shared->onLocalInput();
      });
    }
    if (xcb_connection_has_error(c) != 0) return;
    std::array<pollfd, 2> descriptors{
        {{xcb_get_file_descriptor(c), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}}};
    if (poll(descriptors.data(), descriptors.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (descriptors[1].revents != 0) return;
  }
}

bool LocalInputWatch::isLocalInput(const xcb_generic_event_t& event) {
  if ((event.response_type & 0x7f) != XCB_GE_GENERIC) return false;
  const auto& generic = reinterpret_cast<const xcb_ge_generic_event_t&>(event);
  if (generic.extension != opcode_) return false;
  switch (generic.event_type) {
    case XCB_INPUT_RAW_KEY_PRESS:
    case XCB_INPUT_RAW_BUTTON_PRESS:
    case XCB_INPUT_RAW_MOTION: {
      // The three raw events share one layout.
      const auto& rawEvent = reinterpret_cast<const xcb_input_raw_key_press_event_t&>(event);
      return !injectionDevices_.contains(rawEvent.sourceid);
    }
    case XCB_INPUT_HIERARCHY:
      if (auto devices = queryCoreXTestDevices(connection_.get())) injectionDevices_ = std::move(*devices);
      return false;
    default:
      return false;
  }
}

}  // namespace quorvanta::presence
