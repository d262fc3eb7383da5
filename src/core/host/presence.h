#pragma once

#include <functional>
#include <memory>

namespace quorvanta {

// Something held until it is destroyed (an idle-sleep inhibition, an input watch).
class PresenceHold {
 public:
  virtual ~PresenceHold() = default;
};

// The host's view of the people and the machine at the computer's end. Called on the host's main
// executor; no call blocks for long.
class PresenceService {
 public:
  virtual ~PresenceService() = default;

  // Keeps the machine and its displays from idle sleep until the hold is destroyed. The two
  // inhibitions carry the names "Quorvanta remote session" (system idle sleep) and "Quorvanta
  // display stream" (display idle sleep). Never fails: what cannot be held is left out.
  virtual std::unique_ptr<PresenceHold> keepAwake() = 0;

  // Whether at least one display is on and not asleep (true when that cannot be told).
  virtual bool displaysAwake() = 0;
  // Tells the machine that a user is active, which wakes sleeping displays.
  virtual void declareUserActivity() = 0;
  // Whether the session's screen is locked; false when that cannot be told.
  virtual bool screenLocked() = 0;

  // Calls `onLocalInput` on the main executor for each keyboard, button, motion or wheel event
  // made by someone at the computer, never for the events the host itself injects, until the
  // hold is destroyed. Nothing when input cannot be watched.
  virtual std::unique_ptr<PresenceHold> watchLocalInput(std::function<void()> onLocalInput) = 0;
};

}  // namespace quorvanta
