#pragma once

#include <sys/types.h>

#include <string>

namespace quorvanta::testing {

// A private Xvfb (1280 × 720 × 24, RandR and Composite on) on a display number it picks itself,
// stopped when this object goes away.
class XvfbServer {
 public:
  // Throws std::runtime_error when Xvfb cannot be started or does not report its display in time.
  XvfbServer();
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N", for xcb_connect.
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace quorvanta::testing
