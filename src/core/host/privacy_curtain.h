#pragma once

#include <cstdint>
#include <vector>

namespace quorvanta {

// The dark windows that hide the local screens during a session. Implemented by the desktop
// application on its own thread; every call returns once the windows have changed, so the host
// never sees a window it has not been told about.
class PrivacyCurtain {
 public:
  virtual ~PrivacyCurtain() = default;

  // Makes one window per screen (reusing those whose screen is unchanged), in front of everything
  // and still transparent, and returns their window IDs.
  virtual std::vector<std::uint32_t> prepare() = 0;
  // Fades the prepared windows in.
  virtual void reveal() = 0;
  // Takes every window off the screen at once.
  virtual void hide() = 0;
};

}  // namespace quorvanta
