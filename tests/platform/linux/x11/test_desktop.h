#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "integration/child_process.h"
#include "platform/linux/x11/xvfb_server.h"

namespace quorvanta::testing {

// A private Xvfb with the moving parts of a user's desktop: a window manager (openbox) that
// reparents and stacks windows, a compositing manager (xcompmgr) that redirects them, and a
// keyboard with two layouts (us,de). Everything stops when this object goes away.
class TestDesktop {
 public:
  // Throws std::runtime_error when a part cannot be started or does not come up in time.
  TestDesktop();
  ~TestDesktop();
  TestDesktop(const TestDesktop&) = delete;
  TestDesktop& operator=(const TestDesktop&) = delete;

  const std::string& display() const { return xvfb_.display(); }

  // Starts or stops the compositing manager while the desktop runs.
  void startCompositor();
  void stopCompositor();
  // Runs a program to its end with DISPLAY set to this desktop; its exit status.
  int run(const std::string& program, const std::vector<std::string>& arguments);

 private:
  XvfbServer xvfb_;
  std::filesystem::path logs_;
  std::unique_ptr<test::ChildProcess> windowManager_;
  std::unique_ptr<test::ChildProcess> compositor_;
};

}  // namespace quorvanta::testing
