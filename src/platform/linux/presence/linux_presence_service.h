#pragma once

#include <asio/any_io_executor.hpp>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/host/presence.h"
#include "core/util/paths.h"
#include "platform/linux/presence/bus_connection.h"
#include "platform/linux/x11/xcb_handles.h"

namespace quorvanta {

// Presence on a Linux desktop with an X display:
// - staying awake: an org.freedesktop.ScreenSaver inhibition on the session bus for the displays
//   and a logind "idle:sleep" block on the system bus for the machine; where the session grants
//   no display inhibition, the X screensaver is suspended and DPMS disabled instead;
// - display state and wake-up through DPMS, the X screensaver and the session's screensaver;
// - the lock state from logind's LockedHint, else from the session's screensaver;
// - local input from XInput2 raw events, leaving out what arrives through the core XTEST devices
//   (the host's own remote input).
// Every call is bounded and none throws; what a desktop lacks is left out.
class LinuxPresenceService final : public PresenceService {
 public:
  // `display` as in $DISPLAY (empty: $DISPLAY); local-input callbacks are posted to `main`. While
  // the X fallback keeps DPMS disabled, `dpmsRecord` names the display; a record found here (left
  // by a host that died holding it) has DPMS enabled again at once.
  LinuxPresenceService(std::string display, asio::any_io_executor main,
                       presence::BusAddresses buses = presence::BusAddresses::fromEnvironment(),
                       std::filesystem::path dpmsRecord = runtimeDirectory() / "dpms-disabled");
  ~LinuxPresenceService() override;
  LinuxPresenceService(const LinuxPresenceService&) = delete;
  LinuxPresenceService& operator=(const LinuxPresenceService&) = delete;

  std::unique_ptr<PresenceHold> keepAwake() override;
  bool displaysAwake() override;
  void declareUserActivity() override;
  bool screenLocked() override;
  std::unique_ptr<PresenceHold> watchLocalInput(std::function<void()> onLocalInput) override;

 private:
  // The connection for display queries, opened when first needed and again after it broke; null
  // when the display cannot be reached.
  xcb_connection_t* display();

  std::string displayName_;
  asio::any_io_executor main_;
  std::filesystem::path dpmsRecord_;
  presence::BusConnection session_;
  presence::BusConnection system_;
  std::optional<x11::Connection> display_;
};

}  // namespace quorvanta
