#include "platform/linux/presence/x_power.h"

#include <xcb/dpms.h>
#include <xcb/screensaver.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "core/util/paths.h"

namespace quorvanta::presence {

namespace {

bool hasExtension(xcb_connection_t* connection, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
  return data != nullptr && data->present != 0;
}

struct DpmsState {
  bool enabled = false;
  std::uint16_t powerLevel = XCB_DPMS_DPMS_MODE_ON;
};

std::optional<DpmsState> dpmsState(xcb_connection_t* connection) {
  if (!hasExtension(connection, &xcb_dpms_id)) return std::nullopt;
  const x11::Reply<xcb_dpms_info_reply_t> info(
      xcb_dpms_info_reply(connection, xcb_dpms_info(connection), nullptr));
  if (!info) return std::nullopt;
  return DpmsState{info->state != 0, info->power_level};
}

// Suspension needs version 1.1 of the screensaver extension.
bool canSuspendScreenSaver(xcb_connection_t* connection) {
  if (!hasExtension(connection, &xcb_screensaver_id)) return false;
  const x11::Reply<xcb_screensaver_query_version_reply_t> version(xcb_screensaver_query_version_reply(
      connection, xcb_screensaver_query_version(connection, 1, 1), nullptr));
  return version && (version->server_major_version > 1 ||
                     (version->server_major_version == 1 && version->server_minor_version >= 1));
}

}  // namespace

bool displaysOn(xcb_connection_t* connection) {
  const std::optional<DpmsState> dpms = dpmsState(connection);
  return !dpms || !dpms->enabled || dpms->powerLevel == XCB_DPMS_DPMS_MODE_ON;
}

void wakeDisplays(xcb_connection_t* connection) {
  // The server refuses a forced level while DPMS is disabled, and then the displays are on anyway.
  const std::optional<DpmsState> dpms = dpmsState(connection);
  if (dpms && dpms->enabled) xcb_dpms_force_level(connection, XCB_DPMS_DPMS_MODE_ON);
  xcb_force_screen_saver(connection, XCB_SCREEN_SAVER_RESET);
  // Waiting for the round trip also makes sure the server has acted before the caller looks.
  const x11::Reply<xcb_get_input_focus_reply_t> sync(
      xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

std::unique_ptr<XBlankingHold> XBlankingHold::take(const std::string& display, std::filesystem::path record) {
  try {
    x11::Connection connection = x11::Connection::connect(display);
    xcb_connection_t* c = connection.get();
    const bool suspended = canSuspendScreenSaver(c);
    if (suspended) xcb_screensaver_suspend(c, 1);
    const std::optional<DpmsState> dpms = dpmsState(c);
    bool dpmsDisabled = false;
    if (dpms && dpms->enabled) {
      const x11::ErrorReply error(xcb_request_check(c, xcb_dpms_disable_checked(c)));
      dpmsDisabled = !error;
    }
    if (!suspended && !dpmsDisabled) return nullptr;
    xcb_flush(c);
    if (!dpmsDisabled) record.clear();
    if (!record.empty()) {
      try {
        createDirectories(record.parent_path(), std::filesystem::perms::owner_all);
        const std::vector<std::uint8_t> name(display.begin(), display.end());
        writeFileAtomically(record, name,
                            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
      } catch (const std::filesystem::filesystem_error&) {
        record.clear();  // the hold still works; only a crash would leave DPMS off
      }
    }
    return std::unique_ptr<XBlankingHold>(
        new XBlankingHold(std::move(connection), suspended, dpmsDisabled, std::move(record)));
  } catch (const std::runtime_error&) {
    return nullptr;
  }
}

XBlankingHold::~XBlankingHold() {
  xcb_connection_t* c = connection_.get();
  if (restoreDpms_) xcb_dpms_enable(c);
  if (suspended_) xcb_screensaver_suspend(c, 0);
  const x11::Reply<xcb_get_input_focus_reply_t> sync(
      xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  std::error_code ignored;
  if (!record_.empty()) std::filesystem::remove(record_, ignored);
}

void restoreDpmsAfterCrash(const std::filesystem::path& record) {
  std::string display;
  try {
    display = readFile(record, 4096);
  } catch (const std::filesystem::filesystem_error&) {
    return;  // no record: nothing was left off
  }
  try {
    const x11::Connection connection = x11::Connection::connect(display);
    xcb_connection_t* c = connection.get();
    if (hasExtension(c, &xcb_dpms_id)) {
      const x11::ErrorReply error(xcb_request_check(c, xcb_dpms_enable_checked(c)));
    }
  } catch (const std::runtime_error&) {
    return;  // the display is not there now; the record waits for a start that finds it
  }
  std::error_code ignored;
  std::filesystem::remove(record, ignored);
}

}  // namespace quorvanta::presence
