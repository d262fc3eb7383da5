#pragma once

// Display power and the screensaver of an X server: DPMS and MIT-SCREEN-SAVER.

#include <xcb/xcb.h>

#include <filesystem>
#include <memory>
#include <string>

#include "core/host/presence.h"
#include "platform/linux/x11/xcb_handles.h"

namespace quorvanta::presence {

// Whether the displays are on: DPMS reports power level On, or DPMS is off or absent.
bool displaysOn(xcb_connection_t* connection);

// Turns the displays on (DPMS level On, where DPMS is enabled) and restarts the screensaver's idle
// time, as a key press would.
void wakeDisplays(xcb_connection_t* connection);

// Keeps an X server from blanking: the screensaver suspended and DPMS disabled, both undone when
// destroyed (DPMS enabled again only if it was enabled before). The suspension belongs to this
// hold's own connection, so the server lifts it should the process die; DPMS does not come back
// by itself, so while it is disabled `record` holds the display's name, and
// restoreDpmsAfterCrash() enables DPMS again at the next start after a host that died holding it.
class XBlankingHold final : public PresenceHold {
 public:
  // Null when the display cannot be reached or has neither extension.
  static std::unique_ptr<XBlankingHold> take(const std::string& display, std::filesystem::path record);
  ~XBlankingHold() override;
  XBlankingHold(const XBlankingHold&) = delete;
  XBlankingHold& operator=(const XBlankingHold&) = delete;

 private:
  XBlankingHold(x11::Connection connection, bool suspended, bool restoreDpms, std::filesystem::path record)
      : connection_(std::move(connection)),
        suspended_(suspended),
        restoreDpms_(restoreDpms),
        record_(std::move(record)) {}

  x11::Connection connection_;
  bool suspended_;
  bool restoreDpms_;
  std::filesystem::path record_;
};

// Enables DPMS on the display named in `record`, left by a hold that was never released, and
// removes the record. Nothing happens without one.
void restoreDpmsAfterCrash(const std::filesystem::path& record);

}  // namespace quorvanta::presence
