#pragma once

// Display power and the screensaver of an X server: DPMS and MIT-SCREEN-SAVER.

#include <xcb/xcb.h>

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
// hold's own connection, so the server lifts it should the process die.
class XBlankingHold final : public PresenceHold {
 public:
  // Null when the display cannot be reached or has neither extension.
  static std::unique_ptr<XBlankingHold> take(const std::string& display);
  ~XBlankingHold() override;
  XBlankingHold(const XBlankingHold&) = delete;
  XBlankingHold& operator=(const XBlankingHold&) = delete;

 private:
  XBlankingHold(x11::Connection connection, bool suspended, bool restoreDpms)
      : connection_(std::move(connection)), suspended_(suspended), restoreDpms_(restoreDpms) {}

  x11::Connection connection_;
  bool suspended_;
  bool restoreDpms_;
};

}  // namespace quorvanta::presence
